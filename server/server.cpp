#include "server.h"

#include <charconv>
#include <cstdio>
#include <sstream>

#include "base/files.h"
#include "base/ini.h"
#include "base/text_checks.h"
#include "pg_result.h"
#include "protocol.h"
#include "schema.h"

namespace kiv::server {

namespace {

bool ParseNumber(const std::string& text, std::int64_t& out) {
  auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), out);
  return ec == std::errc() && end == text.data() + text.size();
}

const char* kAdminUsage =
    "commands:\n"
    "  add-user CODE|0 PASSWORD NICKNAME [MONEY]\n"
    "  set-balance CODE MONEY\n"
    "  credit CODE AMOUNT [REQUEST-ID]   (a payment received; the same REQUEST-ID credits once)\n"
    "  broadcast KIND TEXT      (kind 0/1 notice; 2 web page: width!height!caption!url)\n"
    "  kick CODE\n"
    "  level-up CODE\n"
    "  online\n"
    "  publish-version VERSION MODE\n"
    "  publish-update VERSION MODE FOLDER [DESCRIPTION]   (also announces VERSION with MODE)\n"
    "  publish-plugin NAME FOLDER [DESCRIPTION]\n"
    "  keygen [--replace]        (update signing key; prints the public key for the updater)\n"
    "  bump-catalogue present|skin|stamp\n";

}  // namespace

TServer::TServer(TServerOptions options) : options_(std::move(options)) {}

TServer::~TServer() { Stop(); }

bool TServer::Start(std::string* error) {
  auto fail = [&](const std::string& what) {
    if (error) *error = what;
    return false;
  };
  std::error_code ec;
  std::filesystem::create_directories(options_.data_dir, ec);
  if (!std::filesystem::is_directory(options_.data_dir))
    return fail("cannot create " + options_.data_dir.string());

  std::filesystem::path config_file = options_.config_file;
  if (config_file.empty() && std::filesystem::exists(options_.data_dir / "kivora-server.ini"))
    config_file = options_.data_dir / "kivora-server.ini";
  if (!config_file.empty() && !std::filesystem::exists(config_file))
    return fail("no configuration file " + config_file.string());
  std::vector<std::string> problems;
  TServerConfig config = config_file.empty() ? DefaultConfig() : LoadConfig(config_file, &problems);
  if (!problems.empty()) return fail(config_file.string() + ": " + problems.front());
  if (options_.login_port) config.login_port = *options_.login_port;
  if (options_.home_port) config.home_port = *options_.home_port;
  if (options_.update_port) config.update.port = *options_.update_port;
  if (options_.announce) config.announce = *options_.announce;
  if (options_.seed_demo) config.demo_payments = true;
  if (options_.demo_payments) config.demo_payments = *options_.demo_payments;
  if (options_.sign_in_rate) config.sign_in_per_second = std::max(0, *options_.sign_in_rate);
  if (options_.node) config.node = *options_.node;
  if (options_.hash_cost) {
    bool ok = false;
    config.hash_cost = ParseHashCost(*options_.hash_cost, &ok);
    if (!ok) return fail("unknown hash cost " + *options_.hash_cost);
  }

  try {
    std::string location = options_.store.empty() ? (options_.data_dir / "kivora.db").string() : options_.store;
    store_ = OpenStore(location);
    friend_store_ = OpenFriendStore(location);
    chat_store_ = OpenChatStore(location);
  } catch (const std::exception& e) {
    return fail(e.what());
  }
  store_->SetFaultPoint(options_.fault_point);
  // Lost and restored database connections go to the log, once there is one.
  pg_log_sink_ = AddPgLogSink([this](const std::string& line) {
    if (ctx_) ctx_->log.Line(line);
  });
  // Handler errors go to the log (once there is one).
  auto report = [this](TEndpoint& endpoint, std::uint16_t handle, std::uint32_t code, const char* what) {
    if (!ctx_) return;
    char text[64];
    std::snprintf(text, sizeof text, "error in %s handling 0x%X:", endpoint.Name().c_str(), code);
    WireAddress peer = endpoint.Peer(handle);
    ctx_->log.Outside(std::string(text) + " " + what + " from " + peer.ip + ":" + std::to_string(peer.port));
  };
  // The update role first: the login role announces the port it got.
  update_ = std::make_unique<TEndpoint>("update");
  update_->Router().SetErrorReporter(report);
  updates_ = std::make_unique<TUpdateCatalogue>(options_.data_dir / "updates");
  updates_->Load();
  update_role_ = std::make_unique<TUpdateRole>(*updates_, *update_);
  update_role_->Attach(update_->Router());
  if (!update_->Start(config.update.port)) return fail("cannot bind the update port " + std::to_string(config.update.port));
  if (config.update.port == 0) config.update.port = update_->Port();
  store_->ClearNode(config.node);
  ctx_ = std::make_unique<TServerContext>(
      std::move(config), *store_, TServerLog(options_.data_dir / "server.log", options_.log_to_stderr));
  LoadPublishedVersion();
  if (options_.seed_demo) SeedDemo();

  pool_ = std::make_unique<TWorkPool>();
  login_ = std::make_unique<TEndpoint>("login");
  home_ = std::make_unique<TEndpoint>("home");
  login_role_ = std::make_unique<TLoginRole>(*ctx_, pool_.get());
  home_role_ = std::make_unique<THomeRole>(*ctx_, *home_);
  login_role_->Attach(login_->Router());
  home_role_->Attach(home_->Router());
  friends_role_ = std::make_unique<TFriendsRole>(*ctx_, *home_, *friend_store_);
  friends_role_->Attach(home_->Router());
  chat_role_ = std::make_unique<TChatRole>(*ctx_, *home_, *friend_store_, *chat_store_, options_.chat_quota);
  chat_role_->Attach(home_->Router());
  friends_role_->SetListListener([this](const TSession& s) { chat_role_->FriendListSent(s); });
  home_role_->SetSessionListener({[this](const TSession& s) {
                                    friends_role_->SessionStarted(s);
                                    chat_role_->SessionStarted(s);
                                  },
                                  [this](const TSession& s) {
                                    chat_role_->SessionEnded(s);
                                    friends_role_->SessionEnded(s);
                                  },
                                  [this](const TSession& s) { friends_role_->SessionChanged(s); }});
  for (TEndpoint* e : {login_.get(), home_.get()}) {
    e->Router().SetPool(pool_.get());
  }
  for (TEndpoint* e : {login_.get(), home_.get()}) e->Router().SetErrorReporter(report);
  for (TEndpoint* e : {update_.get(), login_.get(), home_.get()})
    e->SetLog([this](const std::string& line) { ctx_->log.Line(line); });
  // A deleted account's live session ends, on whichever node it is.
  store_->SetDeletionListener(
      [this](std::uint32_t code) { home_role_->Kick(code, proto::kick::kByAdministrator); });
  store_->Listen([this](const TNodeEvent& e) {
    home_role_->OnNodeEvent(e);
    chat_role_->OnNodeEvent(e);
  });

  if (!home_->Start(ctx_->config.home_port))
    return fail("cannot bind the home port " + std::to_string(ctx_->config.home_port));
  ctx_->SetHomeAnnounced({ctx_->config.announce, home_->Port()});
  if (!login_->Start(ctx_->config.login_port))
    return fail("cannot bind the login port " + std::to_string(ctx_->config.login_port));

  std::string control_error;
  if (!StartWeb(&control_error)) return fail(control_error);
  if (!control_.Start(
          ControlPath(), [this](const std::vector<std::string>& a) { return Admin(a); }, &control_error))
    return fail(control_error);
  for (const std::string& line : ListeningLines()) ctx_->log.Line(line);
  return true;
}

