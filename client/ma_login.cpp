#include "ma_login.h"

#include <QApplication>
#include <QCloseEvent>
#include <QKeyEvent>
#include <QMouseEvent>
#include <QGridLayout>
#include <QHBoxLayout>
#include <QLabel>
#include <QRegularExpressionValidator>
#include <QVBoxLayout>

#include "base/text_checks.h"
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
  layout->setContentsMargins(0, 0, 0, 10);
  layout->setSpacing(6);
  auto* banner = new QLabel(this);
  banner->setObjectName(QStringLiteral("LoginImage"));
  banner->setAlignment(Qt::AlignCenter);
  if (GlobalManager) {
    if (const QImage* picture = GlobalManager->GetGraphic(QStringLiteral("LoginImage")))
      banner->setPixmap(QPixmap::fromImage(*picture));
  }
  layout->addWidget(banner);

  auto* grid = new QGridLayout;
  grid->setContentsMargins(16, 4, 12, 0);
  grid->setHorizontalSpacing(6);
  grid->setVerticalSpacing(6);
  user_code_ = new QComboBox(this);
  user_code_->setObjectName(QStringLiteral("UserCodeBox"));
  user_code_->setEditable(true);
  user_code_->setInsertPolicy(QComboBox::NoInsert);
  // The key filter refuses typed letters; the validator refuses pasted ones.
  user_code_->lineEdit()->setValidator(
      new QRegularExpressionValidator(QRegularExpression(QStringLiteral("[0-9]{0,10}")), user_code_));
  user_code_->lineEdit()->installEventFilter(this);
  password_ = new QLineEdit(this);
  password_->setObjectName(QStringLiteral("PasswordBox"));
  password_->setEchoMode(QLineEdit::Password);
  password_->setMaxLength(kMaxPasswordLength);
  remember_ = new QCheckBox(QStringLiteral("记住密码"), this);
  remember_->setObjectName(QStringLiteral("RememberBox"));
  invisible_ = new QCheckBox(QStringLiteral("隐身登录"), this);
  invisible_->setObjectName(QStringLiteral("InvisibleBox"));
  const auto glyph_button = [this](const char* name, const char* graphic, const QString& hint) {
    auto* button = new QPushButton(this);
    button->setObjectName(QLatin1String(name));
    button->setToolTip(hint);
    button->setFlat(true);
    button->setFocusPolicy(Qt::NoFocus);
    button->setFixedSize(22, 22);
    const QImage* picture = GlobalManager ? GlobalManager->GetGraphic(QLatin1String(graphic)) : nullptr;
    if (picture && !picture->isNull()) {
      button->setIcon(QIcon(QPixmap::fromImage(*picture)));
      button->setIconSize(picture->size().boundedTo(QSize(20, 20)));
    } else {
      button->setText(hint.left(1));
    }
    return button;
  };
  clear_user_ = glyph_button("ClearUserButton", "ClearUser", QStringLiteral("删除用户登陆信息"));
  soft_keyboard_button_ = glyph_button("SoftKeyBoardButton", "SoftKeyBoard", QStringLiteral("软键盘"));
  const auto link_button = [this](const char* name, const QString& text) {
    auto* button = new QPushButton(text, this);
    button->setObjectName(QLatin1String(name));
    button->setFlat(true);
    button->setFocusPolicy(Qt::NoFocus);
    button->setCursor(Qt::PointingHandCursor);
    return button;
  };
  auto* register_button = link_button("RegisterButton", QStringLiteral("申请账号"));
  auto* forgot_button = link_button("ForgotPasswordButton", QStringLiteral("忘了密码？"));
  grid->addWidget(new QLabel(QStringLiteral("用户号码："), this), 0, 0);
  grid->addWidget(user_code_, 0, 1);
  grid->addWidget(clear_user_, 0, 2);
  grid->addWidget(register_button, 0, 3);
  grid->addWidget(new QLabel(QStringLiteral("用户密码："), this), 1, 0);
  grid->addWidget(password_, 1, 1);
  grid->addWidget(soft_keyboard_button_, 1, 2);
  grid->addWidget(forgot_button, 1, 3);
  grid->setColumnStretch(1, 1);
  auto* boxes = new QHBoxLayout;
  boxes->addWidget(remember_);
  boxes->addSpacing(12);
  boxes->addWidget(invisible_);
  boxes->addStretch(1);
  grid->addLayout(boxes, 2, 1, 1, 3);
  layout->addLayout(grid);
  layout->addStretch(1);

  auto* buttons = new QHBoxLayout;
  buttons->setContentsMargins(16, 0, 12, 0);
  buttons->setSpacing(6);
  net_setup_ = new QPushButton(QStringLiteral("设置"), this);
  net_setup_->setObjectName(QStringLiteral("NetSetupButton"));
  guest_ = new QPushButton(QStringLiteral("游客登录"), this);
  guest_->setObjectName(QStringLiteral("GuestButton"));
  login_ = new QPushButton(QStringLiteral("登录"), this);
  login_->setObjectName(QStringLiteral("LoginButton"));
  login_->setDefault(true);
  auto* quit = new QPushButton(QStringLiteral("退出"), this);
  quit->setObjectName(QStringLiteral("ExitButton"));
  buttons->addWidget(net_setup_);
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
  connect(net_setup_, &QPushButton::clicked, this, &TLoginForm::NetSetupRequested);
  connect(clear_user_, &QPushButton::clicked, this, [this] {
    if (const std::uint32_t code = ListedUserCode()) emit ClearUserRequested(code);
  });
  connect(soft_keyboard_button_, &QPushButton::clicked, this, &TLoginForm::ShowSoftKeyboard);
  connect(quit, &QPushButton::clicked, this, [this] {
    if (main_login_) {
      emit ExitRequested();
    } else {
      close();
    }
  });
  connect(user_code_, &QComboBox::activated, this, &TLoginForm::OnUserChosen);

  // Four caption buttons share the bottom row and the links sit in a narrow column: both are
  // narrower than the skin's caption buttons.
  setStyleSheet(QStringLiteral("QPushButton { min-width: 44px; padding: 3px 8px; }"
                               "QPushButton:flat { min-width: 0px; padding: 0px 2px; }"));
  user_code_->setMinimumWidth(130);
  password_->setMinimumWidth(130);
  if (GlobalManager) GlobalManager->UpdateFormSkin(this);
  CentreOnDesktop(this);
}

