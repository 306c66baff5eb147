#include "base/compress.h"

#include <zlib.h>

#include <algorithm>
#include <cstring>
#include <limits>
#include <vector>

#include "base/gbk.h"
#include "base/lzrw.h"
#include "base/wire.h"

namespace kiv {
namespace {

using ByteVector = std::vector<std::uint8_t>;

constexpr std::size_t kEntryHeadSize = 4 + 40;
constexpr std::size_t kNameFieldSize = 40;
constexpr std::size_t kU32Max = std::numeric_limits<std::uint32_t>::max();

void SetError(std::string* error, std::string text) {
  if (error) *error = std::move(text);
}

// zlib stream at level 9 with the default window, memory level and strategy.
bool Deflate(std::span<const std::uint8_t> input, ByteVector& out, std::string* error) {
  if (input.size() > kU32Max) {
    SetError(error, "Input too large to compress");
    return false;
  }
  uLongf size = compressBound(static_cast<uLong>(input.size()));
  out.resize(size);
  const int rc = compress2(out.data(), &size, input.data(), static_cast<uLong>(input.size()), 9);
  if (rc != Z_OK) {
    SetError(error, std::string("zlib compression error: ") + zError(rc));
    return false;
  }
  out.resize(size);
  return true;
}

// Runs the zlib stream at the start of `input` through `sink`, a piece at a time, so memory stays constant
// whatever the stream holds. Fails once more than `limit` bytes came out, or when `sink` returns false
// (it then sets the error itself). Bytes after the end of the stream are ignored.
template <typename Sink>
bool InflateTo(std::span<const std::uint8_t> input, std::size_t limit, Sink&& sink, std::string* error) {
  z_stream zs{};
  if (inflateInit(&zs) != Z_OK) {
    SetError(error, "zlib decompression error: out of memory");
    return false;
  }
  constexpr std::size_t kChunkMax = std::numeric_limits<uInt>::max();
  std::vector<std::uint8_t> piece(1 << 16);
  const std::uint8_t* in = input.data();
  std::size_t in_left = input.size();
  std::size_t produced = 0;
  std::string failure;
  while (true) {
    if (zs.avail_in == 0 && in_left > 0) {
      zs.next_in = const_cast<Bytef*>(in);
      zs.avail_in = static_cast<uInt>(std::min(in_left, kChunkMax));
      in += zs.avail_in;
      in_left -= zs.avail_in;
    }
    zs.next_out = piece.data();
    zs.avail_out = static_cast<uInt>(piece.size());
    const int rc = inflate(&zs, Z_NO_FLUSH);
    const std::size_t n = piece.size() - zs.avail_out;
    produced += n;
    if (produced > limit) {
      failure = "content larger than " + std::to_string(limit) + " bytes";
      break;
    }
    if (n > 0 && !sink(std::span<const std::uint8_t>(piece.data(), n))) break;
    if (rc == Z_STREAM_END) {
      inflateEnd(&zs);
      return true;
    }
    if (rc == Z_OK) continue;
    // With room for output, no progress means the input ended inside the stream.
    failure = rc == Z_BUF_ERROR   ? "stream is truncated"
              : rc == Z_MEM_ERROR ? "out of memory"
              : zs.msg            ? zs.msg
                                  : zError(rc);
    break;
  }
  inflateEnd(&zs);
  if (!failure.empty()) SetError(error, "zlib decompression error: " + failure);
  return false;
}

bool Inflate(std::span<const std::uint8_t> input, ByteVector& out, std::size_t limit, std::string* error) {
  out.clear();
  const bool ok = InflateTo(
      input, limit,
      [&](std::span<const std::uint8_t> piece) {
        out.insert(out.end(), piece.begin(), piece.end());
        return true;
      },
      error);
  if (!ok) out.clear();
  return ok;
}

bool Encode(std::span<const std::uint8_t> input, std::uint8_t method, ByteVector& out, std::string* error) {
  if (method != kMethodLzrw) return Deflate(input, out, error);
  out.clear();
  if (!LZRW::CompressStream(input, out)) {
    SetError(error, "Input too large to compress");
    return false;
  }
  return true;
}

bool Decode(std::span<const std::uint8_t> input, std::uint8_t method, std::size_t limit, ByteVector& out,
            std::string* error) {
  if (method != kMethodLzrw) return Inflate(input, out, limit, error);
  out.clear();
  const auto rc = LZRW::DeCompressStream(input, out, limit);
  if (rc != LZRW::StreamError::kNone) {
    SetError(error, LZRW::StreamErrorText(rc));
    return false;
  }
  return true;
}

// Puts `result` in place of the input, after checking that it fits.
bool PutBack(std::span<std::uint8_t> buffer, std::uint32_t& length, const ByteVector& result,
             std::string* error) {
  if (result.size() > buffer.size() || result.size() > kU32Max) {
    SetError(error, "Result of " + std::to_string(result.size()) + " bytes does not fit the buffer of " +
                        std::to_string(buffer.size()) + " bytes");
    return false;
  }
  if (!result.empty()) std::memcpy(buffer.data(), result.data(), result.size());
  length = static_cast<std::uint32_t>(result.size());
  return true;
}

void AppendEntryHead(ByteVector& out, std::uint32_t length, const std::string& utf8_name) {
  const std::string gbk = Utf8ToGbk(utf8_name);
  const std::string_view name = GbkTruncate(gbk, kNameFieldSize - 1);
  const std::size_t at = out.size();
  out.resize(at + kEntryHeadSize, 0);
  StoreU32(out.data() + at, length);
  out[at + 4] = static_cast<std::uint8_t>(name.size());
  std::memcpy(out.data() + at + 5, name.data(), name.size());
}

}  // namespace

std::size_t CompressDataBound(std::uint32_t length, std::uint8_t method) {
  const std::size_t result =
      method == kMethodLzrw ? LZRW::ContainerBound(length) : static_cast<std::size_t>(compressBound(length));
  return std::min(std::max<std::size_t>(result, length), kU32Max);
}

bool CompressData(std::span<std::uint8_t> buffer, std::uint32_t& length, std::uint8_t method,
                  std::string* error) {
  if (length > buffer.size()) {
    SetError(error, "Length exceeds the buffer");
    return false;
  }
  ByteVector result;
  return Encode(buffer.first(length), method, result, error) && PutBack(buffer, length, result, error);
}

bool DeCompressData(std::span<std::uint8_t> buffer, std::uint32_t& length, std::uint8_t method,
                    std::string* error) {
  if (length > buffer.size()) {
    SetError(error, "Length exceeds the buffer");
    return false;
  }
  ByteVector result;
  return Decode(buffer.first(length), method, std::min(buffer.size(), kU32Max), result, error) &&
         PutBack(buffer, length, result, error);
}

bool CompressData(void* buffer, std::uint32_t& length, std::uint8_t method) {
  if (!buffer) return false;
  return CompressData(std::span(static_cast<std::uint8_t*>(buffer), CompressDataBound(length, method)),
                      length, method);
}

bool DeCompressData(void* buffer, std::uint32_t& length, std::uint8_t method) {
  if (!buffer) return false;
  // The caller vouches for room for the result; the span only bounds what the decoder may produce.
  ByteVector result;
  if (!Decode(std::span(static_cast<const std::uint8_t*>(buffer), length), method, kMaxInPlaceResult, result,
              nullptr)) {
    return false;
  }
  return PutBack(std::span(static_cast<std::uint8_t*>(buffer), std::max<std::size_t>(length, result.size())),
                 length, result, nullptr);
}

std::optional<std::uint32_t> DeCompressedSize(const void* data, std::uint32_t length, std::uint8_t method,
                                              std::uint32_t limit) {
  if (!data && length > 0) return std::nullopt;
  ByteVector result;
  if (!Decode(std::span(static_cast<const std::uint8_t*>(data), length), method, limit, result, nullptr)) {
    return std::nullopt;
  }
  return static_cast<std::uint32_t>(result.size());
}

bool EncodeBundle(std::span<const std::uint8_t> content, const std::string& label,
                  const std::string& file_name, std::vector<std::uint8_t>& packed, std::string* error) {
  if (content.size() > kU32Max - 2 * kEntryHeadSize) {
    SetError(error, "File too large for a bundle: " + file_name);
    return false;
  }
  ByteVector plain;
  plain.reserve(2 * kEntryHeadSize + content.size());
  AppendEntryHead(plain, 0, label);
  AppendEntryHead(plain, static_cast<std::uint32_t>(content.size()), file_name);
  plain.insert(plain.end(), content.begin(), content.end());
  return Deflate(plain, packed, error);
}

bool DecodeBundle(std::span<const std::uint8_t> packed, const BundleFileSink& sink, std::string* error) {
  // The entries stream through this walker as they inflate; file bytes go straight to the sink, which
  // each new file entry starts over.
  std::uint8_t head[kEntryHeadSize];
  std::size_t head_fill = 0;
  std::size_t body_left = 0;
  bool in_body = false;
  std::size_t entries = 0;
  auto walk = [&](std::span<const std::uint8_t> piece) {
    while (!piece.empty()) {
      if (!in_body) {
        const std::size_t take = std::min(kEntryHeadSize - head_fill, piece.size());
        std::memcpy(head + head_fill, piece.data(), take);
        head_fill += take;
        piece = piece.subspan(take);
        if (head_fill < kEntryHeadSize) break;
        head_fill = 0;
        body_left = LoadU32(head);
        in_body = true;
        // The first entry is the label; every later one is the file.
        if (entries++ > 0 && !sink.restart()) return false;
      }
      const std::size_t take = std::min(body_left, piece.size());
      if (entries > 1 && !sink.write(piece.first(take))) return false;
      body_left -= take;
      piece = piece.subspan(take);
      if (body_left == 0) in_body = false;
    }
    return true;
  };
  if (!InflateTo(packed, kMaxBundleContent, walk, error)) return false;
  if (in_body || head_fill > 0) {
    SetError(error, "Bundle is truncated");
    return false;
  }
  if (entries < 2) {
    SetError(error, "Bundle holds no file");
    return false;
  }
  return true;
}

}  // namespace kiv

