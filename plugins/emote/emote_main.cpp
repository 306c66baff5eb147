#include "emote_main.h"
#include "system/path_text.h"

#include <QApplication>
#include <QCursor>
#include <QDropEvent>
#include <QFileDialog>
#include <QGridLayout>
#include <QHBoxLayout>
#include <QHeaderView>
#include <QImageReader>
#include <QKeyEvent>
#include <QLineEdit>
#include <QMovie>
#include <QPainter>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QScreen>
#include <QScrollArea>
#include <QTabWidget>
#include <QTextEdit>
#include <QTreeWidget>
#include <QVBoxLayout>
#include <functional>

#include "emote/emote.h"
#include "emote/graphic.h"
#include "manager/global_manager.h"

namespace kiv::emote {

namespace {

constexpr int kIndexRole = Qt::UserRole + 1;
constexpr int kPageWidth = kCellsPerRow * kCellStep + 1;
constexpr int kPageRows = 7;
constexpr int kPageHeight = kPageRows * kCellStep + 1;

const QString kMultipleFiles = QStringLiteral("多个文件");
const QString kNamedAfterFiles = QStringLiteral("以文件名命名");
const QString kKeysAfterFiles = QStringLiteral("以/+文件名命名");

// Shown in the management list for a picture that does not load.
QImage PlaceholderPicture() {
  QImage picture(kCellSize, kCellSize, QImage::Format_RGB888);
  picture.fill(QColor(0xEE, 0xEE, 0xEE));
  QPainter p(&picture);
  p.setPen(QColor(0x99, 0x99, 0x99));
  p.drawRect(0, 0, kCellSize - 1, kCellSize - 1);
  p.drawText(picture.rect(), Qt::AlignCenter, QStringLiteral("?"));
  return picture;
}

// The management list: rows dragged onto another row move before it.
class TManageList : public QTreeWidget {
 public:
  std::function<void(int from_row, int to_row)> on_drop;

  explicit TManageList(QWidget* parent) : QTreeWidget(parent) {
    setDragDropMode(QAbstractItemView::InternalMove);
    setSelectionMode(QAbstractItemView::SingleSelection);
    setRootIsDecorated(false);
    setIconSize(QSize(kCellSize, kCellSize));
  }

