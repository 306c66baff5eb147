#include "update_installer.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <memory>

#include "base/files.h"

namespace kiv::update {

namespace {

struct TStep {
  const TStagedFile* file = nullptr;
  std::unique_ptr<ReplacementFile> replacement;
  std::string backup;  // the replaced file, kept until everything is installed; empty for a new file
  bool existed = false;
  bool program = false;
  bool committed = false;
};

// Copies the staged file into the replacement beside the target; notes whether it is a program.
bool CopyInto(TStep& step, std::string* error) {
  const int fd = ::open(step.file->staged.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) {
    if (error) *error = "cannot read " + step.file->staged.string() + ": " + std::strerror(errno);
    return false;
  }
  std::vector<std::uint8_t> buffer(1 << 16);
  bool first = true;
  bool ok = true;
  while (ok) {
    const ssize_t n = ::read(fd, buffer.data(), buffer.size());
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) {
      if (error) *error = "cannot read " + step.file->staged.string() + ": " + std::strerror(errno);
      ok = false;
      break;
    }
    if (n == 0) break;
    if (first) {
      step.program = (n >= 4 && std::memcmp(buffer.data(),
                                            "\x7f"
                                            "ELF",
                                            4) == 0) ||
                     (n >= 2 && buffer[0] == '#' && buffer[1] == '!');
      first = false;
    }
    if (!step.replacement->Write(std::span(buffer.data(), static_cast<std::size_t>(n)))) {
      if (error) *error = step.replacement->error();
      ok = false;
    }
  }
  ::close(fd);
  return ok;
}

void RollBack(std::vector<TStep>& steps) {
  for (TStep& step : steps) {
    if (step.committed) {
      if (step.existed) {
        ::rename(step.backup.c_str(), step.file->target.c_str());
      } else {
        ::unlink(step.file->target.c_str());
      }
    } else if (!step.backup.empty()) {
      ::unlink(step.backup.c_str());
    }
  }
}

}  // namespace

bool InstallStagedFiles(const std::vector<TStagedFile>& files, std::string* error) {
  std::vector<TStep> steps(files.size());
  // First every new file is written beside its target, so a full disk fails before anything changes.
  for (std::size_t i = 0; i < files.size(); ++i) {
    TStep& step = steps[i];
    step.file = &files[i];
    if (!MakeDir(step.file->target.parent_path())) {
      if (error) *error = "cannot create " + step.file->target.parent_path().string();
      return false;
    }
    step.replacement = std::make_unique<ReplacementFile>(step.file->target);
    if (!step.replacement->ok() || !CopyInto(step, error)) {
      if (error && error->empty()) *error = step.replacement->error();
      return false;
    }
  }
  // Then the renames, keeping each replaced file under a second name until the last one is done.
  for (TStep& step : steps) {
    struct stat st {};
    step.existed = ::lstat(step.file->target.c_str(), &st) == 0;
    if (step.existed) {
      step.backup = step.file->target.string() + ".kivupdate-old";
      ::unlink(step.backup.c_str());
      if (::link(step.file->target.c_str(), step.backup.c_str()) != 0) {
        if (error) *error = "cannot keep " + step.file->target.string() + ": " + std::strerror(errno);
        step.backup.clear();
        RollBack(steps);
        return false;
      }
    }
    if (!step.replacement->Commit()) {
      if (error) *error = step.replacement->error();
      RollBack(steps);
      return false;
    }
    step.committed = true;
    if (!step.existed) ::chmod(step.file->target.c_str(), step.program ? 0755 : 0644);
  }
  for (TStep& step : steps)
    if (!step.backup.empty()) ::unlink(step.backup.c_str());
  return true;
}

}  // namespace kiv::update
