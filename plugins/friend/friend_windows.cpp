#include "friend_windows.h"

#include <QHBoxLayout>
#include <QInputDialog>
#include <QMenu>
#include <QVBoxLayout>

#include "declare/friend_wire.h"
#include "friend_manager.h"
#include "manager/global_manager.h"

namespace kiv::friends {

namespace {
QString Q(const std::string& utf8) { return QString::fromStdString(utf8); }

QPushButton* Button(const QString& text, const char* name, QWidget* parent) {
  auto* b = new QPushButton(text, parent);
  b->setObjectName(QLatin1String(name));
  return b;
}
}  // namespace

// ---- friend panel --------------------------------------------------------------------------------

TFriendPanel::TFriendPanel(TManager& manager, QWidget* parent) : QWidget(parent), manager_(manager) {
  setObjectName(QStringLiteral("FriendPanel"));
  auto* layout = new QVBoxLayout(this);
  layout->setContentsMargins(0, 0, 0, 0);
  list_ = new QTreeWidget(this);
  list_->setObjectName(QStringLiteral("FriendList"));
  list_->setHeaderHidden(true);
  list_->setContextMenuPolicy(Qt::CustomContextMenu);
  layout->addWidget(list_);
  connect(list_, &QTreeWidget::customContextMenuRequested, this, &TFriendPanel::ShowMenu);
  connect(list_, &QTreeWidget::itemDoubleClicked, this, [this](QTreeWidgetItem* item) {
    if (std::uint32_t code = item->data(0, kUserCodeRole).toUInt()) manager_.StartChat(code);
  });
  connect(list_, &QTreeWidget::itemExpanded, this, [](QTreeWidgetItem* item) {
    for (const auto& g : GlobalManager->FriendGroupList)
      if (g->id == item->data(0, kGroupIdRole).toUInt()) g->expanded = 1;
  });
  connect(list_, &QTreeWidget::itemCollapsed, this, [](QTreeWidgetItem* item) {
    for (const auto& g : GlobalManager->FriendGroupList)
      if (g->id == item->data(0, kGroupIdRole).toUInt()) g->expanded = 0;
  });

  // The menus' actions, also reachable by name.
  auto action = [this](const QString& text, const char* name, auto slot) {
    auto* a = new QAction(text, this);
    a->setObjectName(QLatin1String(name));
    connect(a, &QAction::triggered, this, slot);
    addAction(a);
    return a;
  };
  action(QStringLiteral("发送消息"), "ChatAction", [this] {
    if (auto c = SelectedFriend()) manager_.StartChat(c);
  });
  action(QStringLiteral("查看资料"), "ProfileAction", [this] {
    if (auto c = SelectedFriend()) manager_.ShowUserInfo(c);
  });
  action(QStringLiteral("删除好友"), "DeleteFriendAction", [this] {
    if (auto c = SelectedFriend()) manager_.DeleteFriendQuery(c);
  });
  action(QStringLiteral("添加组"), "AddGroupAction", [this] { manager_.AddNewFriendGroup(); });
  action(QStringLiteral("修改组名"), "RenameGroupAction", [this] {
    if (auto g = SelectedGroup()) manager_.ModifyFriendGroup(g);
  });
  action(QStringLiteral("删除组"), "DeleteGroupAction", [this] {
    if (auto g = SelectedGroup()) manager_.DeleteFriendGroup(g);
  });
  action(QStringLiteral("查找好友"), "SearchAction", [this] { manager_.CreateSearchFrom(0); });
  action(QStringLiteral("更新好友名单"), "RefreshAction", [this] { manager_.SendFriendListQuest(); });
  // "将好友移动到": the target group is the action's data, set before it is triggered.
  auto* move = action(QStringLiteral("将好友移动到"), "MoveFriendAction", [] {});
  disconnect(move, &QAction::triggered, this, nullptr);
  connect(move, &QAction::triggered, this, [this, move] {
    if (auto c = SelectedFriend()) manager_.MoveFriend(c, move->data().toUInt());
  });
}

std::uint32_t TFriendPanel::SelectedFriend() const {
  QTreeWidgetItem* item = list_->currentItem();
  return item ? item->data(0, kUserCodeRole).toUInt() : 0;
}

std::uint32_t TFriendPanel::SelectedGroup() const {
  QTreeWidgetItem* item = list_->currentItem();
  if (!item) return 0;
  if (item->parent()) item = item->parent();
  return item->data(0, kGroupIdRole).toUInt();
}

void TFriendPanel::ShowMenu(const QPoint& at) {
  QMenu menu(this);
  auto named = [this](const char* name) { return findChild<QAction*>(QLatin1String(name)); };
  if (std::uint32_t code = SelectedFriend()) {
    menu.addAction(named("ChatAction"));
    menu.addAction(named("ProfileAction"));
    QMenu* move = menu.addMenu(QStringLiteral("将好友移动到"));
    const TFriend* person = GlobalManager->GetFriendInfo(code);
    for (const auto& g : GlobalManager->FriendGroupList) {
      if (person && g->id == person->group_id) continue;
      QAction* a = move->addAction(Q(g->name.str()));
      const std::uint32_t id = g->id;
      connect(a, &QAction::triggered, this, [this, code, id] { manager_.MoveFriend(code, id); });
    }
    menu.addAction(named("DeleteFriendAction"));
  } else {
    menu.addAction(named("AddGroupAction"));
    menu.addAction(named("RenameGroupAction"));
    menu.addAction(named("DeleteGroupAction"));
  }
  menu.addSeparator();
  menu.addAction(named("SearchAction"));
  menu.addAction(named("RefreshAction"));
  menu.exec(list_->viewport()->mapToGlobal(at));
}

void TFriendPanel::Draw() {
  const std::uint32_t selected = SelectedFriend();
  list_->setUpdatesEnabled(false);
  list_->clear();
  const bool only_online = GlobalManager->SetupInfo.OnlyShowOnline != 0;
  const int face = GlobalManager->SetupInfo.SmallFace ? 24 : 32;
  list_->setIconSize(QSize(face, face));
  for (const auto& g : GlobalManager->FriendGroupList) {
    int online = 0;
    for (const auto& m : g->members) online += m->state == kStateOnline ? 1 : 0;
    auto* group = new QTreeWidgetItem(list_);
    group->setText(
        0, Q(g->name.str() + "[" + std::to_string(online) + "/" + std::to_string(g->members.size()) + "]"));
    group->setData(0, kGroupIdRole, g->id);
    if (g->members.empty()) new QTreeWidgetItem(group, QStringList{QStringLiteral("请将用户拖至此处")});
    for (int pass = 0; pass < 2; ++pass) {
      for (const auto& m : g->members) {
        const bool is_online = m->state == kStateOnline;
        if ((pass == 0) != is_online || (pass == 1 && only_online)) continue;
        auto* row = new QTreeWidgetItem(group);
        row->setText(0, Q(m->nickname.str()));
        row->setData(0, kUserCodeRole, m->UserCode());
        std::string hint = m->nickname.str() + "[" + std::to_string(m->UserCode()) + "]";
        if (!m->signature.empty()) hint += "(" + m->signature.str() + ")";
        row->setToolTip(0, Q(hint));
        QImage photo = GlobalManager->GetFriendPhoto(*m);
        if (!photo.isNull()) row->setIcon(0, QIcon(QPixmap::fromImage(photo.scaled(face, face))));
        if (m->UserCode() == selected) list_->setCurrentItem(row);
      }
    }
    group->setExpanded(g->expanded != 0);
  }
  list_->setUpdatesEnabled(true);
}

// ---- search window -------------------------------------------------------------------------------

TSearchForm::TSearchForm(TManager& manager) : manager_(manager) {
  setObjectName(QStringLiteral("FriendSearchForm"));
  setWindowTitle(QStringLiteral("查找好友"));
  setAttribute(Qt::WA_DeleteOnClose);
  auto* layout = new QVBoxLayout(this);
  auto field = [&](const char* name, const QString& placeholder) {
    auto* e = new QLineEdit(this);
    e->setObjectName(QLatin1String(name));
    e->setPlaceholderText(placeholder);
    layout->addWidget(e);
    return e;
  };
  code_ = field("CodeEdit", QStringLiteral("用户号码"));
  nickname_ = field("NicknameEdit", QStringLiteral("昵称"));
  city_ = field("CityEdit", QStringLiteral("城市"));
  camera_only_ = new QCheckBox(QStringLiteral("有摄像头"), this);
  camera_only_->setObjectName(QStringLiteral("CameraBox"));
  online_only_ = new QCheckBox(QStringLiteral("在线用户"), this);
  online_only_->setObjectName(QStringLiteral("OnlineBox"));
  sex_ = new QComboBox(this);
  sex_->setObjectName(QStringLiteral("SexBox"));
  sex_->addItems({QStringLiteral("不限"), QStringLiteral("男"), QStringLiteral("女")});
  for (QWidget* w : std::initializer_list<QWidget*>{camera_only_, online_only_, sex_}) layout->addWidget(w);
  search_ = Button(QStringLiteral("查找"), "SearchButton", this);
  layout->addWidget(search_);
  results_ = new QTreeWidget(this);
  results_->setObjectName(QStringLiteral("SearchResults"));
  results_->setHeaderLabels({QStringLiteral("号码"), QStringLiteral("昵称"), QStringLiteral("在线")});
  layout->addWidget(results_);
  auto* row = new QHBoxLayout;
  previous_ = Button(QStringLiteral("上一页"), "PreviousButton", this);
  next_ = Button(QStringLiteral("下一页"), "NextButton", this);
  page_ = new QLabel(this);
  page_->setObjectName(QStringLiteral("PageLabel"));
  online_ = new QLabel(this);
  online_->setObjectName(QStringLiteral("OnlineLabel"));
  for (QWidget* w : std::initializer_list<QWidget*>{previous_, page_, next_, online_}) row->addWidget(w);
  layout->addLayout(row);
  verification_ = field("VerifyEdit", QStringLiteral("验证信息"));
  add_ = Button(QStringLiteral("加为好友"), "AddButton", this);
  layout->addWidget(add_);
  previous_->hide();
  next_->hide();

  connect(search_, &QPushButton::clicked, this, [this] {
    TSearchQuery q;
    q.code = code_->text().trimmed().toUInt();
    q.nickname = nickname_->text().trimmed().toStdString();
    q.city = city_->text().trimmed().toStdString();
    q.camera_only = camera_only_->isChecked();
    q.online_only = online_only_->isChecked();
    q.sex = static_cast<std::uint8_t>(sex_->currentIndex());
    manager_.SearchUser(q);
  });
  connect(previous_, &QPushButton::clicked, this, [this] { manager_.ShowPage(manager_.CurrentPage() - 1); });
  connect(next_, &QPushButton::clicked, this, [this] { manager_.ShowPage(manager_.CurrentPage() + 1); });
  connect(add_, &QPushButton::clicked, this, [this] {
    QTreeWidgetItem* item = results_->currentItem();
    if (!item) return;
    const std::size_t i = static_cast<std::size_t>(results_->indexOfTopLevelItem(item));
    if (i < rows_.size()) manager_.AddNewFriend(rows_[i], verification_->text().toStdString());
  });
  GlobalManager->UpdateFormSkin(this);
}

void TSearchForm::Clear() {
  results_->clear();
  rows_.clear();
  previous_->hide();
  next_->hide();
  page_->setText(QStringLiteral("第1页"));
}

void TSearchForm::SetQuery(const TSearchQuery& query) {
  online_only_->setChecked(query.online_only);
  code_->setText(query.code ? QString::number(query.code) : QString());
  nickname_->setText(Q(query.nickname));
  city_->setText(Q(query.city));
}

void TSearchForm::Lock() { search_->setEnabled(false); }

void TSearchForm::ShowResults(const std::vector<TSearchHit>& rows, int page, bool previous, bool next,
                              std::int64_t online_users) {
  rows_ = rows;
  results_->clear();
  for (const TSearchHit& hit : rows) {
    auto* item = new QTreeWidgetItem(results_);
    item->setText(0, QString::number(hit.code));
    item->setText(1, Q(hit.nickname));
    item->setText(2, hit.online == 1 ? QStringLiteral("在线") : QStringLiteral("离线"));
  }
  search_->setEnabled(true);
  previous_->setVisible(previous && page > 1);
  next_->setVisible(next);
  page_->setText(QStringLiteral("第%1页").arg(page));
  if (online_users >= 0) online_->setText(QStringLiteral("当前在线人数:%1").arg(online_users));
}

// ---- profile window ------------------------------------------------------------------------------

TUserInfoForm::TUserInfoForm(std::uint32_t code) {
  setObjectName(QStringLiteral("UserInfoForm_%1").arg(code));
  setWindowTitle(QStringLiteral("用户资料"));
  setAttribute(Qt::WA_DeleteOnClose);
  auto* layout = new QVBoxLayout(this);
  text_ = new QLabel(this);
  text_->setObjectName(QStringLiteral("ProfileText"));
  layout->addWidget(text_);
  auto* close = Button(QStringLiteral("关闭"), "CloseButton", this);
  layout->addWidget(close);
  connect(close, &QPushButton::clicked, this, &QWidget::close);
  GlobalManager->UpdateFormSkin(this);
}

void TUserInfoForm::Fill(const TUser& u) {
  std::string label;
  u.GetUserType(label);
  QStringList lines{
      QStringLiteral("号码: %1").arg(u.UserCode()),
      QStringLiteral("昵称: ") + Q(u.nickname.str()),
      QStringLiteral("性别: ") + (u.sex == 1 ? QStringLiteral("男") : QStringLiteral("女")),
      QStringLiteral("年龄: %1").arg(u.age),
      QStringLiteral("省份: ") + Q(u.province.str()),
      QStringLiteral("城市: ") + Q(u.city.str()),
      QStringLiteral("电子邮件: ") + Q(u.email.str()),
      QStringLiteral("电话: ") + Q(u.telephone.str()),
      QStringLiteral("地址: ") + Q(u.address.str()),
      QStringLiteral("职业: ") + Q(u.occupation.str()),
      QStringLiteral("类型: ") + Q(label),
      QStringLiteral("介绍: ") + Q(u.introduction.str()),
  };
  text_->setText(lines.join(QLatin1Char('\n')));
}

// ---- friend-request notice -----------------------------------------------------------------------

TAddFriendNotice::TAddFriendNotice(const QString& text) {
  setObjectName(QStringLiteral("AddFriendNotice"));
  setWindowTitle(QStringLiteral("好友请求"));
  setAttribute(Qt::WA_DeleteOnClose);
  auto* layout = new QVBoxLayout(this);
  auto* label = new QLabel(text, this);
  label->setObjectName(QStringLiteral("NoticeText"));
  label->setWordWrap(true);
  layout->addWidget(label);
  auto* row = new QHBoxLayout;
  auto* agree = Button(QStringLiteral("同意"), "AgreeButton", this);
  auto* refuse = Button(QStringLiteral("拒绝"), "RefuseButton", this);
  row->addWidget(agree);
  row->addWidget(refuse);
  layout->addLayout(row);
  connect(agree, &QPushButton::clicked, this, [this] {
    emit Answered(true, {});
    close();
  });
  connect(refuse, &QPushButton::clicked, this, [this] {
    QInputDialog dialog(this);
    dialog.setObjectName(QStringLiteral("RefuseReasonDialog"));
    dialog.setWindowTitle(QStringLiteral("拒绝原因"));
    dialog.setLabelText(QStringLiteral("请输入拒绝原因。"));
    if (dialog.exec() != QDialog::Accepted) return;
    emit Answered(false, dialog.textValue());
    close();
  });
  GlobalManager->UpdateFormSkin(this);
}

// ---- invitation window ---------------------------------------------------------------------------

TInviteForm::TInviteForm(std::uint32_t room) {
  setObjectName(QStringLiteral("InviteForm"));
  setWindowTitle(QStringLiteral("邀请好友进入聊天室%1").arg(room));
  setAttribute(Qt::WA_DeleteOnClose);
  auto* layout = new QVBoxLayout(this);
  friends_ = new QListWidget(this);
  friends_->setObjectName(QStringLiteral("InviteList"));
  layout->addWidget(friends_);
  auto* invite = Button(QStringLiteral("邀请"), "InviteButton", this);
  layout->addWidget(invite);
  connect(invite, &QPushButton::clicked, this, [this] {
    for (int i = 0; i < friends_->count(); ++i)
      if (friends_->item(i)->checkState() == Qt::Checked)
        emit Invite(friends_->item(i)->data(kUserCodeRole).toUInt());
    close();
  });
  GlobalManager->UpdateFormSkin(this);
}

void TInviteForm::AddFriend(std::uint32_t code, const QString& nickname) {
  auto* item = new QListWidgetItem(nickname, friends_);
  item->setData(kUserCodeRole, code);
  item->setFlags(item->flags() | Qt::ItemIsUserCheckable);
  item->setCheckState(Qt::Unchecked);
}

}  // namespace kiv::friends