void TServer::Stop() {
  control_.Stop();
  web_.reset();
  if (store_) store_->Listen(nullptr);
  if (login_) login_->Stop();
  if (home_) home_->Stop();
  if (pool_) pool_->Stop();  // the endpoints take no more work; let the running tasks end
  if (update_) update_->Stop();
  if (store_) store_->SetDeletionListener(nullptr);
  update_role_.reset();
  updates_.reset();
  update_.reset();
  home_role_.reset();
  chat_role_.reset();
  friends_role_.reset();
  login_role_.reset();
  login_.reset();
  home_.reset();
  pool_.reset();
  if (pg_log_sink_) RemovePgLogSink(pg_log_sink_);
  pg_log_sink_ = 0;
  if (ctx_) ctx_->log.Line("stopped");
  ctx_.reset();
  chat_store_.reset();
  friend_store_.reset();
  store_.reset();  // closes the database (SQLite checkpoints its log)
}

std::vector<std::string> TServer::ListeningLines() const {
  std::string address = ctx_ ? ctx_->config.announce : "?";
  return {"listening login " + address + ":" + std::to_string(LoginPort()),
          "listening home " + address + ":" + std::to_string(HomePort()),
          "listening update " + address + ":" + std::to_string(UpdatePort()),
          "listening web " + address + ":" + std::to_string(WebPort()), "control " + ControlPath().string()};
}

