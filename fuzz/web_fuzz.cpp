// Every page of the web role over arbitrary requests, through HTTP on loopback: a SQLite database
// in a temporary file with two accounts, a small content folder of the test's own, the role on a
// free port and one keep-alive client. Each record becomes one GET or POST of one of the site's
// paths (or a path of the input's own), with the input's bytes as query or form body and,
// optionally, as If-None-Match.
//
// Checks that no handler crashes or reads out of bounds (the sanitizers); that money is neither
// created nor lost, exactly: after every request the balances of all accounts add up to what there
// was at the start plus what the ledger shows credited from outside (top-ups); that a file served
// with an ETag carries the MD5 of its bytes; and that the request counter keeps its bound.
//
// Input: records of [u8 selector][u8 path index][u16 length][bytes] (the last one may be short).
// Selector bit 0: POST, else GET. Bit 1: the bytes up to the first 0 byte are the If-None-Match
// header, the rest the parameters. Bit 2: the path is the input's own (its bytes up to the first
// '?'), else entry `path index` of the site's paths.
#include <httplib.h>
#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <memory>
#include <string>
#include <vector>

#include "scratch_folder.h"
#include "base/md5.h"
#include "base/text_checks.h"
#include "base/wire.h"
#include "context.h"
#include "sqlite_store.h"
#include "web_role.h"

namespace {

using namespace kiv;
using namespace kiv::server;

using kiv::fuzz::ScratchFolder;
namespace fs = std::filesystem;

constexpr std::uint32_t kAccounts[] = {10001, 10002};
constexpr std::int64_t kStartMoney = 1000;

constexpr const char* kPaths[] = {"/",
                                  "/register.php",
                                  "/pay/add.php",
                                  "/goto.php",
                                  "/goto.php?kind=1",
                                  "/goto.php?kind=2&usercode=10001",
                                  "/goto.php?kind=3",
                                  "/chatroom.php",
                                  "/TOP10",
                                  "/help.php",
                                  "/Download/Version.txt",
                                  "/present/PresentInfo.txt",
                                  "/present/rose.png",
                                  "/stamp/StampInfo.txt",
                                  "/skins/SkinInfo.txt",
                                  "/mall/image/car1.png",
                                  "/present/",
                                  "/present/..%2Fkivora.db"};

// Bytes as they may stand in a request target or a header value: printable ASCII kept (but
// '#' and space, which end a target), everything else percent-encoded.
std::string Printable(std::string_view bytes) {
  static const char* hex = "0123456789ABCDEF";
  std::string out;
  for (unsigned char c : bytes) {
    if (c > 0x20 && c < 0x7F && c != '#') {
      out += static_cast<char>(c);
    } else {
      out += '%';
      out += hex[c >> 4];
      out += hex[c & 15];
    }
  }
  return out;
}

struct World {
  fs::path dir;
  std::unique_ptr<TSqliteStore> store;
  TServerConfig config = [] {
    TServerConfig c = DefaultConfig();
    c.hash_cost = THashCost::kMin;
    return c;
  }();
  std::unique_ptr<TServerContext> ctx;
  std::unique_ptr<TWebRole> web;
  std::unique_ptr<httplib::Client> client;
  std::int64_t ledger_rows = 0, credited = 0;

