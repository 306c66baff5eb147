#include "controls/soft_keyboard.h"

#include <QEvent>
#include <QGridLayout>
#include <QLabel>
#include <QRandomGenerator>
#include <QVBoxLayout>

namespace kiv {

namespace {

// Lower and upper character of each key, in table order.
constexpr const char* kPairs[kSoftKeyCount] = {
    "`~", "\\|", "[{", "]}", ";:", "'\"", ",<", ".>", "/?", "-_", "=+", "1!", "2@", "3#", "4$", "5%",
    "6^", "7&", "8*", "9(", "0)", "aA", "bB", "cC", "dD", "eE", "fF", "gG", "hH", "iI", "jJ", "kK",
    "lL", "mM", "nN", "oO", "pP", "qQ", "rR", "sS", "tT", "uU", "vV", "wW", "xX", "yY", "zZ"};

constexpr int kColumns = 12;
constexpr int kKeySize = 26;
constexpr int kOwnerGap = 10;

}  // namespace

std::pair<QChar, QChar> SoftKeyPair(int index) {
  const char* pair = kPairs[((index % kSoftKeyCount) + kSoftKeyCount) % kSoftKeyCount];
  return {QLatin1Char(pair[0]), QLatin1Char(pair[1])};
}

TSoftKeyboard::TSoftKeyboard(QWidget* owner, QLineEdit* target, int rotation)
    : QWidget(nullptr, Qt::Tool | Qt::WindowStaysOnTopHint), owner_(owner), target_(target) {
  setObjectName(QStringLiteral("SoftKeyBoardForm"));
  setWindowTitle(QStringLiteral("软键盘"));
  setAttribute(Qt::WA_DeleteOnClose);
  setAttribute(Qt::WA_ShowWithoutActivating);
  rotation_ = rotation >= 1 && rotation < kSoftKeyCount
                  ? rotation
                  : static_cast<int>(QRandomGenerator::global()->bounded(1, kSoftKeyCount));

  auto* layout = new QVBoxLayout(this);
  layout->setContentsMargins(8, 6, 8, 8);
  layout->setSpacing(6);
  auto* hint = new QLabel(QStringLiteral("为了保护您的账号安全,建议使用软键盘输入密码进行登陆."), this);
  hint->setObjectName(QStringLiteral("SoftKeyBoardHint"));
  layout->addWidget(hint);
  auto* grid = new QGridLayout;
  grid->setSpacing(2);
  for (int number = 1; number <= kSoftKeyCount + 1; ++number) {
    auto* key = new QPushButton(this);
    key->setObjectName(QStringLiteral("button%1").arg(number));
    key->setFixedSize(kKeySize, kKeySize);
    key->setFocusPolicy(Qt::NoFocus);
    key->setAutoDefault(false);
    grid->addWidget(key, (number - 1) / kColumns, (number - 1) % kColumns);
    keys_[static_cast<std::size_t>(number - 1)] = key;
    connect(key, &QPushButton::clicked, this, [this, number] { Type(number); });
  }
  layout->addLayout(grid);
  // The skin's buttons are wide caption buttons; the keys keep their small square.
  setStyleSheet(QStringLiteral("QPushButton { min-width: %1px; max-width: %1px; min-height: %1px; "
                               "max-height: %1px; padding: 0px; }")
                    .arg(kKeySize));
  Relabel();
  setFixedSize(sizeHint());

  if (owner_) owner_->installEventFilter(this);
  follow_.setInterval(10);
  connect(&follow_, &QTimer::timeout, this, &TSoftKeyboard::FollowOwner);
  follow_.start();
  FollowOwner();
}

void TSoftKeyboard::Relabel() {
  keys_[kSoftKeyCount]->setText(upper_ ? QStringLiteral("小") : QStringLiteral("大"));
  keys_[kSoftKeyCount]->setToolTip(keys_[kSoftKeyCount]->text());
  for (int number = 1; number <= kSoftKeyCount; ++number) {
    const auto [lower, upper] = SoftKeyPair(number - 1 + rotation_);
    QPushButton* key = keys_[static_cast<std::size_t>(number - 1)];
    // '&' would become a shortcut marker in a button caption.
    const QChar shown = upper_ ? upper : lower;
    key->setText(shown == QLatin1Char('&') ? QStringLiteral("&&") : QString(shown));
    key->setToolTip(QString(shown));
  }
}

void TSoftKeyboard::Type(int number) {
  if (number == kSoftKeyCount + 1) {
    upper_ = !upper_;
    Relabel();
    return;
  }
  if (!target_) return;
  const auto [lower, upper] = SoftKeyPair(number - 1 + rotation_);
  // setText keeps to the box's length limit.
  target_->setText(target_->text() + (upper_ ? upper : lower));
}

void TSoftKeyboard::FollowOwner() {
  if (!owner_) {
    close();
    return;
  }
  if (owner_->isMinimized()) {
    hide();
    return;
  }
  if (!owner_->isVisible()) return;
  const QRect frame = owner_->frameGeometry();
  move(frame.right() + 1 + kOwnerGap, frame.top());
  // The keyboard has a fixed size: of the owner's states only "minimised" carries over.
  if (isHidden()) show();
}

bool TSoftKeyboard::eventFilter(QObject* watched, QEvent* event) {
  // A spontaneous hide is the owner being minimised, which the timer follows.
  if (watched == owner_ && !event->spontaneous() &&
      (event->type() == QEvent::Hide || event->type() == QEvent::Close)) {
    follow_.stop();
    close();
  }
  return QWidget::eventFilter(watched, event);
}

}  // namespace kiv