bool TServer::StartWeb(std::string* error) {
  // Beside the program in the build tree; in an installed system the program is in bin/ and the
  // content in share/kivora-server/web.
  std::filesystem::path content = options_.web_content;
  if (content.empty()) {
    std::error_code ec;
    content = ApplicationFolder() / "web";
    const std::filesystem::path shared =
        ApplicationFolder().parent_path() / "share" / "kivora-server" / "web";
    if (!std::filesystem::is_directory(content, ec) && std::filesystem::is_directory(shared, ec))
      content = shared;
  }
  web_ = std::make_unique<TWebRole>(*ctx_, content, options_.data_dir / "web-versions.ini", friend_store_.get());
  if (web_->Start(ctx_->config.announce, options_.web_port.value_or(8080), error)) return true;
  web_.reset();
  if (options_.web_port) return false;
  ctx_->log.Line("web role not started: " + *error);
  error->clear();
  return true;
}

void TServer::SeedDemo() {
  std::string hash = ctx_->hasher.Hash(MD5(kDemoPassword, 2));
  for (const TDemoUser& demo : kDemoUsers) {
    if (store_->Find(demo.code)) continue;
    TAccount a;
    a.code = demo.code;
    a.password_hash = hash;
    a.nickname = demo.nickname;
    a.money = kDemoMoney;
    a.user_type = 1;
    a.face = static_cast<std::uint8_t>(demo.code % 10);
    if (store_->Create(a) != demo.code)
      ctx_->log.Line("could not create demo user " + std::to_string(demo.code));
  }
  for (const TDemoUser& a : kDemoUsers)
    for (const TDemoUser& b : kDemoUsers)
      if (a.code < b.code) friend_store_->MakeFriends(a.code, b.code);
}

void TServer::LoadPublishedVersion() {
  IniFile ini = IniFile::Load(options_.data_dir / "published-version.ini");
  if (!ini.Find("version", "latest")) return;
  ctx_->latest_version = static_cast<std::int32_t>(ini.GetInt("version", "latest", ctx_->latest_version));
  ctx_->update_mode =
      static_cast<std::uint8_t>(std::clamp<long long>(ini.GetInt("version", "mode", 0), 0, 3));
}

bool TServer::SavePublishedVersion() {
  IniFile ini;
  ini.Set("version", "latest", std::to_string(ctx_->latest_version.load()));
  ini.Set("version", "mode", std::to_string(ctx_->update_mode.load()));
  return ini.Save(options_.data_dir / "published-version.ini");
}

