// The server's chat handlers (0x10001, 0x10002, 0x10008, 0x10009, 0x10010) over arbitrary
// messages, in process: a SQLite database in a temporary file (the chat and friends stores open
// their own connections to it), an endpoint that is never started (its sends go nowhere), 10001
// signed in on handle 1, a guest on handle 2, nobody on handle 3 and 10002 on handle 4. 10001 is a
// friend of 10002 and of 10003, who blocks it. Checks that no handler crashes or reads out of
// bounds (the sanitizers) and that the store never holds more than the quotas allow.
//
// Input: records of [u8 selector][u8 code index][u16 length][bytes] (the last one may be short).
// Selector bits 0-1 pick the handle (1..4); with bit 2 the bytes are the whole message, else the
// code of entry `code index` of the router is put in front of them.
#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <memory>
#include <string>
#include <vector>

#include "base/wire.h"
#include "chat_role.h"
#include "chat_store.h"
#include "context.h"
#include "friend_store.h"
#include "router.h"
#include "sqlite_store.h"

namespace {

using namespace kiv;
using namespace kiv::server;

constexpr std::uint32_t kGuest = 900000000;

TChatQuota SmallQuota() {
  TChatQuota q;
  q.per_sender_messages = 20;
  q.per_sender_bytes = 4u << 20;
  q.per_target_messages = 30;
  q.per_target_bytes = 8u << 20;
  return q;
}

struct World {
  std::string path;
  std::unique_ptr<TSqliteStore> store;
  std::unique_ptr<IFriendStore> friends;
  std::unique_ptr<IChatStore> chats;
  TServerConfig config = DefaultConfig();
  std::unique_ptr<TServerContext> ctx;
  TEndpoint home{"home"};
  std::unique_ptr<TChatRole> role;
  std::vector<std::uint32_t> codes;

  explicit World(std::string file) : path(std::move(file)) {
    std::filesystem::remove(path);
    store = std::make_unique<TSqliteStore>(path);
    friends = OpenFriendStore(path);
    chats = OpenChatStore(path);
    config.hash_cost = THashCost::kMin;
    ctx = std::make_unique<TServerContext>(config, *store, TServerLog({}, false));
    for (std::uint32_t code : {10001u, 10002u, 10003u}) {
      TAccount a;
      a.code = code;
      a.password_hash = "x";
      store->Create(a);
    }
    friends->MakeFriends(10001, 10002);
    friends->MakeFriends(10001, 10003);
    friends->MoveFriend(10003, 10001, 3);
    role = std::make_unique<TChatRole>(*ctx, home, *friends, *chats, SmallQuota());
    role->Attach(home.Router());
    codes = home.Router().Codes();
    const TSession sessions[] = {{1, 10001, 1, 0, 0, false, {"127.0.0.1", 5000}},
                                 {2, kGuest, 1, 0, 20, true, {"127.0.0.1", 5001}},
                                 {4, 10002, 1, 0, 0, false, {"127.0.0.1", 5002}}};
    for (const TSession& s : sessions) {
      ctx->sessions.Add(s);
      role->SessionStarted(s);
    }
  }
  ~World() {
    role.reset();
    chats.reset();
    friends.reset();
    ctx.reset();
    store.reset();
    for (const char* suffix : {"", "-wal", "-shm"}) std::filesystem::remove(path + suffix);
  }
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  // One world for many inputs (building one makes a schema); renewed now and then so what the
  // inputs keep stays small.
  static const std::string path =
      (std::filesystem::temp_directory_path() / ("kiv-chat-fuzz-" + std::to_string(::getpid()) + ".db")).string();
  static std::unique_ptr<World> world;
  static int inputs = 0;
  if (!world || ++inputs % 500 == 0) {
    world.reset();
    world = std::make_unique<World>(path);
  }
  std::size_t pos = 0;
  while (pos + 4 <= size) {
    const std::uint8_t selector = data[pos];
    const std::uint8_t index = data[pos + 1];
    const std::size_t length = std::min<std::size_t>(LoadU16(data + pos + 2), size - pos - 4);
    pos += 4;
    const auto handle = static_cast<std::uint16_t>((selector & 3) + 1);
    std::vector<std::uint8_t> message;
    if (!(selector & 4)) {
      message.resize(4);
      StoreU32(message.data(), world->codes[index % world->codes.size()]);
    }
    message.insert(message.end(), data + pos, data + pos + length);
    pos += length;
    world->home.Router().Dispatch(world->home, handle, message.data(), message.size());
  }
  const TChatQuota quota = SmallQuota();
  for (std::uint32_t user : {10001u, 10002u, 10003u, kGuest})
    if (world->chats->CountFor(user) > quota.per_target_messages) std::abort();
  // Only 10001 may have kept anything, and only for 10002: 10003 blocks it, the guest has no friends.
  if (world->chats->CountFor(10003) != 0 || world->chats->CountFor(10001) != 0) std::abort();
  return 0;
}
