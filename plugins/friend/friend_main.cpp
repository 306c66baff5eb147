#include "friend_main.h"

#include <QContextMenuEvent>
#include <QCursor>
#include <QDrag>
#include <QMimeData>
#include <QScrollBar>
#include <QVBoxLayout>
#include <functional>

#include "declare/friend_wire.h"
#include "friend_manager.h"
#include "manager/global_manager.h"

namespace kiv::friends {

namespace {

constexpr int kClickDelayMs = 200;
constexpr int kBigRow = 34, kSmallRow = 26;
constexpr int kBigFace = 32, kSmallFace = 24;
constexpr int kFlagSize = 16;

QString Q(const std::string& utf8) { return QString::fromStdString(utf8); }

QPixmap Graphic(const char* name) {
  const QImage* picture = GlobalManager->GetGraphic(QLatin1String(name));
  return picture ? QPixmap::fromImage(*picture) : QPixmap();
}

QAction* NamedAction(QMenu* menu, const QString& text, const char* name) {
  QAction* action = menu->addAction(text);
  action->setObjectName(QLatin1String(name));
  return action;
}

}  // namespace

TFriendForm::TFriendForm(TManager& manager, QWidget* parent)
    : QWidget(parent),
      manager_(manager),
      bar_(new TKivFrameBar(this)),
      general_menu_(new QMenu(this)),
      friend_menu_(new QMenu(this)),
      move_menu_(new QMenu(QStringLiteral("将好友移动到"), friend_menu_)) {
  setObjectName(QStringLiteral("FriendPanel"));
  auto* layout = new QVBoxLayout(this);
  layout->setContentsMargins(0, 0, 0, 0);
  bar_->setObjectName(QStringLiteral("FriendBar"));
  bar_->RowHeight = GlobalManager->SetupInfo.SmallFace ? kSmallRow : kBigRow;
  layout->addWidget(bar_);
  Watch(bar_->viewport());
  // The panel fills the plug-in area.
  if (parent && parent->layout()) parent->layout()->addWidget(this);

  click_timer_.setObjectName(QStringLiteral("ClickTimer"));
  click_timer_.setSingleShot(true);
  click_timer_.setInterval(kClickDelayMs);
  connect(&click_timer_, &QTimer::timeout, this, [this] {
    click_timer_.stop();
    if (!selected_friend_ || !GlobalManager->GetFriendInfo(selected_friend_)) return;
    PrepareFriendMenu();
    friend_menu_->popup(QCursor::pos());
  });
  BuildMenus();
}

void TFriendForm::BuildMenus() {
  general_menu_->setObjectName(QStringLiteral("FriendGeneralMenu"));
  friend_menu_->setObjectName(QStringLiteral("FriendMenu"));
  move_menu_->setObjectName(QStringLiteral("MoveFriendMenu"));

  QMenu* g = general_menu_;
  connect(NamedAction(g, QStringLiteral("搜索用户"), "SearchAction"), &QAction::triggered, this,
          [this] { manager_.CreateSearchFrom(0); });
  g->addSeparator();
  connect(NamedAction(g, QStringLiteral("新建用户组"), "AddGroupAction"), &QAction::triggered, this,
          [this] { manager_.AddNewFriendGroup(); });
  rename_group_ = NamedAction(g, QStringLiteral("重命名用户组"), "RenameGroupAction");
  connect(rename_group_, &QAction::triggered, this, [this] {
    if (pressed_group_ > friend_wire::kBlockGroup) manager_.ModifyFriendGroup(pressed_group_);
  });
  delete_group_ = NamedAction(g, QStringLiteral("删除用户组"), "DeleteGroupAction");
  connect(delete_group_, &QAction::triggered, this, [this] {
    if (pressed_group_ > friend_wire::kBlockGroup) manager_.DeleteFriendGroup(pressed_group_);
  });
  g->addSeparator();
  face_size_ = NamedAction(g, QStringLiteral("显示小头像"), "FaceSizeAction");
  connect(face_size_, &QAction::triggered, this, [this] { manager_.SetShowFaceSize(); });
  connect(NamedAction(g, QStringLiteral("更新好友名单"), "RefreshAction"), &QAction::triggered, this,
          [this] { manager_.SendFriendListQuest(); });
  online_only_ = NamedAction(g, QStringLiteral("只显示在线好友"), "OnlineOnlyAction");
  connect(online_only_, &QAction::triggered, this, [this] { manager_.SetShowOnlineFriend(); });
  custom_photo_ = NamedAction(g, QStringLiteral("显示自定义头像"), "CustomPhotoAction");
  connect(custom_photo_, &QAction::triggered, this, [this] { manager_.SetShowCustomPhoto(); });

  QMenu* f = friend_menu_;
  // Each item acts on the friend selected when it is chosen.
  auto friend_action = [this, f](const QString& text, const char* name, std::function<void(std::uint32_t)> operation) {
    QAction* action = NamedAction(f, text, name);
    connect(action, &QAction::triggered, this, [this, operation = std::move(operation)] {
      if (selected_friend_) operation(selected_friend_);
    });
    return action;
  };
  friend_action(QStringLiteral("发送消息"), "ChatAction", [this](std::uint32_t c) { manager_.StartChat(c); });
  friend_action(QStringLiteral("音频聊天"), "AudioAction", [this](std::uint32_t c) { manager_.StartAudio(c); });
  friend_action(QStringLiteral("视频聊天"), "VideoAction", [this](std::uint32_t c) { manager_.StartVideo(c); });
  friend_action(QStringLiteral("传送文件"), "FileAction", [this](std::uint32_t c) { manager_.StartFile(c); });
  f->addSeparator();
  friend_action(QStringLiteral("查看资料"), "ProfileAction", [this](std::uint32_t c) { manager_.ShowUserInfo(c); });
  friend_action(QStringLiteral("聊天记录"), "ChatRecordAction", [this](std::uint32_t c) { manager_.ShowChatRecord(c); });
  delete_friend_ = friend_action(QStringLiteral("删除此好友"), "DeleteFriendAction",
                                 [this](std::uint32_t c) { manager_.DeleteFriendQuery(c); });
  f->addMenu(move_menu_)->setObjectName(QStringLiteral("MoveFriendAction"));
  connect(move_menu_, &QMenu::triggered, this, [this](QAction* action) {
    if (selected_friend_) manager_.MoveFriend(selected_friend_, action->data().toUInt());
  });
}

void TFriendForm::PrepareGeneralMenu() {
  const TSetupInfo& setup = GlobalManager->SetupInfo;
  online_only_->setText(setup.OnlyShowOnline ? QStringLiteral("显示全部好友") : QStringLiteral("只显示在线好友"));
  face_size_->setText(setup.SmallFace ? QStringLiteral("显示大头像") : QStringLiteral("显示小头像"));
  custom_photo_->setText(setup.ShowCustomPhotos ? QStringLiteral("不显示自定义头像")
                                                : QStringLiteral("显示自定义头像"));
  const bool own_group = pressed_group_ > friend_wire::kBlockGroup;
  rename_group_->setVisible(own_group);
  delete_group_->setVisible(own_group);
}

void TFriendForm::PrepareFriendMenu() {
  move_menu_->clear();
  const TFriend* person = GlobalManager->GetFriendInfo(selected_friend_);
  for (const auto& g : GlobalManager->FriendGroupList) {
    if (person && g->id == person->group_id) continue;
    QAction* action = move_menu_->addAction(Q(g->name.str()));
    action->setData(g->id);
  }
  delete_friend_->setVisible(!person || person->group_id != 2);
}

void TFriendForm::FriendClicked(std::uint32_t code) {
  if (swallow_click_) {
    swallow_click_ = false;
    return;
  }
  selected_friend_ = code;
  pressed_group_ = 0;
  click_timer_.start();
}

void TFriendForm::FriendDoubleClicked(std::uint32_t code) {
  click_timer_.stop();
  swallow_click_ = true;
  selected_friend_ = code;
  pressed_group_ = 0;
  manager_.StartChat(code);
}

void TFriendForm::GroupPressed(std::uint32_t id) {
  pressed_group_ = id;
  selected_friend_ = 0;
}

void TFriendForm::Watch(QWidget* widget) {
  widget->setAcceptDrops(true);
  widget->installEventFilter(this);
}

std::uint32_t TFriendForm::DropGroup(QObject* target) {
  for (QObject* o = target; o; o = o->parent())
    if (auto* section = qobject_cast<TKivFrameBarItem*>(o)) return static_cast<std::uint32_t>(section->Tag());
  return 0;
}

bool TFriendForm::eventFilter(QObject* watched, QEvent* event) {
  switch (event->type()) {
    case QEvent::MouseButtonPress: {
      // A right press marks the row or caption too, so that the general menu acts on it.
      const auto* mouse = static_cast<QMouseEvent*>(event);
      if (mouse->button() != Qt::RightButton) break;
      if (auto* row = qobject_cast<TKivButton*>(watched); row && row->Tag > 0) {
        selected_friend_ = static_cast<std::uint32_t>(row->Tag);
        pressed_group_ = 0;
      } else if (watched->objectName() == QLatin1String("FriendGroupCaption")) {
        GroupPressed(DropGroup(watched));
      }
      break;
    }
    case QEvent::ContextMenu: {
      PrepareGeneralMenu();
      general_menu_->popup(static_cast<QContextMenuEvent*>(event)->globalPos());
      return true;
    }
    case QEvent::DragEnter:
    case QEvent::DragMove: {
      auto* drag = static_cast<QDragMoveEvent*>(event);
      if (!drag->mimeData()->hasFormat(QLatin1String(kFriendDragFormat)) || DropGroup(watched) == 0) break;
      drag->acceptProposedAction();
      return true;
    }
    case QEvent::Drop: {
      auto* drop = static_cast<QDropEvent*>(event);
      if (!drop->mimeData()->hasFormat(QLatin1String(kFriendDragFormat))) break;
      const std::uint32_t code = drop->mimeData()->data(QLatin1String(kFriendDragFormat)).toUInt();
      const std::uint32_t group = DropGroup(watched);
      drop->acceptProposedAction();
      // Only a different group sends the move; the list changes when the server confirms it.
      if (code && group) manager_.MoveFriend(code, group);
      return true;
    }
    default:
      break;
  }
  return QWidget::eventFilter(watched, event);
}

void TFriendForm::contextMenuEvent(QContextMenuEvent* event) {
  PrepareGeneralMenu();
  general_menu_->popup(event->globalPos());
}

void TFriendForm::StartDrag(TKivButton* row) {
  if (!row || row->Tag <= 0) return;
  click_timer_.stop();
  auto* mime = new QMimeData;
  mime->setData(QLatin1String(kFriendDragFormat), QByteArray::number(row->Tag));
  auto* drag = new QDrag(row);
  drag->setMimeData(mime);
  drag->setPixmap(row->grab().scaledToHeight(std::max(1, row->height() - 4)));
  drag->exec(Qt::MoveAction);  // the row may be gone afterwards
}

void TFriendForm::Draw() {
  const TSetupInfo& setup = GlobalManager->SetupInfo;
  const bool small = setup.SmallFace != 0;
  const bool only_online = setup.OnlyShowOnline != 0;
  const int face = small ? kSmallFace : kBigFace;
  const QPixmap open = Graphic("FriendGroupButton1"), closed = Graphic("FriendGroupButton2");
  const QPixmap camera = Graphic("FriendVideo");
  const int scroll = bar_->verticalScrollBar()->value();
  bar_->setUpdatesEnabled(false);
  bar_->ClearItem();
  bar_->RowHeight = small ? kSmallRow : kBigRow;
  for (const auto& g : GlobalManager->FriendGroupList) {
    int online = 0;
    for (const auto& m : g->members) online += m->state == kStateOnline ? 1 : 0;
    const QString caption = Q(g->name.str()) + QStringLiteral("[%1/%2]").arg(online).arg(g->members.size());
    TKivFrameBarItem* section = bar_->AddItem(caption, closed, static_cast<std::int32_t>(g->id));
    section->setObjectName(QStringLiteral("FriendGroup"));
    section->SetExpandedGlyph(open);
    section->SetClosedGlyph(closed);
    section->Caption()->setObjectName(QStringLiteral("FriendGroupCaption"));
    Watch(section);
    Watch(section->Caption());
    const std::uint32_t id = g->id;
    connect(section->Caption(), &QToolButton::clicked, this, [this, id, section] {
      GroupPressed(id);
      for (const auto& group : GlobalManager->FriendGroupList)
        if (group->id == id) group->expanded = section->Expanded() ? 1 : 0;
    });
    if (g->members.empty()) {
      TKivButton* placeholder = section->AddButton(QStringLiteral("请将用户拖至此处"), nullptr, 0, 0);
      placeholder->setObjectName(QStringLiteral("FriendPlaceholder"));
      placeholder->Draggable = false;
      Watch(placeholder);
    }
    for (int pass = 0; pass < 2; ++pass) {
      for (const auto& m : g->members) {
        const bool is_online = m->state == kStateOnline;
        if ((pass == 0) != is_online || (pass == 1 && only_online)) continue;
        const std::uint32_t code = m->UserCode();
        const std::string nick = m->nickname.str();
        QImage photo = GlobalManager->GetFriendPhoto(*m);
        if (!photo.isNull() && photo.size() != QSize(face, face))
          photo = photo.scaled(face, face, Qt::IgnoreAspectRatio, Qt::SmoothTransformation);
        const QPixmap picture = QPixmap::fromImage(photo);
        TKivButton* row = section->AddButton(Q(nick), photo.isNull() ? nullptr : &picture, 0,
                                             static_cast<std::int32_t>(code));
        row->setObjectName(QStringLiteral("FriendRow"));
        row->setIconSize(QSize(face, face));
        row->SetDetail(Q(m->signature.str()));
        std::string hint = nick + "[" + std::to_string(code) + "]";
        if (!m->signature.empty()) hint += "(" + m->signature.str() + ")";
        row->setToolTip(Q(hint));
        Watch(row);
        connect(row, &QToolButton::clicked, this, [this, code] { FriendClicked(code); });
        row->OnDoubleClick = [this, code](TKivButton*) { FriendDoubleClicked(code); };
        connect(row, &TKivButton::DragStarted, this, [this](TKivButton* b) { StartDrag(b); });
        if (is_online && m->camera) {
          TKivButton* flag = section->AddFlag(row, camera, kFlagSize, kFlagSize, (bar_->RowHeight - kFlagSize) / 2,
                                              -(kFlagSize + 6), static_cast<std::int32_t>(code));
          flag->setObjectName(QStringLiteral("FriendVideoFlag"));
          flag->setToolTip(Q("与" + nick + "进行视频聊天"));
          connect(flag, &QToolButton::clicked, this, [this, code] { manager_.StartVideo(code); });
          row->SetTextRightMargin(kFlagSize + 8);
        }
      }
    }
    section->SetExpanded(g->expanded != 0);
  }
  bar_->setUpdatesEnabled(true);
  bar_->verticalScrollBar()->setValue(scroll);
}

}  // namespace kiv::friends
