// Friend_main: the friend panel in the main window's plug-in area. A frame bar with one section per
// friend group ("{name}[{online}/{members}]") and one row per friend (face, nickname, signature; the
// face is grey unless the friend is online), online friends first. A right-click anywhere opens the
// general menu; a click on a friend opens the friend menu 200 ms later unless a double-click (which
// opens a chat) follows; a friend dragged onto another group's row, caption or placeholder is moved
// there through the manager, and the list follows the server's answer.
//
// Threads: main thread only.
#pragma once

#include <QMenu>
#include <QTimer>
#include <QWidget>
#include <cstdint>

#include "controls/frame_bar.h"

namespace kiv::friends {

class TManager;

// The drag format of a friend row: the friend's decimal user code.
inline constexpr const char* kFriendDragFormat = "application/x-kivora-friend";

class TFriendForm : public QWidget {
  Q_OBJECT

 public:
  TFriendForm(TManager& manager, QWidget* parent);

  // Redraws the bar from the global manager's groups (ShowFriendList).
  void Draw();

  TKivFrameBar* Bar() const { return bar_; }
  QMenu* GeneralMenu() const { return general_menu_; }
  QMenu* FriendMenu() const { return friend_menu_; }
  // The friend whose row was pressed last (0 when a group caption was pressed since).
  std::uint32_t SelectedFriend() const { return selected_friend_; }
  // The group whose caption was pressed last (0 when a friend row was pressed since).
  std::uint32_t PressedGroup() const { return pressed_group_; }

  // Sets the captions and visibility of the menus' items for the current state.
  void PrepareGeneralMenu();
  void PrepareFriendMenu();

 protected:
  bool eventFilter(QObject* watched, QEvent* event) override;
  void contextMenuEvent(QContextMenuEvent* event) override;

 private:
  void BuildMenus();
  void FriendClicked(std::uint32_t code);
  void FriendDoubleClicked(std::uint32_t code);
  void GroupPressed(std::uint32_t id);
  void StartDrag(TKivButton* row);
  // The group a drop on `target` moves to: the group of the row's or caption's section; 0 for none.
  static std::uint32_t DropGroup(QObject* target);
  void Watch(QWidget* widget);

  TManager& manager_;
  TKivFrameBar* bar_;
  QMenu* general_menu_;
  QMenu* friend_menu_;
  QMenu* move_menu_;
  QAction *rename_group_ = nullptr, *delete_group_ = nullptr, *face_size_ = nullptr, *online_only_ = nullptr,
          *custom_photo_ = nullptr, *delete_friend_ = nullptr;
  QTimer click_timer_;
  std::uint32_t selected_friend_ = 0;
  std::uint32_t pressed_group_ = 0;
  // The release that ends a double-click is not a new single click.
  bool swallow_click_ = false;
};

}  // namespace kiv::friends
