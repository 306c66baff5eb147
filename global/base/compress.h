// CompressUnit: in-memory compression of a buffer and the one-file bundle format.
//
// Methods: kMethodLzrw (1) writes and reads the LZRW container (base/lzrw.h); every other method value
// means a zlib stream (zlib format with header and Adler-32 trailer, level 9, default strategy).
//
// Bundle file: a zlib stream (nothing in front) of a row of entries, each a 32-bit little-endian length n,
// a 40-byte name field (a length byte and the GBK characters, cut at 40 bytes, the rest zero) and n bytes.
// A bundle made by CompressFiles holds exactly two entries: the label (length 0, the name is the label
// text), then the file (the name is the source file's name without folder).
//
// Every function is reentrant and keeps no shared state. Untrusted input never makes a decoder read or
// write outside its buffers or allocate more than its stated bound; failures leave the caller's buffer,
// length and files as they were.
#pragma once

#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <functional>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <vector>

namespace kiv {

inline constexpr std::uint8_t kMethodLzrw = 1;
inline constexpr std::uint8_t kMethodZlib = 2;

// Largest result the pointer-only DeCompressData produces; larger content is refused.
inline constexpr std::uint32_t kMaxInPlaceResult = 256u << 20;

// Most content a bundle may inflate to: its entries, heads included, as a 32-bit size.
inline constexpr std::size_t kMaxBundleContent = 0xFFFFFFFF;

// Room the buffer of an in-place compression of `length` bytes needs: the input itself or the largest
// result, whichever is larger. Saturates at UINT32_MAX for inputs too large to compress in place.
std::size_t CompressDataBound(std::uint32_t length, std::uint8_t method);

// Size-aware in-place forms. `buffer` is the whole buffer the caller owns; its first `length` bytes are the
// input. The result replaces them and `length` becomes its size. Returns false, with the buffer and
// `length` unchanged and `error` (when given) set, when the input is damaged, `length` exceeds the buffer,
// or the result does not fit in buffer.size() bytes.
bool CompressData(std::span<std::uint8_t> buffer, std::uint32_t& length, std::uint8_t method,
                  std::string* error = nullptr);
bool DeCompressData(std::span<std::uint8_t> buffer, std::uint32_t& length, std::uint8_t method,
                    std::string* error = nullptr);

// Pointer-only in-place forms, for callers that size the buffer themselves.
// CompressData: `buffer` must hold CompressDataBound(length, method) bytes.
bool CompressData(void* buffer, std::uint32_t& length, std::uint8_t method);
// DeCompressData: `buffer` must hold at least `length` bytes and the whole result, whose size
// DeCompressedSize gives beforehand. Writes exactly the result; refuses results over kMaxInPlaceResult.
bool DeCompressData(void* buffer, std::uint32_t& length, std::uint8_t method);

// Size of the content of the `length` compressed bytes at `data`, or nothing when they are damaged or the
// content exceeds `limit`.
std::optional<std::uint32_t> DeCompressedSize(const void* data, std::uint32_t length, std::uint8_t method,
                                              std::uint32_t limit = kMaxInPlaceResult);

// The bundle of one file in memory: the label entry, then `content` under `file_name` (both UTF-8,
// stored as GBK), deflated into `packed`. False, with `error` set, when the content is too large.
bool EncodeBundle(std::span<const std::uint8_t> content, const std::string& label,
                  const std::string& file_name, std::vector<std::uint8_t>& packed,
                  std::string* error = nullptr);

// Where DecodeBundle puts the bytes of a bundle's file entry as they inflate: `restart` at the start of
// every file entry (the last one wins), `write` for each piece of it. Either returns false to stop.
struct BundleFileSink {
  std::function<bool()> restart;
  std::function<bool(std::span<const std::uint8_t>)> write;
};

// Inflates a bundle through a fixed-size window into `sink`, so memory use does not grow with the content.
// False, with `error` set, when the bundle is damaged, ends inside an entry, inflates beyond
// kMaxBundleContent, holds no file entry, or the sink refuses.
bool DecodeBundle(std::span<const std::uint8_t> packed, const BundleFileSink& sink,
                  std::string* error = nullptr);

// --- File forms (kivbase) ---------------------------------------------------------------------------

// Builds the bundle of `source_file` with `label` (UTF-8; stored as GBK) and writes it to `bundle_file`,
// replacing it in one step. Returns false, with `error` set, when a file cannot be read or written.
bool CompressFiles(const std::filesystem::path& bundle_file, const std::filesystem::path& source_file,
                   const std::string& label, std::string* error = nullptr);

// Reads `bundle_file` and writes the bytes of its file entry to `target_file` (when a bundle holds several
// file entries after the label, the last one wins), replacing it in one step. The content streams through
// a fixed-size window, so memory use does not grow with it. Returns false, with `error` set and
// `target_file` untouched, when the bundle cannot be read, is damaged, ends inside an entry, inflates
// beyond kMaxBundleContent, or holds no file entry.
bool DeCompressFiles(const std::filesystem::path& bundle_file, const std::filesystem::path& target_file,
                     std::string* error = nullptr);

}  // namespace kiv

namespace kiv {

// Inflates one zlib stream (RFC 1950) that arrives in pieces, handing the content to a sink as it
// comes out, so memory stays at one 64 KiB window whatever the stream holds. Refuses content beyond
// `limit` bytes, damaged data and bytes after the end of the stream.
class ZlibInflateStream {
 public:
  using Sink = std::function<bool(std::span<const std::uint8_t>)>;
  explicit ZlibInflateStream(std::uint64_t limit);
  ~ZlibInflateStream();
  ZlibInflateStream(const ZlibInflateStream&) = delete;
  ZlibInflateStream& operator=(const ZlibInflateStream&) = delete;

  // Feeds the next piece of the stream. False, with `error` set, on damaged data, on content beyond
  // the limit, on input after the end, or when `sink` returns false; every later call fails too.
  bool Feed(std::span<const std::uint8_t> input, const Sink& sink, std::string* error = nullptr);
  // True once the end of the stream has been read.
  bool Finished() const { return finished_; }
  std::uint64_t Produced() const { return produced_; }

 private:
  struct State;
  std::unique_ptr<State> state_;
  std::uint64_t limit_;
  std::uint64_t produced_ = 0;
  bool finished_ = false;
  bool failed_ = false;
};

}  // namespace kiv
