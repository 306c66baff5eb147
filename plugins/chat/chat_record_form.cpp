#include "chat_record_form.h"
#include "system/path_text.h"

#include <QApplication>
#include <QDesktopServices>
#include <QDir>
#include <QFileDialog>
#include <QHBoxLayout>
#include <QPointer>
#include <QShortcut>
#include <QStyle>
#include <QTextImageFormat>
#include <QVBoxLayout>
#include <system_error>

#include "base/files.h"
#include "chat_manager.h"
#include "emote/emote.h"
#include "manager/global_manager.h"
#include "rtf_writer.h"

namespace kiv::chat {

namespace {

constexpr int kTreeWidth = 200;
constexpr int kViewWidth = 520;

QPushButton* Button(const QString& text, const char* name, QWidget* parent) {
  auto* b = new QPushButton(text, parent);
  b->setObjectName(QLatin1String(name));
  b->setAutoDefault(false);
  return b;
}

QString Q(const std::string& utf8) { return QString::fromStdString(utf8); }

}  // namespace

QTextBlockFormat TChatRecordForm::HeadingBlockFormat() {
  QTextBlockFormat format;
  format.setTopMargin(6);
  return format;
}

QTextBlockFormat TChatRecordForm::BodyBlockFormat() {
  QTextBlockFormat format;
  format.setLeftMargin(12);
  return format;
}

TChatRecordForm::TChatRecordForm(TManager& manager) : manager_(manager) {
  setObjectName(QStringLiteral("ChatRecordForm"));
  setAttribute(Qt::WA_DeleteOnClose);
  setWindowFlag(Qt::Window);
  setWindowTitle(QStringLiteral("查看聊天记录"));

  tree_ = new QTreeWidget;
  tree_->setObjectName(QStringLiteral("RecordTree"));
  tree_->setHeaderHidden(true);
  tree_->setIconSize(QSize(16, 16));
  tree_->setMinimumWidth(120);
  view_ = new QTextBrowser;
  view_->setObjectName(QStringLiteral("RecordView"));
  view_->setOpenLinks(false);
  view_->setLineWrapMode(QTextEdit::WidgetWidth);
  view_->setMinimumWidth(240);
  // Every record of the selection is assembled here for an export; never shown.
  export_view_ = new QTextBrowser(this);
  export_view_->setObjectName(QStringLiteral("ExportView"));
  export_view_->hide();

  page_label_ = new QLabel(QStringLiteral("第1 of 100 页"));
  page_label_->setObjectName(QStringLiteral("PageLabel"));
  first_ = Button(QStringLiteral("首页"), "FirstPageButton", this);
  previous_ = Button(QStringLiteral("上一页"), "PrevPageButton", this);
  next_ = Button(QStringLiteral("下一页"), "NextPageButton", this);
  last_ = Button(QStringLiteral("末页"), "LastPageButton", this);
  export_ = Button(QStringLiteral("导出记录"), "ExportButton", this);
  delete_ = Button(QStringLiteral("删除记录"), "DeleteButton", this);
  auto* close = Button(QStringLiteral("关闭"), "CloseButton", this);

  auto* right = new QWidget;
  auto* pages = new QHBoxLayout;
  pages->addStretch(1);
  pages->addWidget(page_label_);
  for (QPushButton* b : {first_, previous_, next_, last_}) pages->addWidget(b);
  auto* right_column = new QVBoxLayout(right);
  right_column->setContentsMargins(0, 0, 0, 0);
  right_column->addWidget(view_, 1);
  right_column->addLayout(pages);

  splitter_ = new QSplitter(Qt::Horizontal);
  splitter_->setObjectName(QStringLiteral("RecordSplitter"));
  splitter_->setChildrenCollapsible(false);
  splitter_->addWidget(tree_);
  splitter_->addWidget(right);
  splitter_->setStretchFactor(0, 0);
  splitter_->setStretchFactor(1, 1);
  splitter_->setSizes({kTreeWidth, kViewWidth});

  auto* buttons = new QHBoxLayout;
  buttons->addStretch(1);
  buttons->addWidget(export_);
  buttons->addWidget(delete_);
  buttons->addWidget(close);
  auto* top = new QVBoxLayout(this);
  top->addWidget(splitter_, 1);
  top->addLayout(buttons);
  resize(kTreeWidth + kViewWidth + 40, 540);

  connect(first_, &QPushButton::clicked, this, [this] { ShowPage(1); });
  connect(previous_, &QPushButton::clicked, this, [this] { ShowPage(page_ > 1 ? page_ - 1 : 1); });
  connect(next_, &QPushButton::clicked, this, [this] { ShowPage(page_ + 1); });
  connect(last_, &QPushButton::clicked, this, [this] { ShowPage(pages_); });
  connect(export_, &QPushButton::clicked, this, &TChatRecordForm::ExportRecords);
  connect(delete_, &QPushButton::clicked, this, &TChatRecordForm::DeleteRecords);
  connect(close, &QPushButton::clicked, this, &QWidget::close);
  connect(new QShortcut(QKeySequence(Qt::Key_Escape), this), &QShortcut::activated, this, &QWidget::close);
  connect(view_, &QTextBrowser::anchorClicked, this, &TChatRecordForm::OpenLink);
  connect(tree_, &QTreeWidget::currentItemChanged, this, [this](QTreeWidgetItem* item) {
    if (!filling_) ItemClicked(item);
  });
  // Nothing loaded yet: the page controls hidden (the label keeps its first text), nothing to
  // export or delete.
  for (QWidget* w : std::initializer_list<QWidget*>{page_label_, first_, previous_, next_, last_}) w->hide();
  export_->setEnabled(false);
  delete_->setEnabled(false);
}

void TChatRecordForm::FillTree() {
  filling_ = true;
  tree_->clear();
  QFont group_font = tree_->font();
  group_font.setBold(true);
  for (const auto& group : GlobalManager->FriendGroupList) {
    auto* node = new QTreeWidgetItem(
        tree_, {QStringLiteral("%1(%2人)").arg(Q(group->name.str())).arg(group->members.size())});
    node->setFont(0, group_font);
    for (const auto& member : group->members) {
      auto* row = new QTreeWidgetItem(
          node, {QStringLiteral("%1[%2]").arg(Q(member->nickname.str())).arg(member->UserCode())});
      row->setData(0, kCodeRole, member->UserCode());
      if (member->face < GlobalManager->FaceList16.size())
        row->setIcon(0, QIcon(QPixmap::fromImage(GlobalManager->FaceList16[member->face])));
    }
    node->setExpanded(true);
  }
  auto* system = new QTreeWidgetItem(tree_, {QStringLiteral("系统消息")});
  system->setData(0, kSystemRole, true);
  system->setFont(0, group_font);
  system->setIcon(0, style()->standardIcon(QStyle::SP_MessageBoxInformation));
  filling_ = false;
  SelectItem(selected_);
}

QTreeWidgetItem* TChatRecordForm::ItemFor(std::uint32_t code, bool system) const {
  for (int i = 0; i < tree_->topLevelItemCount(); ++i) {
    QTreeWidgetItem* top = tree_->topLevelItem(i);
    if (system && top->data(0, kSystemRole).toBool()) return top;
    for (int j = 0; !system && j < top->childCount(); ++j)
      if (top->child(j)->data(0, kCodeRole).toUInt() == code) return top->child(j);
  }
  return nullptr;
}

void TChatRecordForm::SelectItem(std::optional<std::uint32_t> code) {
  filling_ = true;
  QTreeWidgetItem* item = code ? ItemFor(*code, *code == 0) : nullptr;
  tree_->setCurrentItem(item);
  if (item) tree_->scrollToItem(item);
  filling_ = false;
}

void TChatRecordForm::ItemClicked(QTreeWidgetItem* item) {
  if (!item) return;
  // A friend's node shows its records; any other node (a group heading, "系统消息") the system
  // messages. Either way page 1 first, which gives the page count, then the last page.
  selected_ = item->data(0, kCodeRole).toUInt();
  ShowPage(1);
  if (pages_ > 1) ShowPage(pages_);
}

void TChatRecordForm::Select(std::uint32_t code) {
  selected_ = code;
  SelectItem(code);
  ShowPage(1);
  if (pages_ > 1) ShowPage(pages_);
}

void TChatRecordForm::ShowPage(std::size_t page) {
  if (!selected_) return;
  const std::optional<TRecordPage> shown = *selected_ == 0
                                               ? manager_.LoadSystemMsg(page, view_, false)
                                               : manager_.LoadChatRecord(page, *selected_, view_, false);
  file_ = shown ? shown->file : std::filesystem::path();
  ShowControls(shown ? &*shown : nullptr);
}

void TChatRecordForm::ShowControls(const TRecordPage* page) {
  page_ = page ? page->page : 1;
  pages_ = page ? page->pages : 1;
  page_label_->setText(QStringLiteral("第%1of%2页").arg(page_).arg(pages_));
  page_label_->setVisible(pages_ > 1);
  first_->setVisible(page_ > 1);
  previous_->setVisible(page_ > 1);
  next_->setVisible(pages_ != page_ && pages_ != 1);
  last_->setVisible(pages_ != page_ && pages_ != 1);
  // Nothing to export or delete until a file was read.
  export_->setEnabled(page != nullptr);
  delete_->setEnabled(page != nullptr);
}

void TChatRecordForm::DeleteRecords() {
  if (!selected_ || file_.empty()) return;
  const QPointer<TChatRecordForm> self(this);
  const bool system = *selected_ == 0;
  const QString question =
      system ? QStringLiteral("你确定清空系统消息记录？") : QStringLiteral("你确定清空选中用户的聊天记录？");
  if (GlobalManager->ShowMessage(question, kMessageQuestion) != 1 || !self) return;
  std::error_code error;
  std::filesystem::remove(file_, error);
  if (error) {
    GlobalManager->ShowMessage(QStringLiteral("聊天记录删除失败：%1").arg(Q(error.message())));
    return;
  }
  view_->clear();
  file_.clear();
  ShowControls(nullptr);
}

QString TChatRecordForm::ChooseExportFile() {
  if (const QVariant chosen = property(kChosenFileProperty); chosen.isValid()) {
    setProperty(kChosenFileProperty, QVariant());
    return chosen.toString();
  }
  const QString rtf_filter = QStringLiteral("Word文档 (*.rtf)");
  const QString txt_filter = QStringLiteral("文本文件 (*.txt)");
  const QPointer<QFileDialog> dialog =
      new QFileDialog(this, QStringLiteral("保存聊天纪录"), QDir::homePath());
  dialog->setAcceptMode(QFileDialog::AcceptSave);
  dialog->setNameFilters({rtf_filter, txt_filter});
  dialog->setDefaultSuffix(QStringLiteral("rtf"));
  connect(dialog, &QFileDialog::filterSelected, dialog,
          [dialog = dialog.data(), txt_filter](const QString& f) {
            dialog->setDefaultSuffix(f == txt_filter ? QStringLiteral("txt") : QStringLiteral("rtf"));
          });
  const bool accepted = dialog->exec() == QDialog::Accepted;
  if (!dialog) return {};
  const QStringList files = dialog->selectedFiles();
  delete dialog.data();
  return accepted && !files.isEmpty() ? files.first() : QString();
}

void TChatRecordForm::ExportRecords() {
  if (!selected_ || file_.empty()) return;
  const QPointer<TChatRecordForm> self(this);
  const QString chosen = ChooseExportFile();
  if (!self || chosen.isEmpty()) return;
  const std::uint32_t code = *selected_;
  if (code == 0)
    manager_.LoadSystemMsg(1, export_view_, true);
  else
    manager_.LoadChatRecord(1, code, export_view_, true);
  const QTextDocument& document = *export_view_->document();
  const bool rtf = chosen.endsWith(QLatin1String(".rtf"), Qt::CaseInsensitive);
  const std::string bytes =
      rtf ? DocumentToRtf(document) : DocumentToText(document, kTextLineWidth, [](const QTextImageFormat& f) {
                                        return f.property(kEmoteNameProperty).toString();
                                      }).toStdString();
  export_view_->clear();
  std::string error;
  if (!WriteFileAtomic(PathOfText(chosen), bytes, &error)) {
    GlobalManager->ShowMessage(QStringLiteral("聊天记录导出失败：%1").arg(Q(error)));
    return;
  }
  GlobalManager->ShowMessage(QStringLiteral("聊天记录导出成功。"));
}

void TChatRecordForm::OpenLink(const QUrl& link) {
  // Records keep only http, https and ftp links; anything else is not opened.
  const QString scheme = link.scheme().toLower();
  if (scheme == QLatin1String("http") || scheme == QLatin1String("https") || scheme == QLatin1String("ftp"))
    QDesktopServices::openUrl(link);
}

}  // namespace kiv::chat
