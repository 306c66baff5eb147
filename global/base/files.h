// Folder, file and process helpers.
#pragma once

#include <cstdint>
#include <filesystem>
#include <functional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace kiv {

// The folder of the running program: the application folder, which holds DBConfig.ini, Datas/,
// Plugins/ and the users' folders.
std::filesystem::path ApplicationFolder();

// Creates the folder with all missing parents. False when it does not exist afterwards.
bool MakeDir(const std::filesystem::path& path);
// Deletes everything inside the folder and the folder itself, silently.
void DeleteDir(const std::filesystem::path& path);
// Copies the folder tree into `target`, creating folders as needed and overwriting files.
// False when the source cannot be listed.
bool CopyDir(const std::filesystem::path& source, const std::filesystem::path& target);
// Size of the first file matching `pattern` (a path whose last part may hold * and ?); 0 when none.
std::int64_t GetFileSize(const std::filesystem::path& pattern);

// How a started program's window should show. Desktop window managers decide that here, so the
// value is accepted for the callers' sake and passed on to nothing.
enum class TExecState : std::uint8_t { esNormal, esMinimized, esMaximized, esHidden };

// Hooks for FileExecuteWait's wait loop: `pump` runs pending window events; `terminating` tells
// when the application is shutting down. Either may be empty.
struct WaitHooks {
  std::function<void()> pump;
  std::function<bool()> terminating;
};

// Starts `file` with `arguments` in `folder` and waits until the process ends or the application is
// terminating, sleeping 1 ms between checks and running `hooks`. A relative `file` names a file of
// `folder` (of the current folder when `folder` is empty), never one found through PATH. The arguments
// reach the program exactly as given: nothing expands variables, "~", patterns or quotes, so a name
// that came from the network stays one argument. A file that is not a program is opened with the
// desktop's handler (without the arguments). Returns the exit code (128 + the signal for a process
// killed by one), 259 when the process was still running, -1 when it could not be started.
int FileExecuteWait(const std::filesystem::path& file, const std::vector<std::string>& arguments,
                    const std::filesystem::path& folder, TExecState state, const WaitHooks& hooks = {});

// True when a running process has the executable name `name` (letter case ignored).
bool CheckModule(std::string_view name);

// A fresh file beside `path` that takes its place on Commit, so a crash, a full disk or a failed
// write never leaves a half-written file where `path` was: readers see the old file or the new one.
// The data is flushed to disk before the rename. A file it replaces keeps its permission bits.
// Removed unless committed. Not thread-safe; one writer per object.
class ReplacementFile {
 public:
  explicit ReplacementFile(std::filesystem::path path);
  ReplacementFile(const ReplacementFile&) = delete;
  ReplacementFile& operator=(const ReplacementFile&) = delete;
  ~ReplacementFile();

  bool ok() const { return error_.empty(); }
  // "Cannot write <path>: <reason>" after the first failure.
  const std::string& error() const { return error_; }

  bool Write(std::span<const std::uint8_t> data);
  bool Write(std::string_view data);
  // Drops what was written so far.
  bool Restart();
  // Flushes, closes and renames the file over `path`. False (and `path` untouched) on any failure.
  bool Commit();

 private:
  void Fail(int reason);

  std::filesystem::path path_;
  std::string temp_;
  int fd_ = -1;
  bool committed_ = false;
  std::string error_;
};

// Writes `data` as the whole new content of `path` through a ReplacementFile. False, with the reason
// in `error` when given, and the old file untouched, on any failure.
bool WriteFileAtomic(const std::filesystem::path& path, std::span<const std::uint8_t> data,
                     std::string* error = nullptr);
bool WriteFileAtomic(const std::filesystem::path& path, std::string_view data, std::string* error = nullptr);

}  // namespace kiv
