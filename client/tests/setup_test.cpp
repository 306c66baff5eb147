// The settings window against the real reference server, on the offscreen platform.
#include <QApplication>
#include <QBuffer>
#include <QKeyEvent>
#include <csignal>
#include <fstream>

#include "base/machine_id.h"
#include "ma_bank.h"
#include "ma_find_password.h"
#include "ma_select_photo.h"
#include "ma_setup.h"
#include "manager/qt_app.h"
#include "server_fixture.h"
#include "udp_interface.h"

namespace kiv {
namespace {

class QuietApplicationEnvironment : public QtApplicationEnvironment {
 public:
  void SetUp() override {
    QtApplicationEnvironment::SetUp();
    QApplication::setQuitOnLastWindowClosed(false);
  }
};
const auto* const kQtEnvironment = ::testing::AddGlobalTestEnvironment(new QuietApplicationEnvironment);

TEST(HotKeyTest, QtKeysBecomeShortcutsAndTexts) {
  struct Case {
    int key;
    Qt::KeyboardModifiers modifiers;
    std::uint16_t value;
    const char* text;
  } const cases[] = {
      {Qt::Key_Z, Qt::AltModifier, 0x805A, "Alt + Z"},
      {Qt::Key_K, Qt::ControlModifier | Qt::AltModifier, 0xC04B, "Ctrl + Alt + K"},
      {Qt::Key_F5, Qt::ControlModifier | Qt::ShiftModifier, 0x6074, "Ctrl + Shift + F5"},
      {Qt::Key_7, Qt::AltModifier, 0x8037, "Alt + 7"},
      {Qt::Key_Comma, Qt::ControlModifier, 0x40BC, "Ctrl + ,"},
      {Qt::Key_Shift, Qt::ShiftModifier, 0, "无"},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(HotKeyFromQt(c.key, c.modifiers), c.value) << c.text;
    EXPECT_EQ(HotKeyText(c.value), QString::fromUtf8(c.text));
  }
}

class SetupTest : public RealServerTest {
 protected:
  // Signs 10001 in; the account first gets an e-mail address, which every change must carry.
  void SignIn() {
    if (!prepared_) {
      testing::TProfileChangeFields fields;
      fields.user = 10001;
      fields.password = "kivora";
      ASSERT_EQ(ChangeProfileAside(fields, "kivora"), 1);
      prepared_ = true;
    }
    SignInAs(QStringLiteral("10001"), QStringLiteral("kivora"));
  }
  bool prepared_ = false;

  // Opens the settings window on `page`; with `loaded`, waits for the own profile.
  TSetupForm* Open(int page, bool loaded = true) {
    Manager().ShowSetup(page);
    TSetupForm* form = Manager().SetupForm();
    EXPECT_NE(form, nullptr);
    if (form && loaded) {
      EXPECT_TRUE(RunUntil([form] { return form->ProfileLoaded(); }));
    }
    return form;
  }

  // Presses "确定" and waits until the window is gone.
  bool OkAndClosed(TSetupForm* form) {
    QPointer<TSetupForm> watched(form);
    form->OkButton()->click();
    return RunUntil([&] { return watched.isNull(); });
  }

  static void CloseMessages() {
    for (QWidget* window : QApplication::topLevelWidgets())
      if (qobject_cast<TMessageForm*>(window)) window->close();
    QCoreApplication::processEvents();
  }

  std::vector<std::uint8_t> SetupFile() {
    std::ifstream in(GlobalManager->SetupInfoPath(), std::ios::binary);
    return {std::istreambuf_iterator<char>(in), {}};
  }

