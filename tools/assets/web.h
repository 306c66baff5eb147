// The content folder of the server's web site: the version file, the gift, stamp and skin catalogues,
// their pictures and the skin packages.
#pragma once

#include <filesystem>

namespace kiv::assets {

// Writes Download/Version.txt, present/, stamp/ and skins/ under `web_root`. The skin packages are
// made from the skins already written under `skins_folder` (WriteSkins).
bool WriteWebSite(const std::filesystem::path& web_root, const std::filesystem::path& skins_folder);

}  // namespace kiv::assets
