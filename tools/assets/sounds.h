// The client's notification sounds, synthesised as short 16-bit mono PCM wave files.
#pragma once

#include <filesystem>

namespace kiv::assets {

// Writes Sound1.wav .. Sound6.wav, knock.wav, Warning.wav, LevelUp.wav and Button.wav into `folder`.
bool WriteSounds(const std::filesystem::path& folder);

}  // namespace kiv::assets