  // A picture file of exactly `size` bytes (a PNG followed by filler, which readers ignore).
  std::filesystem::path Picture(const char* name, QColor color, qint64 size) {
    QImage image(40, 30, QImage::Format_RGB32);
    image.fill(color);
    QByteArray bytes;
    QBuffer buffer(&bytes);
    buffer.open(QIODevice::WriteOnly);
    image.save(&buffer, "PNG");
    bytes.append(QByteArray(size - bytes.size(), '\0'));
    const std::filesystem::path path = app_.path() / name;
    std::ofstream(path, std::ios::binary).write(bytes.constData(), bytes.size());
    return path;
  }
};

TEST_F(SetupTest, OkBeforeTheProfileArrivedSavesTheLocalSettingsAndSendsNothing) {
  SignIn();
  const std::string nickname = GlobalManager->Me->nickname.str();
  ASSERT_EQ(GlobalManager->SetupInfo.FriendOnlineHint, 1);
  int saved = 0;
  QObject::connect(&Manager(), &TManager::SetupSaved, [&saved] { ++saved; });
  server_.Signal(SIGSTOP);
  TSetupForm* form = Open(0, false);
  ASSERT_NE(form, nullptr);
  EXPECT_EQ(form->windowTitle(), QStringLiteral("设置中心"));
  EXPECT_EQ(form->StatusLabel()->text(), QStringLiteral("正在获取用户资料。"));
  form->UserFrame()->NicknameBox()->setText(QStringLiteral("不该发送"));
  form->SysFrame()->OnlineHintBox()->setChecked(false);
  EXPECT_TRUE(OkAndClosed(form));
  server_.Signal(SIGCONT);
  EXPECT_EQ(saved, 1);
  EXPECT_EQ(GlobalManager->SetupInfo.FriendOnlineHint, 0);
  EXPECT_EQ(SetupFile().at(5), 0);
  // The server still has the old nickname: nothing was sent.
  form = Open(0);
  ASSERT_NE(form, nullptr);
  EXPECT_EQ(form->UserFrame()->NicknameBox()->text().toStdString(), nickname);
  EXPECT_FALSE(form->SysFrame()->OnlineHintBox()->isChecked());
  EXPECT_EQ(GlobalManager->Me->nickname.str(), nickname);
}

TEST_F(SetupTest, ChecksRefuseInOrderAndThreeChineseCharactersPass) {
  SignIn();
  TSetupForm* form = Open(0);
  ASSERT_NE(form, nullptr);
  TUserSetupFrame* u = form->UserFrame();
  u->EmailBox()->setText(QStringLiteral("demo@example.org"));
  u->AgeBox()->setText(QStringLiteral("30"));
  struct Refusal {
    std::function<void()> edit;
    const char* text;
  } const refusals[] = {
      {[u] { u->NicknameBox()->setText(QString()); }, "用户名不能为空。"},
      {[u] { u->NicknameBox()->setText(QStringLiteral("ab/cd")); }, "用户名不能含有非法字符。"},
      {[u] { u->NicknameBox()->setText(QStringLiteral("我的　名")); }, "用户名不能含有非法字符。"},
      {[u] { u->NicknameBox()->setText(QStringLiteral("ab1")); }, "用户名不能少于4个字符。"},
      {[u] { u->NicknameBox()->setText(QStringLiteral("明")); }, "用户名不能少于4个字符。"},
      {[u] {
         u->NicknameBox()->setText(QStringLiteral("三个字"));
         u->AgeBox()->clear();
       },
       "年龄不能为空。"},
      {[u] {
         u->AgeBox()->setText(QStringLiteral("30"));
         u->EmailBox()->setText(QStringLiteral("demo.example.org"));
       },
       "EMail格式输入有误。"},
      {[u] { u->EmailBox()->setText(QStringLiteral("de'mo@example.org")); }, "EMail中含有非法字符。"},
      {[u] {
         u->EmailBox()->setText(QStringLiteral("demo@example.org"));
         u->ProtectionBox()->setChecked(true);
         u->QuestionBox()->setText(QStringLiteral("问"));
       },
       "密码问题不能少于4个字符。"},
      {[u] {
         u->QuestionBox()->setText(QStringLiteral("我的小学"));
         u->AnswerBox()->setText(QStringLiteral("答案"));
         u->IdentityBox()->setText(QStringLiteral("12345"));
       },
       "证件号码长度不得少于6位。"},
      {[u] {
         u->ProtectionBox()->setChecked(false);
         u->ChangePasswordBox()->setChecked(true);
         u->OldPasswordBox()->setText(QStringLiteral("kivora"));
         u->NewPasswordBox()->setText(QStringLiteral("abc"));
       },
       "密码不能少于4个字符。"},
      {[u] {
         u->NewPasswordBox()->setText(QStringLiteral("abcd"));
         u->ConfirmPasswordBox()->setText(QStringLiteral("abce"));
       },
       "密码确认不一致。"},
      {[u] {
         u->NewPasswordBox()->setText(QStringLiteral("kivora"));
         u->ConfirmPasswordBox()->setText(QStringLiteral("kivora"));
       },
       "新密码和原密码不能一致。"},
      {[u] {
         u->ChangePasswordBox()->setChecked(false);
         u->ChangePayBox()->setChecked(true);
         u->NewPayBox()->setText(QStringLiteral("12#4"));
       },
       "支付密码中不能含有非法字符。"},
      {[u] { u->NewPayBox()->setText(QStringLiteral("123")); }, "支付密码不能少于4个字符"},
      {[u] {
         u->NewPayBox()->setText(QStringLiteral("1234"));
         u->ConfirmPayBox()->setText(QStringLiteral("1235"));
       },
       "支付密码输入确认不一致。"},
  };
  for (const Refusal& r : refusals) {
    r.edit();
    form->OkButton()->click();
    EXPECT_EQ(form->StatusLabel()->text(), QString::fromUtf8(r.text));
    EXPECT_FALSE(form->Locked()) << r.text;
  }
  u->ChangePayBox()->setChecked(false);
  EXPECT_TRUE(OkAndClosed(form));
  EXPECT_EQ(GlobalManager->Me->nickname.str(), "三个字");
}

TEST_F(SetupTest, AChangeIsStoredByTheServerAndShownWhenTheWindowOpensAgain) {
  SignIn();
  TSetupForm* form = Open(0);
  ASSERT_NE(form, nullptr);
  TUserSetupFrame* u = form->UserFrame();
  u->NicknameBox()->setText(QStringLiteral("新的昵称"));
  u->SexBox()->setCurrentIndex(1);
  u->AgeBox()->setText(QStringLiteral("27"));
  u->EmailBox()->setText(QStringLiteral("new@example.org"));
  u->ProvinceBox()->setCurrentText(QStringLiteral("浙江"));
  u->CityBox()->setText(QStringLiteral("杭州"));
  u->TelephoneBox()->setText(QStringLiteral("0571-88888888"));
  u->OccupationBox()->setEditText(QStringLiteral("画家"));
  u->AddressBox()->setText(QStringLiteral("西湖路1号"));
  u->IntroductionBox()->setPlainText(QStringLiteral("第一行\n第二行"));
  u->VerifyBox()->setCurrentIndex(1);
  // The face from the picker.
  u->FaceButton()->click();
  auto* picker = u->findChild<TSelectPhotoForm*>();
  ASSERT_NE(picker, nullptr);
  ASSERT_GT(picker->FaceButtons().size(), 7u);
  picker->FaceButtons()[7]->click();
  EXPECT_EQ(u->Face(), 7);
  form->OkButton()->click();
  EXPECT_TRUE(form->Locked());
  EXPECT_FALSE(form->OkButton()->isEnabled());
  EXPECT_EQ(form->StatusLabel()->text(), QStringLiteral("正在连接服务器"));
  QPointer<TSetupForm> watched(form);
  form->close();  // refused while locked
  EXPECT_FALSE(watched.isNull());
  ASSERT_TRUE(RunUntil([&] { return watched.isNull(); }));
  const TMe& me = *GlobalManager->Me;
  EXPECT_EQ(me.nickname.str(), "新的昵称");
  EXPECT_EQ(me.sex, 0);
  EXPECT_EQ(me.age, 27);
  EXPECT_EQ(me.face, 7);
  EXPECT_EQ(me.city.str(), "杭州");
  EXPECT_EQ(me.introduction.str(), "第一行\r\n第二行");
  EXPECT_TRUE(form_->NicknameLabel()->text().startsWith(QStringLiteral("新的昵称")));

  // A new client session reads it back from the server.
  form_.reset();
  SignIn();
  form = Open(0);
  ASSERT_NE(form, nullptr);
  u = form->UserFrame();
  EXPECT_EQ(u->NicknameBox()->text(), QStringLiteral("新的昵称"));
  EXPECT_EQ(u->SexBox()->currentText(), QStringLiteral("女"));
  EXPECT_EQ(u->AgeBox()->text(), QStringLiteral("27"));
  EXPECT_EQ(u->Face(), 7);
  EXPECT_EQ(u->EmailBox()->text(), QStringLiteral("new@example.org"));
  EXPECT_EQ(u->ProvinceBox()->currentText(), QStringLiteral("浙江"));
  EXPECT_EQ(u->CityBox()->text(), QStringLiteral("杭州"));
  EXPECT_EQ(u->TelephoneBox()->text(), QStringLiteral("0571-88888888"));
  EXPECT_EQ(u->OccupationBox()->currentText(), QStringLiteral("画家"));
  EXPECT_EQ(u->AddressBox()->text(), QStringLiteral("西湖路1号"));
  EXPECT_EQ(u->IntroductionBox()->toPlainText(), QStringLiteral("第一行\n第二行"));
  EXPECT_EQ(u->VerifyBox()->currentIndex(), 1);
  EXPECT_FALSE(u->UserTypeLabel()->text().isEmpty());
}

TEST_F(SetupTest, AWrongCurrentPasswordIsRefusedAndNeverReachesTheUser) {
  SignIn();
  TSetupForm* form = Open(0);
  ASSERT_NE(form, nullptr);
  form->ShowPage(TSetupForm::kSecurity);
  TUserSetupFrame* u = form->UserFrame();
  u->ChangePasswordBox()->setChecked(true);
  u->OldPasswordBox()->setText(QStringLiteral("wrongpw"));
  u->NewPasswordBox()->setText(QStringLiteral("newpass1"));
  u->ConfirmPasswordBox()->setText(QStringLiteral("newpass1"));
  form->OkButton()->click();
  EXPECT_TRUE(MessageShown(QStringLiteral("用户密码不正确。")));
  EXPECT_FALSE(form->Locked());
  EXPECT_EQ(GlobalManager->Me->password.str(), "kivora");
  CloseMessages();

  u->OldPasswordBox()->setText(QStringLiteral("kivora"));
  EXPECT_TRUE(OkAndClosed(form));
  EXPECT_EQ(GlobalManager->Me->password.str(), "newpass1");
  testing::TProtocolClient other;
  testing::TLoginFields login;
  login.user = 10001;
  login.password = "newpass1";
  EXPECT_TRUE(other.SignInVia(server_.Login(), login).ok());
}

TEST_F(SetupTest, ALateAnswerAppliesWhatWasSentNotWhatTheWindowShowsNow) {
  TManagerOptions options = Options();
  options.setup_timeout_ms = 300;
  SignIn();
  form_.reset();
  form_ = std::make_unique<TMainForm>(options);
  ASSERT_TRUE(LoginWindowShown());
  PressLogin(QStringLiteral("10001"), QStringLiteral("kivora"));
  ASSERT_TRUE(SignedIn());
  TSetupForm* form = Open(0);
  ASSERT_NE(form, nullptr);
  TUserSetupFrame* u = form->UserFrame();
  u->NicknameBox()->setText(QStringLiteral("甲乙丙"));
  u->CityBox()->setText(QStringLiteral("上海"));
  server_.Signal(SIGSTOP);
  form->OkButton()->click();
  EXPECT_TRUE(form->Locked());
  EXPECT_TRUE(RunUntil([form] { return form->StatusLabel()->text() == QStringLiteral("连接服务器超时。"); }));
  EXPECT_FALSE(form->Locked());
  u->NicknameBox()->setText(QStringLiteral("别的名字"));
  u->CityBox()->setText(QStringLiteral("北京"));
  server_.Signal(SIGCONT);
  EXPECT_TRUE(RunUntil([] { return GlobalManager->Me->nickname.str() == "甲乙丙"; }));
  EXPECT_EQ(GlobalManager->Me->city.str(), "上海");
  // The user was editing again: the window stays with what was typed.
  ASSERT_NE(Manager().SetupForm(), nullptr);
  EXPECT_EQ(u->NicknameBox()->text(), QStringLiteral("别的名字"));
}

// The request as it travels, from a window whose sending is captured.
TEST_F(SetupTest, TheChangeRequestHasItsByteLayout) {
  SignIn();
  std::vector<Bytes> sent;
  TSetupHooks hooks;
  hooks.send_change = [&sent](const Bytes& request, const TSentProfile&) { sent.push_back(request); };
  auto* form = new TSetupForm(std::move(hooks));
  form->DealOwnProfile();
  TUserSetupFrame* u = form->UserFrame();
  u->NicknameBox()->setText(QStringLiteral("测试昵称"));
  u->SexBox()->setCurrentIndex(1);
  u->AgeBox()->setText(QStringLiteral("23"));
  u->SetFace(5);
  u->EmailBox()->setText(QStringLiteral("a@b.cn"));
  u->ProvinceBox()->setCurrentText(QStringLiteral("浙江"));
  u->CityBox()->setText(QStringLiteral("杭州"));
  u->TelephoneBox()->setText(QStringLiteral("0571"));
  u->OccupationBox()->setEditText(QStringLiteral("工程师"));
  u->AddressBox()->setText(QStringLiteral("road 1"));
  u->IntroductionBox()->setPlainText(QStringLiteral("第一行\n第二行"));
  u->VerifyBox()->setCurrentIndex(2);
  u->BindBox()->setChecked(true);
  u->ChangePasswordBox()->setChecked(true);
  u->OldPasswordBox()->setText(QStringLiteral("kivora"));
  u->NewPasswordBox()->setText(QStringLiteral("abcdef"));
  u->ConfirmPasswordBox()->setText(QStringLiteral("abcdef"));
  u->ChangePayBox()->setChecked(true);
  u->NewPayBox()->setText(QStringLiteral("8642"));
  u->ConfirmPayBox()->setText(QStringLiteral("8642"));
  u->ProtectionBox()->setChecked(true);
  u->QuestionBox()->setText(QStringLiteral("我的小学"));
  u->AnswerBox()->setText(QStringLiteral("sunshine"));
  u->IdentityBox()->setText(QStringLiteral("110101199001011234"));
  form->OkButton()->click();
  ASSERT_EQ(sent.size(), 1u);

  Bytes expected(765, 0);
  auto put = [&expected](std::size_t at, std::string_view text) {
    expected[at] = static_cast<std::uint8_t>(text.size());
    std::copy(text.begin(), text.end(), expected.begin() + static_cast<std::ptrdiff_t>(at) + 1);
  };
  StoreU32(expected.data(), 0x30014);
  StoreU32(expected.data() + 4, 10001);
  put(8, "\xb2\xe2\xca\xd4\xea\xc7\xb3\xc6");
  expected[49] = 0;
  expected[50] = 23;
  expected[51] = 5;
  put(52, "a@b.cn");
  put(93, "524fb4182490fcdc");   // MD5 form 2 of "kivora"
  put(134, "098950fc58aad83c");  // of "abcdef"
  // 175: no current pay password was typed, so the field stays empty.
  put(216, "5f1394268c66639e");  // of "8642"
  put(257, "0571");
  put(278, "\xb9\xa4\xb3\xcc\xca\xa6");
  put(299, "road 1");
  put(360, "\xd5\xe3\xbd\xad");
  put(381, "\xba\xbc\xd6\xdd");
  put(402, "\xce\xd2\xb5\xc4\xd0\xa1\xd1\xa7");
  put(423, "2ac330a7455809c6");  // of "sunshine"
  put(444, "110101199001011234");
  put(485, "\xb5\xda\xd2\xbb\xd0\xd0#13#10\xb5\xda\xb6\xfe\xd0\xd0");
  expected[741] = 2;
  put(742, MD5(NBGetFirstMac(), 4));
  expected[763] = 1;
  expected[764] = 1;
  EXPECT_EQ(sent[0], expected);
  EXPECT_TRUE(form->Locked());
  form->DealChangeResult(false, false);
  EXPECT_FALSE(form->Locked());
  delete form;
}

TEST_F(SetupTest, TheHotKeyEditorKeepsDefaultCustomAndNone) {
  SignIn();
  TSetupInfo& setup = GlobalManager->SetupInfo;
  ASSERT_EQ(setup.HotKey, kDefaultHotKey);
  TSetupForm* form = Open(2, false);
  ASSERT_NE(form, nullptr);
  EXPECT_EQ(form->CurrentPage(), TSetupForm::kBasic);
  TSysSetupFrame* s = form->SysFrame();
  EXPECT_TRUE(s->UseHotKeyBox()->isChecked());
  EXPECT_TRUE(s->DefaultHotKeyRadio()->isChecked());
  EXPECT_FALSE(s->HotKeyEdit()->isEnabled());
  // A custom key typed into the field: Ctrl+Shift+F5; a plain key gets Alt.
  s->CustomHotKeyRadio()->setChecked(true);
  EXPECT_TRUE(s->HotKeyEdit()->isEnabled());
  QKeyEvent plain(QEvent::KeyPress, Qt::Key_K, Qt::NoModifier);
  QApplication::sendEvent(s->HotKeyEdit(), &plain);
  EXPECT_EQ(s->HotKeyEdit()->Value(), 0x804B);
  QKeyEvent key(QEvent::KeyPress, Qt::Key_F5, Qt::ControlModifier | Qt::ShiftModifier);
  QApplication::sendEvent(s->HotKeyEdit(), &key);
  EXPECT_EQ(s->HotKeyEdit()->text(), QStringLiteral("Ctrl + Shift + F5"));
  EXPECT_TRUE(OkAndClosed(form));
  EXPECT_EQ(setup.HotKey, 0x6074);
  std::vector<std::uint8_t> file = SetupFile();
  ASSERT_EQ(file.size(), kSetupInfoSize);
  EXPECT_EQ(LoadU16(file.data() + 10), 0x6074);

  form = Open(2, false);
  s = form->SysFrame();
  EXPECT_TRUE(s->CustomHotKeyRadio()->isChecked());
  EXPECT_EQ(s->HotKeyEdit()->Value(), 0x6074);
  s->DefaultHotKeyRadio()->setChecked(true);
  EXPECT_TRUE(OkAndClosed(form));
  EXPECT_EQ(setup.HotKey, kDefaultHotKey);

  form = Open(2, false);
  s = form->SysFrame();
  s->UseHotKeyBox()->setChecked(false);
  EXPECT_FALSE(s->DefaultHotKeyRadio()->isEnabled());
  EXPECT_FALSE(s->CustomHotKeyRadio()->isEnabled());
  EXPECT_TRUE(OkAndClosed(form));
  EXPECT_EQ(setup.HotKey, 0);
  EXPECT_EQ(setup.UseHotKey, 0);
  file = SetupFile();
  EXPECT_EQ(LoadU16(file.data() + 10), 0);
}

TEST_F(SetupTest, SoundsAndTheReceiveFolderAreStoredOnOk) {
  SignIn();
  TSetupForm* form = Open(2, false);
  ASSERT_NE(form, nullptr);
  form->ShowPage(TSetupForm::kSound);
  TSysSetupFrame* s = form->SysFrame();
  EXPECT_EQ(s->SoundList()->currentIndex(), 0);
  EXPECT_EQ(s->SoundList()->count(), 7);
  const QString knock = QString::fromStdString((app_.path() / "Sounds" / "knock.wav").string());
  s->SoundList()->setCurrentIndex(2);  // "好友上线"
  s->SetSoundPath(knock);
  s->SoundList()->setCurrentIndex(0);
  EXPECT_NE(s->SoundPathBox()->text(), knock);
  s->SoundList()->setCurrentIndex(2);
  EXPECT_EQ(s->SoundPathBox()->text(), knock);
  s->PlayButton()->click();
  ASSERT_FALSE(sounds_.empty());
  EXPECT_EQ(sounds_.back(), std::filesystem::path(knock.toStdString()));
  s->SoundOffRadio()->setChecked(true);
  const std::filesystem::path folder = app_.path() / "收到";
  std::filesystem::create_directories(folder);
  s->SetReceiveFolder(QString::fromStdString(folder.string()));
  s->RefuseInviteBox()->setChecked(true);
  EXPECT_TRUE(OkAndClosed(form));
  const TSetupInfo& setup = GlobalManager->SetupInfo;
  EXPECT_EQ(setup.Sounds[kSoundFriendOnline].Text(), "Sounds/knock.wav");  // inside the application folder
  EXPECT_EQ(GlobalManager->SoundFile(kSoundFriendOnline), std::filesystem::path(knock.toStdString()));
  EXPECT_EQ(setup.SoundOn, 0);
  EXPECT_EQ(GlobalManager->ReceiveFolder(), folder);
  EXPECT_EQ(setup.RefuseRoomInvite, 1);
  EXPECT_EQ(SetupFile().at(12), 0);
  EXPECT_EQ(SetupFile().at(2385), 1);
}

TEST_F(SetupTest, ThePhotoTakesPicturesUpTo200000BytesAndRebuildsOnlyWhenTheyDiffer) {
  SignIn();
  const auto red = Picture("red.png", Qt::red, kMaxPhotoPictureSize);
  const auto blue = Picture("blue.png", Qt::blue, kMaxPhotoPictureSize);
  const auto large = Picture("large.png", Qt::red, kMaxPhotoPictureSize + 1);
  const auto broken = app_.path() / "broken.png";
  std::ofstream(broken) << "not a picture";
  TSetupForm* form = Open(1);
  ASSERT_NE(form, nullptr);
  EXPECT_EQ(form->CurrentPage(), TSetupForm::kPhoto);
  TUserSetupFrame* u = form->UserFrame();
  EXPECT_FALSE(u->ChoosePicture(QString::fromStdString(large.string())));
  EXPECT_TRUE(MessageShown(QStringLiteral("图片文件尺寸超出系统允许大小。")));
  EXPECT_FALSE(u->ChoosePicture(QString::fromStdString(broken.string())));
  EXPECT_TRUE(MessageShown(QStringLiteral("图片文件读取出错。")));
  CloseMessages();
  EXPECT_TRUE(u->PictureBytes().isEmpty());
  ASSERT_TRUE(u->ChoosePicture(QString::fromStdString(red.string())));
  EXPECT_FALSE(u->PreviewLabel()->pixmap().isNull());
  u->CustomPhotoBox()->setChecked(true);
  EXPECT_TRUE(OkAndClosed(form));

  const std::filesystem::path photo = GlobalManager->UserFolder() / "FriendFace" / "Me.pho";
  auto read = [&photo] {
    std::ifstream in(photo, std::ios::binary);
    return std::vector<std::uint8_t>(std::istreambuf_iterator<char>(in), {});
  };
  std::vector<std::uint8_t> stored = read();
  ASSERT_EQ(stored.size(), 104 + static_cast<std::size_t>(kMaxPhotoPictureSize));
  EXPECT_EQ(LoadU32(stored.data()), 10001u);
  EXPECT_EQ(RecordReader(stored).text(4, 99), "red.png");
  EXPECT_EQ(GlobalManager->SetupInfo.UseCustomPhoto, 1);
  EXPECT_EQ(GlobalManager->GetPhotoSize(10001), static_cast<std::int64_t>(stored.size()));
  const auto written = std::filesystem::last_write_time(photo);

  // The same picture again leaves the file alone; another of the same size replaces it.
  form = Open(1);
  u = form->UserFrame();
  EXPECT_TRUE(u->CustomPhotoBox()->isChecked());
  EXPECT_FALSE(u->PreviewLabel()->pixmap().isNull());
  ASSERT_TRUE(u->ChoosePicture(QString::fromStdString(red.string())));
  EXPECT_TRUE(OkAndClosed(form));
  EXPECT_EQ(std::filesystem::last_write_time(photo), written);
  form = Open(1);
  u = form->UserFrame();
  ASSERT_TRUE(u->ChoosePicture(QString::fromStdString(blue.string())));
  EXPECT_TRUE(OkAndClosed(form));
  stored = read();
  EXPECT_EQ(RecordReader(stored).text(4, 99), "blue.png");
  std::ifstream in(blue, std::ios::binary);
  const std::vector<std::uint8_t> blue_bytes(std::istreambuf_iterator<char>(in), {});
  EXPECT_TRUE(std::equal(blue_bytes.begin(), blue_bytes.end(), stored.begin() + 104));

  form = Open(1);
  form->UserFrame()->CustomPhotoBox()->setChecked(false);
  EXPECT_TRUE(OkAndClosed(form));
  EXPECT_EQ(GlobalManager->SetupInfo.UseCustomPhoto, 0);
  EXPECT_EQ(GlobalManager->GetPhotoSize(10001), 0);
}

TEST_F(SetupTest, WithoutTheVipPermissionsThePhotoAndTheBindAskToUpgrade) {
  Admin({QStringLiteral("add-user"), QStringLiteral("20001"), QStringLiteral("basic1"),
         QStringLiteral("普通用户")});
  testing::TProfileChangeFields fields;
  fields.user = 20001;
  fields.password = "basic1";
  ASSERT_EQ(ChangeProfileAside(fields, "basic1"), 1);
  SignInAs(QStringLiteral("20001"), QStringLiteral("basic1"));
  const auto picture = Picture("face.png", Qt::green, 3000);
  TSetupForm* form = Open(1);
  ASSERT_NE(form, nullptr);
  ASSERT_TRUE(form->UserFrame()->ChoosePicture(QString::fromStdString(picture.string())));
  form->UserFrame()->CustomPhotoBox()->setChecked(true);
  AnswerQuestion(true);
  EXPECT_TRUE(OkAndClosed(form));
  EXPECT_FALSE(std::filesystem::exists(GlobalManager->UserFolder() / "FriendFace" / "Me.pho"));
  EXPECT_EQ(GlobalManager->SetupInfo.UseCustomPhoto, 0);
  EXPECT_TRUE(RunUntil([this] { return !opened_.empty(); }));  // the mall

  form = Open(0);
  ASSERT_NE(form, nullptr);
  form->UserFrame()->BindBox()->setChecked(true);
  AnswerQuestion(false);
  EXPECT_TRUE(OkAndClosed(form));  // unchecked again: nothing changed, nothing sent
  EXPECT_EQ(GlobalManager->Me->bind_computer, 0);
}

TEST_F(SetupTest, PlugInCodesOpenTheirPagesAndAGuestMayNotOpenIt) {
  SignIn();
  Manager().OnPluginMessage(kMsgOpenSetupPage1, nullptr, 0);
  ASSERT_NE(Manager().SetupForm(), nullptr);
  EXPECT_EQ(Manager().SetupForm()->CurrentPage(), TSetupForm::kPhoto);
  Manager().OnPluginMessage(kMsgOpenSetupPage0, nullptr, 0);
  EXPECT_EQ(Manager().SetupForm()->CurrentPage(), TSetupForm::kProfile);
  QPointer<TSetupForm> form(Manager().SetupForm());
  form->CloseButton()->click();
  EXPECT_TRUE(RunUntil([&form] { return form.isNull(); }));

  form_.reset();
  StartClient();
  ASSERT_TRUE(LoginWindowShown());
  PressLogin(QString(), QString(), false, true);
  ASSERT_TRUE(SignedIn());
  Manager().ShowSetup(0);
  EXPECT_TRUE(MessageShown(QStringLiteral("没有此操作权限。")));
  EXPECT_EQ(Manager().SetupForm(), nullptr);
}

// Screenshots of the windows (run by hand under Xvfb with KIV_SHOTS set to a folder).
TEST_F(SetupTest, Screenshots) {
  const char* dir = std::getenv("KIV_SHOTS");
  if (!dir) GTEST_SKIP() << "KIV_SHOTS not set";
  const std::filesystem::path out = dir;
  auto shot = [&](QWidget* w, const char* name) {
    w->show();
    w->raise();
    for (int i = 0; i < 20; ++i) QCoreApplication::processEvents();
    RunUntil([] { return false; }, 200);
    w->grab().save(QString::fromStdString((out / name).string()));
  };
  testing::TProfileChangeFields protect;
  protect.user = 10003;
  protect.password = "kivora";
  protect.protection = true;
  protect.question = "我的小学";
  protect.answer = "sunshine";
  protect.id_number = "110101199001011234";
  ASSERT_EQ(ChangeProfileAside(protect, "kivora"), 4);
  SignIn();
  Admin({QStringLiteral("set-balance"), QStringLiteral("10001"), QStringLiteral("110")});
  RunUntil([] { return TransferFeeRate() == 10; });
  TSetupForm* form = Open(0);
  ASSERT_NE(form, nullptr);
  TUserSetupFrame* u = form->UserFrame();
  u->CityBox()->setText(QStringLiteral("杭州"));
  u->ProvinceBox()->setCurrentText(QStringLiteral("浙江"));
  u->IntroductionBox()->setPlainText(QStringLiteral("喜欢音乐和旅行。\n欢迎加我为好友！"));
  shot(form, "01-profile.png");
  form->ShowPage(TSetupForm::kPhoto);
  const auto red = Picture("red.png", QColor(200, 60, 60), 5000);
  u->ChoosePicture(QString::fromStdString(red.string()));
  u->CustomPhotoBox()->setChecked(true);
  shot(form, "02-photo.png");
  form->ShowPage(TSetupForm::kSecurity);
  u->ChangePasswordBox()->setChecked(true);
  shot(form, "03-security.png");
  form->ShowPage(TSetupForm::kBasic);
  form->SysFrame()->CustomHotKeyRadio()->setChecked(true);
  form->SysFrame()->HotKeyEdit()->SetValue(0xC04B);
  shot(form, "04-basic.png");
  form->ShowPage(TSetupForm::kSound);
  shot(form, "05-sound.png");
  form->ShowPage(TSetupForm::kMessages);
  shot(form, "06-messages.png");
  form->ShowPage(TSetupForm::kProfile);
  u->FaceButton()->click();
  auto* picker = u->findChild<TSelectPhotoForm*>();
  ASSERT_NE(picker, nullptr);
  shot(picker, "07-face-picker.png");
  picker->close();
  form->UserFrame()->NicknameBox()->setText(QStringLiteral("ab1"));
  form->OkButton()->click();
  shot(form, "08-refused-nickname.png");
  form->close();

  Manager().ShowBank();
  TBankForm* bank = Manager().BankForm();
  ASSERT_NE(bank, nullptr);
  bank->RecipientBox()->setText(QStringLiteral("10002"));
  bank->AmountBox()->setText(QStringLiteral("100"));
  shot(bank, "09-transfer.png");
  bank->GiveButton()->click();
  ASSERT_NE(bank->ConfirmForm(), nullptr);
  shot(bank->ConfirmForm(), "10-transfer-confirm.png");
  bank->ConfirmForm()->close();
  bank->close();

  Manager().ShowFindPassWord();
  TFindPassWordForm* find = Manager().FindPassWordForm();
  ASSERT_NE(find, nullptr);
  find->UserCodeBox()->setText(QStringLiteral("10003"));
  find->IdentityBox()->setText(QStringLiteral("110101199001011234"));
  shot(find, "11-recovery-step1.png");
  find->NextButton()->click();
  ASSERT_TRUE(RunUntil([find] { return find->Page() == 1; }));
  find->AnswerBox()->setText(QStringLiteral("sunshine"));
  shot(find, "12-recovery-step2.png");
  find->NextButton()->click();
  ASSERT_TRUE(RunUntil([find] { return find->Page() == 2; }));
  find->NewPasswordBox()->setText(QStringLiteral("newpass1"));
  find->ConfirmPasswordBox()->setText(QStringLiteral("newpass1"));
  shot(find, "13-recovery-step3.png");
  find->NextButton()->click();
  ASSERT_TRUE(RunUntil([find] { return find->Page() == 3; }));
  shot(find, "14-recovery-done.png");
}

}  // namespace
}  // namespace kiv
