// One server process: the store, the shared context, one endpoint per role and the control socket.
// main() builds one from the command line; tests build one in process.
#pragma once

#include <filesystem>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "chat_role.h"
#include "chat_store.h"
#include "context.h"
#include "control_socket.h"
#include "friend_store.h"
#include "friends_role.h"
#include "home_role.h"
#include "login_role.h"
#include "router.h"
#include "update_catalogue.h"
#include "update_role.h"
#include "work_pool.h"
#include "web_role.h"

namespace kiv::server {

struct TServerOptions {
  std::filesystem::path data_dir;     // required: database, log, control socket
  std::filesystem::path config_file;  // empty: data_dir/kivora-server.ini when it exists
  std::string store;                  // empty: SQLite in data_dir/kivora.db
  bool seed_demo = false;           // also turns the demo payments on, unless demo_payments says
  std::optional<bool> demo_payments;  // overrides the configuration file and seed_demo
  std::optional<int> sign_in_rate;    // overrides [limits] sign_in_per_second (0: no limit)
  std::optional<std::uint16_t> login_port, home_port, update_port;
  std::optional<std::string> announce, node, hash_cost;
  // The web site: its port (absent: 8080, skipped with a log line when that port is taken) and its
  // content folder (empty: web/ in the program's folder).
  std::optional<std::uint16_t> web_port;
  std::filesystem::path web_content;
  TChatQuota chat_quota;    // what may wait undelivered in the chat store
  std::string fault_point;  // test hook, see IAccountStore::SetFaultPoint
  bool log_to_stderr = true;
};

class TServer {
 public:
  explicit TServer(TServerOptions options);
  ~TServer();
  TServer(const TServer&) = delete;
  TServer& operator=(const TServer&) = delete;

  // Opens the store, binds the ports, starts the control socket. False with `error` on failure.
  bool Start(std::string* error);
  // Ends every connection, closes the ports and flushes the store.
  void Stop();

  std::uint16_t LoginPort() const { return login_ ? login_->Port() : 0; }
  std::uint16_t HomePort() const { return home_ ? home_->Port() : 0; }
  std::uint16_t UpdatePort() const { return update_ ? update_->Port() : 0; }
  std::uint16_t WebPort() const { return web_ ? web_->Port() : 0; }
  TWebRole* Web() { return web_.get(); }
  std::filesystem::path ControlPath() const { return options_.data_dir / "control.sock"; }
  // The lines main() prints once the server is up ("listening login 127.0.0.1:9009", …).
  std::vector<std::string> ListeningLines() const;

  // One admin request (the arguments of `kivora-server admin`); the answer text.
  std::string Admin(const std::vector<std::string>& args);

  IAccountStore& Store() { return *store_; }
  IFriendStore& FriendStore() { return *friend_store_; }
  IChatStore& ChatStore() { return *chat_store_; }
  TChatRole& ChatRole() { return *chat_role_; }
  TServerContext& Context() { return *ctx_; }
  TEndpoint& LoginEndpoint() { return *login_; }
  TEndpoint& HomeEndpoint() { return *home_; }
  TUpdateRole& UpdateRole() { return *update_role_; }

 private:
  bool StartWeb(std::string* error);
  void SeedDemo();
  void LoadPublishedVersion();
  bool SavePublishedVersion();

  TServerOptions options_;
  std::unique_ptr<IAccountStore> store_;
  std::unique_ptr<TServerContext> ctx_;
  std::string AdminUpdate(const std::vector<std::string>& args);

  std::unique_ptr<TWorkPool> pool_;  // slow handlers of both endpoints
  std::unique_ptr<TEndpoint> login_, home_, update_;
  std::unique_ptr<TLoginRole> login_role_;
  std::unique_ptr<THomeRole> home_role_;
  std::unique_ptr<IFriendStore> friend_store_;
  std::unique_ptr<TFriendsRole> friends_role_;
  std::unique_ptr<IChatStore> chat_store_;
  std::unique_ptr<TChatRole> chat_role_;
  std::unique_ptr<TUpdateCatalogue> updates_;
  std::unique_ptr<TUpdateRole> update_role_;
  std::unique_ptr<TWebRole> web_;
  TControlServer control_;
  int pg_log_sink_ = 0;  // see AddPgLogSink
};

// The demo accounts --seed-demo creates (password "kivora", 1000 of currency each).
struct TDemoUser {
  std::uint32_t code;
  const char* nickname;
};
inline constexpr TDemoUser kDemoUsers[] = {{10001, "小明"}, {10002, "小红"}, {10003, "小刚"}};
inline constexpr const char* kDemoPassword = "kivora";
inline constexpr std::int64_t kDemoMoney = 1000;

}  // namespace kiv::server
