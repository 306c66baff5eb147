// Makes every write past `limit` bytes of any file fail with EFBIG for the life of the object, the way a
// full disk makes writes fail, so tests can show that a failed save leaves the old file alone.
#pragma once

#include <signal.h>
#include <sys/resource.h>

namespace kiv {

class FileSizeLimit {
 public:
  explicit FileSizeLimit(rlim_t limit) {
    ::getrlimit(RLIMIT_FSIZE, &saved_);
    old_handler_ = ::signal(SIGXFSZ, SIG_IGN);  // the write fails instead of ending the process
    rlimit lowered = saved_;
    lowered.rlim_cur = limit;
    ::setrlimit(RLIMIT_FSIZE, &lowered);
  }
  ~FileSizeLimit() {
    ::setrlimit(RLIMIT_FSIZE, &saved_);
    ::signal(SIGXFSZ, old_handler_);
  }
  FileSizeLimit(const FileSizeLimit&) = delete;
  FileSizeLimit& operator=(const FileSizeLimit&) = delete;

 private:
  rlimit saved_{};
  sighandler_t old_handler_ = SIG_DFL;
};

}  // namespace kiv