 protected:
  void dropEvent(QDropEvent* event) override {
    const int from = currentIndex().row();
    const QModelIndex target = indexAt(event->position().toPoint());
    event->setDropAction(Qt::IgnoreAction);
    event->accept();
    if (from >= 0 && target.isValid() && target.row() != from && on_drop) on_drop(from, target.row());
  }
};

}  // namespace

// --- cells ---

TEmoteCell::TEmoteCell(std::size_t index, QWidget* parent) : QLabel(parent), index_(index) {
  setFixedSize(kCellSize, kCellSize);
  setAlignment(Qt::AlignCenter);
  setCursor(Qt::PointingHandCursor);
}

TEmoteCell* TEmoteCell::Create(const QString& path, std::size_t index, QWidget* parent) {
  QImageReader reader(path);
  reader.setDecideFormatFromContent(true);
  const bool animated = reader.supportsAnimation() && reader.imageCount() != 1;
  const QImage still = reader.read();
  if (still.isNull()) return nullptr;
  auto* cell = new TEmoteCell(index, parent);
  const bool larger = still.width() > kCellSize || still.height() > kCellSize;
  if (animated) {
    cell->movie_ = new QMovie(path, QByteArray(), cell);
    cell->movie_->setCacheMode(QMovie::CacheAll);
    if (larger) cell->movie_->setScaledSize(QSize(kCellSize, kCellSize));
    cell->setMovie(cell->movie_);
    cell->movie_->jumpToFrame(0);
  } else {
    cell->setPixmap(QPixmap::fromImage(
        larger ? still.scaled(kCellSize, kCellSize, Qt::IgnoreAspectRatio, Qt::SmoothTransformation)
               : still));
  }
  return cell;
}

bool TEmoteCell::Playing() const { return movie_ && movie_->state() == QMovie::Running; }

void TEmoteCell::enterEvent(QEnterEvent* event) {
  // One cell plays at a time: the others of the page stop.
  if (parentWidget()) {
    for (TEmoteCell* other : parentWidget()->findChildren<TEmoteCell*>(Qt::FindDirectChildrenOnly)) {
      if (other != this) other->Stop();
    }
  }
  if (movie_) movie_->start();
  QLabel::enterEvent(event);
}

void TEmoteCell::leaveEvent(QEvent* event) {
  Stop();
  QLabel::leaveEvent(event);
}

void TEmoteCell::Stop() {
  if (!movie_ || movie_->state() == QMovie::NotRunning) return;
  movie_->stop();
  movie_->jumpToFrame(0);
}

// Taken here, so that the page behind does not read it as a click on its background.
void TEmoteCell::mousePressEvent(QMouseEvent* event) { event->accept(); }

void TEmoteCell::mouseReleaseEvent(QMouseEvent* event) {
  QLabel::mouseReleaseEvent(event);
  if (rect().contains(event->position().toPoint())) emit Chosen(index_);
}

// --- pages ---

TEmotePage::TEmotePage(QWidget* parent) : QWidget(parent) {
  setAutoFillBackground(true);
  QPalette palette = this->palette();
  palette.setColor(QPalette::Window, Qt::white);
  setPalette(palette);
  setMinimumSize(kPageWidth, kPageHeight);
}

std::vector<TEmoteCell*> TEmotePage::Cells() const {
  const QList<TEmoteCell*> list = findChildren<TEmoteCell*>(Qt::FindDirectChildrenOnly);
  return {list.begin(), list.end()};
}

void TEmotePage::paintEvent(QPaintEvent*) {
  QPainter p(this);
  p.setPen(QColor(0xDF, 0xE6, 0xEE));
  for (int x = 0; x <= kCellsPerRow * kCellStep; x += kCellStep) p.drawLine(x, 0, x, height());
  for (int y = 0; y <= height(); y += kCellStep) p.drawLine(0, y, kCellsPerRow * kCellStep, y);
}

void TEmotePage::mousePressEvent(QMouseEvent* event) {
  QWidget::mousePressEvent(event);
  emit BackgroundClicked();
}

// --- the picker ---

TKivEmoteForm::TKivEmoteForm(TEmoteModel& model, QWidget* parent)
    : QWidget(parent, Qt::Tool | Qt::FramelessWindowHint | Qt::WindowStaysOnTopHint), model_(model) {
  setObjectName(QStringLiteral("TKivEmoteForm"));
  setWindowTitle(QStringLiteral("表情"));
  auto* layout = new QVBoxLayout(this);
  layout->setContentsMargins(1, 1, 1, 1);
  tabs_ = new QTabWidget(this);
  tabs_->setDocumentMode(true);
  layout->addWidget(tabs_);
  const std::array<QString, kTabCount> captions = {QStringLiteral("图释1"), QStringLiteral("图释2"),
                                                   QStringLiteral("自定义1"), QStringLiteral("自定义2"),
                                                   QStringLiteral("管理")};
  for (int tab = kTabSet1; tab <= kTabCustom2; ++tab) {
    auto* scroll = new QScrollArea(tabs_);
    scroll->setFrameShape(QFrame::NoFrame);
    scroll->setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
    auto* page = new TEmotePage(scroll);
    scroll->setWidget(page);
    scroll->setWidgetResizable(true);
    pages_[static_cast<std::size_t>(tab)] = page;
    connect(page, &TEmotePage::BackgroundClicked, this, &QWidget::hide);
    tabs_->addTab(scroll, captions[static_cast<std::size_t>(tab)]);
  }
  auto* manage = new QWidget(tabs_);
  BuildManageTab(manage);
  tabs_->addTab(manage, captions[kTabManage]);
  connect(tabs_, &QTabWidget::currentChanged, this, [this](int tab) {
    if (tab >= kTabSet1 && tab <= kTabCustom2) {
      if (!arranging_tabs_) last_tab_ = tab;
      if (!drawn_[static_cast<std::size_t>(tab)]) DrawEmote(tab);
    } else if (tab == kTabManage) {
      ManageList();
    }
  });
  const int scroll_bar = qApp->style()->pixelMetric(QStyle::PM_ScrollBarExtent);
  setFixedSize(kPageWidth + scroll_bar + 4, kPageHeight + tabs_->tabBar()->sizeHint().height() + 8);
  DrawEmote(kTabSet1);
}

TKivEmoteForm::~TKivEmoteForm() = default;

void TKivEmoteForm::BuildManageTab(QWidget* page) {
  auto* layout = new QGridLayout(page);
  layout->setContentsMargins(3, 3, 3, 3);
  layout->setHorizontalSpacing(3);
  layout->setVerticalSpacing(2);
  auto* list = new TManageList(page);
  list->setHeaderLabels({QStringLiteral("图释"), QStringLiteral("名称"), QStringLiteral("快捷键")});
  list->header()->setSectionResizeMode(0, QHeaderView::Fixed);
  list->header()->resizeSection(0, 40);
  list->on_drop = [this](int from, int to) { OnRowDropped(from, to); };
  manage_list_ = list;
  connect(list, &QTreeWidget::itemSelectionChanged, this, &TKivEmoteForm::OnRowSelected);
  layout->addWidget(list, 0, 0, 1, 4);

  path_edit_ = new QLineEdit(page);
  path_edit_->setReadOnly(true);
  name_edit_ = new QLineEdit(page);
  hot_key_edit_ = new QLineEdit(page);
  for (QLineEdit* field : {path_edit_, name_edit_, hot_key_edit_}) field->setFixedHeight(22);
  auto* browse = new QPushButton(QStringLiteral("..."), page);
  browse->setFixedSize(28, 22);
  connect(browse, &QPushButton::clicked, this, &TKivEmoteForm::ChooseFiles);
  layout->addWidget(new QLabel(QStringLiteral("图释路径："), page), 1, 0);
  layout->addWidget(path_edit_, 1, 1, 1, 2);
  layout->addWidget(browse, 1, 3);
  layout->addWidget(new QLabel(QStringLiteral("输入图释名称："), page), 2, 0);
  layout->addWidget(name_edit_, 2, 1, 1, 3);
  layout->addWidget(new QLabel(QStringLiteral("输入图释快捷键："), page), 3, 0);
  layout->addWidget(hot_key_edit_, 3, 1, 1, 3);

  auto* row = new QHBoxLayout();
  preview_ = new QLabel(page);
  preview_->setFixedSize(kCellSize, kCellSize);
  preview_->setFrameShape(QFrame::Box);
  row->addWidget(preview_);
  row->addStretch();
  for (const auto& [caption, slot] : {std::pair{QStringLiteral("添加"), &TKivEmoteForm::OnAdd},
                                      std::pair{QStringLiteral("修改"), &TKivEmoteForm::OnModify},
                                      std::pair{QStringLiteral("删除"), &TKivEmoteForm::OnDelete}}) {
    auto* button = new QPushButton(caption, page);
    button->setObjectName(caption);
    button->setFixedHeight(24);
    connect(button, &QPushButton::clicked, this, slot);
    row->addWidget(button);
  }
  layout->addLayout(row, 4, 0, 1, 4);
  layout->setRowStretch(0, 1);
}

void TKivEmoteForm::DrawEmote(int tab) {
  if (tab < kTabSet1 || tab > kTabCustom2) return;
  TEmotePage* page = pages_[static_cast<std::size_t>(tab)];
  for (TEmoteCell* cell : page->Cells()) delete cell;
  std::vector<std::size_t> indexes;
  if (tab == kTabSet1 || tab == kTabSet2) {
    indexes = model_.IndexesOf(tab == kTabSet1 ? kEmoteSet1 : kEmoteSet2);
  } else {
    const std::vector<std::size_t> custom = model_.IndexesOf(kEmoteCustom);
    const std::size_t first = tab == kTabCustom1 ? 0 : std::min(custom.size(), kCustomPerTab);
    const std::size_t last = tab == kTabCustom1 ? std::min(custom.size(), kCustomPerTab) : custom.size();
    indexes.assign(custom.begin() + static_cast<std::ptrdiff_t>(first),
                   custom.begin() + static_cast<std::ptrdiff_t>(last));
  }
  int slot = 0;
  for (std::size_t index : indexes) {
    const TEmoteInfo& info = model_.Items()[index];
    TEmoteCell* cell = TEmoteCell::Create(TextOfPath(model_.PicturePath(info)), index, page);
    if (!cell) continue;  // a picture that does not load is left out
    cell->move(kCellOrigin + (slot % kCellsPerRow) * kCellStep,
               kCellOrigin + (slot / kCellsPerRow) * kCellStep);
    cell->setToolTip(QString::fromStdString(info.name.str() + " " + info.hot_key.str()));
    connect(cell, &TEmoteCell::Chosen, this, &TKivEmoteForm::OnEmoteClick);
    cell->show();
    ++slot;
  }
  const int rows = std::max(kPageRows, (slot + kCellsPerRow - 1) / kCellsPerRow);
  page->setMinimumSize(kPageWidth, rows * kCellStep + 1);
  page->update();
  drawn_[static_cast<std::size_t>(tab)] = true;
}

void TKivEmoteForm::DrawAll() {
  // Tabs are drawn when they are next shown; only what is on screen now is drawn at once.
  drawn_.fill(false);
  manage_list_filled_ = false;
  if (!isVisible()) return;
  const int current = tabs_->currentIndex();
  if (current >= kTabSet1 && current <= kTabCustom2) DrawEmote(current);
  if (current == kTabManage) FillManageList();
}

QTreeWidget* TKivEmoteForm::ManageList() {
  if (!manage_list_filled_) FillManageList();
  return manage_list_;
}

void TKivEmoteForm::FillManageList() {
  manage_list_filled_ = true;
  manage_list_->clear();
  static const QImage placeholder = PlaceholderPicture();
  for (std::size_t index : model_.IndexesOf(kEmoteCustom)) {
    const TEmoteInfo& info = model_.Items()[index];
    QImage picture(TextOfPath(model_.PicturePath(info)));
    if (picture.isNull()) {
      picture = placeholder;
    } else {
      ScalBmp(kCellSize, kCellSize, picture);
    }
    auto* item = new QTreeWidgetItem(manage_list_);
    item->setIcon(0, QIcon(QPixmap::fromImage(picture)));
    item->setText(1, QString::fromStdString(info.name.str()));
    item->setText(2, QString::fromStdString(info.hot_key.str()));
    item->setData(0, kIndexRole, static_cast<qulonglong>(index));
    item->setFlags(item->flags() & ~Qt::ItemIsDropEnabled);
  }
}

void TKivEmoteForm::ShowForRichText(QTextEdit* target, bool all_tabs) {
  rich_target_ = target;
  text_target_ = nullptr;
  ShowAtMouse(all_tabs);
}

void TKivEmoteForm::ShowForText(QWidget* target) {
  rich_target_ = nullptr;
  text_target_ = target;
  ShowAtMouse(true);
}

void TKivEmoteForm::ShowAtMouse(bool all_tabs) {
  const bool last_shown = all_tabs || last_tab_ == kTabSet1 || last_tab_ == kTabSet2;
  const int tab = last_shown ? last_tab_ : kTabSet1;
  arranging_tabs_ = true;
  for (int hidden : {kTabCustom1, kTabCustom2, kTabManage}) tabs_->setTabVisible(hidden, all_tabs);
  tabs_->setCurrentIndex(tab);
  arranging_tabs_ = false;
  if (!drawn_[static_cast<std::size_t>(tab)]) DrawEmote(tab);
  // At the mouse, moved inside the screen.
  const QPoint mouse = QCursor::pos();
  QScreen* screen = QGuiApplication::screenAt(mouse);
  if (!screen) screen = QGuiApplication::primaryScreen();
  QPoint at = mouse;
  if (screen) {
    const QRect area = screen->availableGeometry();
    at.setX(std::clamp(at.x(), area.left(), std::max(area.left(), area.right() - width() + 1)));
    at.setY(std::clamp(at.y(), area.top(), std::max(area.top(), area.bottom() - height() + 1)));
  }
  move(at);
  show();
  raise();
  activateWindow();
}

void TKivEmoteForm::OnEmoteClick(std::size_t index) {
  if (index >= model_.Items().size()) return;
  const TEmoteInfo& info = model_.Items()[index];
  const QString hot_key = QString::fromStdString(info.hot_key.str());
  if (rich_target_) {
    kiv::OnEmoteClick(rich_target_, info.IsCustom() ? QString() : hot_key,
                      TextOfPath(model_.PicturePath(info)));
    rich_target_->setFocus();
  } else if (text_target_) {
    if (auto* line = qobject_cast<QLineEdit*>(text_target_)) {
      line->setText(line->text() + hot_key);
    } else if (auto* plain = qobject_cast<QPlainTextEdit*>(text_target_)) {
      plain->moveCursor(QTextCursor::End);
      plain->insertPlainText(hot_key);
    } else if (auto* edit = qobject_cast<QTextEdit*>(text_target_)) {
      edit->moveCursor(QTextCursor::End);
      edit->insertPlainText(hot_key);
    }
    text_target_->setFocus();
  }
  hide();
}

void TKivEmoteForm::changeEvent(QEvent* event) {
  QWidget::changeEvent(event);
  if (event->type() == QEvent::ActivationChange && isVisible() && !isActiveWindow() && !dialog_open_ &&
      tabs_->currentIndex() != kTabManage) {
    hide();
  }
}

void TKivEmoteForm::hideEvent(QHideEvent* event) {
  rich_target_ = nullptr;
  text_target_ = nullptr;
  QWidget::hideEvent(event);
}

void TKivEmoteForm::keyPressEvent(QKeyEvent* event) {
  if (event->key() == Qt::Key_Escape) {
    hide();
    return;
  }
  QWidget::keyPressEvent(event);
}

// --- management ---

void TKivEmoteForm::ChooseFiles() {
  dialog_open_ = true;
  const QStringList files =
      QFileDialog::getOpenFileNames(this, QStringLiteral("选择图片文件"), QString(),
                                    QStringLiteral("图片文件 (*.gif *.jpg *.jpeg *.bmp *.png)"));
  dialog_open_ = false;
  if (files.isEmpty()) return;
  chosen_files_.clear();
  for (const QString& file : files) chosen_files_.push_back(PathOfText(file));
  if (chosen_files_.size() == 1) {
    ShowChosenPicture(chosen_files_.front());
  } else {
    path_edit_->setText(kMultipleFiles);
    name_edit_->setText(kNamedAfterFiles);
    hot_key_edit_->setText(kKeysAfterFiles);
    preview_->clear();
  }
}

void TKivEmoteForm::ShowChosenPicture(const std::filesystem::path& file) {
  QImage picture(TextOfPath(file));
  if (picture.isNull()) {
    preview_->clear();
    Tell(text::kBadPicture);
    return;
  }
  ScalBmp(kCellSize, kCellSize, picture);
  preview_->setPixmap(QPixmap::fromImage(picture));
  const QString stem = TextOfPath(file.stem());
  path_edit_->setText(TextOfPath(file));
  name_edit_->setText(stem);
  hot_key_edit_->setText(QStringLiteral("/") + stem);
}

std::vector<std::filesystem::path> TKivEmoteForm::FieldFiles() const {
  if (chosen_files_.size() > 1) return chosen_files_;
  if (path_edit_->text().isEmpty()) return {};
  return {PathOfText(path_edit_->text())};
}

std::ptrdiff_t TKivEmoteForm::SelectedIndex() const {
  const QList<QTreeWidgetItem*> selected = manage_list_->selectedItems();
  if (selected.isEmpty()) return -1;
  return static_cast<std::ptrdiff_t>(selected.front()->data(0, kIndexRole).toULongLong());
}

void TKivEmoteForm::OnRowSelected() {
  const std::ptrdiff_t index = SelectedIndex();
  if (index < 0 || static_cast<std::size_t>(index) >= model_.Items().size()) return;
  const TEmoteInfo& info = model_.Items()[static_cast<std::size_t>(index)];
  chosen_files_ = {model_.PicturePath(info)};
  path_edit_->setText(TextOfPath(chosen_files_.front()));
  name_edit_->setText(QString::fromStdString(info.name.str()));
  hot_key_edit_->setText(QString::fromStdString(info.hot_key.str()));
  QImage picture(path_edit_->text());
  if (!picture.isNull()) ScalBmp(kCellSize, kCellSize, picture);
  preview_->setPixmap(picture.isNull() ? QPixmap() : QPixmap::fromImage(picture));
}

void TKivEmoteForm::OnAdd() {
  const auto files = FieldFiles();
  AfterEdit(model_.AddFiles(files, name_edit_->text().toStdString(), hot_key_edit_->text().toStdString()));
}

void TKivEmoteForm::OnModify() {
  const std::ptrdiff_t index = SelectedIndex();
  AfterEdit(index < 0 ? text::kSelectToModify
                      : model_.Modify(index, FieldFiles(), name_edit_->text().toStdString(),
                                      hot_key_edit_->text().toStdString()));
}

void TKivEmoteForm::OnDelete() {
  const std::ptrdiff_t index = SelectedIndex();
  AfterEdit(index < 0 ? text::kSelectToDelete : model_.Remove(index));
}

void TKivEmoteForm::OnRowDropped(int from_row, int to_row) {
  QTreeWidgetItem* from = manage_list_->topLevelItem(from_row);
  QTreeWidgetItem* to = manage_list_->topLevelItem(to_row);
  if (!from || !to) return;
  if (model_.MoveBefore(from->data(0, kIndexRole).toULongLong(), to->data(0, kIndexRole).toULongLong())) {
    DrawAll();
  } else {
    Tell(text::kNotSaved);
  }
}

void TKivEmoteForm::AfterEdit(const QString& error) {
  if (!error.isEmpty()) {
    Tell(error);
    return;
  }
  chosen_files_.clear();
  path_edit_->clear();
  name_edit_->clear();
  hot_key_edit_->clear();
  preview_->clear();
  DrawAll();
}

void TKivEmoteForm::Tell(const QString& text) {
  if (GlobalManager) GlobalManager->ShowMessage(text, kMessageNotice);
}

}  // namespace kiv::emote
