#include "ma_find_password.h"

#include <QFormLayout>
#include <QHBoxLayout>
#include <QRegularExpressionValidator>
#include <QVBoxLayout>
#include <limits>

#include "base/text_checks.h"
#include "ma_login.h"
#include "ma_records.h"
#include "manager/global_manager.h"

namespace kiv {
namespace {

constexpr std::size_t kResultOffset = 4;
constexpr std::size_t kStepOffset = 5;
constexpr std::size_t kQuestionOffset = 10;
constexpr std::size_t kQuestionLength = 104;
constexpr int kMinIdentityLength = 6;
constexpr int kMinPasswordLength = 4;

const QString kTitles[] = {QStringLiteral("第一步：输入用户信息"), QStringLiteral("第二步：输入提示问题答案"),
                           QStringLiteral("最后一步：输入新密码"), QStringLiteral("密码取回成功")};

QLineEdit* Box(QWidget* parent, int max_length, bool secret = false) {
  auto* box = new QLineEdit(parent);
  box->setMaxLength(max_length);
  if (secret) box->setEchoMode(QLineEdit::Password);
  return box;
}

QWidget* FormPage(QWidget* parent, std::initializer_list<std::pair<QString, QWidget*>> rows) {
  auto* page = new QWidget(parent);
  auto* form = new QFormLayout(page);
  for (const auto& [label, field] : rows) form->addRow(label, field);
  return page;
}

}  // namespace

TFindPassWordForm::TFindPassWordForm(std::function<void(const Bytes&)> send_to_login, int timeout_ms)
    : send_to_login_(std::move(send_to_login)),
      title_(new QLabel(this)),
      pages_(new QStackedWidget(this)),
      user_code_(Box(this, 10)),
      identity_(Box(this, 40)),
      question_(new QLabel(this)),
      answer_(Box(this, 40)),
      new_password_(Box(this, kMaxPasswordLength, true)),
      confirm_password_(Box(this, kMaxPasswordLength, true)),
      success_(new QLabel(this)),
      next_(new QPushButton(QStringLiteral("下一步"), this)),
      cancel_(new QPushButton(QStringLiteral("取消"), this)) {
  setObjectName(QStringLiteral("TFindPassWordForm"));
  setAttribute(Qt::WA_DeleteOnClose);
  setWindowFlag(Qt::Window);
  setWindowTitle(QStringLiteral("找回密码"));
  setMinimumWidth(380);  // an identity number of 18 digits shows whole
  user_code_->setValidator(
      new QRegularExpressionValidator(QRegularExpression(QStringLiteral("[0-9]*")), user_code_));
  question_->setWordWrap(true);
  success_->setWordWrap(true);

  pages_->addWidget(FormPage(this, {{ReplaceBrandNames(QStringLiteral("$APP号码：")), user_code_},
                                    {QStringLiteral("证件号码："), identity_}}));
  pages_->addWidget(
      FormPage(this, {{QStringLiteral("提示问题："), question_}, {QStringLiteral("输入答案："), answer_}}));
  pages_->addWidget(FormPage(this, {{QStringLiteral("输入新密码："), new_password_},
                                    {QStringLiteral("确认新密码："), confirm_password_}}));
  pages_->addWidget(FormPage(this, {{QString(), success_}}));

  auto* layout = new QVBoxLayout(this);
  layout->addWidget(title_);
  layout->addWidget(pages_);
  auto* buttons = new QHBoxLayout;
  buttons->addStretch();
  buttons->addWidget(next_);
  buttons->addWidget(cancel_);
  layout->addLayout(buttons);
  next_->setDefault(true);
  ShowPage(0);

  timeout_.setSingleShot(true);
  timeout_.setInterval(timeout_ms);
  connect(&timeout_, &QTimer::timeout, this, &TFindPassWordForm::TimedOut);
  connect(next_, &QPushButton::clicked, this, &TFindPassWordForm::Next);
  connect(cancel_, &QPushButton::clicked, this, &QWidget::close);
}

void TFindPassWordForm::ShowPage(int page) {
  pages_->setCurrentIndex(page);
  title_->setText(kTitles[page]);
}

void TFindPassWordForm::Refuse(const QString& text, QLineEdit* focus) {
  if (GlobalManager) GlobalManager->ShowMessage(text);
  if (focus) focus->setFocus();
}

void TFindPassWordForm::Next() {
  if (Waiting()) return;
  switch (Page()) {
    case 0: {
      const QString code = user_code_->text().trimmed();
      const QString identity = identity_->text();
      if (code.isEmpty()) return Refuse(QStringLiteral("请输入用户号码。"), user_code_);
      bool ok = false;
      const qulonglong value = code.toULongLong(&ok);
      if (!ok || value == 0 || value > std::numeric_limits<std::uint32_t>::max())
        return Refuse(QStringLiteral("请输入正确的用户号码。"), user_code_);
      if (identity.isEmpty()) return Refuse(QStringLiteral("请输入注册时所用的证件号码。"), identity_);
      if (identity.size() < kMinIdentityLength)
        return Refuse(QStringLiteral("证件号码不得少于6个字符。"), identity_);
      code_ = static_cast<std::uint32_t>(value);
      user_code_->setText(QString::number(value));
      return SendStep(1, identity.toStdString(), {}, {});
    }
    case 1: {
      const std::string answer = answer_->text().toStdString();
      if (answer.empty()) return Refuse(QStringLiteral("请输入问题答案。"), answer_);
      if (!CheckInputString(answer)) return Refuse(QStringLiteral("问题答案中包含非法字符。"), answer_);
      return SendStep(2, {}, answer, {});
    }
    case 2: {
      const QString password = new_password_->text();
      if (password.isEmpty()) return Refuse(QStringLiteral("密码不能为空。"), new_password_);
      if (!CheckInputString(password.toStdString()))
        return Refuse(QStringLiteral("密码中不能含有非法字符。"), new_password_);
      if (password.size() < kMinPasswordLength)
        return Refuse(QStringLiteral("密码不能少于4个字符。"), new_password_);
      if (confirm_password_->text() != password)
        return Refuse(QStringLiteral("密码确认不一致。"), confirm_password_);
      return SendStep(3, {}, {}, password.toStdString());
    }
    default:
      return;
  }
}

void TFindPassWordForm::SendStep(std::uint8_t step, std::string_view identity, std::string_view answer,
                                 std::string_view new_password) {
  waiting_step_ = step;
  next_->setEnabled(false);
  timeout_.start();
  send_to_login_(BuildRecovery(step, code_, identity, answer, new_password));
}

void TFindPassWordForm::TimedOut() {
  waiting_step_ = 0;
  next_->setEnabled(true);
  if (GlobalManager) GlobalManager->ShowMessage(QStringLiteral("连接服务器超时。"));
}

void TFindPassWordForm::DealRecoveryResult(const void* data, std::size_t size) {
  const TReceivedRecord record(data, size, kRecoverySize);
  const std::uint8_t step = record->u8(kStepOffset);
  // An answer to a step that is no longer awaited (it timed out, or a duplicate) changes nothing.
  if (waiting_step_ == 0 || step != waiting_step_) return;
  timeout_.stop();
  waiting_step_ = 0;
  next_->setEnabled(true);
  switch (record->u8(kResultOffset)) {
    case 1:
      if (step == 1) {
        question_->setText(QString::fromStdString(record->text(kQuestionOffset, kQuestionLength)));
        ShowPage(1);
        answer_->setFocus();
      } else if (step == 2) {
        ShowPage(2);
        next_->setText(QStringLiteral("完成"));
        new_password_->setFocus();
      } else {
        success_->setText(QStringLiteral("恭喜，用户") + QString::number(code_) +
                          QStringLiteral("的密码已经重新设定，支付密码重置为空。"));
        ShowPage(3);
        next_->hide();
        cancel_->setText(QStringLiteral("关闭"));
      }
      return;
    case 2:
      return Refuse(QStringLiteral("用户名或者证件号码不正确，请确认后重新输入"), nullptr);
    case 3:
      return Refuse(QStringLiteral("问题答案输入不正确。"), nullptr);
    case 4:
      return Refuse(QStringLiteral("该用户没有申请密码保护。"), nullptr);
    default:
      return Refuse(QStringLiteral("处理用户数据出错。"), nullptr);
  }
}

}  // namespace kiv
