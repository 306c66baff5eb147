// Downloads of the client's web resources (catalogues, pictures, skin packages) from the service's
// web site. Blocking: call them from a worker thread, never from the main thread.
//
// A download goes to a fresh temporary file beside its target and is renamed into place only after
// an HTTP 200 answer arrived whole (as long as its Content-Length said) and within its size limit,
// so an interrupted download or an error page never becomes a cached file, and two downloads of one
// URL never write into one file.
#pragma once

#include <atomic>
#include <cstdint>
#include <filesystem>
#include <string>
#include <string_view>

namespace kiv {

// Size limits of the kinds of resources.
inline constexpr std::int64_t kCatalogueLimit = 1 << 20;
inline constexpr std::int64_t kPictureLimit = 4 << 20;
inline constexpr std::int64_t kPackageLimit = 32 << 20;
// No byte for this long ends a download.
inline constexpr int kDownloadTimeoutMs = 20000;

enum class TFetchResult { kOk, kNetworkError, kHttpStatus, kIncomplete, kTooLarge, kWriteError, kCancelled };

// Downloads `url` over `target`. `cancel`, when given, ends the download once it becomes true.
TFetchResult FetchToFile(const std::string& url, const std::filesystem::path& target, std::int64_t max_bytes,
                         const std::atomic<bool>* cancel = nullptr, int timeout_ms = kDownloadTimeoutMs);

// The last non-empty part of `url` after "/" (query and fragment removed); empty for an empty URL.
std::string GetFileName(std::string_view url);

// The local copy of `url` in `root`/`folder_name`, downloaded once: when that file exists nothing is
// fetched. Trailing spaces of the URL are cut first. The file is named by the URL's last part, except
// in the "download" folder, which holds pictures of any address and so names each by the digest of
// the whole URL (keeping the extension). Up to 6 attempts on network errors. The local path in every
// case (check that it exists); an empty path when the URL's name is not a bare file name.
std::filesystem::path DownloadFile(std::string_view url, std::string_view folder_name,
                                   const std::filesystem::path& root, std::int64_t max_bytes = kPictureLimit,
                                   const std::atomic<bool>* cancel = nullptr);

}  // namespace kiv