void TLoginForm::ShowSoftKeyboard() {
  if (!soft_keyboard_) soft_keyboard_ = new TSoftKeyboard(this, password_);
  soft_keyboard_->FollowOwner();
  soft_keyboard_->show();
}

std::uint32_t TLoginForm::ListedUserCode() const {
  bool ok = false;
  const qulonglong code = UserCodeText().toULongLong(&ok);
  if (!ok || code == 0 || code > 0xFFFFFFFFull) return 0;
  for (int i = 0; i < user_code_->count(); ++i) {
    if (user_code_->itemText(i) == QString::number(code)) return static_cast<std::uint32_t>(code);
  }
  return 0;
}

void TLoginForm::RemoveUser(std::uint32_t code) {
  const int index = user_code_->findText(QString::number(code));
  if (index >= 0) user_code_->removeItem(index);
  ClearEntries();
}

void TLoginForm::ClearEntries() {
  user_code_->setEditText(QString());
  password_->clear();
  remember_->setChecked(false);
}

void TLoginForm::mouseDoubleClickEvent(QMouseEvent* event) {
  QWidget::mouseDoubleClickEvent(event);
  if (++double_clicks_ >= 5) emit DiagnosticsRequested();
}

bool TLoginForm::eventFilter(QObject* watched, QEvent* event) {
  if (watched == user_code_->lineEdit() && event->type() == QEvent::KeyPress) {
    const auto* key = static_cast<QKeyEvent*>(event);
    // The keys as characters: Ctrl+C 3, Backspace 8, Ctrl+V 22, Ctrl+X 24; keys without a
    // character (arrows, Delete, Home ...) move and edit freely.
    char typed = 0;
    if (key->modifiers() & Qt::ControlModifier) {
      if (key->key() == Qt::Key_C) typed = 3;
      else if (key->key() == Qt::Key_V) typed = 22;
      else if (key->key() == Qt::Key_X) typed = 24;
      else if (key->key() >= Qt::Key_A && key->key() <= Qt::Key_Z) typed = 1;
    } else if (key->key() == Qt::Key_Backspace) {
      typed = 8;
    } else if (!key->text().isEmpty() && key->text().at(0).isPrint()) {
      const QChar c = key->text().at(0);
      typed = c.unicode() < 0x80 ? static_cast<char>(c.unicode()) : 1;
    }
    if (typed != 0 && !CheckInputisNum(typed)) {
      QApplication::beep();
      return true;
    }
  }
  return QWidget::eventFilter(watched, event);
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
  if (soft_keyboard_) soft_keyboard_->close();
  if (main_login_) emit ExitRequested();
}

}  // namespace kiv
