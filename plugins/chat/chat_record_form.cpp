#include "chat_record_form.h"

#include <QHBoxLayout>
#include <QVBoxLayout>

#include "chat_manager.h"
#include "manager/global_manager.h"

namespace kiv::chat {

namespace {

QPushButton* Button(const QString& text, const char* name, QWidget* parent) {
  auto* b = new QPushButton(text, parent);
  b->setObjectName(QLatin1String(name));
  return b;
}

}  // namespace

TRecordForm::TRecordForm(TManager& manager) : manager_(manager) {
  setObjectName(QStringLiteral("ChatRecordForm"));
  setAttribute(Qt::WA_DeleteOnClose);
  setWindowTitle(QStringLiteral("聊天记录"));
  resize(640, 460);
  tree_ = new QTreeWidget(this);
  tree_->setObjectName(QStringLiteral("RecordTree"));
  tree_->setHeaderHidden(true);
  tree_->setMaximumWidth(200);
  view_ = new QTextBrowser(this);
  view_->setObjectName(QStringLiteral("RecordView"));
  view_->setOpenLinks(false);
  page_label_ = new QLabel(this);
  page_label_->setObjectName(QStringLiteral("PageLabel"));
  first_ = Button(QStringLiteral("首页"), "FirstPageButton", this);
  previous_ = Button(QStringLiteral("上一页"), "PrevPageButton", this);
  next_ = Button(QStringLiteral("下一页"), "NextPageButton", this);
  last_ = Button(QStringLiteral("末页"), "LastPageButton", this);

  auto* pages = new QHBoxLayout;
  pages->addWidget(page_label_, 1);
  for (QPushButton* b : {first_, previous_, next_, last_}) pages->addWidget(b);
  auto* right = new QVBoxLayout;
  right->addWidget(view_, 1);
  right->addLayout(pages);
  auto* top = new QHBoxLayout(this);
  top->addWidget(tree_);
  top->addLayout(right, 1);

  connect(first_, &QPushButton::clicked, this, [this] { ShowPage(1); });
  connect(previous_, &QPushButton::clicked, this, [this] { ShowPage(page_ > 1 ? page_ - 1 : 1); });
  connect(next_, &QPushButton::clicked, this, [this] { ShowPage(page_ + 1); });
  connect(last_, &QPushButton::clicked, this, [this] { ShowPage(pages_); });
  connect(tree_, &QTreeWidget::currentItemChanged, this, [this](QTreeWidgetItem* item) {
    if (filling_ || !item) return;
    if (item->data(0, kSystemRole).toBool())
      Select(0);
    else if (const std::uint32_t code = item->data(0, kCodeRole).toUInt(); code != 0)
      Select(code);
  });
  ShowControls(nullptr);
}

void TRecordForm::FillTree() {
  filling_ = true;
  tree_->clear();
  for (const auto& group : GlobalManager->FriendGroupList) {
    auto* node = new QTreeWidgetItem(tree_, {QStringLiteral("%1(%2人)")
                                                 .arg(QString::fromStdString(group->name.str()))
                                                 .arg(group->members.size())});
    for (const auto& member : group->members) {
      auto* row = new QTreeWidgetItem(node, {QStringLiteral("%1[%2]")
                                                 .arg(QString::fromStdString(member->nickname.str()))
                                                 .arg(member->UserCode())});
      row->setData(0, kCodeRole, member->UserCode());
      row->setIcon(0, QIcon(QPixmap::fromImage(GlobalManager->GetFriendPhoto(*member))));
    }
    node->setExpanded(true);
  }
  auto* system = new QTreeWidgetItem(tree_, {QStringLiteral("系统消息")});
  system->setData(0, kSystemRole, true);
  filling_ = false;
}

QTreeWidgetItem* TRecordForm::ItemFor(std::uint32_t code, bool system) const {
  for (int i = 0; i < tree_->topLevelItemCount(); ++i) {
    QTreeWidgetItem* top = tree_->topLevelItem(i);
    if (system && top->data(0, kSystemRole).toBool()) return top;
    for (int j = 0; !system && j < top->childCount(); ++j)
      if (top->child(j)->data(0, kCodeRole).toUInt() == code) return top->child(j);
  }
  return nullptr;
}

void TRecordForm::Select(std::uint32_t code) {
  selected_ = code;
  filling_ = true;
  if (QTreeWidgetItem* item = ItemFor(code, code == 0)) tree_->setCurrentItem(item);
  filling_ = false;
  page_ = 1;
  pages_ = 1;
  ShowPage(static_cast<std::size_t>(-1));  // the last page
}

void TRecordForm::ShowPage(std::size_t page) {
  if (!selected_) return;
  std::optional<TRecordPage> shown = *selected_ == 0 ? manager_.LoadSystemMsg(page, view_)
                                                     : manager_.LoadChatRecord(page, *selected_, view_, false);
  file_ = shown ? shown->file : std::filesystem::path();
  ShowControls(shown ? &*shown : nullptr);
}

void TRecordForm::ShowControls(const TRecordPage* page) {
  page_ = page ? page->page : 1;
  pages_ = page ? page->pages : 1;
  page_label_->setText(page ? QStringLiteral("第%1of%2页").arg(page_).arg(pages_) : QString());
  first_->setVisible(page && page_ > 1);
  previous_->setVisible(page && page_ > 1);
  next_->setVisible(page && pages_ != page_ && pages_ != 1);
  last_->setVisible(page && pages_ != page_ && pages_ != 1);
}

}  // namespace kiv::chat
