// TRecordForm: the chat-record viewer. A tree of the friend groups with their friends and a last
// node "系统消息"; the selected friend's records (or the system messages) page by page, 20 to a page.
// The manager reads the files; the window only shows the pages and asks for others.
//
// Threads: main thread only.
#pragma once

#include <QLabel>
#include <QPushButton>
#include <QTextBrowser>
#include <QTreeWidget>
#include <QWidget>
#include <cstdint>
#include <filesystem>
#include <optional>

namespace kiv::chat {

class TManager;
struct TRecordPage;

class TRecordForm : public QWidget {
  Q_OBJECT

 public:
  explicit TRecordForm(TManager& manager);

  // Rebuilds the tree from the friend groups.
  void FillTree();
  // Selects the friend (0: the system messages) and shows the last page of its records.
  void Select(std::uint32_t code);
  // Shows page `page` of the selected friend's records or of the system messages.
  void ShowPage(std::size_t page);

  QTextBrowser* View() const { return view_; }
  QLabel* PageLabel() const { return page_label_; }
  std::optional<std::uint32_t> Selected() const { return selected_; }
  const std::filesystem::path& RecordFile() const { return file_; }

  static constexpr int kCodeRole = Qt::UserRole + 1;
  static constexpr int kSystemRole = Qt::UserRole + 2;

 private:
  void ShowControls(const TRecordPage* page);
  QTreeWidgetItem* ItemFor(std::uint32_t code, bool system) const;

  TManager& manager_;
  QTreeWidget* tree_;
  QTextBrowser* view_;
  QLabel* page_label_;
  QPushButton* first_;
  QPushButton* previous_;
  QPushButton* next_;
  QPushButton* last_;
  std::optional<std::uint32_t> selected_;  // 0: the system messages
  std::size_t page_ = 1, pages_ = 1;
  std::filesystem::path file_;
  bool filling_ = false;
};

}  // namespace kiv::chat
