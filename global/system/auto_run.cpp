#include "system/auto_run.h"

#include <cstdlib>
#include <system_error>

#include "base/files.h"
#include "base/safe_name.h"

namespace kiv {

std::filesystem::path AutostartFolder() {
  if (const char* config = std::getenv("XDG_CONFIG_HOME"); config && *config == '/')
    return std::filesystem::path(config) / "autostart";
  if (const char* home = std::getenv("HOME"); home && *home == '/')
    return std::filesystem::path(home) / ".config" / "autostart";
  return {};
}

QString AutostartEntry(const QString& name, const QString& program) {
  // Exec arguments are quoted; inside quotes ", `, $ and \ take a backslash.
  QString quoted;
  for (const QChar c : program) {
    if (c == QLatin1Char('"') || c == QLatin1Char('`') || c == QLatin1Char('$') || c == QLatin1Char('\\'))
      quoted += QLatin1Char('\\');
    quoted += c;
  }
  // A value of a desktop entry is one line.
  QString title = name;
  title.replace(QLatin1Char('\n'), QLatin1Char(' ')).replace(QLatin1Char('\r'), QLatin1Char(' '));
  quoted.replace(QLatin1Char('\n'), QLatin1Char(' ')).replace(QLatin1Char('\r'), QLatin1Char(' '));
  return QStringLiteral("[Desktop Entry]\nType=Application\nName=%1\nExec=\"%2\"\nTerminal=false\n"
                        "X-GNOME-Autostart-enabled=true\n")
      .arg(title, quoted);
}

bool SetAutoRun(bool on, const QString& name, const QString& program, const std::filesystem::path& folder) {
  if (folder.empty()) return false;
  const auto file = PathInFolder(folder, (name + QStringLiteral(".desktop")).toStdString());
  if (!file) return false;
  std::error_code error;
  std::filesystem::remove(*file, error);
  if (!on) return !std::filesystem::exists(*file, error);
  std::filesystem::create_directories(folder, error);
  return WriteFileAtomic(*file, AutostartEntry(name, program).toStdString());
}

}  // namespace kiv
