// MA_Manager: the session manager `TManager`, which runs the client's life.
//
// It brings the process up (global manager, graphics, plug-in host, faces, transport), finds the
// login server, logs the user in, follows the redirect to the user's home server, starts the
// plug-ins once signed in, handles the session's server messages and the plug-ins' requests to the
// main program, keeps the web-page windows, signs out and takes the process down again.
//
// Servers: the login-server and home-server connections are marked as server peers of the
// transport, so only they may order this process to end. A message of the main program's codes is
// taken only from those two connections; from any other peer it is dropped.
//
// Deferred actions (`AsynFunction`): one cancellable single-shot timer per action id; starting an
// action that is pending restarts its timer.
//   1 exit the program, 3 connect to the home server and log in there, 4 drop the login-server
//   connection, 5 sign out.
//
// Ownership: created and owned by the main window. Owns the early-notice list, the web windows and
// the login window; creates and frees the global manager and the plug-in host (the process-wide
// `GlobalManager` and `PluginManager`). One instance per process at a time.
// Threads: main thread only; the transport delivers there (mode 0).
#pragma once

#include <QObject>
#include <QPointer>
#include <QString>
#include <QTimer>
#include <cstdint>
#include <deque>
#include <filesystem>
#include <functional>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "ma_bank.h"
#include "ma_clear_user.h"
#include "ma_find_password.h"
#include "ma_login.h"
#include "ma_net_setup.h"
#include "ma_setup.h"
#include "ma_web.h"
#include "manager/setup_records.h"
#include "plugin/plugin_api.h"

namespace kiv {

class TMainForm;
class TDownloadThread;
class TGlobalManager;
class TPluginManager;
class THotKey;

// Deferred action ids.
inline constexpr int kActionExit = 1;
inline constexpr int kActionConnectHome = 3;
inline constexpr int kActionDropLoginServer = 4;
inline constexpr int kActionLogout = 5;

// What a test (or an unusual installation) may change; the defaults are the program's.
struct TManagerOptions {
  // The application folder; empty: the running program's folder.
  std::filesystem::path app_folder;
  int startup_timeout_ms = 5000;   // no version reply after start-up
  int login_timeout_ms = 10000;    // no answer to a login
  int connect_timeout_ms = 10000;  // one handshake with a server
  int redirect_delay_ms = 500;     // result 3 to the login at the home server
  int move_delay_ms = 100;         // result 7 to the login at the new home server
  int drop_login_delay_ms = 5000;  // signed in to dropping the login-server connection
  int reconnect_delay_ms = 5000;   // home server lost while signed in
  int exit_delay_ms = 100;
  int exit_after_notice_ms = 2000;  // "download it from the web site" to the exit
  int kick_delay_ms = 100;
  int transfer_timeout_ms = 10000;  // no answer to a currency transfer
  int recovery_timeout_ms = 10000;  // no answer to a step of the password recovery
  int setup_timeout_ms = 10000;     // no answer to a profile change
  // Starts a program without waiting (the updater); the default starts it detached.
  std::function<void(const std::string& program, const std::vector<std::string>& arguments)> run_program;
  // Opens a web address in the system's browser.
  TOpenUrl open_url;
  // Plays a wave file (notification sounds of the main program).
  std::function<void(const std::filesystem::path& file)> play_sound;
  // Ends the program (deferred action 1); the default leaves the application's event loop, after
  // which the main window and with it this manager are freed.
  std::function<void()> exit_program;
  // Fetches the web site's catalogues and pictures at start-up (TDownloadThread).
  bool download_resources = true;
  // Where the run-at-system-start entry goes; empty: the user's XDG autostart folder.
  std::filesystem::path autostart_folder;
  // The first login window signs in at once when the list's first user has a saved password
  // ("--sign-in" on the command line; scripts/run --two starts its two clients so).
  bool sign_in_at_start = false;
};

class TManager : public QObject {
  Q_OBJECT

 public:
  // Start-up steps 1 to 7: global manager, plug-in host, handlers, graphics, faces, tray.
  TManager(TMainForm* main_form, TManagerOptions options);
  // The exit sequence; every step runs even when one before it failed.
  ~TManager() override;

  // Start-up step 8: contact the login server and ask for the latest version.
  void Start();

  bool ConnectLoginServer();
  void Login(bool guest);
  void SendLoginMsg(std::uint8_t state, std::int32_t handle);
  void DealLoginMsg(const void* data, std::size_t size);
  // True when the program is about to end.
  bool CheckVersion(std::int32_t latest, std::uint8_t mode);
  void RunUpdate();
  // The updater's program file and its five arguments.
  std::string UpdateProgram() const;
  std::vector<std::string> UpdateArguments() const;
  void LoginSuccess();
  void Logout();
  void ChangeState(std::uint8_t state);

  void AsynFunction(int id, int delay_ms);
  void CancelAsynFunction(int id);
  bool AsynPending(int id) const;

  // The local user list "Datas/LoginInfo.dat" and the login window's user-code box.
  void LoadLoginInfo();
  // The signed-in user first, then the list; a record of `forget` (a user just cleared) is never
  // written. When the list would not fit, the oldest records are dropped.
  void SaveLoginInfo(std::uint32_t forget = 0);

