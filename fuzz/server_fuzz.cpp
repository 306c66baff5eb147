// Every message handler of the login and home roles over arbitrary messages, in process: an
// in-memory SQLite store with one account, an endpoint that is never started (its sends go
// nowhere), a signed-in session on handle 1, a guest on handle 2 and none on handles 3 and 4.
// Checks that no handler crashes or reads out of bounds (the sanitizers), that the session table
// keeps its bound, and that money is neither created nor lost.
//
// Input: records of [u8 selector][u8 code index][u16 length][bytes] (the last one may be short).
// Selector bit 0 picks the endpoint (login or home), bits 1-2 the handle (1..4); with bit 3 the
// bytes are the whole message, else the code of entry `code index` of the endpoint's router is put
// in front of them.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <memory>
#include <vector>

#include "base/text_checks.h"
#include "base/wire.h"
#include "context.h"
#include "home_role.h"
#include "login_role.h"
#include "router.h"
#include "sqlite_store.h"

namespace {

using namespace kiv;
using namespace kiv::server;

struct World {
  TSqliteStore store{":memory:"};
  TServerConfig config = [] {
    TServerConfig c = DefaultConfig();
    c.hash_cost = THashCost::kMin;
    return c;
  }();
  TServerContext ctx{config, store, TServerLog({}, false)};
  TEndpoint login{"login"}, home{"home"};
  TLoginRole login_role{ctx};
  THomeRole home_role{ctx, home};
  std::vector<std::uint32_t> login_codes, home_codes;

  World() {
    for (std::uint32_t code : {10001u, 10002u}) {
      TAccount a;
      a.code = code;
      a.password_hash = ctx.hasher.Hash(MD5("kivora", 2));
      a.money = 1000;
      store.Create(a);
    }
    login_role.Attach(login.Router());
    home_role.Attach(home.Router());
    login_codes = login.Router().Codes();
    home_codes = home.Router().Codes();
  }
  void Reset() {
    for (const TSession& s : ctx.sessions.All()) ctx.sessions.Remove(s.handle);
    ctx.sessions.Add({1, 10001, 1, 0, 0, false, {"127.0.0.1", 5000}});
    ctx.sessions.Add({2, kFirstGuest, 1, 0, 20, true, {"127.0.0.1", 5001}});
  }
  static constexpr std::uint32_t kFirstGuest = 900000000;
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  // One world for many inputs (building one costs a schema and two hashes); renewed now and then
  // so what the inputs add to the store stays bounded.
  static std::unique_ptr<World> world;
  static int inputs = 0;
  if (!world || ++inputs % 2000 == 0) world = std::make_unique<World>();
  world->Reset();
  std::size_t pos = 0;
  while (pos + 4 <= size) {
    const std::uint8_t selector = data[pos];
    const std::uint8_t index = data[pos + 1];
    const std::size_t length = std::min<std::size_t>(LoadU16(data + pos + 2), size - pos - 4);
    pos += 4;
    const bool to_home = selector & 1;
    const auto handle = static_cast<std::uint16_t>(((selector >> 1) & 3) + 1);
    TEndpoint& endpoint = to_home ? world->home : world->login;
    const std::vector<std::uint32_t>& codes = to_home ? world->home_codes : world->login_codes;
    std::vector<std::uint8_t> message;
    if (!(selector & 8)) {
      message.resize(4);
      StoreU32(message.data(), codes[index % codes.size()]);
    }
    message.insert(message.end(), data + pos, data + pos + length);
    pos += length;
    endpoint.Router().Dispatch(endpoint, handle, message.data(), message.size());
    if (world->ctx.sessions.Count() > 4) std::abort();
  }
  // Transfers keep the total: what left the two accounts is the fee the server kept.
  std::int64_t total = world->store.Find(10001)->money + world->store.Find(10002)->money;
  if (total > 2000 || total < 0) std::abort();
  return 0;
}
