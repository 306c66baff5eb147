#include "ma_bank.h"

#include <QGridLayout>
#include <QHBoxLayout>
#include <QRegularExpressionValidator>
#include <QVBoxLayout>
#include <limits>

#include "base/machine_id.h"
#include "declare/declare.h"
#include "ma_records.h"
#include "manager/global_manager.h"

namespace kiv {
namespace {

// Offset of the transfer fee in the server's parameter message; the block stored in the global
// manager starts after the message code.
constexpr std::size_t kTransferFeeParam = 112 - 4;

QString Money() { return QString::fromStdString(MONEYNAME); }

// A whole number of the box in 1..4294967295, rewritten in normal form; 0 when there is none.
std::uint32_t ReadCode(QLineEdit* box) {
  bool ok = false;
  const qulonglong value = box->text().trimmed().toULongLong(&ok);
  if (!ok || value == 0 || value > std::numeric_limits<std::uint32_t>::max()) return 0;
  box->setText(QString::number(value));
  return static_cast<std::uint32_t>(value);
}

QLineEdit* DigitBox(QWidget* parent) {
  auto* box = new QLineEdit(parent);
  box->setMaxLength(10);
  box->setValidator(new QRegularExpressionValidator(QRegularExpression(QStringLiteral("[0-9]*")), box));
  return box;
}

}  // namespace

std::uint32_t TransferFeeRate() {
  if (!GlobalManager) return 0;
  const auto& params = GlobalManager->ServerParam;
  return RecordReader(params.data(), params.size()).u32(kTransferFeeParam);
}

TBankForm::TBankForm(std::function<void(const Bytes&)> send_to_home, int timeout_ms)
    : send_to_home_(std::move(send_to_home)),
      recipient_(DigitBox(this)),
      amount_(DigitBox(this)),
      fee_rate_(new QLabel(this)),
      status_(new QLabel(this)),
      give_(new QPushButton(QStringLiteral("赠送"), this)),
      close_(new QPushButton(QStringLiteral("关闭"), this)) {
  setObjectName(QStringLiteral("TBankForm"));
  setAttribute(Qt::WA_DeleteOnClose);
  setWindowFlag(Qt::Window);
  setWindowTitle(ReplaceBrandNames(QStringLiteral("$MONEY赠送")));
  setMinimumWidth(320);

  auto* layout = new QVBoxLayout(this);
  auto* fields = new QGridLayout;
  fields->addWidget(new QLabel(QStringLiteral("赠送用户号码："), this), 0, 0);
  fields->addWidget(recipient_, 0, 1);
  fields->addWidget(new QLabel(ReplaceBrandNames(QStringLiteral("赠送$MONEY金额：")), this), 1, 0);
  fields->addWidget(amount_, 1, 1);
  layout->addLayout(fields);
  layout->addWidget(fee_rate_);
  layout->addWidget(status_);
  auto* buttons = new QHBoxLayout;
  buttons->addStretch();
  buttons->addWidget(give_);
  buttons->addWidget(close_);
  layout->addLayout(buttons);
  ShowFeeRate();

  timeout_.setSingleShot(true);
  timeout_.setInterval(timeout_ms);
  connect(&timeout_, &QTimer::timeout, this, &TBankForm::TimedOut);
  connect(give_, &QPushButton::clicked, this, &TBankForm::Give);
  connect(close_, &QPushButton::clicked, this, &QWidget::close);
}

void TBankForm::showEvent(QShowEvent* event) {
  ShowFeeRate();
  QWidget::showEvent(event);
}

void TBankForm::ShowFeeRate() {
  fee_rate_->setText(ReplaceBrandNames(QStringLiteral("当日赠送$MONEY所需手续费率为：")) +
                     QString::number(TransferFeeRate()) + QStringLiteral("%"));
}

void TBankForm::Give() {
  if (Locked() || !GlobalManager) return;
  const TMe& me = *GlobalManager->Me;
  const std::uint32_t recipient = ReadCode(recipient_);
  if (recipient == 0) {
    GlobalManager->ShowMessage(QStringLiteral("请输入正确的用户号码。"));
    return;
  }
  if (recipient == me.UserCode()) {
    GlobalManager->ShowMessage(QStringLiteral("不能给自己赠送") + Money() + QStringLiteral("。"));
    return;
  }
  const std::uint32_t amount = ReadCode(amount_);
  if (amount == 0) {
    GlobalManager->ShowMessage(QStringLiteral("请输入正确的") + Money() + QStringLiteral("数量。"));
    return;
  }
  ShowFeeRate();
  const std::uint64_t fee = TransferFee(amount, TransferFeeRate());
  if (amount + fee > me.GetMoney()) {
    GlobalManager->ShowMessage(Money() + QStringLiteral("余额不足。"));
    return;
  }
  if (confirm_) confirm_->close();
  confirm_ = new TConfirmPayForm(QStringLiteral("确定赠送给用户") + QString::number(recipient) + Money() +
                                     QString::number(amount) + QStringLiteral("个？您还需要支付") +
                                     QString::number(fee) + QStringLiteral("个") + Money() +
                                     QStringLiteral("作为赠送手续费用。"),
                                 this);
  connect(confirm_, &TConfirmPayForm::Confirmed, this,
          [this, recipient, amount](const QString& pay_password) { Send(recipient, amount, pay_password); });
  confirm_->show();
}

void TBankForm::Send(std::uint32_t recipient, std::uint32_t amount, const QString& pay_password) {
  if (Locked() || !GlobalManager) return;
  status_->setText(QStringLiteral("正在处理用户请求..."));
  give_->setEnabled(false);
  timeout_.start();
  const TMe& me = *GlobalManager->Me;
  send_to_home_(BuildTransfer(recipient, me.UserCode(), amount, me.password.str(), pay_password.toStdString(),
                              NBGetFirstMac()));
}

void TBankForm::DealTransferResult() { Unlock(); }

void TBankForm::Unlock() {
  timeout_.stop();
  status_->clear();
  give_->setEnabled(true);
}

void TBankForm::TimedOut() {
  Unlock();
  if (!GlobalManager) return;
  GlobalManager->ShowMessage(QStringLiteral("连接服务器超时。"));
  send_to_home_(BuildOwnProfileRequest(GlobalManager->Me->UserCode()));
}

}  // namespace kiv
