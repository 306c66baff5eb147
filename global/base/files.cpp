#include "base/files.h"

#include <fcntl.h>
#include <fnmatch.h>
#include <signal.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <thread>
#include <vector>

extern char** environ;

namespace kiv {

namespace fs = std::filesystem;

fs::path ApplicationFolder() {
  std::error_code ec;
  fs::path exe = fs::read_symlink("/proc/self/exe", ec);
  if (ec || exe.empty()) return fs::current_path(ec);
  return exe.parent_path();
}

bool MakeDir(const fs::path& path) {
  std::error_code ec;
  fs::create_directories(path, ec);
  return fs::is_directory(path, ec);
}

void DeleteDir(const fs::path& path) {
  std::error_code ec;
  fs::remove_all(path, ec);
}

bool CopyDir(const fs::path& source, const fs::path& target) {
  std::error_code ec;
  if (!fs::is_directory(source, ec)) return false;
  fs::create_directories(target, ec);
  fs::copy(source, target, fs::copy_options::recursive | fs::copy_options::overwrite_existing, ec);
  return !ec;
}

std::int64_t GetFileSize(const fs::path& pattern) {
  std::error_code ec;
  fs::path folder = pattern.has_parent_path() ? pattern.parent_path() : fs::path(".");
  std::string name = pattern.filename().string();
  std::vector<fs::path> matches;
  for (const auto& entry : fs::directory_iterator(folder, ec)) {
    if (entry.is_regular_file(ec) && ::fnmatch(name.c_str(), entry.path().filename().c_str(), 0) == 0)
      matches.push_back(entry.path());
  }
  if (matches.empty()) return 0;
  std::sort(matches.begin(), matches.end());
  auto size = fs::file_size(matches.front(), ec);
  return ec ? 0 : static_cast<std::int64_t>(size);
}

int FileExecuteWait(const fs::path& file, const std::vector<std::string>& arguments, const fs::path& folder,
                    TExecState, const WaitHooks& hooks) {
  std::error_code ec;
  const fs::path program =
      file.is_absolute() ? file : (folder.empty() ? fs::current_path(ec) : folder) / file;
  std::vector<std::string> args;
  const char* spawn_path = nullptr;
  bool search_path = false;
  if (::access(program.c_str(), X_OK) == 0 && !fs::is_directory(program, ec)) {
    args.push_back(program.string());
    args.insert(args.end(), arguments.begin(), arguments.end());
  } else if (fs::is_regular_file(program, ec)) {
    // The desktop's opener is a program of the system, found through PATH; the file is named in full.
    args = {"xdg-open", program.string()};
    search_path = true;
  } else {
    return -1;
  }
  std::vector<char*> argv;
  for (auto& a : args) argv.push_back(a.data());
  argv.push_back(nullptr);
  spawn_path = argv[0];

  posix_spawn_file_actions_t actions;
  ::posix_spawn_file_actions_init(&actions);
  if (!folder.empty()) ::posix_spawn_file_actions_addchdir_np(&actions, folder.c_str());
  pid_t pid = 0;
  const int rc = search_path ? ::posix_spawnp(&pid, spawn_path, &actions, nullptr, argv.data(), environ)
                             : ::posix_spawn(&pid, spawn_path, &actions, nullptr, argv.data(), environ);
  ::posix_spawn_file_actions_destroy(&actions);
  if (rc != 0) return -1;

  for (;;) {
    int status = 0;
    pid_t done = ::waitpid(pid, &status, WNOHANG);
    if (done == pid) return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
    if (done < 0) return -1;
    if (hooks.terminating && hooks.terminating()) return 259;  // still running; left to run on
    if (hooks.pump) hooks.pump();
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
}

bool CheckModule(std::string_view name) {
  auto lower = [](std::string s) {
    std::transform(s.begin(), s.end(), s.begin(),
                   [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
    return s;
  };
  std::string wanted = lower(std::string(name));
  std::error_code ec;
  for (const auto& entry : fs::directory_iterator("/proc", ec)) {
    std::string pid = entry.path().filename().string();
    if (pid.find_first_not_of("0123456789") != std::string::npos) continue;
    fs::path exe = fs::read_symlink(entry.path() / "exe", ec);
    std::string exe_name = ec ? std::string() : exe.filename().string();
    if (exe_name.empty()) {
      // Another user's process: its command line is still readable.
      std::ifstream in(entry.path() / "cmdline", std::ios::binary);
      std::string argv0;
      std::getline(in, argv0, '\0');
      exe_name = fs::path(argv0).filename().string();
    }
    if (!exe_name.empty() && lower(exe_name) == wanted) return true;
  }
  return false;
}

ReplacementFile::ReplacementFile(fs::path path) : path_(std::move(path)) {
  static std::atomic<unsigned> counter{0};
  for (int attempt = 0; attempt < 100 && fd_ < 0; ++attempt) {
    temp_ = path_.string() + ".part-" + std::to_string(::getpid()) + "-" + std::to_string(counter++);
    fd_ = ::open(temp_.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
    if (fd_ < 0 && errno != EEXIST) break;
  }
  if (fd_ < 0) {
    const int reason = errno;
    temp_.clear();
    Fail(reason);
    return;
  }
  // A file it replaces keeps its permissions (a program stays executable).
  struct stat existing {};
  if (::stat(path_.c_str(), &existing) == 0) ::fchmod(fd_, existing.st_mode & 07777);
}

ReplacementFile::~ReplacementFile() {
  if (fd_ >= 0) ::close(fd_);
  if (!committed_ && !temp_.empty()) ::unlink(temp_.c_str());
}

bool ReplacementFile::Write(std::span<const std::uint8_t> data) {
  std::size_t done = 0;
  while (ok() && done < data.size()) {
    const ssize_t n = ::write(fd_, data.data() + done, data.size() - done);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0)
      Fail(n < 0 ? errno : ENOSPC);
    else
      done += static_cast<std::size_t>(n);
  }
  return ok();
}

bool ReplacementFile::Write(std::string_view data) {
  return Write(std::span(reinterpret_cast<const std::uint8_t*>(data.data()), data.size()));
}

bool ReplacementFile::Restart() {
  if (ok() && (::ftruncate(fd_, 0) != 0 || ::lseek(fd_, 0, SEEK_SET) != 0)) Fail(errno);
  return ok();
}

bool ReplacementFile::Commit() {
  if (!ok()) return false;
  if (::fsync(fd_) != 0) Fail(errno);
  const int rc = ::close(fd_);
  fd_ = -1;
  if (ok() && rc != 0) Fail(errno);
  if (ok() && std::rename(temp_.c_str(), path_.c_str()) != 0) Fail(errno);
  committed_ = ok();
  if (committed_) {
    // The rename itself reaches the disk with the folder's entry; a crash now keeps the new file.
    const fs::path folder = path_.has_parent_path() ? path_.parent_path() : fs::path(".");
    const int dir = ::open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (dir >= 0) {
      ::fsync(dir);
      ::close(dir);
    }
  }
  return committed_;
}

void ReplacementFile::Fail(int reason) {
  if (ok()) error_ = "Cannot write " + path_.string() + ": " + std::strerror(reason);
}

bool WriteFileAtomic(const fs::path& path, std::span<const std::uint8_t> data, std::string* error) {
  ReplacementFile out(path);
  if (out.Write(data) && out.Commit()) return true;
  if (error) *error = out.error();
  return false;
}

bool WriteFileAtomic(const fs::path& path, std::string_view data, std::string* error) {
  return WriteFileAtomic(path, std::span(reinterpret_cast<const std::uint8_t*>(data.data()), data.size()),
                         error);
}

}  // namespace kiv
