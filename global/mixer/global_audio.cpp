#include "mixer/global_audio.h"

#include <QComboBox>
#include <QString>
#include <algorithm>
#include <optional>
#include <string>
#include <vector>

#include "mixer/pulse_session.h"

namespace kiv {
namespace {

// Each call waits at most this long for the server; a listing never hangs a window.
constexpr auto kTimeout = std::chrono::milliseconds(3000);
constexpr std::int32_t kMaxVolume = 65535;

struct TSourcePort {
  std::string name, description;
  bool usable = true;
};

struct TSource {
  std::uint32_t index = 0;
  std::string name, description, active_port;
  std::int32_t volume = 0;
  std::uint8_t channels = 1;
  std::vector<TSourcePort> ports;
};

std::int32_t MixerVolume(const pa_cvolume& volume) {
  return volume.channels == 0
             ? 0
             : static_cast<std::int32_t>(std::min<pa_volume_t>(volume.values[0], kMaxVolume));
}

TSource SourceOf(const pa_source_info& info) {
  TSource source;
  source.index = info.index;
  source.name = info.name ? info.name : "";
  source.description = info.description ? info.description : source.name;
  source.volume = MixerVolume(info.volume);
  source.channels = info.channel_map.channels ? info.channel_map.channels : 1;
  if (info.active_port && info.active_port->name) source.active_port = info.active_port->name;
  for (std::uint32_t i = 0; i < info.n_ports; ++i) {
    const pa_source_port_info* port = info.ports[i];
    source.ports.push_back({port->name ? port->name : "", port->description ? port->description : "",
                            port->available != PA_PORT_AVAILABLE_NO});
  }
  return source;
}

// Collects the sources a listing reports; `only_recording` leaves out the monitors of outputs.
struct TSourceList {
  std::vector<TSource> sources;
  static void Add(pa_context*, const pa_source_info* info, int eol, void* self) {
    if (eol || !info || info->monitor_of_sink != PA_INVALID_INDEX) return;
    static_cast<TSourceList*>(self)->sources.push_back(SourceOf(*info));
  }
};

void StoreDefaultSource(pa_context*, const pa_server_info* info, void* self) {
  if (info && info->default_source_name) *static_cast<std::string*>(self) = info->default_source_name;
}

std::unique_ptr<TPulseSession> Connect() { return TPulseSession::Connect("Kivora", kTimeout); }

// The source with that index, with the lock of `session` held; nothing when it is gone.
std::optional<TSource> FindSource(TPulseSession& session, std::uint32_t index) {
  TSourceList found;
  if (!session.Wait(pa_context_get_source_info_by_index(session.context(), index, &TSourceList::Add, &found),
                    kTimeout) ||
      found.sources.empty()) {
    return std::nullopt;
  }
  return found.sources.front();
}

}  // namespace

std::int32_t ListAudioInDevice(QComboBox* box) {
  if (!box) return 0;
  box->clear();
  std::unique_ptr<TPulseSession> session = Connect();
  if (!session) return 0;
  std::string default_source;
  TSourceList list;
  {
    TPulseSession::Lock lock(*session);
    session->Wait(pa_context_get_server_info(session->context(), &StoreDefaultSource, &default_source),
                  kTimeout);
    session->Wait(pa_context_get_source_info_list(session->context(), &TSourceList::Add, &list), kTimeout);
  }
  session.reset();

  std::int32_t result = 0;
  int selected_item = -1;
  for (const TSource& source : list.sources) {
    const bool is_default = source.name == default_source;
    const auto add = [&](std::uint32_t connection, const QString& caption, bool selected) {
      const TAudioDevice device{source.index, 0, connection, source.volume, selected};
      box->addItem(caption, QVariant::fromValue(device));
      if (selected) {
        selected_item = box->count() - 1;
        result = source.volume;
      }
    };
    const QString description = QString::fromStdString(source.description);
    std::size_t listed_ports = 0;
    for (std::size_t p = 0; p < source.ports.size(); ++p) {
      const TSourcePort& port = source.ports[p];
      const bool active = port.name == source.active_port;
      if (!port.usable && !active) continue;  // an empty jack records nothing
      ++listed_ports;
      add(static_cast<std::uint32_t>(p),
          description + QStringLiteral(": ") + QString::fromStdString(port.description),
          is_default && active);
    }
    if (listed_ports == 0) add(0, description, is_default);
  }
  if (selected_item >= 0) box->setCurrentIndex(selected_item);
  return result;
}

void SetDeviceVolume(TAudioDevice& device, std::int32_t value) {
  if (value < -1) return;
  std::unique_ptr<TPulseSession> session = Connect();
  if (!session) {
    if (value == -1) device.volume = 0;
    return;
  }
  TPulseSession::Lock lock(*session);
  const std::optional<TSource> source = FindSource(*session, device.mixer_id);
  if (!source) {
    if (value == -1) device.volume = 0;
    return;
  }
  pa_context* context = session->context();
  if (value == -1) {
    session->Wait(pa_context_set_default_source(context, source->name.c_str(), nullptr, nullptr), kTimeout);
    if (device.connection < source->ports.size()) {
      session->Wait(
          pa_context_set_source_port_by_index(
              context, source->index, source->ports[device.connection].name.c_str(), nullptr, nullptr),
          kTimeout);
    }
    session->Wait(pa_context_set_source_mute_by_index(context, source->index, 0, nullptr, nullptr), kTimeout);
    const std::optional<TSource> now = FindSource(*session, device.mixer_id);
    device.volume = now ? now->volume : 0;
    device.selected = true;
    return;
  }
  pa_cvolume volume;
  pa_cvolume_set(&volume, source->channels, static_cast<pa_volume_t>(std::min(value, kMaxVolume)));
  if (session->Wait(pa_context_set_source_volume_by_index(context, source->index, &volume, nullptr, nullptr),
                    kTimeout)) {
    device.volume = std::min(value, kMaxVolume);
  }
}

}  // namespace kiv
