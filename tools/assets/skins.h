// The three default skins: a Qt style sheet and its pictures in skins/<name>/.
#pragma once

#include <QStringList>
#include <filesystem>

namespace kiv::assets {

// Names of the skins written by WriteSkins, in brand-row order.
QStringList SkinNames();

// Writes skins/<name>/skin.qss and its pictures for each default skin under `skins_folder`.
bool WriteSkins(const std::filesystem::path& skins_folder);

}  // namespace kiv::assets
