// File paths and the UTF-8 texts that name them (dialogs, messages, records): the one conversion,
// so that a Chinese file name survives whatever the process's locale is.
#pragma once

#include <QString>
#include <filesystem>
#include <string>

namespace kiv {

inline std::string Utf8OfPath(const std::filesystem::path& path) {
  const std::u8string text = path.u8string();
  return {text.begin(), text.end()};
}

inline QString TextOfPath(const std::filesystem::path& path) {
  return QString::fromStdString(Utf8OfPath(path));
}

inline std::filesystem::path PathOfText(const QString& text) {
  const QByteArray utf8 = text.toUtf8();
  return std::filesystem::path(std::u8string(reinterpret_cast<const char8_t*>(utf8.constData()),
                                             static_cast<std::size_t>(utf8.size())));
}

}  // namespace kiv
