#include "friend_message.h"

#include <QHBoxLayout>
#include <QInputDialog>
#include <QLineEdit>
#include <QStyle>
#include <QVBoxLayout>

#include "controls/gbk_limit.h"
#include "declare/friend_wire.h"
#include "friend_manager.h"
#include "manager/global_manager.h"

namespace kiv::friends {

namespace {
constexpr int kNoticeWidth = 360;
constexpr std::size_t kReasonBytes = 255;  // the text field of the answer

QPushButton* Button(const QString& text, const char* name, QWidget* parent) {
  auto* b = new QPushButton(text, parent);
  b->setObjectName(QLatin1String(name));
  return b;
}
}  // namespace

TAddFriendForm::TAddFriendForm(TManager& manager, std::uint8_t kind, std::uint32_t code,
                               const std::string& nickname, const WireAddress& server)
    : manager_(manager), kind_(kind), code_(code), nickname_(nickname), server_(server) {
  setObjectName(QStringLiteral("AddFriendForm"));
  setWindowTitle(QStringLiteral("好友添加通知"));
  setAttribute(Qt::WA_DeleteOnClose);
  setFixedWidth(kNoticeWidth);

  auto* layout = new QVBoxLayout(this);
  auto* body = new QHBoxLayout;
  auto* icon = new QLabel(this);
  icon->setPixmap(style()->standardIcon(QStyle::SP_MessageBoxInformation).pixmap(32, 32));
  icon->setAlignment(Qt::AlignTop);
  body->addWidget(icon);
  text_ = new QLabel(this);
  text_->setObjectName(QStringLiteral("NoticeText"));
  text_->setWordWrap(true);
  text_->setMinimumHeight(48);
  text_->setAlignment(Qt::AlignLeft | Qt::AlignTop);
  text_->setTextInteractionFlags(Qt::TextSelectableByMouse);
  body->addWidget(text_, 1);
  layout->addLayout(body, 1);

  auto* buttons = new QHBoxLayout;
  profile_ = Button(QStringLiteral("查看资料"), "ProfileButton", this);
  agree_ = Button(QStringLiteral("同意"), "AgreeButton", this);
  refuse_ = Button(QStringLiteral("拒绝"), "RefuseButton", this);
  confirm_ = Button(QStringLiteral("确认"), "ConfirmButton", this);
  buttons->addWidget(profile_);
  buttons->addStretch(1);
  buttons->addWidget(agree_);
  buttons->addWidget(refuse_);
  buttons->addWidget(confirm_);
  layout->addLayout(buttons);

  connect(agree_, &QPushButton::clicked, this, [this] {
    manager_.AnswerFriendRequest(code_, nickname_, server_, true, {});
    close();
  });
  connect(refuse_, &QPushButton::clicked, this, [this] { Refuse(); });
  connect(confirm_, &QPushButton::clicked, this, &QWidget::close);
  connect(profile_, &QPushButton::clicked, this, [this] { manager_.ShowUserInfo(code_); });
  GlobalManager->UpdateFormSkin(this);
}

void TAddFriendForm::ShowAddFriendMessage(const QString& text) {
  text_->setText(text);
  const bool request = kind_ == friend_wire::add::kRequest;
  agree_->setVisible(request);
  refuse_->setVisible(request);
  confirm_->setVisible(!request);
  (request ? agree_ : confirm_)->setDefault(true);
  adjustSize();
  show();
  raise();
  activateWindow();
}

void TAddFriendForm::showEvent(QShowEvent* event) {
  QWidget::showEvent(event);
  if (shown_once_) return;
  shown_once_ = true;
  setWindowTitle(QStringLiteral("添加好友通知"));
  GlobalManager->PlaySound(GlobalManager->SoundFile(kSoundSystemMessage));
}

void TAddFriendForm::Refuse() {
  QInputDialog dialog(this);
  dialog.setObjectName(QStringLiteral("RefuseReasonDialog"));
  dialog.setWindowTitle(QStringLiteral("拒绝原因"));
  dialog.setLabelText(QStringLiteral("请输入拒绝原因。"));
  dialog.setInputMode(QInputDialog::TextInput);
  if (auto* edit = dialog.findChild<QLineEdit*>()) LimitGbkLength(edit, kReasonBytes);
  GlobalManager->UpdateFormSkin(&dialog);
  if (dialog.exec() != QDialog::Accepted) return;  // the notice stays open
  manager_.AnswerFriendRequest(code_, nickname_, server_, false, dialog.textValue().toStdString());
  close();
}

TAddFriendForm* ShowAddFriendMessage(TManager& manager, std::uint8_t kind, const QString& text, std::uint32_t code,
                                     const std::string& nickname, const WireAddress& server) {
  auto* form = new TAddFriendForm(manager, kind, code, nickname, server);
  form->ShowAddFriendMessage(text);
  return form;
}

}  // namespace kiv::friends
