// The built-in emoticons: two sets of small animated pictures with their names and hot keys.
//
// Messages carry hot keys, not pictures, so every installation must hold the same list in the same
// order: the list below is the client's built-in emoticon list ("EmoteInfo/EmoteInfo.dat").
#pragma once

#include <QByteArray>
#include <QImage>
#include <QString>
#include <filesystem>
#include <vector>

namespace kiv::assets {

constexpr int kEmoteSize = 24;
constexpr int kEmoteFrames = 4;
constexpr int kEmoteFrameDelayCs = 18;  // hundredths of a second per frame

struct EmoteEntry {
  int category;     // 1 first set ("图释1"), 2 second set ("图释2")
  QString name;     // shown in the picker's hint
  QString hot_key;  // what a message carries instead of the picture
  QString file;     // picture file name inside EmoteInfo/
};

// The built-in list in its stored order.
const std::vector<EmoteEntry>& BuiltInEmotes();

// Frame `frame` (0 .. kEmoteFrames - 1) of emoticon `index`, kEmoteSize square, transparent around.
QImage DrawEmoteFrame(int index, int frame);

// An animated GIF (looping, transparent background) of the frames.
QByteArray EncodeAnimatedGif(const std::vector<QImage>& frames, int delay_cs);

// Writes every picture and the built-in list into `folder` (the application's EmoteInfo/).
bool WriteEmotes(const std::filesystem::path& folder);

}  // namespace kiv::assets
