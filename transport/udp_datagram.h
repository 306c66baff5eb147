// Scrambling and checksum of reliable channel-0 frames, the SOCKS5 relay head, and the first steps
// of the receive path. Pure functions over caller-owned buffers: no I/O, no shared state (the
// default random source is per thread), callable from any thread.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

#include "udp_declare.h"

namespace kiv {

// Where DataRecast draws its two key values from. Tests pass a fixed source to get golden bytes.
class TScrambleRandom {
 public:
  virtual ~TScrambleRandom() = default;
  // A value drawn uniformly from 0 .. bound - 1 (bound >= 1).
  virtual std::uint32_t Uniform(std::uint32_t bound) = 0;
};

// The generator DataRecast uses when given none: a fast generator seeded once per thread from the
// system's entropy. Returns this thread's instance.
TScrambleRandom& DefaultScrambleRandom();

// Scrambles a complete datagram of `length` bytes in place (bytes 6 .. length - 1 filled) and writes
// the magic, the key bytes and the checksum into bytes 0-5. Does nothing when length < 6.
// A draw that would give key bytes and checksum low byte all zero (which a receiver reads as
// "unscrambled") uses the next key instead, so every scrambled datagram restores.
void DataRecast(std::uint8_t* buffer, std::size_t length, TScrambleRandom& random);
void DataRecast(std::uint8_t* buffer, std::size_t length);

// Checks and unscrambles a received datagram in place. False (the datagram is to be dropped) on a
// wrong magic, a block length of 0, a checksum mismatch, or fewer than 6 bytes. A datagram whose
// bytes 2, 3 and 4 are zero is accepted unchanged.
bool DataRestore(std::uint8_t* buffer, std::size_t length);

// Moves `length` bytes of the buffer up by 10 and writes the relay head for the destination
// `address`:`port` in front. False (buffer unchanged) when `address` is not dotted IPv4 text or
// length + 10 exceeds `capacity`.
bool MakeProxyHead(std::uint8_t* buffer, std::size_t length, std::size_t capacity, const std::string& address,
                   std::uint16_t port);

// Reads the source address and port from the relay head of a datagram received from the relay,
// renders the address as dotted text cut to `max_length` characters, and moves the rest of the
// datagram down by 10 bytes; `length` becomes the length without the head. False (nothing changed)
// when the datagram is shorter than the head, or the head is not an unfragmented IPv4 one.
bool GetProxyInfo(std::uint8_t* buffer, std::size_t& length, std::string& address, std::size_t max_length,
                  std::uint16_t& port);

// The steps every received datagram goes through before its type is looked at: drop it when it is
// kReceiveBufferSize bytes or more; with a relay set, take the source from the relay head and strip
// it; restore it. On true, buffer[0 .. length) is the plain datagram and `address`/`port` its
// real source. The caller still checks the length against kHeaderSize before reading the header.
bool OpenReceived(std::uint8_t* buffer, std::size_t& length, bool relay, std::string& address,
                  std::uint16_t& port);

}  // namespace kiv