std::string TServer::Admin(const std::vector<std::string>& args) {
  if (!ctx_ || args.empty() || args[0].empty()) return std::string("error: no command\n") + kAdminUsage;
  const std::string& cmd = args[0];
  auto number = [&](std::size_t i, std::int64_t& out) {
    return i < args.size() && ParseNumber(args[i], out);
  };
  std::int64_t a = 0, b = 0;
  if (cmd == "add-user" && args.size() >= 4 && number(1, a) && a >= 0 && a < kFirstGuestCode) {
    std::int64_t money = 0;
    if (args.size() >= 5 && (!number(4, money) || money < 0 || money > 0xFFFFFFFFll))
      return "error: MONEY must be a whole number below 2^32\n";
    if (args[2].empty()) return "error: empty password\n";
    TAccount account;
    account.code = static_cast<std::uint32_t>(a);
    account.password_hash = ctx_->hasher.Hash(MD5(args[2], 2));
    account.nickname = args[3];
    account.money = money;
    std::uint32_t code = store_->Create(account);
    if (!code) return "error: user exists or the store failed\n";
    ctx_->log.Line("admin added user " + std::to_string(code));
    return "added " + std::to_string(code) + "\n";
  }
  if (cmd == "set-balance" && number(1, a) && number(2, b) && b >= 0 && b <= 0xFFFFFFFFll) {
    if (!home_role_->SetBalance(static_cast<std::uint32_t>(a), b)) return "error: no such user\n";
    return "balance " + std::to_string(a) + " " + std::to_string(b) + "\n";
  }
  if (cmd == "credit" && (args.size() == 3 || args.size() == 4) && number(1, a) && number(2, b)) {
    if (a <= 0 || a > 0xFFFFFFFFll || b <= 0 || b > 0xFFFFFFFFll)
      return "error: CODE and AMOUNT must be whole numbers from 1 below 2^32\n";
    if (args.size() == 4 && !IsRequestId(args[3]))
      return "error: REQUEST-ID is 1 to 64 letters, digits, '-' or '_'\n";
    const std::string id = args.size() == 4 ? args[3] : NewRequestId();
    const auto code = static_cast<std::uint32_t>(a);
    TCreditResult credit = store_->Credit(code, b, "admin-" + id);
    switch (credit.outcome) {
      case TCreditOutcome::kDone:
        home_role_->BalanceChanged(code, credit.balance);
        ctx_->log.Line("admin credited " + std::to_string(b) + " to " + std::to_string(code) + " request " + id);
        return "credited " + std::to_string(b) + " to " + std::to_string(code) + " balance " +
               std::to_string(credit.balance) + " request " + id + "\n";
      case TCreditOutcome::kReplayed:
        return "error: request " + id + " was credited already; nothing credited\n";
      case TCreditOutcome::kNoAccount:
        return "error: no such user\n";
      default:
        return "error: the store failed; nothing credited\n";
    }
  }
  if (cmd == "broadcast" && args.size() >= 3 && number(1, a) && a >= 0 && a <= 255) {
    std::size_t n = home_role_->Broadcast(static_cast<std::uint8_t>(a), args[2]);
    return "sent to " + std::to_string(n) + "\n";
  }
  if (cmd == "kick" && number(1, a)) {
    bool here = home_role_->Kick(static_cast<std::uint32_t>(a), proto::kick::kByAdministrator);
    return here ? "kicked " + std::to_string(a) + "\n" : "not signed in here; other nodes told\n";
  }
  if (cmd == "level-up" && number(1, a)) {
    if (!home_role_->LevelUp(static_cast<std::uint32_t>(a))) return "error: no such user\n";
    return "level-up " + std::to_string(a) + "\n";
  }
  if (cmd == "online") {
    std::ostringstream out;
    std::vector<TSession> all = home_role_->Online();
    std::sort(all.begin(), all.end(), [](const TSession& x, const TSession& y) { return x.user < y.user; });
    for (const TSession& s : all)
      out << s.user << ' ' << (s.guest ? "guest" : "user") << ' ' << int(s.state) << ' ' << s.peer.ip << ':'
          << s.peer.port << '\n';
    out << all.size() << " online\n";
    return out.str();
  }
  if (cmd == "publish-version" && number(1, a) && number(2, b) && b >= 0 && b <= 3) {
    ctx_->latest_version = static_cast<std::int32_t>(a);
    ctx_->update_mode = static_cast<std::uint8_t>(b);
    if (!SavePublishedVersion()) return "error: published, but could not be saved\n";
    ctx_->log.Line("published version " + std::to_string(a) + " mode " + std::to_string(b));
    return "published " + std::to_string(a) + " mode " + std::to_string(b) + "\n";
  }
  if (cmd == "publish-update" || cmd == "publish-plugin" || cmd == "keygen") return AdminUpdate(args);
  if (cmd == "bump-catalogue" && args.size() == 2) {
    int version = web_ ? web_->BumpVersion(args[1]) : -1;
    if (version < 0) return "error: no web role, unknown catalogue or the versions could not be saved\n";
    return args[1] + " version " + std::to_string(version) + "\n";
  }
  return "error: unknown command or bad arguments\n" + std::string(kAdminUsage);
}

std::string TServer::AdminUpdate(const std::vector<std::string>& args) {
  const std::string& cmd = args[0];
  std::string error;
  if (cmd == "keygen" && (args.size() == 1 || (args.size() == 2 && args[1] == "--replace"))) {
    std::optional<std::string> public_key = MakeSigningKey(options_.data_dir, args.size() == 2, &error);
    if (!public_key) return "error: " + error + "\n";
    ctx_->log.Line("admin made a new update signing key");
    return "public key " + *public_key + "\n";
  }
  std::int64_t version = 0, mode = 0;
  const bool plugin = cmd == "publish-plugin";
  const std::size_t folder_at = plugin ? 2 : 3;
  if (args.size() < folder_at + 1 || args.size() > folder_at + 2 ||
      (!plugin && (!ParseNumber(args[1], version) || !ParseNumber(args[2], mode) || mode < 0 || mode > 3)))
    return "error: unknown command or bad arguments\n" + std::string(kAdminUsage);
  const std::string description = args.size() > folder_at + 1 ? args[folder_at + 1] : std::string();
  const std::optional<update::TSecretKey> key = LoadSigningKey(options_.data_dir);
  if (!updates_->Publish(plugin, args[1], args[folder_at], description, key, &error)) return "error: " + error + "\n";
  ctx_->log.Line("published update " + args[1] + (key ? " (signed)" : " (unsigned)"));
  if (plugin) return "published plug-in " + args[1] + (key ? " signed" : " unsigned") + "\n";
  ctx_->latest_version = static_cast<std::int32_t>(version);
  ctx_->update_mode = static_cast<std::uint8_t>(mode);
  if (!SavePublishedVersion()) return "error: published, but the version could not be saved\n";
  return "published update " + args[1] + " mode " + args[2] + (key ? " signed" : " unsigned") + "\n";
}

}  // namespace kiv::server
