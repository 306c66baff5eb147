#include "udp_datagram.h"

#include <arpa/inet.h>

#include <algorithm>
#include <cstring>
#include <random>
#include <utility>

#include "base/wire.h"

namespace kiv {

void EncodeHeader(const TDatagramHeader& header, std::uint8_t* out) {
  StoreU16(out + kOffMagic, header.magic);
  out[kOffKeyA] = header.key_a;
  out[kOffKeyB] = header.key_b;
  StoreU16(out + kOffChecksum, header.checksum);
  StoreU16(out + kOffRemoteID, header.remote_id);
  out[kOffType] = header.type;
  StoreU32(out + kOffSequence, header.sequence);
  StoreU16(out + kOffFragmentLength, header.fragment_length);
  StoreU32(out + kOffTotalLength, header.total_length);
  out[kOffChannel] = header.channel;
}

std::optional<TDatagramHeader> DecodeHeader(std::span<const std::uint8_t> datagram) {
  if (datagram.size() < kHeaderSize) return std::nullopt;
  const std::uint8_t* p = datagram.data();
  TDatagramHeader h;
  h.magic = LoadU16(p + kOffMagic);
  h.key_a = p[kOffKeyA];
  h.key_b = p[kOffKeyB];
  h.checksum = LoadU16(p + kOffChecksum);
  h.remote_id = LoadU16(p + kOffRemoteID);
  h.type = p[kOffType];
  h.sequence = LoadU32(p + kOffSequence);
  h.fragment_length = LoadU16(p + kOffFragmentLength);
  h.total_length = LoadU32(p + kOffTotalLength);
  h.channel = p[kOffChannel];
  return h;
}

namespace {

// splitmix64: small state, good spread, no locking (one instance per thread).
class TThreadRandom final : public TScrambleRandom {
 public:
  TThreadRandom() {
    std::random_device device;
    state_ = (std::uint64_t{device()} << 32) ^ device();
  }
  std::uint32_t Uniform(std::uint32_t bound) override {
    std::uint64_t z = (state_ += 0x9E3779B97F4A7C15ull);
    z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ull;
    z = (z ^ (z >> 27)) * 0x94D049BB133111EBull;
    z ^= z >> 31;
    // Multiply-shift maps 32 random bits onto 0 .. bound - 1.
    return static_cast<std::uint32_t>(((z & 0xFFFFFFFFull) * bound) >> 32);
  }

