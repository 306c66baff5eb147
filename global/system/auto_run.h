// Run at system start: the XDG autostart entry "<config>/autostart/<name>.desktop", where <config>
// is $XDG_CONFIG_HOME or ~/.config. Desktops that follow the XDG autostart rules start the program
// when the user's session begins.
#pragma once

#include <QString>
#include <filesystem>

namespace kiv {

// The autostart folder of this user; empty when neither $XDG_CONFIG_HOME nor $HOME is set.
std::filesystem::path AutostartFolder();

// The autostart entry's text for `program` (quoted as the desktop entry rules ask).
QString AutostartEntry(const QString& name, const QString& program);

// Removes the entry `name`, then, when `on`, writes it for `program` (atomically). Errors are
// ignored; false when the entry could not be written or removed.
bool SetAutoRun(bool on, const QString& name, const QString& program,
                const std::filesystem::path& folder = AutostartFolder());

}  // namespace kiv
