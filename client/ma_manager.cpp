#include "ma_manager.h"

#include <QApplication>
#include <QCoreApplication>
#include <QProcess>
#include <QRandomGenerator>
#include <QScreen>
#include <QStringList>
#include <cstring>
#include <exception>

#include "base/files.h"
#include "base/machine_id.h"
#include "base/proxy.h"
#include "base/scrambled_file.h"
#include "base/socket.h"
#include "base/system_load.h"
#include "base/text_checks.h"
#include "base/wire.h"
#include "declare/declare.h"
#include "ma_download.h"
#include "ma_main.h"
#include "ma_records.h"
#include "manager/global_manager.h"
#include "plugin/plugin_manager.h"
#include "system/window_helpers.h"
#include "udp/global_udp.h"
#include "system/hot_key.h"
#include "udp_interface.h"

namespace kiv {

TManager* SessionManager = nullptr;

namespace {

constexpr std::size_t kLoginInfoMax = 10240;
constexpr std::size_t kLoginInfoHeader = 3;
constexpr std::size_t kLoginInfoTrailer = 2;
constexpr std::uint16_t kDefaultPortBase = 9522;

void MainOnData(std::uint16_t remote, const void* data, std::uint32_t size) {
  if (SessionManager) SessionManager->OnDataRecive(remote, data, size);
}

void MainOnDisConnect(std::uint16_t remote, std::uint8_t reason) {
  if (SessionManager) SessionManager->OnDisConnect(remote, reason);
}

QString Q(const std::string& utf8) { return QString::fromStdString(utf8); }

// Runs one step of a sequence that must go on whatever the step does.
template <typename Fn>
void Guarded(Fn step) {
  try {
    step();
  } catch (...) {
  }
}

// Whether this computer has a video capture device (what the video engine would answer).
std::uint8_t CameraPresent() {
  std::error_code error;
  for (const auto& entry : std::filesystem::directory_iterator("/dev", error)) {
    if (entry.path().filename().string().starts_with("video")) return 1;
  }
  return 0;
}

std::uint16_t Low16(std::int32_t handle) { return static_cast<std::uint16_t>(handle & 0xFFFF); }

}  // namespace

TManager::TManager(TMainForm* main_form, TManagerOptions options)
    : main_form_(main_form), options_(std::move(options)) {
  SessionManager = this;
  if (!options_.open_url) options_.open_url = SystemBrowser();
  if (!options_.play_sound) {
    options_.play_sound = [](const std::filesystem::path& file) {
      if (GlobalManager) GlobalManager->PlaySound(file);
    };
  }
  if (!options_.exit_program) {
    // exit(), not quit(): quit() asks every window to close first and gives up when one refuses,
    // and the main window refuses (it hides instead).
    options_.exit_program = [] { QCoreApplication::exit(0); };
  }
  if (!options_.run_program) {
    options_.run_program = [](const std::string& program, const std::vector<std::string>& arguments) {
      QStringList args;
      for (const std::string& a : arguments) args << Q(a);
      QProcess::startDetached(Q(program), args);
    };
  }

  // 1. The global manager (system record, skin), with the main window's plug-in area.
  const std::filesystem::path app = options_.app_folder.empty() ? ApplicationFolder() : options_.app_folder;
  global_ = std::make_unique<TGlobalManager>(app);
  GlobalManager = global_.get();
  GlobalManager->PluginPanel = main_form_->PluginArea();
  // 2. The resource download thread; its tray balloon is shown on this thread.
  if (options_.download_resources) {
    downloads_ = std::make_unique<TDownloadThread>(
        app, TResourceUrls{HOMEPAGE + "/Download/Version.txt", PRESENTIMGURL, STAMPIMGURL, SKINIMGURL},
        [this](bool show) {
          QMetaObject::invokeMethod(
              this,
              [this, show] {
                QSystemTrayIcon* tray = main_form_->TrayIcon();
                if (!tray) return;
                // A shown message cannot be withdrawn; an empty one of 1 ms replaces it.
                if (show)
                  tray->showMessage(Q(APPNAME), QStringLiteral("正在下载系统所需资源..."),
                                    QSystemTrayIcon::Information, 60000);
                else
                  tray->showMessage(QString(), QString(), QSystemTrayIcon::NoIcon, 1);
              },
              Qt::QueuedConnection);
        });
    downloads_->Start();
  }
  // 3. The main program's transport handlers, called before the plug-ins'.
  ExeOnDataRecive = &MainOnData;
  ExeOnDisConnect = &MainOnDisConnect;
  // 4. The lists, then the skin's graphics.
  web_windows_ = std::make_unique<TWebWindowList>(options_.open_url);
  connect(web_windows_.get(), &TWebWindowList::VisitEnded, this, &TManager::RequestOwnProfile);
  GlobalManager->LoadGraphics();
  // 5. The plug-in host loads every plug-in; plug-ins' requests come here.
  plugins_ = std::make_unique<TPluginManager>(app);
  PluginManager = plugins_.get();
  PluginManager->ExeDealMessage = [this](std::uint32_t code, void* data, std::uint32_t size) {
    OnPluginMessage(code, data, size);
  };
  // 6. The window's skin and pictures, then the logging-in tray icon.
  main_form_->SkinAndGraphics();
  main_form_->StartupTimer().setInterval(options_.startup_timeout_ms);
  connect(&main_form_->StartupTimer(), &QTimer::timeout, this, &TManager::StartupTimedOut);
  main_form_->ShowLoggingInIcon();
  // 7. The built-in faces.
  LoadFaces();
}

void TManager::LoadFaces() {
  GlobalManager->FaceList32.clear();
  GlobalManager->FaceList16.clear();
  for (int i = 0; i <= MAXFACECOUNT; ++i) {
    const QString file =
        Q(GlobalManager->AppPath) + QStringLiteral("faces/face%1.bmp").arg(i, 3, 10, QLatin1Char('0'));
    QImage face(file);
    if (face.isNull()) {
      face = QImage(32, 32, QImage::Format_RGB32);
      face.fill(Qt::white);
    }
    face = face.convertToFormat(QImage::Format_RGB32);
    if (face.size() != QSize(32, 32))
      face = face.scaled(32, 32, Qt::IgnoreAspectRatio, Qt::SmoothTransformation);
    GlobalManager->FaceList32.push_back(face);
    GlobalManager->FaceList16.push_back(face.scaled(16, 16, Qt::IgnoreAspectRatio, Qt::SmoothTransformation));
  }
  for (const char* name : {"ico1", "ico2", "ico3"}) {
    QImage picture;
    GlobalManager->SetGraphic(QLatin1String(name), picture);
    GlobalManager->FaceList16.push_back(picture);
  }
}

void TManager::Start() {
  // 8. Contact the login server and ask for the latest version.
  if (ConnectLoginServer()) {
    SendLoginMsg(kLoginVersionCheck, GlobalManager->LoginServer);
    main_form_->StartupTimer().start();
    ClearMem();
  } else {
    ShowMainLoginWindow();
  }
}

void TManager::StartupTimedOut() {
  main_form_->StartupTimer().stop();
  if (GlobalManager->RunState == kRunStarting && !login_form_) ShowMainLoginWindow();
}

void TManager::ShowMainLoginWindow() {
  const bool created = !login_form_;
  TLoginForm* form = EnsureLoginForm();
  if (created) LoadLoginInfo();
  main_form_->UpdateTrayIcon(1);
  form->SetMainLoginWindow(true);
  form->show();
  BringToFont(form);
  if (created && options_.sign_in_at_start && !form->Password().isEmpty())
    QTimer::singleShot(0, this, [this] { Login(false); });
}

TManager::~TManager() {
  Guarded([this] { downloads_.reset(); });
  Guarded([] {
    if (GlobalManager) GlobalManager->HideHintForm();
  });
  Guarded([this] { early_notices_.clear(); });
  // Windows that send through this manager go with it.
  Guarded([this] {
    delete bank_form_.data();
    if (setup_form_) setup_form_->setAttribute(Qt::WA_DeleteOnClose, false);
    delete setup_form_.data();
    if (find_password_form_) find_password_form_->disconnect(this);
    delete find_password_form_.data();
    delete clear_user_form_.data();
    delete net_setup_form_.data();
    hot_key_.reset();
  });
  Guarded([this] { main_form_->DockTimer().stop(); });
  Guarded([this] {
    CancelAsynFunction(kActionExit);
    CancelAsynFunction(kActionConnectHome);
  });
  Guarded([this] {
    main_form_->AllowClose();
    main_form_->hide();
    if (main_form_->TrayIcon()) main_form_->TrayIcon()->hide();
  });
  Guarded([this] { web_windows_->CloseAll(); });
  Guarded([this] {
    if (login_form_) {
      login_form_->SetMainLoginWindow(false);
      delete login_form_.data();
    }
  });
  Guarded([this] { Logout(); });
  Guarded([this] {
    for (auto& [id, timer] : actions_) delete timer;
    actions_.clear();
  });
  Guarded([this] {
    if (PluginManager) PluginManager->ExeDealMessage = TExeDealMessage::Handler();
    PluginManager = nullptr;
    plugins_.reset();
  });
  Guarded([] {
    ExeOnDataRecive = nullptr;
    ExeOnDisConnect = nullptr;
    UDPStop();
  });
  Guarded([] {
    if (GlobalManager && GlobalManager->SkinManager) GlobalManager->SkinManager->SetActive(false);
  });
  Guarded([this] {
    web_windows_.reset();
    GlobalManager = nullptr;
    global_.reset();
  });
  SessionManager = nullptr;
}

bool TManager::ConnectLoginServer() {
  // 1. One of the three host names at random; the numeric fallback when it does not resolve.
  const std::string* hosts[] = {&LOGINSERVERIP1, &LOGINSERVERIP2, &LOGINSERVERIP3};
  std::string address = HostToIP(*hosts[QRandomGenerator::global()->bounded(3)]);
  if (address.empty()) address = LOGINSERVERADD;
  TSystemInfo& system = GlobalManager->SystemInfo;
  system.LoginServerAddress.SetText(address);
  // 3. A free local port from the port base up. A transport that runs already keeps its port: the
  // free port found now would be another one, and the user's own port would be misreported.
  if (!transport_started_) {
    const int base = system.LocalPortBase != 0 ? system.LocalPortBase : kDefaultPortBase;
    const int port = GetFreePort(base, false);
    GlobalManager->Me->local_port = static_cast<std::uint16_t>(port > 0 && port <= 65535 ? port : 0);
  }
  GlobalManager->Me->camera = CameraPresent();
  // 5. The transport.
  if (!StartUDP(GlobalManager->Me->local_port)) {
    transport_started_ = false;
    Message(QStringLiteral("初始化通信设备失败。"));
    if (login_form_) login_form_->StopTimeout();
    return false;
  }
  transport_started_ = true;
  // 6. The proxy.
  if (system.UseProxy == 0) {
    UDPSetProxyInfo("", 0);
  } else {
    const bool auth = system.ProxyAuth != 0;
    const std::string host = system.ProxyHost.Text();
    const std::uint16_t relay =
        StartProxy(host, system.ProxyPort, GlobalManager->Me->local_port, auth ? system.ProxyUser.Text() : "",
                   auth ? system.ProxyPassword.Text() : "");
    if (relay == 0) {
      Message(QStringLiteral("代理服务器连接失败。"));
      if (login_form_) login_form_->StopTimeout();
      return false;
    }
    UDPSetProxyInfo(host.c_str(), relay);
  }
  // 7. The connection.
  const std::uint32_t handle =
      UDPConnect(address.c_str(), LOGINSERVERPORT, static_cast<std::uint32_t>(options_.connect_timeout_ms));
  GlobalManager->LoginServer = static_cast<std::int32_t>(handle);
  if (Low16(GlobalManager->LoginServer) == 0) {
    Message(QStringLiteral("连接服务器失败。"));
    return false;
  }
  UDPSetServerPeer(Low16(GlobalManager->LoginServer), true);
  GlobalManager->SaveSystemInfo();
  return true;
}

TLoginForm* TManager::EnsureLoginForm() {
  if (login_form_) return login_form_;
  auto* form = new TLoginForm(options_.login_timeout_ms);
  form->setAttribute(Qt::WA_DeleteOnClose, false);
  connect(form, &TLoginForm::LoginRequested, this, &TManager::Login);
  connect(form, &TLoginForm::TimedOut, this, &TManager::LoginTimedOut);
  connect(form, &TLoginForm::ExitRequested, this,
          [this] { AsynFunction(kActionExit, options_.exit_delay_ms); });
  connect(form, &TLoginForm::ForgotPasswordRequested, this, &TManager::ShowFindPassWord);
  connect(form, &TLoginForm::NetSetupRequested, this, &TManager::ShowNetSetup);
  connect(form, &TLoginForm::ClearUserRequested, this, &TManager::ShowClearUser);
  connect(form, &TLoginForm::DiagnosticsRequested, this, &TManager::ShowDiagnostics);
  connect(form, &TLoginForm::RegisterRequested, this, [this] {
    if (!REGPAGE.empty()) options_.open_url(QUrl(Q(REGPAGE)));
  });
  if (auto* mailbox = form->findChild<TFormMailbox*>(QString(), Qt::FindDirectChildrenOnly))
    connect(mailbox, &TFormMailbox::TextReceived, this, &TManager::OnFormText);
  login_form_ = form;
  return form;
}

void TManager::Login(bool guest) {
  TLoginForm* form = EnsureLoginForm();
  const QString code_text = form->UserCodeText();
  const QString password = form->Password();
  // 1. The window's entries.
  if (!guest) {
    if (code_text.isEmpty() || password.isEmpty()) {
      form->show();
      Message(QStringLiteral("用户号码或密码不能为空。"));
      return;
    }
    if (!CheckInputString(code_text.toStdString())) {
      Message(QStringLiteral("用户号码不能含有非法字符。"));
      return;
    }
  }
  bool code_ok = false;
  const qulonglong code = code_text.toULongLong(&code_ok);
  if (!guest && (!code_ok || code == 0 || code > 0xFFFFFFFFull)) {
    Message(QStringLiteral("用户号码不能含有非法字符。"));
    return;
  }
  // 2. The connecting hint; the three state items wait for the outcome.
  guest_ = guest;
  GlobalManager->ShowHintForm(QStringLiteral("正在连接服务器..."));
  requested_state_ = form->Invisible() ? kStateInvisible : kStateOnline;
  early_notices_.clear();
  main_form_->SetStateItemsEnabled(false);
  if (GlobalManager->RunState == kRunSignedIn) Logout();
  // 3. The credentials.
  TMe& me = *GlobalManager->Me;
  me.password = password.left(kMaxPasswordLength).toStdString();
  if (!code_text.isEmpty() && code_ok && code <= 0xFFFFFFFFull)
    me.SetUserCode(static_cast<std::uint32_t>(code));
  // 4, 5.
  main_form_->ShowLoggingInIcon();
  if (ConnectLoginServer()) {
    GlobalManager->ShowHintForm(QStringLiteral("正在登录服务器..."));
    form->StartTimeout();
    me.state = requested_state_;
    SendLoginMsg(guest ? kLoginGuest : requested_state_, GlobalManager->LoginServer);
  } else {
    main_form_->UpdateTrayIcon(0);
    GlobalManager->HideHintForm();
    main_form_->SetStateItemsEnabled(true);
    form->StopTimeout();
  }
}

void TManager::LoginTimedOut() {
  main_form_->UpdateTrayIcon(0);
  GlobalManager->HideHintForm();
  main_form_->SetStateItemsEnabled(true);
  Message(QStringLiteral("连接服务器超时。"));
}

void TManager::SendLoginMsg(std::uint8_t state, std::int32_t handle) {
  const TMe& me = *GlobalManager->Me;
  const std::uint32_t code = state == kLoginGuest ? 0 : me.UserCode();
  const Bytes request = BuildLoginRequest(code, me.password.str(), state, me.camera, NBGetFirstMac());
  UDPSendData(Low16(handle), request.data(), static_cast<std::uint32_t>(request.size()), 0, 0, 0);
}

void TManager::RefuseLogin(const QString& text) {
  TLoginForm* form = EnsureLoginForm();
  form->show();
  GlobalManager->HideHintForm();
  main_form_->UpdateTrayIcon(0);
  main_form_->SetStateItemsEnabled(true);
  Message(text);
  form->StopTimeout();
}

void TManager::DealLoginMsg(const void* data, std::size_t size) {
  if (GlobalManager->RunState == kRunSignedIn) return;
  const TLoginReply reply = ReadLoginReply(data, size);
  TMe& me = *GlobalManager->Me;
  switch (reply.result) {
    case kLoginRedirect:
      me.SetUserCode(reply.user_code);
      me.sex = reply.sex;
      GlobalManager->LoadSetupInfo();
      GlobalManager->ChatRoomServerIP = reply.lobby.ip;
      GlobalManager->ChatRoomServerPort = reply.lobby.port;
      GlobalManager->UpdateServerIP = reply.update.ip;
      GlobalManager->UpdateServerPort = reply.update.port;
      GlobalManager->HomeServerIP = reply.home.ip;
      GlobalManager->HomeServerPort = reply.home.port;
      AsynFunction(kActionConnectHome, options_.redirect_delay_ms);
      break;
    case kLoginSignedIn:
      CompleteSignIn(reply);
      break;
    case kLoginMove:
      if (GlobalManager->HomeServer != -1 && Low16(GlobalManager->HomeServer) != 0)
        UDPDisConnect(Low16(GlobalManager->HomeServer));
      GlobalManager->HomeServer = -1;
      GlobalManager->HomeServerIP = reply.home.ip;
      GlobalManager->HomeServerPort = reply.home.port;
      AsynFunction(kActionConnectHome, options_.move_delay_ms);
      break;
    case kLoginVersionInfo:
      GlobalManager->UpdateServerIP = reply.update.ip;
      GlobalManager->UpdateServerPort = reply.update.port;
      if (CheckVersion(reply.latest_version, reply.update_mode)) return;
      main_form_->StartupTimer().stop();
      if (!login_form_) ShowMainLoginWindow();
      break;
    default:
      if (const std::string text = LoginFailureText(reply.result); !text.empty()) RefuseLogin(Q(text));
      break;
  }
}

void TManager::CompleteSignIn(const TLoginReply& reply) {
  TMe& me = *GlobalManager->Me;
  me.nickname = reply.nickname;
  me.level_points = reply.level_points;
  me.SetMoney(reply.money);
  me.face = reply.face;
  me.own_ip = reply.own.ip;
  me.own_port = reply.own.port;
  me.user_type = reply.user_type;
  GlobalManager->HideHintForm();
  if (login_form_) {
    login_form_->StopTimeout();
    login_form_->SetMainLoginWindow(false);
    login_form_->hide();
  }
  LoginSuccess();
  QCoreApplication::processEvents();
  AsynFunction(kActionDropLoginServer, options_.drop_login_delay_ms);
  std::vector<THintInfo> notices;
  notices.swap(early_notices_);
  for (THintInfo& notice : notices)
    PluginManager->DealMessage("KivHint", 0x70003, &notice, sizeof(THintInfo));
}

void TManager::ConnectHomeServer() {
  const std::string address = GlobalManager->HomeServerIP.str();
  const std::uint32_t handle = UDPConnect(address.c_str(), GlobalManager->HomeServerPort,
                                          static_cast<std::uint32_t>(options_.connect_timeout_ms));
  if ((handle & 0xFFFF) == 0) {
    GlobalManager->HomeServer = -1;
    Message(QStringLiteral("连接到服务器失败。"));
    return;
  }
  GlobalManager->HomeServer = static_cast<std::int32_t>(handle);
  UDPSetServerPeer(Low16(GlobalManager->HomeServer), true);
  SendLoginMsg(GlobalManager->Me->state, GlobalManager->HomeServer);
}

bool TManager::CheckVersion(std::int32_t latest, std::uint8_t mode) {
  if (latest == CURRENTVERSION) return false;
  const QString app = Q(APPNAME);
  switch (mode) {
    case 0:
      if (GlobalManager->ShowMessage(
              QStringLiteral("系统发现") + app +
                  QStringLiteral("有最新版本，当前版本可以继续使用，是否进行自动更新？"),
              kMessageQuestion) != 1)
        return false;
      RunUpdate();
      AsynFunction(kActionExit, options_.exit_delay_ms);
      return true;
    case 1:
      RunUpdate();
      AsynFunction(kActionExit, options_.exit_delay_ms);
      return true;
    case 2:
      Message(QStringLiteral("系统发现") + app + QStringLiteral("有最新版本，请从官方网站") + Q(HOMEPAGE) +
              QStringLiteral("中下载安装。"));
      AsynFunction(kActionExit, options_.exit_after_notice_ms);
      return true;
    case 3:
      Message(QStringLiteral("系统发现") + app +
              QStringLiteral("有最新版本，当前版本可以继续使用，如果需要更新请从官方网站") + Q(HOMEPAGE) +
              QStringLiteral("中下载安装。"));
      return false;
    default:
      return false;
  }
}

std::string TManager::UpdateProgram() const { return GlobalManager->AppPath + UPDATEFILENAME; }

std::vector<std::string> TManager::UpdateArguments() const {
  return {std::to_string(CURRENTVERSION), GlobalManager->UpdateServerIP.str(),
          std::to_string(GlobalManager->UpdateServerPort), "0", std::to_string(APPTYPE)};
}

void TManager::RunUpdate() { options_.run_program(UpdateProgram(), UpdateArguments()); }

void TManager::LoginSuccess() {
  // 1.
  if (GlobalManager->RunState == kRunSignedIn) return;
  GlobalManager->RunState = kRunSignedIn;
  main_form_->DockTimer().start();
  // 2.
  SaveLoginInfo();
  GlobalManager->LoadSetupInfo();
  ApplyOptions();
  // 3.
  for (const char* name : {"KivHint", "KivChat", "KivFriend"}) PluginManager->StartPlugin(name);
  QCoreApplication::processEvents();
  // 4.
  main_form_->BuildPluginButtons();
  PluginManager->StartAllPlugin();
  PluginManager->DealMessageToAll(kMsgSignedIn, nullptr, 0);
  // 5.
  main_form_->UpdateTrayIcon(-1);
  main_form_->ShowMyInfo();
  // 6. Where the window was at the last sign-out, else at the right edge above the panels.
  const TSystemInfo& system = GlobalManager->SystemInfo;
  int width = system.MainWidth != -1 && system.MainWidth > 0 ? system.MainWidth : main_form_->width();
  int height = system.MainHeight != -1 && system.MainHeight > 0 ? system.MainHeight : main_form_->height();
  main_form_->resize(width, height);
  const QScreen* screen = QGuiApplication::primaryScreen();
  const QRect desk = screen ? screen->geometry() : QRect(0, 0, 1024, 768);
  const int top = system.MainTop != -1 ? system.MainTop : desk.height() - GetTaskBarHeight() - height;
  const int left = system.MainLeft != -1 ? system.MainLeft : desk.width() - width - 1;
  main_form_->move(left, top);
  // 7.
  PluginManager->StartPlugin("KivChatRoom");
  PluginManager->StartPlugin("KivFriend");
  // 8.
  main_form_->SetStateItemsEnabled(true);
  main_form_->ShowMainWindow(false);
}

void TManager::Logout() {
  if (!GlobalManager || GlobalManager->RunState == kRunSignedOut) return;
  TSystemInfo& system = GlobalManager->SystemInfo;
  if (GlobalManager->RunState == kRunSignedIn) {
    system.MainTop = main_form_->y();
    system.MainLeft = main_form_->x();
    system.MainWidth = main_form_->width();
    system.MainHeight = main_form_->height();
  }
  GlobalManager->HintCount = 0;
  GlobalManager->RunState = kRunSignedOut;
  main_form_->SetStateItemsEnabled(false);
  main_form_->SetStateItemsEnabled(true);
  main_form_->DockTimer().stop();
  GlobalManager->Me->state = kStateOffline;
  main_form_->ShowMyInfo();
  main_form_->UpdateTrayIcon(-1);
  Guarded([] {
    if (PluginManager) PluginManager->Stop();
  });
  CancelAsynFunction(kActionConnectHome);
  CancelAsynFunction(kActionDropLoginServer);
  sent_profiles_.clear();
  UDPStop();
  transport_started_ = false;
  // The transport's handles are gone with it; a new one of the same number is another peer.
  GlobalManager->LoginServer = 0;
  GlobalManager->HomeServer = -1;
}

void TManager::ChangeState(std::uint8_t state) {
  TMe& me = *GlobalManager->Me;
  if (state == me.state) return;
  if (state == kStateOffline) {
    me.state = kStateOffline;
    main_form_->UpdateTrayIcon(-1);
    main_form_->ShowMyInfo();
    PluginManager->DealMessage("KivFriend", 0x70003, nullptr, 0);
    Logout();
  } else {
    EnsureLoginForm()->SetInvisible(state == kStateInvisible);
    if (me.state != kStateOffline && GlobalManager->RunState == kRunSignedIn) {
      SaveLoginInfo();
      me.state = state;
      SendToHome(BuildOwnState(me.UserCode(), state, me.camera));
      PluginManager->DealMessage("KivFriend", 0x70003, nullptr, 0);
      main_form_->ShowMyInfo();
    } else {
      Login(false);
    }
  }
  main_form_->UpdateTrayIcon(-1);
}

void TManager::AsynFunction(int id, int delay_ms) {
  QTimer*& timer = actions_[id];
  if (!timer) {
    timer = new QTimer(this);
    timer->setSingleShot(true);
    // A coarse timer may fire up to 5 % early; an action waits at least its delay.
    timer->setTimerType(Qt::PreciseTimer);
    connect(timer, &QTimer::timeout, this, [this, id] { RunAction(id); });
  }
  timer->start(std::max(0, delay_ms));
}

void TManager::CancelAsynFunction(int id) {
  if (auto it = actions_.find(id); it != actions_.end() && it->second) it->second->stop();
}

bool TManager::AsynPending(int id) const {
  const auto it = actions_.find(id);
  return it != actions_.end() && it->second && it->second->isActive();
}

void TManager::RunAction(int id) {
  try {
    switch (id) {
      case kActionExit:
        RequestExit();
        break;
      case kActionConnectHome:
        ConnectHomeServer();
        break;
      case kActionDropLoginServer:
        if (Low16(GlobalManager->LoginServer) != 0 &&
            Low16(GlobalManager->LoginServer) != Low16(GlobalManager->HomeServer)) {
          UDPDisConnect(Low16(GlobalManager->LoginServer));
        }
        GlobalManager->LoginServer = 0;
        break;
      case kActionLogout:
        Logout();
        break;
      default:
        break;
    }
  } catch (...) {
  }
}

void TManager::RequestExit() { options_.exit_program(); }

void TManager::OnFormText(const QString& text) {
  const QStringList words = text.split(QLatin1Char(' '), Qt::SkipEmptyParts);
  if (!words.isEmpty() && words.first() == QLatin1String("Close"))
    AsynFunction(kActionExit, options_.exit_delay_ms);
}

void TManager::Message(const QString& text) {
  if (GlobalManager) GlobalManager->ShowMessage(text);
}

// --- The local user list --------------------------------------------------------------------------

void TManager::LoadLoginInfo() {
  if (!login_form_) return;
  std::vector<std::uint8_t> buffer(kLoginInfoMax);
  const auto size =
      RestoreFiletoData(buffer, std::filesystem::path(GlobalManager->AppPath) / "Datas" / "LoginInfo.dat");
  if (!size || *size < kLoginInfoHeader + kLoginInfoTrailer) return;
  std::vector<QByteArray> records;
  for (std::size_t at = kLoginInfoHeader; at + kLoginRecordSize + kLoginInfoTrailer <= *size;
       at += kLoginRecordSize)
    records.emplace_back(reinterpret_cast<const char*>(buffer.data() + at),
                         static_cast<qsizetype>(kLoginRecordSize));
  login_form_->SetUsers(records);
}

void TManager::SaveLoginInfo(std::uint32_t forget) {
  if (guest_ || !login_form_) return;
  const TMe& me = *GlobalManager->Me;
  std::vector<std::uint8_t> buffer(kLoginInfoHeader, 0);
  auto append = [&buffer](const std::uint8_t* record) {
    if (buffer.size() + kLoginRecordSize + kLoginInfoTrailer > kLoginInfoMax) return false;
    buffer.insert(buffer.end(), record, record + kLoginRecordSize);
    return true;
  };
  if (me.UserCode() != 0 && me.UserCode() != forget) {
    RecordWriter first(kLoginRecordSize);
    first.u32(0, me.UserCode())
        .text(39, 40, login_form_->RememberPassword() ? me.password.str() : std::string())
        .u8(80, login_form_->RememberPassword() ? 1 : 0)
        .u8(81, login_form_->Invisible() ? 1 : 0);
    append(first.view().data());
  }
  for (const QByteArray& record : login_form_->Users()) {
    if (record.size() != static_cast<qsizetype>(kLoginRecordSize)) continue;
    const auto* bytes = reinterpret_cast<const std::uint8_t*>(record.constData());
    if (LoadU32(bytes) == me.UserCode() || LoadU32(bytes) == forget) continue;
    // The list is newest first: what does not fit any more are the oldest users.
    if (!append(bytes)) break;
  }
  buffer.resize(buffer.size() + kLoginInfoTrailer, 0);
  MakeDir(std::filesystem::path(GlobalManager->AppPath) / "Datas");
  RecastDatatoFile(buffer, std::filesystem::path(GlobalManager->AppPath) / "Datas" / "LoginInfo.dat");
  LoadLoginInfo();
}

}  // namespace kiv
