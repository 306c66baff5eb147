// The transfer window and the password recovery window against the real reference server, on the
// offscreen platform.
#include <csignal>

#include "ma_bank.h"
#include "ma_find_password.h"
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

TEST(TransferFeeTest, RoundsHalvesToEvenIn64Bits) {
  struct Case {
    std::uint32_t amount, percent;
    std::uint64_t fee;
  } const cases[] = {
      {15, 10, 2},
      {25, 10, 2},
      {5, 10, 0},
      {35, 10, 4},
      {14, 10, 1},
      {16, 10, 2},
      {100, 0, 0},
      {4294967295u, 100, 4294967295u},
      {4294967295u, 200, 8589934590u},
  };
  for (const Case& c : cases)
    EXPECT_EQ(TransferFee(c.amount, c.percent), c.fee) << c.amount << " " << c.percent;
}

class MoneyTest : public RealServerTest {
 protected:
  TBankForm* OpenBank() {
    Manager().ShowBank();
    return Manager().BankForm();
  }

  // Fills the window and presses "赠送".
  static void Give(TBankForm* bank, const QString& recipient, const QString& amount) {
    bank->RecipientBox()->setText(recipient);
    bank->AmountBox()->setText(amount);
    bank->GiveButton()->click();
  }

  static void CloseMessages() {
    for (QWidget* window : QApplication::topLevelWidgets())
      if (qobject_cast<TMessageForm*>(window)) window->close();
    QCoreApplication::processEvents();
  }
};

TEST_F(MoneyTest, ChecksComeBeforeTheConfirmationAndTheFeeCountsAgainstTheBalance) {
  SignInAs(QStringLiteral("10001"), QStringLiteral("kivora"));
  Admin({QStringLiteral("set-balance"), QStringLiteral("10001"), QStringLiteral("110")});
  ASSERT_TRUE(RunUntil([] { return GlobalManager->Me->GetMoney() == 110; }));
  ASSERT_TRUE(RunUntil([] { return TransferFeeRate() == 10; }));
  TBankForm* bank = OpenBank();
  ASSERT_NE(bank, nullptr);
  EXPECT_EQ(bank->windowTitle(), QStringLiteral("Kiv币赠送"));
  EXPECT_EQ(bank->FeeRateLabel()->text(), QStringLiteral("当日赠送Kiv币所需手续费率为：10%"));

  struct Refusal {
    const char* recipient;
    const char* amount;
    const char* text;
  } const refusals[] = {
      {"", "10", "请输入正确的用户号码。"},      {"4294967296", "10", "请输入正确的用户号码。"},
      {"10001", "10", "不能给自己赠送Kiv币。"},  {"10002", "", "请输入正确的Kiv币数量。"},
      {"10002", "0", "请输入正确的Kiv币数量。"}, {"10002", "101", "Kiv币余额不足。"},
  };
  for (const Refusal& r : refusals) {
    Give(bank, QString::fromUtf8(r.recipient), QString::fromUtf8(r.amount));
    EXPECT_TRUE(MessageShown(QString::fromUtf8(r.text))) << r.recipient << " " << r.amount;
    EXPECT_EQ(bank->ConfirmForm(), nullptr) << r.recipient << " " << r.amount;
    CloseMessages();
  }

  // 100 and its fee of 10 are exactly the balance; the recipient is rewritten in normal form.
  testing::TProtocolClient recipient;
  testing::TLoginFields login;
  login.user = 10002;
  login.password = "kivora";
  const auto other = recipient.SignInVia(server_.Login(), login);
  ASSERT_TRUE(other.ok());
  Give(bank, QStringLiteral("0010002"), QStringLiteral("100"));
  EXPECT_EQ(bank->RecipientBox()->text(), QStringLiteral("10002"));
  TConfirmPayForm* confirm = bank->ConfirmForm();
  ASSERT_NE(confirm, nullptr);
  EXPECT_EQ(confirm->windowTitle(), QStringLiteral("转账确认"));
  EXPECT_EQ(confirm->QuestionLabel()->text(),
            QStringLiteral("确定赠送给用户10002Kiv币100个？您还需要支付10个Kiv币作为赠送手续费用。"));
  confirm->OkButton()->click();
  EXPECT_TRUE(bank->Locked());
  EXPECT_FALSE(bank->GiveButton()->isEnabled());
  EXPECT_EQ(bank->StatusLabel()->text(), QStringLiteral("正在处理用户请求..."));
  EXPECT_TRUE(MessageShown(QStringLiteral("Kiv币赠送成功。")));
  EXPECT_FALSE(bank->Locked());
  EXPECT_TRUE(bank->GiveButton()->isEnabled());
  EXPECT_TRUE(RunUntil([this] { return form_->BalanceLabel()->text() == QStringLiteral("0"); }));
  const auto credited = recipient.WaitFor(kMsgBalance, other.home);
  ASSERT_TRUE(credited.has_value());
  EXPECT_EQ(RecordReader(*credited).u32(8), 1100u);
}

