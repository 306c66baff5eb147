// The update role's handlers (the request 0x60000 and the disconnect hook) over arbitrary
// messages, in process: a catalogue in a temporary folder with a signed version and a plug-in, the
// role on a real endpoint on loopback with small slot limits and a clock the input steps, and an
// updater's transport with two connections to it (the server's handles 1 and 2; 3 and 4 are
// nobody). What the updater receives must read as the updater reads it.
//
// Checks that no handler crashes or reads out of bounds (the sanitizers), that the transfers never
// exceed their limit, and that every announcement and file piece the server sends is well formed.
//
// Input: records of [u8 selector][u8 version index][u16 length][bytes] (the last one may be short).
// Selector bits 0-1 pick the handle (1..4). Bit 2: the bytes are the whole message, else a request
// for entry `version index` of a short list of versions and names, with the bytes after it. Bit 3:
// the connection's disconnect hook runs instead. Bit 4: the clock moves past the stall time.
#include <unistd.h>

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <memory>
#include <string>
#include <vector>

#include "scratch_folder.h"
#include "base/wire.h"
#include "router.h"
#include "udp_clock.h"
#include "udp_kivudp.h"
#include "update_catalogue.h"
#include "update_protocol.h"
#include "update_role.h"

namespace {

using namespace kiv;
using namespace kiv::server;

using kiv::fuzz::ScratchFolder;
namespace fs = std::filesystem;

constexpr const char* kVersions[] = {"201102", "201103", "0", "-1", "99999999999999999999",
                                     "game1",  "game2",  ""};

TUpdateLimits Limits(const TClock* clock) {
  TUpdateLimits l;
  l.max_transfers = 3;
  l.max_per_address = 2;
  l.stall_ms = 30000;
  l.clock = clock;
  return l;
}

// The published updates, made once: publishing packs and hashes, which would cost more than all
// the messages of an input.
TUpdateCatalogue& Catalogue(const fs::path& dir) {
  static const struct TRemoveAtExit {
    fs::path dir;
    ~TRemoveAtExit() { fs::remove_all(dir); }
  } remove_at_exit{dir};
  static std::unique_ptr<TUpdateCatalogue> catalogue = [&] {
    fs::remove_all(dir);
    fs::create_directories(dir / "updates");
    fs::create_directories(dir / "source" / "Plugins");
    // More than the send threshold, and not packable: a transfer that is not acknowledged waits.
    std::string program(200000, '\0');
    std::uint32_t x = 31;
    for (char& c : program) c = static_cast<char>((x = x * 1103515245 + 12345) >> 24);
    std::ofstream(dir / "source" / "Kivora", std::ios::binary) << program;
    std::ofstream(dir / "source" / "Plugins" / "KivFriend.so", std::ios::binary) << std::string(3000, 'p');
    auto c = std::make_unique<TUpdateCatalogue>(dir / "updates");
    const update::TKeyPair keys = update::GenerateKeyPair();
    std::string error;
    if (!c->Publish(false, "201103", dir / "source", "新版本", keys.secret_key, &error) ||
        !c->Publish(true, "game1", dir / "source" / "Plugins", "游戏", std::nullopt, &error))
      std::abort();
    return c;
  }();
  return *catalogue;
}

struct World {
  TManualClock clock{1000};
  TEndpoint endpoint{"update"};
  std::unique_ptr<TUpdateRole> role;
  // The updater's side never waits for the answers to its disconnect requests: the endpoint stops
  // first (its own wait is answered at once), and the updater then has nobody left to ask.
  TKivUDP updater{[] {
    TEngineOptions o;
    o.stop_wait_ms = 0;
    return o;
  }()};
  bool ok = false;

  explicit World(TUpdateCatalogue& catalogue) {
    role = std::make_unique<TUpdateRole>(catalogue, endpoint, Limits(&clock));
    role->Attach(endpoint.Router());
    if (!endpoint.Start(0)) std::abort();
    updater.SetCallbacks(
        [](std::uint16_t, const std::uint8_t* data, std::uint32_t length) {
          const std::span<const std::uint8_t> m(data, length);
          if (length < 4) std::abort();
          const std::uint32_t code = LoadU32(data);
          std::string why;
          if (code == update::kCodeUpdate && !update::ParseAnnouncement(m, &why)) std::abort();
          if (code == update::kCodePiece && !update::ParsePiece(m, &why)) std::abort();
        },
        [](std::uint16_t, std::uint8_t) {});
    if (!updater.Start(0, 1)) std::abort();
    ok = updater.Connect("127.0.0.1", endpoint.Port(), 5000) &&
         updater.Connect("127.0.0.1", endpoint.Port(), 5000);
  }
  ~World() {
    endpoint.Stop();
    updater.Stop();
    role.reset();
  }
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  static const fs::path dir = ScratchFolder() / ("kiv-update-fuzz-" + std::to_string(::getpid()));
  static std::unique_ptr<World> world;
  // A world whose connections a stall ended is built again (the server's handles start at 1).
  if (!world || world->endpoint.PeerCount() < 2) {
    world.reset();
    world = std::make_unique<World>(Catalogue(dir));
    if (!world->ok) std::abort();
  }
  const TUpdateLimits limits = Limits(nullptr);
  std::size_t pos = 0;
  while (pos + 4 <= size) {
    const std::uint8_t selector = data[pos];
    const std::uint8_t index = data[pos + 1];
    const std::size_t length = std::min<std::size_t>(LoadU16(data + pos + 2), size - pos - 4);
    pos += 4;
    const auto handle = static_cast<std::uint16_t>((selector & 3) + 1);
    TMessageRouter& router = world->endpoint.Router();
    if (selector & 16) world->clock.Advance(limits.stall_ms);
    if (selector & 8) {
      router.Disconnected(world->endpoint, handle);
    } else {
      std::vector<std::uint8_t> message;
      if (!(selector & 4)) message = update::BuildRequest(kVersions[index % std::size(kVersions)]);
      message.insert(message.end(), data + pos, data + pos + length);
      router.Dispatch(world->endpoint, handle, message.data(), message.size());
    }
    pos += length;
    if (world->role->ActiveTransfers() > limits.max_transfers) std::abort();
  }
  return 0;
}
