#include "base/files.h"

#include <fcntl.h>
#include <fnmatch.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>
#include <wordexp.h>

#include <algorithm>
#include <chrono>
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

int FileExecuteWait(const fs::path& file, std::string_view parameters, const fs::path& folder, TExecState,
                    const WaitHooks& hooks) {
  std::error_code ec;
  std::vector<std::string> args;
  if (::access(file.c_str(), X_OK) == 0 && !fs::is_directory(file, ec)) {
    args.push_back(file.string());
  } else if (fs::exists(file, ec)) {
    args = {"xdg-open", file.string()};
  } else {
    return -1;
  }
  if (!parameters.empty()) {
    wordexp_t words{};
    std::string text(parameters);
    if (::wordexp(text.c_str(), &words, WRDE_NOCMD) != 0) return -1;
    for (std::size_t i = 0; i < words.we_wordc; ++i) args.emplace_back(words.we_wordv[i]);
    ::wordfree(&words);
  }
  std::vector<char*> argv;
  for (auto& a : args) argv.push_back(a.data());
  argv.push_back(nullptr);

  posix_spawn_file_actions_t actions;
  ::posix_spawn_file_actions_init(&actions);
  if (!folder.empty()) ::posix_spawn_file_actions_addchdir_np(&actions, folder.c_str());
  pid_t pid = 0;
  int rc = ::posix_spawnp(&pid, argv[0], &actions, nullptr, argv.data(), environ);
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

}  // namespace kiv
