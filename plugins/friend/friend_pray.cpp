#include "friend_pray.h"

#include <QHBoxLayout>
#include <QHeaderView>
#include <QLabel>
#include <QPointer>
#include <QPushButton>
#include <QVBoxLayout>

#include "manager/global_manager.h"

namespace kiv::friends {

namespace {
constexpr int kCodeRole = Qt::UserRole + 2;
QString Q(const std::string& utf8) { return QString::fromStdString(utf8); }
QPointer<TPrayFriendForm> open_form;
}  // namespace

TPrayFriendForm::TPrayFriendForm(std::uint32_t room) : room_(room) {
  setObjectName(QStringLiteral("PrayFriendForm"));
  setWindowTitle(QStringLiteral("邀请好友"));
  setWindowFlag(Qt::WindowContextHelpButtonHint, false);
  resize(300, 400);
  auto* layout = new QVBoxLayout(this);
  auto* room_label = new QLabel(QStringLiteral("邀请好友进入聊天室：%1").arg(room), this);
  room_label->setObjectName(QStringLiteral("RoomLabel"));
  layout->addWidget(room_label);
  tree_ = new QTreeWidget(this);
  tree_->setObjectName(QStringLiteral("PrayFriendTree"));
  tree_->setHeaderLabel(QStringLiteral("好友列表"));
  tree_->setSelectionMode(QAbstractItemView::ExtendedSelection);
  tree_->setTextElideMode(Qt::ElideMiddle);  // the code at the end stays readable
  layout->addWidget(tree_, 1);
  auto* buttons = new QHBoxLayout;
  auto* ok = new QPushButton(QStringLiteral("确定"), this);
  ok->setObjectName(QStringLiteral("OkButton"));
  ok->setDefault(true);
  auto* close = new QPushButton(QStringLiteral("关闭"), this);
  close->setObjectName(QStringLiteral("CloseButton"));
  buttons->addStretch(1);
  buttons->addWidget(ok);
  buttons->addWidget(close);
  layout->addLayout(buttons);
  connect(ok, &QPushButton::clicked, this, [this] { Confirm(tree_->selectedItems()); });
  connect(tree_, &QTreeWidget::itemDoubleClicked, this, [this](QTreeWidgetItem* item) { Confirm({item}); });
  connect(close, &QPushButton::clicked, this, &QDialog::reject);
  Fill();
  GlobalManager->UpdateFormSkin(this);
}

void TPrayFriendForm::Fill() {
  tree_->clear();
  const int face = 16;
  for (const auto& g : GlobalManager->FriendGroupList) {
    auto* group = new QTreeWidgetItem(tree_, QStringList{Q(g->name.str())});
    group->setFlags(Qt::ItemIsEnabled);  // a group node is not a choice
    for (const auto& m : g->members) {
      if (m->state != kStateOnline) continue;
      auto* row = new QTreeWidgetItem(group, QStringList{Q(m->nickname.str()) +
                                                         QStringLiteral("[%1]").arg(m->UserCode())});
      row->setData(0, kCodeRole, m->UserCode());
      if (m->face < GlobalManager->FaceList16.size())
        row->setIcon(0, QIcon(QPixmap::fromImage(GlobalManager->FaceList16[m->face])));
    }
    group->setExpanded(true);
  }
  tree_->setIconSize(QSize(face, face));
}

void TPrayFriendForm::Confirm(const QList<QTreeWidgetItem*>& items) {
  chosen_.clear();
  for (QTreeWidgetItem* item : items)
    if (std::uint32_t code = item->data(0, kCodeRole).toUInt()) chosen_.push_back(code);
  if (chosen_.empty()) return;  // a group node: nothing happens
  accept();
}

std::vector<std::uint32_t> TPrayFriendForm::Choose(std::uint32_t room) {
  if (open_form) {
    open_form->raise();
    open_form->activateWindow();
    return {};
  }
  TPrayFriendForm form(room);
  open_form = &form;
  const bool chosen = form.exec() == QDialog::Accepted;
  return chosen ? form.chosen_ : std::vector<std::uint32_t>{};
}

}  // namespace kiv::friends
