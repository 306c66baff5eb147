// kivora-login-info FOLDER CODE PASSWORD: writes the local user list of the program folder FOLDER
// ("Datas/LoginInfo.dat") with one user whose password is remembered, so the login window opens
// filled in for that user. scripts/run --two uses it for the demo users of its two program copies.
#include <charconv>
#include <cstdio>
#include <filesystem>
#include <string>
#include <system_error>

#include "base/scrambled_file.h"
#include "base/wire.h"

namespace {

// One record of the list: code, 35 unused bytes, password string[40], the two flags.
constexpr std::size_t kHeader = 3, kRecord = 82, kTrailer = 2;
constexpr std::size_t kPassword = 39, kRemember = 80;

}  // namespace

int main(int argc, char** argv) {
  if (argc != 4) {
    std::fprintf(stderr, "usage: kivora-login-info FOLDER CODE PASSWORD\n");
    return 2;
  }
  const std::string code_text = argv[2], password = argv[3];
  std::uint32_t code = 0;
  auto [end, ec] = std::from_chars(code_text.data(), code_text.data() + code_text.size(), code);
  if (ec != std::errc() || end != code_text.data() + code_text.size() || code == 0 || password.size() > 40) {
    std::fprintf(stderr, "kivora-login-info: CODE must be a user code and PASSWORD at most 40 characters\n");
    return 2;
  }
  kiv::RecordWriter w(kHeader + kRecord + kTrailer);
  w.u32(kHeader, code).text(kHeader + kPassword, 40, password).u8(kHeader + kRemember, 1);
  const std::filesystem::path datas = std::filesystem::path(argv[1]) / "Datas";
  std::error_code error;
  std::filesystem::create_directories(datas, error);
  if (!kiv::RecastDatatoFile(w.view(), datas / "LoginInfo.dat")) {
    std::fprintf(stderr, "kivora-login-info: cannot write %s\n", (datas / "LoginInfo.dat").c_str());
    return 1;
  }
  return 0;
}
