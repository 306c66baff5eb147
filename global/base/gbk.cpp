#include "base/gbk.h"

#include <iconv.h>

#include <algorithm>
#include <cerrno>

namespace kiv {
namespace {

// One iconv descriptor per thread and direction: descriptors are not safe to share between threads,
// and opening one per call costs more than the conversion of a short record field.
class IconvHandle {
 public:
  IconvHandle(const char* to, const char* from) : cd_(iconv_open(to, from)) {}
  ~IconvHandle() {
    if (valid()) iconv_close(cd_);
  }
  IconvHandle(const IconvHandle&) = delete;
  IconvHandle& operator=(const IconvHandle&) = delete;

  bool valid() const { return cd_ != reinterpret_cast<iconv_t>(-1); }
  iconv_t get() const {
    iconv(cd_, nullptr, nullptr, nullptr, nullptr);  // reset shift state
    return cd_;
  }

 private:
  iconv_t cd_;
};

constexpr std::string_view kReplacementUtf8 = "\xEF\xBF\xBD";

// Length of the UTF-8 sequence that starts with `lead`; 1 for a byte that cannot start one.
std::size_t Utf8SequenceLength(unsigned char lead) {
  if (lead < 0x80) return 1;
  if ((lead & 0xE0) == 0xC0) return 2;
  if ((lead & 0xF0) == 0xE0) return 3;
  if ((lead & 0xF8) == 0xF0) return 4;
  return 1;
}

// Converts `in` with `cd`; at each byte iconv refuses, `skip` says how many input bytes to drop and
// `replacement` is written in their place.
template <typename SkipFn>
std::string Convert(iconv_t cd, std::string_view in, std::string_view replacement, SkipFn skip) {
  std::string out;
  out.reserve(in.size() * 3 / 2 + 4);
  char buffer[1024];
  auto* src = const_cast<char*>(in.data());
  std::size_t src_left = in.size();
  while (src_left > 0) {
    char* dst = buffer;
    std::size_t dst_left = sizeof buffer;
    std::size_t rc = iconv(cd, &src, &src_left, &dst, &dst_left);
    out.append(buffer, static_cast<std::size_t>(dst - buffer));
    if (rc != static_cast<std::size_t>(-1)) continue;
    if (errno == E2BIG) continue;
    // EILSEQ or EINVAL (an incomplete sequence at the end): replace and go on.
    std::size_t n = skip(static_cast<unsigned char>(*src), src_left);
    src += n;
    src_left -= n;
    out.append(replacement);
    iconv(cd, nullptr, nullptr, nullptr, nullptr);
  }
  return out;
}

// Without a converter: ASCII passes, every other character becomes `replacement`. A UTF-8 sequence is
// one character; a GBK lead byte takes its trail byte with it.
std::string AsciiOnly(std::string_view in, std::string_view replacement, bool from_utf8) {
  std::string out;
  for (std::size_t i = 0; i < in.size();) {
    const auto byte = static_cast<unsigned char>(in[i]);
    if (byte < 0x80) {
      out += static_cast<char>(byte);
      ++i;
      continue;
    }
    out.append(replacement);
    const std::size_t n = from_utf8 ? Utf8SequenceLength(byte) : (IsGbkLeadByte(byte) ? 2 : 1);
    i += std::min(n, in.size() - i);
  }
  return out;
}

std::string GbkToUtf8Through(const IconvHandle& handle, std::string_view gbk) {
  if (!handle.valid()) return AsciiOnly(gbk, kReplacementUtf8, false);
  // A bad lead byte is dropped alone, so that the byte after it is read afresh.
  return Convert(handle.get(), gbk, kReplacementUtf8,
                 [](unsigned char, std::size_t) { return std::size_t{1}; });
}

std::string Utf8ToGbkThrough(const IconvHandle& handle, std::string_view utf8) {
  if (!handle.valid()) return AsciiOnly(utf8, "?", true);
  return Convert(handle.get(), utf8, "?", [](unsigned char lead, std::size_t left) {
    std::size_t n = Utf8SequenceLength(lead);
    return n <= left ? n : left;
  });
}

const IconvHandle& ToUtf8() {
  thread_local IconvHandle handle("UTF-8", "GBK");
  return handle;
}

const IconvHandle& ToGbk() {
  thread_local IconvHandle handle("GBK", "UTF-8");
  return handle;
}

}  // namespace

std::string GbkToUtf8(std::string_view gbk) { return GbkToUtf8Through(ToUtf8(), gbk); }

std::string Utf8ToGbk(std::string_view utf8) { return Utf8ToGbkThrough(ToGbk(), utf8); }

bool GbkConversionAvailable() { return ToUtf8().valid() && ToGbk().valid(); }

namespace detail {

std::string GbkToUtf8With(const char* charset, std::string_view gbk) {
  const IconvHandle handle("UTF-8", charset);
  return GbkToUtf8Through(handle, gbk);
}

std::string Utf8ToGbkWith(const char* charset, std::string_view utf8) {
  const IconvHandle handle(charset, "UTF-8");
  return Utf8ToGbkThrough(handle, utf8);
}

}  // namespace detail

std::size_t GbkPrefixLength(std::string_view gbk, std::size_t max_bytes) {
  std::size_t i = 0;
  while (i < gbk.size()) {
    std::size_t step = IsGbkLeadByte(static_cast<unsigned char>(gbk[i])) && i + 1 < gbk.size() ? 2 : 1;
    if (i + step > max_bytes) break;
    i += step;
  }
  return i;
}

std::string_view GbkTruncate(std::string_view gbk, std::size_t max_bytes) {
  return gbk.substr(0, GbkPrefixLength(gbk, max_bytes));
}

}  // namespace kiv
