// Every message handler of the login and home endpoints (the login, home, friends and chat roles,
// wired as the server wires them) over arbitrary messages, in process: a SQLite database in a
// temporary file (the friend and chat stores open their own connections to it) with two accounts,
// endpoints on loopback with four real client connections each (a request is served only from its
// session's address, so the connections must be real), a signed-in session on the first home
// connection, a guest on the second and none on the other two; with selector bit 4 a record ends
// the session of its connection instead. Messages are handed to the routers directly, on this
// thread, as the endpoints' dispatch threads would.
//
// Checks that no handler crashes or reads out of bounds (the sanitizers), that the session table
// keeps its bound, and that money is neither created nor lost, exactly: after every message the
// balances of the accounts, the balances deleted accounts had and the fees the server kept add up
// to what there was at the start. The inputs may well learn the demo password's digest (the seeds
// carry it) and delete an account; that is a message like any other.
//
// Input: records of [u8 selector][u8 code index][u16 length][bytes] (the last one may be short).
// Selector bit 0 picks the endpoint (login or home), bits 1-2 the connection (1..4); with bit 3 the
// bytes are the whole message, else the code of entry `code index` of the endpoint's codes is put
// in front of them (the home codes list the login and home roles' first, so old seeds keep their
// meaning).
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "scratch_folder.h"
#include "base/text_checks.h"
#include "base/wire.h"
#include "chat_role.h"
#include "chat_store.h"
#include "context.h"
#include "friend_store.h"
#include "friends_role.h"
#include "home_role.h"
#include "login_role.h"
#include "router.h"
#include "sqlite_store.h"
#include "udp_kivudp.h"

namespace {

using namespace kiv;
using namespace kiv::server;

using kiv::fuzz::ScratchFolder;

constexpr std::uint32_t kAccounts[] = {10001, 10002};
constexpr std::int64_t kStartMoney = 1000;

struct World {
  std::string path;
  std::unique_ptr<TSqliteStore> store;
  std::unique_ptr<IFriendStore> friends;
  std::unique_ptr<IChatStore> chats;
  TServerConfig config = [] {
    TServerConfig c = DefaultConfig();
    c.hash_cost = THashCost::kMin;
    c.sign_in_per_second = 0;  // inputs come far faster than a person signs in; the rate has its own tests
    return c;
  }();
  std::unique_ptr<TServerContext> ctx;
  TEndpoint login{"login"}, home{"home"};
  // The clients behind the four connections of each endpoint, and the endpoints' handles of them.
  std::vector<std::unique_ptr<TKivUDP>> clients;
  std::array<std::uint16_t, 4> login_handles{}, home_handles{};
  std::unique_ptr<TLoginRole> login_role;
  std::unique_ptr<THomeRole> home_role;
  std::unique_ptr<TFriendsRole> friends_role;
  std::unique_ptr<TChatRole> chat_role;
  std::vector<std::uint32_t> login_codes, home_codes;
  // The money bookkeeping: the balance and the fees paid of each account after the last message,
  // and what accounts that are gone had.
  std::map<std::uint32_t, std::int64_t> balances, fees_paid;
  std::int64_t gone = 0;

  explicit World(std::string file) : path(std::move(file)) {
    std::filesystem::remove(path);
    store = std::make_unique<TSqliteStore>(path);
    friends = OpenFriendStore(path);
    chats = OpenChatStore(path);
    ctx = std::make_unique<TServerContext>(config, *store, TServerLog({}, false));
    for (std::uint32_t code : kAccounts) {
      TAccount a;
      a.code = code;
      a.password_hash = ctx->hasher.Hash(MD5("kivora", 2));
      a.money = kStartMoney;
      store->Create(a);
    }
    friends->MakeFriends(10001, 10002);
    login_role = std::make_unique<TLoginRole>(*ctx);
    home_role = std::make_unique<THomeRole>(*ctx, home);
    login_role->Attach(login.Router());
    home_role->Attach(home.Router());
    login_codes = login.Router().Codes();
    home_codes = home.Router().Codes();
    friends_role = std::make_unique<TFriendsRole>(*ctx, home, *friends);
    friends_role->Attach(home.Router());
    chat_role = std::make_unique<TChatRole>(*ctx, home, *friends, *chats, TChatQuota{});
    chat_role->Attach(home.Router());
    friends_role->SetListListener([this](const TSession& s) { chat_role->FriendListSent(s); });
    home_role->SetSessionListener({[this](const TSession& s) {
                                     friends_role->SessionStarted(s);
                                     chat_role->SessionStarted(s);
                                   },
                                   [this](const TSession& s) {
                                     chat_role->SessionEnded(s);
                                     friends_role->SessionEnded(s);
                                   }});
    for (std::uint32_t code : home.Router().Codes())
      if (std::find(home_codes.begin(), home_codes.end(), code) == home_codes.end())
        home_codes.push_back(code);
    for (std::uint32_t code : kAccounts) {
      balances[code] = kStartMoney;
      fees_paid[code] = 0;
    }
    if (!login.Start(0) || !home.Start(0)) std::abort();
    for (std::size_t i = 0; i < 4; ++i) {
      auto& client = clients.emplace_back(std::make_unique<TKivUDP>());
      if (!client->Start(0, 1)) std::abort();
      login_handles[i] = Connect(*client, login);
      home_handles[i] = Connect(*client, home);
    }
  }
  // Connects `client` to `endpoint` and returns the endpoint's handle of it, kept past the claim
  // period as a signed-in client's is.
  static std::uint16_t Connect(TKivUDP& client, TEndpoint& endpoint) {
    if (!client.Connect("127.0.0.1", endpoint.Port(), 5000)) std::abort();
    for (std::uint16_t h = 1; h <= TKivUDP::kMaxPeers; ++h) {
      const WireAddress peer = endpoint.Peer(h);
      if (peer.port == client.LocalPort()) {
        endpoint.Adopt(h);
        return h;
      }
    }
    std::abort();
  }
  ~World() {
    clients.clear();
    login.Stop();
    home.Stop();
    chat_role.reset();
    friends_role.reset();
    home_role.reset();
    login_role.reset();
    chats.reset();
    friends.reset();
    ctx.reset();
    store.reset();
    for (const char* suffix : {"", "-wal", "-shm"}) std::filesystem::remove(path + suffix);
  }

