// A runtime folder of the test's own: window mailboxes are found by class and caption under
// $XDG_RUNTIME_DIR, and other test programs of this user have windows of the same names. The folder
// (owner only) is made under `parent` and set as XDG_RUNTIME_DIR until the object goes, so this
// process and the programs it starts share it and no other.
#pragma once

#include <cstdlib>
#include <filesystem>
#include <string>

namespace kiv {

class TPrivateRuntimeDir {
 public:
  explicit TPrivateRuntimeDir(const std::filesystem::path& parent) : path_(parent / "runtime") {
    std::filesystem::create_directory(path_);
    std::filesystem::permissions(path_, std::filesystem::perms::owner_all, std::filesystem::perm_options::replace);
    const char* previous = std::getenv("XDG_RUNTIME_DIR");
    had_ = previous != nullptr;
    if (had_) previous_ = previous;
    ::setenv("XDG_RUNTIME_DIR", path_.c_str(), 1);
  }
  ~TPrivateRuntimeDir() {
    if (had_)
      ::setenv("XDG_RUNTIME_DIR", previous_.c_str(), 1);
    else
      ::unsetenv("XDG_RUNTIME_DIR");
  }
  TPrivateRuntimeDir(const TPrivateRuntimeDir&) = delete;
  TPrivateRuntimeDir& operator=(const TPrivateRuntimeDir&) = delete;
  const std::filesystem::path& path() const { return path_; }

 private:
  std::filesystem::path path_;
  bool had_ = false;
  std::string previous_;
};

}  // namespace kiv
