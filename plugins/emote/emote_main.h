// Emote_Main: the emoticon picker, a borderless window of five tabs: the two built-in sets
// ("图释1", "图释2"), the user's own emoticons ("自定义1" with the first sixty, "自定义2" with the
// rest) and their management ("管理").
//
// A show request names the target: a rich-text input receives the chosen picture at its caret, a
// plain text control gets the hot key appended. The picker holds its target weakly, so a target
// that closes meanwhile is never touched, and forgets it when it hides. The picker hides after a
// choice, on a click on a tab's background, on Escape and when it loses focus (except on the
// management tab, whose dialogs and messages take the focus).
//
// Owner: the plug-in's TManager. Reads and edits the TEmoteModel it is given. Main thread only.
#pragma once

#include <QLabel>
#include <QPointer>
#include <QWidget>
#include <array>
#include <filesystem>
#include <vector>

#include "emote_model.h"

class QLineEdit;
class QMovie;
class QPushButton;
class QScrollArea;
class QTabWidget;
class QTextEdit;
class QTreeWidget;

namespace kiv::emote {

// Picker tabs.
enum TEmoteTab : int { kTabSet1 = 0, kTabSet2, kTabCustom1, kTabCustom2, kTabManage, kTabCount };

inline constexpr int kCellStep = 28;
inline constexpr int kCellSize = 25;
inline constexpr int kCellsPerRow = 10;
inline constexpr int kCellOrigin = 2;

// One emoticon on a picture tab: still until the mouse is over it, when an animated picture plays.
class TEmoteCell : public QLabel {
  Q_OBJECT
 public:
  // Null when the picture does not load.
  static TEmoteCell* Create(const QString& path, std::size_t index, QWidget* parent);
  std::size_t Index() const { return index_; }
  bool Animated() const { return movie_ != nullptr; }
  bool Playing() const;

 signals:
  void Chosen(std::size_t index);

 protected:
  void enterEvent(QEnterEvent* event) override;
  void leaveEvent(QEvent* event) override;
  void mousePressEvent(QMouseEvent* event) override;
  void mouseReleaseEvent(QMouseEvent* event) override;

 private:
  TEmoteCell(std::size_t index, QWidget* parent);
  void Stop();

  std::size_t index_;
  QMovie* movie_ = nullptr;
};

// A picture tab's background: the 28-pixel grid the cells sit on.
class TEmotePage : public QWidget {
  Q_OBJECT
 public:
  explicit TEmotePage(QWidget* parent = nullptr);
  std::vector<TEmoteCell*> Cells() const;

 signals:
  void BackgroundClicked();

 protected:
  void paintEvent(QPaintEvent* event) override;
  void mousePressEvent(QMouseEvent* event) override;
};

class TKivEmoteForm : public QWidget {
  Q_OBJECT
 public:
  explicit TKivEmoteForm(TEmoteModel& model, QWidget* parent = nullptr);
  ~TKivEmoteForm() override;

  // 0x70008: `all_tabs` false hides the user's tabs and the management tab.
  void ShowForRichText(QTextEdit* target, bool all_tabs);
  // 0x70010: every tab.
  void ShowForText(QWidget* target);

  // Redraws every tab from the model (after the list changed or the user changed).
  void DrawAll();
  // Draws one picture tab now.
  void DrawEmote(int tab);

  // Inserts Items()[index] into the target and hides (a cell's click).
  void OnEmoteClick(std::size_t index);

  QTabWidget* Tabs() const { return tabs_; }
  TEmotePage* Page(int tab) const { return pages_[static_cast<std::size_t>(tab)]; }
  // The management list, filled from the model when it is out of date.
  QTreeWidget* ManageList();

 protected:
  void changeEvent(QEvent* event) override;
  void hideEvent(QHideEvent* event) override;
  void keyPressEvent(QKeyEvent* event) override;

 private:
  void BuildManageTab(QWidget* page);
  void ShowAtMouse(bool all_tabs);
  void FillManageList();
  void ChooseFiles();
  void ShowChosenPicture(const std::filesystem::path& file);
  void OnRowSelected();
  void OnAdd();
  void OnModify();
  void OnDelete();
  void OnRowDropped(int from_row, int to_row);
  // The model index of the selected management row, or -1.
  std::ptrdiff_t SelectedIndex() const;
  // The files the path field stands for.
  std::vector<std::filesystem::path> FieldFiles() const;
  void Tell(const QString& text);
  void AfterEdit(const QString& error);

  TEmoteModel& model_;
  QTabWidget* tabs_ = nullptr;
  std::array<TEmotePage*, 4> pages_{};
  std::array<bool, 4> drawn_{};
  int last_tab_ = kTabSet1;
  bool arranging_tabs_ = false;  // tabs hidden or shown by a show request do not count as chosen
  bool manage_list_filled_ = false;
  QPointer<QTextEdit> rich_target_;
  QPointer<QWidget> text_target_;

  QTreeWidget* manage_list_ = nullptr;
  QLineEdit* path_edit_ = nullptr;
  QLineEdit* name_edit_ = nullptr;
  QLineEdit* hot_key_edit_ = nullptr;
  QLabel* preview_ = nullptr;
  std::vector<std::filesystem::path> chosen_files_;
  bool dialog_open_ = false;
};

}  // namespace kiv::emote
