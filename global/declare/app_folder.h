// The application folder: the folder of the running program. The client keeps its data beside the
// program (Plugins/, skins/, Datas/, DBConfig.ini, the logs), as a portable installation does.
#pragma once

#include <filesystem>

namespace kiv {

// The folder holding the running program file; the current folder when it cannot be found.
std::filesystem::path ApplicationFolder();

}  // namespace kiv
