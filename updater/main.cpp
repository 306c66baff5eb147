// KivUpdate VERSION ADDRESS PORT RESTART BRAND: updates the client in the folder of this program.
#include <QApplication>
#include <QStringList>
#include <algorithm>
#include <cstdlib>
#include <fstream>
#include <sstream>

#include "base/files.h"
#include "declare/declare.h"
#include "main_unit.h"

namespace {

// The key updates must be signed with: the one built in, else the installation's key file.
std::optional<kiv::update::TPublicKey> InstalledPublicKey(const std::filesystem::path& folder) {
  std::string text;
#ifdef KIV_UPDATE_PUBLIC_KEY
  text = KIV_UPDATE_PUBLIC_KEY;
#endif
  if (text.empty()) {
    std::ifstream in(folder / "update-key.pub");
    std::stringstream all;
    all << in.rdbuf();
    text = all.str();
  }
  if (text.empty()) return std::nullopt;
  std::optional<kiv::Bytes> bytes = kiv::update::FromHex(text, 32);
  kiv::update::TPublicKey key{};
  // A key file that cannot be read as a key refuses every update rather than none.
  if (bytes) std::copy(bytes->begin(), bytes->end(), key.begin());
  return key;
}

// Benchmarks and scripted runs shorten the two fixed waits (start and closing after success).
kiv::update::TUpdateTimings TimingsFromEnvironment() {
  kiv::update::TUpdateTimings t;
  auto read = [](const char* name, int& value) {
    if (const char* text = std::getenv(name)) value = std::max(0, std::atoi(text));
  };
  read("KIVUPDATE_START_DELAY_MS", t.start_delay_ms);
  read("KIVUPDATE_CLOSE_DELAY_MS", t.close_delay_ms);
  return t;
}

}  // namespace

int main(int argc, char** argv) {
  QApplication app(argc, argv);
  std::optional<kiv::update::TUpdaterArguments> arguments =
      kiv::update::ParseArguments(app.arguments().mid(1));
  if (!arguments) return 0;
  kiv::SetAppType(static_cast<std::uint8_t>(arguments->brand));
  const std::filesystem::path folder = kiv::ApplicationFolder();
  kiv::update::TForm1 form(*arguments, folder, InstalledPublicKey(folder), TimingsFromEnvironment());
  form.show();
  return app.exec();
}