  // The login window, created when missing.
  TLoginForm* EnsureLoginForm();
  TLoginForm* LoginForm() const { return login_form_.data(); }
  // Creates the login window when needed, fills it and shows it as the main login window.
  void ShowMainLoginWindow();

  // The transport handlers (the fan-out calls them first) and the plug-ins' requests.
  void OnDataRecive(std::uint16_t remote, const void* data, std::uint32_t size);
  void OnDisConnect(std::uint16_t remote, std::uint8_t reason);
  void OnPluginMessage(std::uint32_t code, void* data, std::uint32_t size);
  // A text from another program to one of the windows: "Close" as the first word ends the program.
  void OnFormText(const QString& text);

  // The currency transfer window (needs the permission Bank), created when missing.
  void ShowBank();
  TBankForm* BankForm() const { return bank_form_.data(); }
  // The password recovery window, opened from the login window once the login server answers.
  void ShowFindPassWord();
  TFindPassWordForm* FindPassWordForm() const { return find_password_form_.data(); }
  // The settings window on page 0 (profile), 1 (photo) or 2 (system); needs the permission Modify
  // and a signed-in user. Created on first use.
  void ShowSetup(int page);
  TSetupForm* SetupForm() const { return setup_form_.data(); }
  // Takes the settings window's local settings when it is open, then writes the setup file.
  void SaveSetup();

  // The login window's helpers and the main window's platform pieces (ma_windows.cpp).
  void ShowNetSetup();
  TNetSetupForm* NetSetupForm() const { return net_setup_form_.data(); }
  // Opens the clear-user window for a code of the list once the login server answers.
  void ShowClearUser(std::uint32_t code);
  TClearUserForm* ClearUserForm() const { return clear_user_form_.data(); }
  void ShowDiagnostics();
  // Run at system start and the show hot key from the setup record.
  void ApplyOptions();
  void SetAutoRun(bool on);
  void SetHotKey(std::uint16_t shortcut);
  THotKey* HotKey() const { return hot_key_.get(); }
  // Commits the signature being edited in the main window's header.
  void SaveSignature(const QString& text);

  void OpenWebWindow(int width, int height, const QString& caption, const QUrl& url);
  void ShowMoneyRecord();
  void ShowMall();
  void ShowService();
  // The top-up page (PAYURL + "?code=" + user code) in a web window "账号充值": when the user closes
  // it, or comes back from the browser, the own profile is asked for and the new balance shows.
  void ShowPayPage();
  TWebWindowList& WebWindows() { return *web_windows_; }

  // Notices that arrived before sign-in completed, in arrival order.
  const std::vector<THintInfo>& EarlyNotices() const { return early_notices_; }
  bool Guest() const { return guest_; }
  const TManagerOptions& Options() const { return options_; }

 signals:
  // The setup record was saved from the settings window, and the run-at-start setting and the hot
  // key applied (ApplyOptions).
  void SetupSaved();

 private:
  void RunAction(int id);
  void ConnectHomeServer();
  void CompleteSignIn(const struct TLoginReply& reply);
  void RefuseLogin(const QString& text);
  void LoginTimedOut();
  void StartupTimedOut();
  void RequestExit();
  bool FromServer(std::uint16_t remote) const;
  void Message(const QString& text);
  void PlaySetupSound(TSetupSound slot);
  void SendToHome(const std::vector<std::uint8_t>& message);
  void LoadFaces();
  void ClearUser(TClearUserForm* form, bool delete_all, const QString& password);
  void ForgetLocalUser(std::uint32_t code);
  void DealClearUserResult(std::uint16_t remote, const void* data, std::size_t size);

  // Server messages of the session.
  void DealKickOut(const void* data, std::size_t size);
  void DealOwnProfile(const void* data, std::size_t size);
  void DealProfileChangeResult(const void* data, std::size_t size);
  void DealBroadcast(const void* data, std::size_t size);
  void DealBalance(const void* data, std::size_t size);
  void DealLevelUp(const void* data, std::size_t size);
  void DealTransferResult(const void* data, std::size_t size);
  void UpdateMoney(std::uint32_t balance);
  void Notify(const THintInfo& notice, const QString& fallback_text);
  void StoreSystemMessage(const std::string& text);
  void RequestOwnProfile();
  QUrl AccountPageUrl(const std::string& base) const;

  TMainForm* main_form_;
  TManagerOptions options_;
  std::vector<THintInfo> early_notices_;
  std::unique_ptr<TWebWindowList> web_windows_;
  bool guest_ = false;
  bool transport_started_ = false;
  std::uint8_t requested_state_ = 1;
  std::unique_ptr<TGlobalManager> global_;
  std::unique_ptr<TPluginManager> plugins_;
  std::unique_ptr<TDownloadThread> downloads_;
  QPointer<TLoginForm> login_form_;
  QPointer<TBankForm> bank_form_;
  QPointer<TFindPassWordForm> find_password_form_;
  QPointer<TClearUserForm> clear_user_form_;
  QPointer<TNetSetupForm> net_setup_form_;
  std::unique_ptr<THotKey> hot_key_;
  QPointer<TSetupForm> setup_form_;
  // Profile changes sent and not answered yet, oldest first; each answer applies the oldest.
  std::deque<TSentProfile> sent_profiles_;
  std::map<int, QTimer*> actions_;
};

// The session manager of this process; null when there is none.
extern TManager* SessionManager;

}  // namespace kiv
