// Installs staged files over the program folder, all or nothing.
//
// Each target is written as a new file beside it, flushed and renamed over it, so a running program
// or a mapped library keeps its old file until it ends. The files replaced are kept (hard links
// beside them) until the last rename succeeded; on any failure every target already replaced gets
// its old file back and every new target is removed again.
#pragma once

#include <string>
#include <vector>

#include "update_receiver.h"

namespace kiv::update {

// True when every staged file is installed. False, with the reason in `error` and the program folder
// as it was, otherwise. A replaced file keeps its permission bits; a new one gets 0755 when it is a
// program (ELF or "#!" script) and 0644 otherwise.
bool InstallStagedFiles(const std::vector<TStagedFile>& files, std::string* error);

}  // namespace kiv::update
