// Recording sources and their level (module Global_Audio): the chat and room windows' choice of
// microphone or line input.
//
// Every source of the sound server except the monitors of outputs is one entry; a source with
// several usable ports (say microphone and line-in jacks of one card) is one entry per port.
// Choosing an entry makes its source the server's default source, switches it to that port and
// unmutes it; it mutes nothing else, so other programs keep recording what they record. The audio
// engine records from the default source, so the choice takes effect with the next capture.
//
// Each call opens its own short connection to the server and closes it again; without a server
// the list is empty and nothing is reported. Call on the main thread (the combo box is a widget).
#pragma once

#include <QMetaType>
#include <cstdint>

class QComboBox;

namespace kiv {

// One recording source, kept as the data (Qt::UserRole) of its combo-box item.
struct TAudioDevice {
  std::uint32_t mixer_id = 0;     // the source's index on the sound server
  std::uint32_t destination = 0;  // always 0: a source records into one place
  std::uint32_t connection = 0;   // the port of the source (0 for a source without ports)
  std::int32_t volume = 0;        // the first channel's volume, 0 to 65535 (65535: 100 %)
  bool selected = false;          // the source (and port) records now
};

// Fills `box` with every recording source, selects the one in use and returns its volume (0 when
// none is in use or there is no sound server).
std::int32_t ListAudioInDevice(QComboBox* box);

// `value` −1: make `device` the recording source and store its current volume into it (0 when the
// source is gone). 0 to 65535: set its volume on every channel (larger values count as 65535).
void SetDeviceVolume(TAudioDevice& device, std::int32_t value);

}  // namespace kiv

Q_DECLARE_METATYPE(kiv::TAudioDevice)