 private:
  std::uint64_t state_;
};

std::uint16_t SumBytes(const std::uint8_t* buffer, std::size_t length) {
  std::uint32_t sum = 0;
  for (std::size_t i = kScrambleStart; i < length; ++i) sum += buffer[i];
  return static_cast<std::uint16_t>(sum);
}

// The exchanges applied to every complete block of `block` bytes ending at positions 5 + j * block:
// for m = 0 .. block / 2, swap the bytes at (start + m) and (end - m). The block ends up reversed,
// except that for an even block the two middle bytes are swapped back and keep their places. The
// exchanges are their own inverse, so scrambling and restoring share them. The additive key is
// applied before (scrambling) or after (restoring) a byte takes part in a block, so adding it to all
// bytes first gives the same result as adding it byte by byte.
// Reverses n bytes, eight at a time from both ends while they last.
void ReverseBytes(std::uint8_t* p, std::size_t n) {
  std::uint8_t* lo = p;
  std::uint8_t* hi = p + n;
  while (hi - lo >= 16) {
    std::uint64_t a, b;
    std::memcpy(&a, lo, 8);
    std::memcpy(&b, hi - 8, 8);
    a = __builtin_bswap64(a);
    b = __builtin_bswap64(b);
    std::memcpy(lo, &b, 8);
    std::memcpy(hi - 8, &a, 8);
    lo += 8;
    hi -= 8;
  }
  std::reverse(lo, hi);
}

void ExchangeBlocks(std::uint8_t* buffer, std::size_t length, std::size_t block) {
  if (length <= kScrambleStart) return;
  for (std::size_t end = kScrambleStart + block - 1; end < length; end += block) {
    std::uint8_t* start = buffer + end + 1 - block;
    // The same exchanges as a reversal, with the middle pair of an even block swapped back.
    ReverseBytes(start, block);
    if (block % 2 == 0) std::swap(start[block / 2 - 1], start[block / 2]);
  }
}

}  // namespace

TScrambleRandom& DefaultScrambleRandom() {
  thread_local TThreadRandom random;
  return random;
}

void DataRecast(std::uint8_t* buffer, std::size_t length) {
  DataRecast(buffer, length, DefaultScrambleRandom());
}

void DataRecast(std::uint8_t* buffer, std::size_t length, TScrambleRandom& random) {
  if (length < kScrambleStart) return;
  StoreU16(buffer + kOffMagic, kMagic);
  const std::uint16_t checksum = static_cast<std::uint16_t>(kChecksumBase + SumBytes(buffer, length));

  const std::uint32_t r = random.Uniform(static_cast<std::uint32_t>(length));
  std::uint32_t block = ((r & ~3u) + 4) % 256;
  if (block == 0) block = 4;
  std::uint8_t key = static_cast<std::uint8_t>(random.Uniform(254));
  const auto key_a = [&] { return static_cast<std::uint8_t>(block + key - 29); };
  const auto key_b = [&] { return static_cast<std::uint8_t>(key - 65); };
  // Key bytes 2, 3 and checksum byte 4 all zero would read as "unscrambled" at the receiver.
  // Only key 65 gives byte 3 zero; take the next key then.
  if (key_a() == 0 && key_b() == 0 && (checksum & 0xFF) == 0) key = 66;

  for (std::size_t i = kScrambleStart; i < length; ++i)
    buffer[i] = static_cast<std::uint8_t>(buffer[i] + key);
  ExchangeBlocks(buffer, length, block);

  StoreU16(buffer + kOffChecksum, checksum);
  buffer[kOffKeyB] = key_b();
  buffer[kOffKeyA] = key_a();
}

bool DataRestore(std::uint8_t* buffer, std::size_t length) {
  if (length < kScrambleStart) return false;
  if (LoadU16(buffer + kOffMagic) != kMagic) return false;
  if (buffer[kOffKeyA] == 0 && buffer[kOffKeyB] == 0 && buffer[kOffChecksum] == 0) return true;
  const std::size_t block = static_cast<std::uint8_t>(buffer[kOffKeyA] - buffer[kOffKeyB] + 220);
  const std::uint8_t key = static_cast<std::uint8_t>(buffer[kOffKeyB] + 65);
  if (block == 0) return false;

  ExchangeBlocks(buffer, length, block);
  std::uint32_t sum = 0;
  for (std::size_t i = kScrambleStart; i < length; ++i) {
    const auto plain = static_cast<std::uint8_t>(buffer[i] - key);
    buffer[i] = plain;
    sum += plain;
  }
  return static_cast<std::uint16_t>(sum) ==
         static_cast<std::uint16_t>(LoadU16(buffer + kOffChecksum) - kChecksumBase);
}

bool MakeProxyHead(std::uint8_t* buffer, std::size_t length, std::size_t capacity, const std::string& address,
                   std::uint16_t port) {
  in_addr ip{};
  if (length > capacity || capacity - length < kProxyHeadSize) return false;
  if (inet_pton(AF_INET, address.c_str(), &ip) != 1) return false;
  std::memmove(buffer + kProxyHeadSize, buffer, length);
  buffer[0] = 0;  // reserved
  buffer[1] = 0;
  buffer[2] = 0;                           // fragment number
  buffer[3] = 1;                           // address type: IPv4
  std::memcpy(buffer + 4, &ip.s_addr, 4);  // already in network order
  buffer[8] = static_cast<std::uint8_t>(port >> 8);
  buffer[9] = static_cast<std::uint8_t>(port);
  return true;
}

bool GetProxyInfo(std::uint8_t* buffer, std::size_t& length, std::string& address, std::size_t max_length,
                  std::uint16_t& port) {
  if (length < kProxyHeadSize) return false;
  // A fragmented relay datagram or another address type cannot be read as an IPv4 source.
  if (buffer[2] != 0 || buffer[3] != 1) return false;
  char text[INET_ADDRSTRLEN] = {};
  in_addr ip{};
  std::memcpy(&ip.s_addr, buffer + 4, 4);
  inet_ntop(AF_INET, &ip, text, sizeof text);
  address.assign(text);
  if (address.size() > max_length) address.resize(max_length);
  port = static_cast<std::uint16_t>((buffer[8] << 8) | buffer[9]);
  std::memmove(buffer, buffer + kProxyHeadSize, length - kProxyHeadSize);
  length -= kProxyHeadSize;
  return true;
}

bool OpenReceived(std::uint8_t* buffer, std::size_t& length, bool relay, std::string& address,
                  std::uint16_t& port) {
  if (length >= kReceiveBufferSize) return false;
  if (relay && !GetProxyInfo(buffer, length, address, 255, port)) return false;
  return DataRestore(buffer, length);
}

}  // namespace kiv