  void Reset() {
    for (const TSession& s : ctx->sessions.All()) End(s.handle);
    for (const TSession& s : ctx->sessions.All()) ctx->sessions.Remove(s.handle);
    if (store->Find(10001)) Start({home_handles[0], 10001, 1, 0, 0, false, home.Peer(home_handles[0])});
    Start({home_handles[1], kFirstGuest, 1, 0, 20, true, home.Peer(home_handles[1])});
  }
  void Start(const TSession& s) {
    ctx->sessions.Add(s);
    friends_role->SessionStarted(s);
    chat_role->SessionStarted(s);
  }
  void End(std::uint16_t handle) { home.Router().Disconnected(home, handle); }

  // The fees `code` paid on its transfers, from the ledger.
  std::int64_t FeesPaid(std::uint32_t code) {
    std::int64_t fees = 0;
    for (const TLedgerRow& row : store->LedgerOf(code, 1u << 20))
      if (row.from == code) fees += row.fee;
    return fees;
  }

  // After a message: an account that is gone takes what it had (its balance and the fees it
  // paid) into `gone`; the rest must add up to the start.
  void CheckMoney() {
    bool moved = false;
    for (auto it = balances.begin(); it != balances.end();) {
      std::optional<TAccount> a = store->Find(it->first);
      if (!a) {
        gone += it->second + fees_paid[it->first];
        fees_paid.erase(it->first);
        it = balances.erase(it);
        continue;
      }
      moved |= a->money != it->second;
      it->second = a->money;
      ++it;
    }
    std::int64_t total = gone;
    for (const auto& [code, money] : balances) {
      if (moved) fees_paid[code] = FeesPaid(code);
      total += money + fees_paid[code];
    }
    if (total != kStartMoney * static_cast<std::int64_t>(std::size(kAccounts))) std::abort();
  }
  static constexpr std::uint32_t kFirstGuest = 900000000;
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  // One world for many inputs (building one makes a schema and costs two hashes); renewed now and
  // then so what the inputs add to the store stays bounded.
  static const std::string path =
      (ScratchFolder() / ("kiv-server-fuzz-" + std::to_string(::getpid()) + ".db")).string();
  static std::unique_ptr<World> world;
  static int inputs = 0;
  if (!world || ++inputs % 500 == 0) {
    world.reset();
    world = std::make_unique<World>(path);
  }
  world->Reset();
  std::size_t pos = 0;
  while (pos + 4 <= size) {
    const std::uint8_t selector = data[pos];
    const std::uint8_t index = data[pos + 1];
    const std::size_t length = std::min<std::size_t>(LoadU16(data + pos + 2), size - pos - 4);
    pos += 4;
    const bool to_home = selector & 1;
    const std::size_t connection = (selector >> 1) & 3;
    const std::uint16_t handle = to_home ? world->home_handles[connection] : world->login_handles[connection];
    TEndpoint& endpoint = to_home ? world->home : world->login;
    if (selector & 16) {
      endpoint.Router().Disconnected(endpoint, handle);
      pos += length;
      continue;
    }
    const std::vector<std::uint32_t>& codes = to_home ? world->home_codes : world->login_codes;
    std::vector<std::uint8_t> message;
    if (!(selector & 8)) {
      message.resize(4);
      StoreU32(message.data(), codes[index % codes.size()]);
    }
    message.insert(message.end(), data + pos, data + pos + length);
    pos += length;
    endpoint.Router().Dispatch(endpoint, handle, message.data(), message.size());
    if (world->ctx->sessions.Count() > 4) std::abort();
    world->CheckMoney();
  }
  return 0;
}
