#include "ma_login.h"

#include <QCloseEvent>
#include <QGridLayout>
#include <QHBoxLayout>
#include <QLabel>
#include <QRegularExpressionValidator>
#include <QVBoxLayout>

#include "base/wire.h"
#include "declare/declare.h"
#include "manager/global_manager.h"
#include "manager/message_forms.h"

namespace kiv {

namespace {

// Offsets inside one record of the local user list.
constexpr std::size_t kRecordPassword = 39;
constexpr std::size_t kRecordRemember = 80;
constexpr std::size_t kRecordInvisible = 81;

RecordReader ReadRecord(const QByteArray& record) {
  return RecordReader(record.constData(), static_cast<std::size_t>(record.size()));
}

}  // namespace

TLoginForm::TLoginForm(int timeout_ms) {
  setObjectName(QStringLiteral("LoginForm"));
  setWindowTitle(QStringLiteral("登录$APP娱乐"));
  setFixedSize(330, 250);

  auto* layout = new QVBoxLayout(this);
  layout->setContentsMargins(0, 0, 0, 8);
  auto* banner = new QLabel(this);
  banner->setObjectName(QStringLiteral("LoginImage"));
  banner->setAlignment(Qt::AlignCenter);
  if (GlobalManager) {
    if (const QImage* picture = GlobalManager->GetGraphic(QStringLiteral("LoginImage")))
      banner->setPixmap(QPixmap::fromImage(*picture));
  }
  layout->addWidget(banner);

  auto* grid = new QGridLayout;
  grid->setContentsMargins(20, 4, 20, 4);
  user_code_ = new QComboBox(this);
  user_code_->setObjectName(QStringLiteral("UserCodeBox"));
  user_code_->setEditable(true);
  user_code_->setInsertPolicy(QComboBox::NoInsert);
  user_code_->lineEdit()->setValidator(
      new QRegularExpressionValidator(QRegularExpression(QStringLiteral("[0-9]{0,10}")), user_code_));
  password_ = new QLineEdit(this);
  password_->setObjectName(QStringLiteral("PasswordBox"));
  password_->setEchoMode(QLineEdit::Password);
  password_->setMaxLength(kMaxPasswordLength);
  remember_ = new QCheckBox(QStringLiteral("记住密码"), this);
  remember_->setObjectName(QStringLiteral("RememberBox"));
  invisible_ = new QCheckBox(QStringLiteral("隐身登录"), this);
  invisible_->setObjectName(QStringLiteral("InvisibleBox"));
  auto* register_button = new QPushButton(QStringLiteral("申请账号"), this);
  register_button->setObjectName(QStringLiteral("RegisterButton"));
  register_button->setFlat(true);
  grid->addWidget(new QLabel(QStringLiteral("用户号码："), this), 0, 0);
  grid->addWidget(user_code_, 0, 1);
  grid->addWidget(register_button, 0, 2);
  grid->addWidget(new QLabel(QStringLiteral("用户密码："), this), 1, 0);
  grid->addWidget(password_, 1, 1);
  auto* forgot_button = new QPushButton(QStringLiteral("忘了密码？"), this);
  forgot_button->setObjectName(QStringLiteral("ForgotPasswordButton"));
  forgot_button->setFlat(true);
  grid->addWidget(forgot_button, 1, 2);
  auto* boxes = new QHBoxLayout;
  boxes->addWidget(remember_);
  boxes->addWidget(invisible_);
  boxes->addStretch(1);
  grid->addLayout(boxes, 2, 1, 1, 2);
  layout->addLayout(grid);
  layout->addStretch(1);

  auto* buttons = new QHBoxLayout;
  buttons->setContentsMargins(20, 0, 20, 0);
  guest_ = new QPushButton(QStringLiteral("游客登录"), this);
  guest_->setObjectName(QStringLiteral("GuestButton"));
  login_ = new QPushButton(QStringLiteral("登录"), this);
  login_->setObjectName(QStringLiteral("LoginButton"));
  login_->setDefault(true);
  auto* quit = new QPushButton(QStringLiteral("退出"), this);
  quit->setObjectName(QStringLiteral("ExitButton"));
  buttons->addWidget(guest_);
  buttons->addStretch(1);
  buttons->addWidget(login_);
  buttons->addWidget(quit);
  layout->addLayout(buttons);

  timeout_.setSingleShot(true);
  timeout_.setInterval(timeout_ms);
  connect(&timeout_, &QTimer::timeout, this, &TLoginForm::TimedOut);
  connect(login_, &QPushButton::clicked, this, [this] { emit LoginRequested(false); });
  connect(guest_, &QPushButton::clicked, this, [this] { emit LoginRequested(true); });
  connect(password_, &QLineEdit::returnPressed, this, [this] { emit LoginRequested(false); });
  connect(user_code_->lineEdit(), &QLineEdit::returnPressed, this, [this] { emit LoginRequested(false); });
  connect(register_button, &QPushButton::clicked, this, &TLoginForm::RegisterRequested);
  connect(forgot_button, &QPushButton::clicked, this, &TLoginForm::ForgotPasswordRequested);
  connect(quit, &QPushButton::clicked, this, [this] {
    if (main_login_) {
      emit ExitRequested();
    } else {
      close();
    }
  });
  connect(user_code_, &QComboBox::activated, this, &TLoginForm::OnUserChosen);

  if (GlobalManager) GlobalManager->UpdateFormSkin(this);
  CentreOnDesktop(this);
}

QString TLoginForm::UserCodeText() const { return user_code_->currentText().trimmed(); }

QString TLoginForm::Password() const { return password_->text(); }

void TLoginForm::SetUsers(const std::vector<QByteArray>& records) {
  user_code_->clear();
  for (const QByteArray& record : records) {
    if (record.size() != static_cast<qsizetype>(kLoginRecordSize)) continue;
    user_code_->addItem(QString::number(ReadRecord(record).u32(0)), record);
  }
  if (user_code_->count() > 0) {
    user_code_->setCurrentIndex(0);
    FillFromRecord(user_code_->itemData(0).toByteArray());
  }
}

std::vector<QByteArray> TLoginForm::Users() const {
  std::vector<QByteArray> records;
  for (int i = 0; i < user_code_->count(); ++i) records.push_back(user_code_->itemData(i).toByteArray());
  return records;
}

void TLoginForm::OnUserChosen(int index) {
  if (index >= 0) FillFromRecord(user_code_->itemData(index).toByteArray());
}

void TLoginForm::FillFromRecord(const QByteArray& record) {
  const RecordReader r = ReadRecord(record);
  user_code_->setEditText(QString::number(r.u32(0)));
  password_->setText(QString::fromStdString(r.text(kRecordPassword, 40)).left(kMaxPasswordLength));
  remember_->setChecked(r.u8(kRecordRemember) != 0);
  invisible_->setChecked(r.u8(kRecordInvisible) != 0);
}

void TLoginForm::closeEvent(QCloseEvent* event) {
  QWidget::closeEvent(event);
  if (main_login_) emit ExitRequested();
}

}  // namespace kiv