  explicit World(fs::path folder) : dir(std::move(folder)) {
    fs::remove_all(dir);
    const fs::path content = dir / "web";
    for (const char* sub : {"Download", "present", "stamp", "skins", "mall/image"})
      fs::create_directories(content / sub);
    auto write = [&](const char* name, const std::string& text) {
      std::ofstream(content / name, std::ios::binary) << text;
    };
    write("Download/Version.txt", "[VersionInfo]\r\nPresentVersion=1\r\nSkinVersion=1\r\nStampVersion=1\r\n");
    write("present/PresentInfo.txt", "[1]\r\nName=玫瑰\r\nImageName=rose.png\r\nPrice=10\r\n");
    write("present/rose.png", std::string(3000, 'r'));
    write("stamp/StampInfo.txt", "[1]\r\nName=好\r\nImageName=good.png\r\nPrice=5\r\nTime=10\r\n");
    write("skins/SkinInfo.txt", "[1]\r\nName=水晶\r\n");
    write("mall/MallInfo.txt", "[1]\r\nName=车\r\nImageName=car1.png\r\nPrice=100\r\n");
    write("mall/image/car1.png", "car");
    store = std::make_unique<TSqliteStore>((dir / "kivora.db").string());
    ctx = std::make_unique<TServerContext>(config, *store, TServerLog({}, false));
    for (std::uint32_t code : kAccounts) {
      TAccount a;
      a.code = code;
      a.password_hash = ctx->hasher.Hash(MD5("kivora", 2));
      a.money = kStartMoney;
      store->Create(a);
    }
    web = std::make_unique<TWebRole>(*ctx, content, dir / "web-versions.ini");
    std::string error;
    if (!web->Start("127.0.0.1", 0, &error)) std::abort();
    client = std::make_unique<httplib::Client>("127.0.0.1", web->Port());
    client->set_keep_alive(true);
    client->set_tcp_nodelay(true);
    client->set_read_timeout(30, 0);
  }
  ~World() {
    client.reset();
    web.reset();
    ctx.reset();
    store.reset();
    fs::remove_all(dir);
  }

  // What the ledger shows credited from outside (rows from 0), over every account there is.
  void CheckMoney() {
    std::int64_t balances = 0;
    const std::vector<TRankRow> all = store->Richest(1u << 20);
    for (const TRankRow& row : all) {
      if (row.money < 0) std::abort();
      balances += row.money;
    }
    const std::int64_t rows = store->LedgerRows();
    if (rows != ledger_rows) {
      ledger_rows = rows;
      credited = 0;
      for (const TRankRow& row : all)
        for (const TLedgerRow& entry : store->LedgerOf(row.code, 1u << 20))
          if (entry.from == 0 && entry.to == row.code) credited += entry.amount;
    }
    if (balances != kStartMoney * static_cast<std::int64_t>(std::size(kAccounts)) + credited) std::abort();
  }
};

std::string Md5Tag(const std::string& body) {
  std::string tag = "\"";
  for (std::uint32_t word : TMd5Digest::Digest(body.data(), body.size())) tag += TMd5Digest::rHex(word);
  return tag + "\"";
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  static const fs::path dir = ScratchFolder() / ("kiv-web-fuzz-" + std::to_string(::getpid()));
  static std::unique_ptr<World> world;
  static int inputs = 0;
  // Renewed now and then so the accounts the inputs register stay few.
  if (!world || ++inputs % 300 == 0) {
    world.reset();
    world = std::make_unique<World>(dir);
  }
  std::size_t pos = 0;
  while (pos + 4 <= size) {
    const std::uint8_t selector = data[pos];
    const std::uint8_t index = data[pos + 1];
    const std::size_t length = std::min<std::size_t>(LoadU16(data + pos + 2), size - pos - 4);
    pos += 4;
    std::string_view bytes(reinterpret_cast<const char*>(data + pos), length);
    pos += length;
    httplib::Headers headers;
    if (selector & 2) {
      const std::size_t end = std::min(bytes.find('\0'), bytes.size());
      headers.emplace("If-None-Match", Printable(bytes.substr(0, end)));
      bytes.remove_prefix(std::min(bytes.size(), end + 1));
    }
    std::string path;
    if (selector & 4) {
      const std::size_t end = std::min(bytes.find('?'), bytes.size());
      path = "/" + Printable(bytes.substr(0, end));
      bytes.remove_prefix(std::min(bytes.size(), end + 1));
    } else {
      path = kPaths[index % std::size(kPaths)];
    }
    const std::string params = Printable(bytes);
    httplib::Result res =
        selector & 1
            ? world->client->Post(path, headers, params, "application/x-www-form-urlencoded")
            : world->client->Get(
                  path + (params.empty() ? "" : (path.find('?') == std::string::npos ? "?" : "&") + params),
                  headers);
    if (res && res->status == 200 && res->has_header("ETag") &&
        res->get_header_value("ETag") != Md5Tag(res->body))
      std::abort();
    world->CheckMoney();
    if (world->web->CountedPaths() > TWebRole::kMaxCountedPaths + 1) std::abort();
  }
  return 0;
}
