// TChatRecordForm: the chat-record window "查看聊天记录". A tree of the friend groups with their
// friends and a last node "系统消息" beside the selected friend's records (or the system messages),
// 20 records to a page; export of every record of the selection to RTF or plain text, and deleting
// the file shown. The manager reads the files; the window keeps what was loaded last (file, code,
// page, page count) and asks for other pages.
//
// Test seam: while the dynamic property kChosenFileProperty is set, "导出记录" takes its value as
// the save dialog's answer (an empty string: the dialog was cancelled) instead of opening the
// dialog, and clears it.
//
// Threads: main thread only.
#pragma once

#include <QLabel>
#include <QPushButton>
#include <QSplitter>
#include <QTextBrowser>
#include <QTextCharFormat>
#include <QTreeWidget>
#include <QWidget>
#include <cstdint>
#include <filesystem>
#include <optional>

namespace kiv::chat {

class TManager;
struct TRecordPage;

class TChatRecordForm : public QWidget {
  Q_OBJECT

 public:
  explicit TChatRecordForm(TManager& manager);

  // Rebuilds the tree from the friend groups, keeping the selection.
  void FillTree();
  // Selects the friend `code` and shows the last page of its records; 0 selects "系统消息" and
  // shows the last page of the system messages.
  void Select(std::uint32_t code);
  // Shows page `page` (clamped to the pages there are) of the selection.
  void ShowPage(std::size_t page);
  // "删除记录" and "导出记录".
  void DeleteRecords();
  void ExportRecords();

  QTextBrowser* View() const { return view_; }
  QTextBrowser* ExportView() const { return export_view_; }
  QLabel* PageLabel() const { return page_label_; }
  std::optional<std::uint32_t> Selected() const { return selected_; }
  const std::filesystem::path& RecordFile() const { return file_; }
  std::size_t Page() const { return page_; }
  std::size_t Pages() const { return pages_; }

  // The block format of a heading, and of the message below it.
  static QTextBlockFormat HeadingBlockFormat();
  static QTextBlockFormat BodyBlockFormat();

  static constexpr int kCodeRole = Qt::UserRole + 1;
  static constexpr int kSystemRole = Qt::UserRole + 2;
  static constexpr const char* kChosenFileProperty = "chosenFileName";
  static constexpr int kTextLineWidth = 200;

 private:
  // The file the user chose in the save dialog; empty when cancelled.
  QString ChooseExportFile();
  void ItemClicked(QTreeWidgetItem* item);
  void ShowControls(const TRecordPage* page);
  void SelectItem(std::optional<std::uint32_t> code);
  QTreeWidgetItem* ItemFor(std::uint32_t code, bool system) const;
  void OpenLink(const QUrl& link);

  TManager& manager_;
  QSplitter* splitter_;
  QTreeWidget* tree_;
  QTextBrowser* view_;
  QTextBrowser* export_view_;
  QLabel* page_label_;
  QPushButton* first_;
  QPushButton* previous_;
  QPushButton* next_;
  QPushButton* last_;
  QPushButton* export_;
  QPushButton* delete_;
  std::optional<std::uint32_t> selected_;  // 0: the system messages
  std::size_t page_ = 1, pages_ = 1;
  std::filesystem::path file_;  // the file last loaded; empty when nothing was
  bool filling_ = false;
};

}  // namespace kiv::chat