TEST_F(MoneyTest, APayPasswordIsCheckedByTheServer) {
  testing::TProfileChangeFields fields;
  fields.user = 10001;
  fields.password = "kivora";
  fields.new_pay_password = "8642";
  ASSERT_EQ(ChangeProfileAside(fields, "kivora"), 1);
  SignInAs(QStringLiteral("10001"), QStringLiteral("kivora"));
  TBankForm* bank = OpenBank();
  ASSERT_NE(bank, nullptr);

  for (const char* typed : {"", "1234"}) {
    Give(bank, QStringLiteral("10003"), QStringLiteral("20"));
    ASSERT_NE(bank->ConfirmForm(), nullptr);
    bank->ConfirmForm()->PayPasswordBox()->setText(QString::fromUtf8(typed));
    bank->ConfirmForm()->OkButton()->click();
    EXPECT_TRUE(MessageShown(QStringLiteral("赠送失败，用户支付密码错误。"))) << typed;
    CloseMessages();
  }
  EXPECT_EQ(GlobalManager->Me->GetMoney(), 1000u);

  Give(bank, QStringLiteral("10003"), QStringLiteral("20"));
  ASSERT_NE(bank->ConfirmForm(), nullptr);
  bank->ConfirmForm()->PayPasswordBox()->setText(QStringLiteral("8642"));
  bank->ConfirmForm()->OkButton()->click();
  EXPECT_TRUE(MessageShown(QStringLiteral("Kiv币赠送成功。")));
  EXPECT_TRUE(RunUntil([] { return GlobalManager->Me->GetMoney() == 978; }));
}

TEST_F(MoneyTest, ATimeOutSaysSoAndRefreshesTheBalance) {
  TManagerOptions options = Options();
  options.transfer_timeout_ms = 300;
  form_ = std::make_unique<TMainForm>(options);
  ASSERT_TRUE(LoginWindowShown());
  PressLogin(QStringLiteral("10001"), QStringLiteral("kivora"));
  ASSERT_TRUE(SignedIn());
  TBankForm* bank = OpenBank();
  ASSERT_NE(bank, nullptr);
  GlobalManager->Me->SetMoney(5000);  // what the client believes; the server holds 1000
  server_.Signal(SIGSTOP);
  Give(bank, QStringLiteral("10002"), QStringLiteral("10"));
  ASSERT_NE(bank->ConfirmForm(), nullptr);
  bank->ConfirmForm()->OkButton()->click();
  EXPECT_TRUE(MessageShown(QStringLiteral("连接服务器超时。")));
  EXPECT_FALSE(bank->Locked());
  EXPECT_TRUE(bank->GiveButton()->isEnabled());
  server_.Signal(SIGCONT);
  // The own profile asked for after the time-out brings the server's balance, the transfer done.
  EXPECT_TRUE(RunUntil([] { return GlobalManager->Me->GetMoney() == 989; }));
}

class RecoveryTest : public RealServerTest {
 protected:
  void SetUp() override {
    RealServerTest::SetUp();
    if (IsSkipped()) return;
    testing::TProfileChangeFields fields;
    fields.user = 10003;
    fields.password = "kivora";
    fields.protection = true;
    fields.question = "我的小学";
    // ASCII: the test client digests the UTF-8 bytes where the program digests GBK.
    fields.answer = "sunshine";
    fields.id_number = "110101199001011234";
    ASSERT_EQ(ChangeProfileAside(fields, "kivora"), 4);
    StartClient();
    ASSERT_TRUE(LoginWindowShown());
    Manager().LoginForm()->findChild<QPushButton*>(QStringLiteral("ForgotPasswordButton"))->click();
    window_ = Manager().FindPassWordForm();
    ASSERT_NE(window_.data(), nullptr);
  }

  // Presses "下一步"; it stays disabled until the answer arrives.
  void PressNext() {
    window_->NextButton()->click();
    EXPECT_FALSE(window_->NextButton()->isEnabled());
    EXPECT_TRUE(RunUntil([this] { return !window_->Waiting(); }));
    EXPECT_TRUE(window_->NextButton()->isEnabled());
  }

  QPointer<TFindPassWordForm> window_;
};

