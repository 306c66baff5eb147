// The login window, its helper windows and the main window as a user meets them: the local user
// list, the user-code box, the clear-user and network settings windows, the diagnostics
// double-click, the main window's menus, header and tray. Scripted servers where the answers are
// the service's; the real reference server for clearing an account; real danted for the proxy test.
#include <QApplication>
#include <QClipboard>
#include <QKeyEvent>
#include <QMouseEvent>
#include <fstream>

#include "base/scrambled_file.h"
#include "danted.h"
#include "manager/qt_app.h"
#include "server_fixture.h"
#include "session_fixture.h"

namespace kiv {
namespace {

const auto* const kQtEnvironment = ::testing::AddGlobalTestEnvironment(new QtApplicationEnvironment);

constexpr std::size_t kRecord = kLoginRecordSize;

struct TStoredUser {
  std::uint32_t code;
  std::string password;
  bool remember;
  bool invisible;
};

std::filesystem::path LoginInfoFile(const TestDir& app) { return app.path() / "Datas" / "LoginInfo.dat"; }

void WriteLoginInfo(const TestDir& app, const std::vector<TStoredUser>& users) {
  std::vector<std::uint8_t> buffer(3, 0);
  for (const TStoredUser& u : users) {
    RecordWriter w(kRecord);
    w.u32(0, u.code).text(39, 40, u.password).u8(80, u.remember ? 1 : 0).u8(81, u.invisible ? 1 : 0);
    buffer.insert(buffer.end(), w.view().begin(), w.view().end());
  }
  buffer.resize(buffer.size() + 2, 0);
  std::filesystem::create_directories(app.path() / "Datas");
  ASSERT_TRUE(RecastDatatoFile(buffer, LoginInfoFile(app)));
}

std::vector<TStoredUser> ReadLoginInfo(const TestDir& app) {
  std::vector<std::uint8_t> buffer(10240);
  const auto size = RestoreFiletoData(buffer, LoginInfoFile(app));
  std::vector<TStoredUser> users;
  if (!size) return users;
  for (std::size_t at = 3; at + kRecord + 2 <= *size; at += kRecord) {
    RecordReader r(buffer.data() + at, kRecord);
    users.push_back({r.u32(0), r.text(39, 40), r.u8(80) != 0, r.u8(81) != 0});
  }
  return users;
}

std::vector<std::uint32_t> Codes(const std::vector<TStoredUser>& users) {
  std::vector<std::uint32_t> codes;
  for (const auto& u : users) codes.push_back(u.code);
  return codes;
}

std::string FileBytes(const std::filesystem::path& file) {
  std::ifstream in(file, std::ios::binary);
  return std::string((std::istreambuf_iterator<char>(in)), {});
}

QStringList MenuTexts(const QMenu* menu) {
  QStringList texts;
  for (const QAction* action : menu->actions()) texts << (action->isSeparator() ? QStringLiteral("-") : action->text());
  return texts;
}

QWidget* VisibleWindowTitled(const QString& title) {
  for (QWidget* window : QApplication::topLevelWidgets())
    if (window->isVisible() && window->windowTitle() == title) return window;
  return nullptr;
}

class LoginListTest : public SessionTest {};

TEST_F(LoginListTest, SigningInAsTheThirdUserMovesItToTheHeadAndKeepsTheOthersInOrder) {
  WriteLoginInfo(app_, {{10003, "", false, false}, {10002, "p2", true, true}, {10001, "kivora", true, false}});
  StartClient();
  ASSERT_TRUE(LoginWindowShown());
  TLoginForm* login = Manager().LoginForm();
  // The first record fills the boxes.
  EXPECT_EQ(login->UserCodeText(), QStringLiteral("10003"));
  EXPECT_FALSE(login->RememberPassword());
  login->UserCodeBox()->setCurrentIndex(2);
  emit login->UserCodeBox()->activated(2);
  EXPECT_EQ(login->Password(), QStringLiteral("kivora"));
  EXPECT_TRUE(login->RememberPassword());
  login->LoginButton()->click();
  ASSERT_TRUE(SignedIn());
  const auto users = ReadLoginInfo(app_);
  EXPECT_EQ(Codes(users), (std::vector<std::uint32_t>{10001, 10003, 10002}));
  EXPECT_EQ(users[0].password, "kivora");
  EXPECT_EQ(users[2].password, "p2");  // the others' records are kept as they were
  EXPECT_TRUE(users[2].invisible);
}

TEST_F(LoginListTest, SignInAtStartUsesTheSavedFirstUserAndNeedsItsPassword) {
  TManagerOptions options = Options();
  options.sign_in_at_start = true;
  // Without a saved password the window waits for the user, without a complaint.
  WriteLoginInfo(app_, {{10001, "", false, false}});
  form_ = std::make_unique<TMainForm>(options);
  ASSERT_TRUE(LoginWindowShown());
  QCoreApplication::processEvents();
  EXPECT_NE(GlobalManager->RunState, kRunSignedIn);
  EXPECT_TRUE(Messages().empty());
  form_.reset();
  WriteLoginInfo(app_, {{10001, "kivora", true, false}});
  form_ = std::make_unique<TMainForm>(options);
  ASSERT_TRUE(SignedIn());
  EXPECT_EQ(GlobalManager->Me->UserCode(), 10001u);
}

TEST_F(LoginListTest, RememberPasswordClearedSavesAnEmptyPasswordAndTheNextStartShowsNone) {
  WriteLoginInfo(app_, {{10001, "kivora", true, false}});
  StartClient();
  ASSERT_TRUE(LoginWindowShown());
  Manager().LoginForm()->RememberBox()->setChecked(false);
  PressLogin(QStringLiteral("10001"), QStringLiteral("kivora"));
  ASSERT_TRUE(SignedIn());
  auto users = ReadLoginInfo(app_);
  ASSERT_EQ(users.size(), 1u);
  EXPECT_EQ(users[0].password, "");
  EXPECT_FALSE(users[0].remember);
  form_.reset();
  StartClient();
  ASSERT_TRUE(LoginWindowShown());
  EXPECT_EQ(Manager().LoginForm()->UserCodeText(), QStringLiteral("10001"));
  EXPECT_TRUE(Manager().LoginForm()->Password().isEmpty());
}

TEST_F(LoginListTest, GuestLoginLeavesTheFileUnchanged) {
  WriteLoginInfo(app_, {{10002, "p2", true, false}});
  const std::string before = FileBytes(LoginInfoFile(app_));
  StartClient();
  ASSERT_TRUE(LoginWindowShown());
  PressLogin(QString(), QString(), false, true);
  ASSERT_TRUE(SignedIn());
  EXPECT_EQ(FileBytes(LoginInfoFile(app_)), before);
}

TEST_F(LoginListTest, AFullListKeepsTheNewest124WithTheSignedInUserFirst) {
  std::vector<TStoredUser> users;
  for (std::uint32_t i = 0; i < 124; ++i) users.push_back({20000 + i, "", false, false});
  WriteLoginInfo(app_, users);
  StartClient();
  ASSERT_TRUE(LoginWindowShown());
  PressLogin(QStringLiteral("10001"), QStringLiteral("kivora"));
  ASSERT_TRUE(SignedIn());
  const auto saved = Codes(ReadLoginInfo(app_));
  ASSERT_EQ(saved.size(), 124u);
  EXPECT_EQ(saved.front(), 10001u);
  EXPECT_EQ(saved[1], 20000u);
  EXPECT_EQ(saved.back(), 20122u);  // the oldest, 20123, is dropped
  EXPECT_LE(FileBytes(LoginInfoFile(app_)).size(), 10240u);
}

TEST_F(LoginListTest, UserCodeBoxRefusesLettersAndTakesCtrlV) {
  StartClient();
  ASSERT_TRUE(LoginWindowShown());
  QLineEdit* edit = Manager().LoginForm()->UserCodeBox()->lineEdit();
  edit->setFocus();
  edit->clear();
  const auto press = [edit](int key, const QString& text, Qt::KeyboardModifiers modifiers = Qt::NoModifier) {
    QKeyEvent down(QEvent::KeyPress, key, modifiers, text);
    QApplication::sendEvent(edit, &down);
  };
  press(Qt::Key_1, QStringLiteral("1"));
  press(Qt::Key_A, QStringLiteral("a"));
  press(Qt::Key_Exclam, QStringLiteral("!"));
  press(Qt::Key_2, QStringLiteral("2"));
  EXPECT_EQ(edit->text(), QStringLiteral("12"));
  QApplication::clipboard()->setText(QStringLiteral("345"));
  press(Qt::Key_V, QStringLiteral("\x16"), Qt::ControlModifier);
  EXPECT_EQ(edit->text(), QStringLiteral("12345"));
  // Pasted letters are refused as typed ones are.
  QApplication::clipboard()->setText(QStringLiteral("x9"));
  press(Qt::Key_V, QStringLiteral("\x16"), Qt::ControlModifier);
  EXPECT_EQ(edit->text(), QStringLiteral("12345"));
  press(Qt::Key_Backspace, QString());
  EXPECT_EQ(edit->text(), QStringLiteral("1234"));
}

TEST_F(LoginListTest, FromTheFifthDoubleClickOnTheDiagnosticsWindowOpens) {
  StartClient();
  ASSERT_TRUE(LoginWindowShown());
  TLoginForm* login = Manager().LoginForm();
  const auto double_click = [login] {
    QMouseEvent click(QEvent::MouseButtonDblClick, QPointF(5, 200), QPointF(5, 200), Qt::LeftButton,
                      Qt::LeftButton, Qt::NoModifier);
    QApplication::sendEvent(login, &click);
  };
  for (int i = 0; i < 4; ++i) double_click();
  QCoreApplication::processEvents();
  EXPECT_EQ(VisibleWindowTitled(QStringLiteral("UDP信息")), nullptr);
  double_click();
  QWidget* info = nullptr;
  EXPECT_TRUE(RunUntil([&] { return (info = VisibleWindowTitled(QStringLiteral("UDP信息"))) != nullptr; }));
  ASSERT_TRUE(info);
  info->hide();
  double_click();  // and every later one
  EXPECT_TRUE(RunUntil([&] { return VisibleWindowTitled(QStringLiteral("UDP信息")) != nullptr; }));
  EXPECT_EQ(login->PanelDoubleClicks(), 6);
}

TEST_F(LoginListTest, SoftKeyboardTypesIntoThePasswordBoxAndClosesWithTheWindow) {
  StartClient();
  ASSERT_TRUE(LoginWindowShown());
  TLoginForm* login = Manager().LoginForm();
  login->PasswordBox()->clear();
  login->SoftKeyboardButton()->click();
  QPointer<TSoftKeyboard> keyboard = login->SoftKeyboard();
  ASSERT_TRUE(keyboard && keyboard->isVisible());
  EXPECT_EQ(keyboard->x(), login->frameGeometry().right() + 1 + 10);
  keyboard->Key(3)->click();
  EXPECT_EQ(login->Password(), QString(SoftKeyPair(2 + keyboard->Rotation()).first));
  login->hide();
  EXPECT_TRUE(RunUntil([&] { return !keyboard; }));
}

TEST_F(LoginListTest, ClearUserWithoutTheBoxOnlyTakesTheUserOffTheList) {
  WriteLoginInfo(app_, {{10002, "p2", true, false}, {10003, "", false, false}});
  std::filesystem::create_directories(app_.path() / "10002");
  StartClient();
  ASSERT_TRUE(LoginWindowShown());
  TLoginForm* login = Manager().LoginForm();
  ASSERT_EQ(login->ListedUserCode(), 10002u);
  login->ClearUserButton()->click();
  TClearUserForm* clear = Manager().ClearUserForm();
  ASSERT_TRUE(clear);
  EXPECT_FALSE(clear->PasswordBox()->isEnabled());
  clear->DeleteAllBox()->setChecked(true);
  EXPECT_TRUE(clear->PasswordBox()->isEnabled());
  clear->OkButton()->click();  // checked, no password
  EXPECT_TRUE(MessageShown(QStringLiteral("密码不能为空。")));
  clear->DeleteAllBox()->setChecked(false);
  clear->OkButton()->click();
  EXPECT_TRUE(RunUntil([this] { return !Manager().ClearUserForm(); }));
  EXPECT_EQ(Codes(ReadLoginInfo(app_)), (std::vector<std::uint32_t>{10003}));
  EXPECT_TRUE(login->UserCodeText().isEmpty());
  EXPECT_FALSE(login->RememberPassword());
  EXPECT_TRUE(std::filesystem::exists(app_.path() / "10002"));
  // A code that is not on the list opens nothing.
  login->UserCodeBox()->setEditText(QStringLiteral("10002"));
  login->ClearUserButton()->click();
  EXPECT_FALSE(Manager().ClearUserForm());
}

TEST_F(LoginListTest, NetworkSettingsEnableTheirFieldsAndSaveOnlyOnDone) {
  StartClient();
  ASSERT_TRUE(LoginWindowShown());
  Manager().LoginForm()->NetSetupButton()->click();
  TNetSetupForm* net = Manager().NetSetupForm();
  ASSERT_TRUE(net);
  EXPECT_EQ(net->PortBox()->value(), 5566);
  EXPECT_EQ(net->LocalPortBox()->value(), 9522);
  EXPECT_FALSE(net->HostBox()->isEnabled());
  EXPECT_FALSE(net->TestButton()->isEnabled());
  net->UseProxyBox()->setChecked(true);
  EXPECT_TRUE(net->HostBox()->isEnabled());
  EXPECT_FALSE(net->UserBox()->isEnabled());
  net->AuthBox()->setChecked(true);
  EXPECT_TRUE(net->UserBox()->isEnabled() && net->PasswordBox()->isEnabled());
  net->HostBox()->setText(QStringLiteral("127.0.0.1"));
  net->LocalPortBox()->setValue(9600);
  net->ExitButton()->click();
  EXPECT_EQ(GlobalManager->SystemInfo.UseProxy, 0);
  Manager().ShowNetSetup();
  net = Manager().NetSetupForm();
  net->UseProxyBox()->setChecked(true);
  net->HostBox()->setText(QStringLiteral("127.0.0.1"));
  net->PortBox()->setValue(1080);
  net->LocalPortBox()->setValue(9600);
  net->DoneButton()->click();
  const TSystemInfo& system = GlobalManager->SystemInfo;
  EXPECT_EQ(static_cast<int>(system.UseProxy), 1);
  EXPECT_EQ(system.ProxyHost.Text(), "127.0.0.1");
  EXPECT_EQ(static_cast<int>(system.ProxyPort), 1080);
  EXPECT_EQ(static_cast<int>(system.LocalPortBase), 9600);
}

// --- The main window -------------------------------------------------------------------------

class MainWindowTest : public SessionTest {};

TEST_F(MainWindowTest, MenusHoldTheirItemsInOrder) {
  SignIn();
  const QString money = QString::fromStdString(MONEYNAME);
  const QString app = QString::fromStdString(APPNAME);
  EXPECT_EQ(MenuTexts(form_->StateMenu()),
            (QStringList{"联机", "隐身", "脱机", "-", "查看资料", "个人设置", "自定义头像"}));
  EXPECT_EQ(MenuTexts(form_->SystemMenu()),
            (QStringList{app + "主页", "打开主面板", "在线客服", "音视频调节向导", "更改外观", "-", money + "充值",
                         "交易记录", money + "赠送", "道具商城", "-", "系统设置", "个人设置", "查找好友", "-",
                         "检查新版本", "新手帮助", "更改用户", "退出"}));
  EXPECT_EQ(MenuTexts(form_->MoneyMenu()), (QStringList{money + "充值", "交易记录", money + "赠送", "道具商城"}));
  // "$MONEY充值" opens the pay page for the user.
  form_->MoneyMenu()->actions()[0]->trigger();
  ASSERT_FALSE(opened_.empty());
  EXPECT_TRUE(opened_.back().toString().endsWith(QStringLiteral("?code=10001")));
  // "更改用户" shows the login window as an ordinary one.
  form_->SystemMenu()->actions()[17]->trigger();
  EXPECT_TRUE(Manager().LoginForm()->isVisible());
  EXPECT_FALSE(Manager().LoginForm()->IsMainLoginWindow());
}

TEST_F(MainWindowTest, StateMenuChecksFollowTheUsersState) {
  SignIn();
  const struct {
    std::uint8_t state;
    int checked;
  } cases[] = {{kStateOnline, 0}, {kStateInvisible, 1}, {kStateOffline, 2}};
  for (const auto& c : cases) {
    GlobalManager->Me->state = c.state;
    emit form_->StateMenu()->aboutToShow();
    for (int i = 0; i < 3; ++i) EXPECT_EQ(form_->StateItems()[i]->isChecked(), i == c.checked) << int(c.state);
  }
}

TEST_F(MainWindowTest, ShowMyInfoTexts) {
  SignIn();
  EXPECT_EQ(form_->NicknameLabel()->text(), QStringLiteral("小明 [10001]"));
  EXPECT_TRUE(form_->StateLabel()->text().startsWith(QStringLiteral("在线 [")));
  EXPECT_EQ(form_->SignatureLabel()->text(), QStringLiteral("编辑个性签名"));
  EXPECT_EQ(form_->BalanceLabel()->text(), QStringLiteral("1000"));
  EXPECT_EQ(form_->TrayIcon()->toolTip(), QString::fromStdString(APPNAME) + QStringLiteral("\r\n小明[10001]"));
  for (QLabel* label : {form_->NicknameLabel(), form_->StateLabel(), form_->SignatureLabel()})
    EXPECT_EQ(label->toolTip(), label->text());
  // Nickname and " [" together are cut to 42 characters; the longest nickname just fits.
  GlobalManager->Me->nickname = std::string(40, 'N');
  GlobalManager->Me->state = kStateInvisible;
  form_->ShowMyInfo();
  EXPECT_EQ(form_->NicknameLabel()->text(), QString(40, QLatin1Char('N')) + QStringLiteral(" [10001]"));
  EXPECT_TRUE(form_->StateLabel()->text().startsWith(QStringLiteral("隐身 [")));
  GlobalManager->Me->state = kStateOffline;
  form_->ShowMyInfo();
  EXPECT_TRUE(form_->StateLabel()->text().startsWith(QStringLiteral("离线 [")));
}

TEST_F(MainWindowTest, SignatureEditStoresAtMost255Characters) {
  SignIn();
  form_->SignatureLabel()->show();
  QMouseEvent click(QEvent::MouseButtonPress, QPointF(2, 2), QPointF(2, 2), Qt::LeftButton, Qt::LeftButton,
                    Qt::NoModifier);
  QApplication::sendEvent(form_->SignatureLabel(), &click);
  ASSERT_TRUE(form_->SignatureEditing());
  form_->SignatureEdit()->setMaxLength(400);  // what a paste could bring
  form_->SignatureEdit()->setText(QString(300, QLatin1Char('s')));
  form_->SignatureOkButton()->click();
  EXPECT_FALSE(form_->SignatureEditing());
  EXPECT_EQ(GlobalManager->SetupInfo.Signature.Text(), std::string(255, 's'));
  EXPECT_EQ(form_->SignatureLabel()->text(), QString(255, QLatin1Char('s')));
  // Not editing: nothing is stored.
  Manager().SaveSignature(QStringLiteral("other"));
  EXPECT_EQ(GlobalManager->SetupInfo.Signature.Text(), std::string(255, 's'));
}

TEST_F(MainWindowTest, TrayCyclesWhileAWindowWaitsAndReturnsToTheStatePicture) {
  SignIn();
  QImage online, ico7, ico4;
  GlobalManager->SetGraphic(QStringLiteral("ico2"), online);
  GlobalManager->SetGraphic(QStringLiteral("ico7"), ico7);
  GlobalManager->SetGraphic(QStringLiteral("ico4"), ico4);
  ASSERT_FALSE(online.isNull() || ico7.isNull() || ico4.isNull());
  form_->UpdateTrayIcon(-1);
  EXPECT_FALSE(form_->CycleTimer().isActive());
  EXPECT_EQ(form_->TrayPicture(), online);

  auto waiting = std::make_unique<TWaitShowForm>();
  waiting->kind = 2;
  GlobalManager->WaitShowFormList.push_back(std::move(waiting));
  form_->UpdateTrayIcon(-1);
  EXPECT_TRUE(form_->CycleTimer().isActive());
  EXPECT_EQ(form_->CycleTimer().interval(), 500);
  ASSERT_EQ(form_->CyclePictures().size(), 2u);
  EXPECT_EQ(form_->CyclePictures()[0], ico7);
  EXPECT_EQ(form_->CyclePictures()[1], ico4);
  EXPECT_EQ(form_->TrayPicture(), ico7);
  EXPECT_TRUE(RunUntil([this, &ico4] { return form_->TrayPicture() == ico4; }));
  EXPECT_TRUE(RunUntil([this, &ico7] { return form_->TrayPicture() == ico7; }));

  // A chat window of someone who is no friend leaves the tray as it is.
  GlobalManager->WaitShowFormList.front()->kind = kWaitChatMessage;
  GlobalManager->WaitShowFormList.front()->user_code = 4242;
  const std::vector<QImage> before = form_->CyclePictures();
  form_->UpdateTrayIcon(-1);
  EXPECT_EQ(form_->CyclePictures(), before);

  GlobalManager->WaitShowFormList.clear();
  form_->UpdateTrayIcon(-1);
  EXPECT_FALSE(form_->CycleTimer().isActive());
  EXPECT_EQ(form_->TrayPicture(), online);
}

TEST_F(MainWindowTest, PluginStripHoldsTheFriendAndChatRoomButtonsFirstOneDown) {
  SignIn();
  auto* friends = form_->PluginStrip()->findChild<QToolButton*>(QStringLiteral("KivFriendButton"));
  auto* rooms = form_->PluginStrip()->findChild<QToolButton*>(QStringLiteral("KivChatRoomButton"));
  ASSERT_TRUE(friends && rooms);
  EXPECT_EQ(friends->height(), 46);
  EXPECT_EQ(friends->width(), 36);
  EXPECT_EQ(friends->toolTip(), QString::fromStdString(APPNAME) + QStringLiteral("好友"));
  EXPECT_TRUE(friends->isChecked());
  sounds_.clear();
  rooms->click();
  EXPECT_TRUE(rooms->isChecked());
  EXPECT_FALSE(friends->isChecked());
  ASSERT_FALSE(sounds_.empty());
  EXPECT_EQ(sounds_.back().filename(), "Button.wav");
}

TEST_F(MainWindowTest, SignInAppliesTheAutostartEntry) {
  SignIn();
  // The default setup record does not run at system start: no entry.
  EXPECT_FALSE(std::filesystem::exists(app_.path() / "autostart" / (APPNAME + ".desktop")));
  GlobalManager->SetupInfo.AutoRun = 1;
  Manager().ApplyOptions();
  EXPECT_TRUE(std::filesystem::exists(app_.path() / "autostart" / (APPNAME + ".desktop")));
  GlobalManager->SetupInfo.AutoRun = 0;
  Manager().ApplyOptions();
  EXPECT_FALSE(std::filesystem::exists(app_.path() / "autostart" / (APPNAME + ".desktop")));
}

TEST_F(MainWindowTest, SlidesIntoTheRightEdgeAndBackWhenShown) {
  SignIn();
  const int screen = form_->screen()->geometry().width();
  const int width = form_->frameGeometry().width();  // positions are the frame's
  form_->move(screen - width, 100);
  ASSERT_EQ(form_->x(), screen - width);
  form_->HideToEdge();
  EXPECT_FALSE(form_->FullyShown());
  EXPECT_EQ(form_->x(), screen - 5);
  EXPECT_EQ(form_->y(), 100);
  // "打开主面板" slides it out again.
  form_->ShowMainWindow(false);
  EXPECT_TRUE(form_->FullyShown());
  EXPECT_EQ(form_->x(), screen - width);
  // Touching no edge: nothing moves.
  form_->move(100, 50);
  form_->HideToEdge();
  EXPECT_TRUE(form_->FullyShown());
  EXPECT_EQ(form_->pos(), QPoint(100, 50));
}

// --- Against the real reference server and real danted -----------------------------------------

class ClearUserServerTest : public RealServerTest {};

TEST_F(ClearUserServerTest, DeleteEverythingRemovesTheFolderAndTheServerForgetsTheAccount) {
  WriteLoginInfo(app_, {{10002, "", false, false}, {10003, "", false, false}});
  std::filesystem::create_directories(app_.path() / "10002" / "Records");
  std::ofstream(app_.path() / "10002" / "Records" / "r.dat") << "x";
  StartClient();
  ASSERT_TRUE(LoginWindowShown());
  Manager().ShowClearUser(10002);
  QPointer<TClearUserForm> clear = Manager().ClearUserForm();
  ASSERT_TRUE(clear);
  clear->DeleteAllBox()->setChecked(true);
  // A wrong password: the server refuses and everything stays.
  clear->PasswordBox()->setText(QStringLiteral("wrong"));
  clear->OkButton()->click();
  EXPECT_TRUE(clear->Locked());
  EXPECT_EQ(clear->StatusLabel()->text(), QStringLiteral("正在连接服务器..."));
  EXPECT_TRUE(MessageShown(QStringLiteral("用户名密码不正确。")));
  EXPECT_FALSE(clear->Locked());
  EXPECT_TRUE(std::filesystem::exists(app_.path() / "10002"));

  clear->PasswordBox()->setText(QStringLiteral("kivora"));
  clear->OkButton()->click();
  EXPECT_TRUE(MessageShown(QStringLiteral("用户10002的信息删除成功。")));
  EXPECT_TRUE(RunUntil([&] { return !clear; }));
  EXPECT_FALSE(std::filesystem::exists(app_.path() / "10002"));
  EXPECT_EQ(Codes(ReadLoginInfo(app_)), (std::vector<std::uint32_t>{10003}));
  EXPECT_EQ(Manager().LoginForm()->UserCodeBox()->findText(QStringLiteral("10002")), -1);
  // The server forgot the account: signing in as it fails.
  testing::TProtocolClient other;
  testing::TLoginFields fields;
  fields.user = 10002;
  fields.password = "kivora";
  EXPECT_FALSE(other.SignInVia(server_.Login(), fields).ok());
  // Closing the window drops the login-server connection soon after.
  EXPECT_TRUE(RunUntil([] { return GlobalManager->LoginServer == 0; }));
}

class ProxyTestButtonTest : public SessionTest {
 protected:
  // Fills the window for the proxy and presses "测试代理"; the message it shows.
  bool TestProxy(std::uint16_t port, bool auth, const QString& user, const QString& password) {
    Manager().ShowNetSetup();
    TNetSetupForm* net = Manager().NetSetupForm();
    net->UseProxyBox()->setChecked(true);
    net->HostBox()->setText(QStringLiteral("127.0.0.1"));
    net->PortBox()->setValue(port);
    net->AuthBox()->setChecked(auth);
    net->UserBox()->setText(user);
    net->PasswordBox()->setText(password);
    const bool ok = net->TestProxy();
    return ok && MessageShown(QStringLiteral("代理服务器连接成功。"));
  }
};

TEST_F(ProxyTestButtonTest, AgainstDantedWithoutAuthentication) {
  Danted danted("none");
  if (!danted.error().empty()) GTEST_SKIP() << danted.error();
  StartClient();
  ASSERT_TRUE(LoginWindowShown());
  EXPECT_TRUE(TestProxy(danted.port(), false, {}, {}));
  // The fields are in the system record but not saved, and the local port is left alone.
  EXPECT_EQ(static_cast<int>(GlobalManager->SystemInfo.ProxyPort), danted.port());
  EXPECT_EQ(GlobalManager->SystemInfo.UseProxy, 1);
  // Nobody listens on this port any more.
  const std::uint16_t closed = static_cast<std::uint16_t>(GetFreePort(danted.port() + 1, true));
  EXPECT_FALSE(TestProxy(closed, false, {}, {}));
  EXPECT_TRUE(MessageShown(QStringLiteral("代理服务器连接失败。")));
}

TEST_F(ProxyTestButtonTest, AgainstDantedWithAuthentication) {
  SystemUser account;
  if (!account.error().empty()) GTEST_SKIP() << account.error();
  Danted danted("username");
  if (!danted.error().empty()) GTEST_SKIP() << danted.error();
  StartClient();
  ASSERT_TRUE(LoginWindowShown());
  const QString user = QString::fromStdString(account.name());
  EXPECT_TRUE(TestProxy(danted.port(), true, user, QString::fromStdString(account.password())));
  EXPECT_FALSE(TestProxy(danted.port(), true, user, QStringLiteral("wrong")));
  EXPECT_TRUE(MessageShown(QStringLiteral("代理服务器连接失败。")));
  // Without authentication switched on, the user and password are not offered.
  EXPECT_FALSE(TestProxy(danted.port(), false, user, QString::fromStdString(account.password())));
}

}  // namespace
}  // namespace kiv