namespace kiv {

struct ZlibInflateStream::State {
  z_stream zs{};
  bool ready = false;
  std::vector<std::uint8_t> window = std::vector<std::uint8_t>(1 << 16);
  ~State() {
    if (ready) inflateEnd(&zs);
  }
};

ZlibInflateStream::ZlibInflateStream(std::uint64_t limit) : state_(std::make_unique<State>()), limit_(limit) {
  state_->ready = inflateInit(&state_->zs) == Z_OK;
}

ZlibInflateStream::~ZlibInflateStream() = default;

bool ZlibInflateStream::Feed(std::span<const std::uint8_t> input, const Sink& sink, std::string* error) {
  auto fail = [&](const std::string& why) {
    failed_ = true;
    SetError(error, "zlib decompression error: " + why);
    return false;
  };
  if (failed_) return fail("the stream failed before");
  if (!state_->ready) return fail("out of memory");
  if (input.empty()) return true;
  if (finished_) return fail("data after the end of the stream");
  z_stream& zs = state_->zs;
  constexpr std::size_t kChunkMax = std::numeric_limits<uInt>::max();
  const std::uint8_t* in = input.data();
  std::size_t in_left = input.size();
  while (true) {
    if (zs.avail_in == 0 && in_left > 0) {
      zs.next_in = const_cast<Bytef*>(in);
      zs.avail_in = static_cast<uInt>(std::min(in_left, kChunkMax));
      in += zs.avail_in;
      in_left -= zs.avail_in;
    }
    zs.next_out = state_->window.data();
    zs.avail_out = static_cast<uInt>(state_->window.size());
    const int rc = inflate(&zs, Z_NO_FLUSH);
    const std::size_t n = state_->window.size() - zs.avail_out;
    produced_ += n;
    if (produced_ > limit_) return fail("content larger than " + std::to_string(limit_) + " bytes");
    if (n > 0 && !sink(std::span<const std::uint8_t>(state_->window.data(), n))) {
      failed_ = true;
      return false;
    }
    if (rc == Z_STREAM_END) {
      finished_ = true;
      if (zs.avail_in > 0 || in_left > 0) return fail("data after the end of the stream");
      return true;
    }
    if (rc != Z_OK && rc != Z_BUF_ERROR) return fail(rc == Z_MEM_ERROR ? "out of memory" : zs.msg ? zs.msg : zError(rc));
    // All input taken and the window not filled: the rest of the stream is in later pieces.
    if (zs.avail_in == 0 && in_left == 0 && zs.avail_out != 0) break;
  }
  return true;
}

}  // namespace kiv