TEST_F(RecoveryTest, ThreeStepsThenTheNewPasswordSignsIn) {
  EXPECT_EQ(window_->windowTitle(), QStringLiteral("找回密码"));
  EXPECT_EQ(window_->TitleLabel()->text(), QStringLiteral("第一步：输入用户信息"));

  // Refused before anything is sent.
  struct Refusal {
    const char* code;
    const char* identity;
    const char* text;
  } const refusals[] = {
      {"", "110101199001011234", "请输入用户号码。"},
      {"4294967296", "110101199001011234", "请输入正确的用户号码。"},
      {"10003", "", "请输入注册时所用的证件号码。"},
      {"10003", "12345", "证件号码不得少于6个字符。"},
  };
  for (const Refusal& r : refusals) {
    window_->UserCodeBox()->setText(QString::fromUtf8(r.code));
    window_->IdentityBox()->setText(QString::fromUtf8(r.identity));
    window_->NextButton()->click();
    EXPECT_FALSE(window_->Waiting()) << r.text;
    EXPECT_TRUE(MessageShown(QString::fromUtf8(r.text)));
  }

  window_->IdentityBox()->setText(QStringLiteral("123456"));
  PressNext();
  EXPECT_TRUE(MessageShown(QStringLiteral("用户名或者证件号码不正确，请确认后重新输入")));
  EXPECT_EQ(window_->Page(), 0);

  window_->IdentityBox()->setText(QStringLiteral("110101199001011234"));
  PressNext();
  ASSERT_EQ(window_->Page(), 1);
  EXPECT_EQ(window_->TitleLabel()->text(), QStringLiteral("第二步：输入提示问题答案"));
  EXPECT_EQ(window_->QuestionLabel()->text(), QStringLiteral("我的小学"));

  window_->AnswerBox()->setText(QStringLiteral("月亮"));
  PressNext();
  EXPECT_TRUE(MessageShown(QStringLiteral("问题答案输入不正确。")));
  EXPECT_EQ(window_->Page(), 1);
  window_->AnswerBox()->setText(QStringLiteral("sunshine"));
  PressNext();
  ASSERT_EQ(window_->Page(), 2);
  EXPECT_EQ(window_->NextButton()->text(), QStringLiteral("完成"));

  window_->NewPasswordBox()->setText(QStringLiteral("abc"));
  window_->ConfirmPasswordBox()->setText(QStringLiteral("abc"));
  window_->NextButton()->click();
  EXPECT_TRUE(MessageShown(QStringLiteral("密码不能少于4个字符。")));
  window_->NewPasswordBox()->setText(QStringLiteral("newpass1"));
  window_->ConfirmPasswordBox()->setText(QStringLiteral("newpass2"));
  window_->NextButton()->click();
  EXPECT_TRUE(MessageShown(QStringLiteral("密码确认不一致。")));
  EXPECT_FALSE(window_->Waiting());
  window_->ConfirmPasswordBox()->setText(QStringLiteral("newpass1"));
  PressNext();
  ASSERT_EQ(window_->Page(), 3);
  EXPECT_EQ(window_->SuccessLabel()->text(),
            QStringLiteral("恭喜，用户10003的密码已经重新设定，支付密码重置为空。"));
  EXPECT_TRUE(window_->NextButton()->isHidden());
  EXPECT_EQ(window_->CancelButton()->text(), QStringLiteral("关闭"));

  // Closing drops the login-server connection shortly after.
  window_->CancelButton()->click();
  EXPECT_TRUE(RunUntil([this] { return window_.isNull(); }));
  EXPECT_TRUE(Manager().AsynPending(kActionDropLoginServer));
  EXPECT_TRUE(RunUntil([this] { return !Manager().AsynPending(kActionDropLoginServer); }));

  // The new password signs in; the old one no longer does.
  testing::TProtocolClient client;
  testing::TLoginFields login;
  login.user = 10003;
  login.password = "kivora";
  EXPECT_FALSE(client.SignInVia(server_.Login(), login).ok());
  login.password = "newpass1";
  EXPECT_TRUE(client.SignInVia(server_.Login(), login).ok());
}

TEST_F(RecoveryTest, ALostAnswerTimesOutAndTheStepCanBeRetried) {
  // The window again, with a short time-out.
  window_->close();
  ASSERT_TRUE(
      RunUntil([this] { return window_.isNull() && !Manager().AsynPending(kActionDropLoginServer); }));
  form_.reset();
  TManagerOptions options = Options();
  options.recovery_timeout_ms = 2000;
  form_ = std::make_unique<TMainForm>(options);
  ASSERT_TRUE(LoginWindowShown());
  Manager().ShowFindPassWord();
  TFindPassWordForm* window = Manager().FindPassWordForm();
  ASSERT_NE(window, nullptr);
  window->UserCodeBox()->setText(QStringLiteral("10003"));
  window->IdentityBox()->setText(QStringLiteral("110101199001011234"));
  server_.Signal(SIGSTOP);
  window->NextButton()->click();
  EXPECT_FALSE(window->NextButton()->isEnabled());
  EXPECT_TRUE(MessageShown(QStringLiteral("连接服务器超时。")));
  EXPECT_TRUE(window->NextButton()->isEnabled());
  server_.Signal(SIGCONT);
  // The late answer to the abandoned step moves nothing; a new press does.
  RunUntil([] { return false; }, 2500);
  EXPECT_EQ(window->Page(), 0);
  window->NextButton()->click();
  EXPECT_TRUE(RunUntil([window] { return window->Page() == 1; }));
}

}  // namespace
}  // namespace kiv
