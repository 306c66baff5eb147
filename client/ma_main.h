// MA_Main: the main window ("$APP娱乐") and the tray icon.
//
// A narrow panel: the user's own data at the top (photo, nickname, state, signature with its
// in-place editor), the plug-in buttons on the left, the plug-in area where page plug-ins place
// their panels, and a bottom bar with the system menu, the settings, system-message, find-friend
// and money buttons and the balance. The window is created hidden at program start and its
// creation creates the session manager; it holds no session logic and asks the manager for
// everything (state changes, web pages, exit). Closing it hides it; the program is reached through
// the tray icon and the show hot key. While signed in, a 500 ms timer slides the window into the
// screen edge it touches when the mouse leaves it, and back out when the mouse comes over the
// 5 pixels that stay visible (system/edge_dock.h has the geometry).
//
// Threads: main thread only.
#pragma once

#include <QAction>
#include <QLabel>
#include <QLineEdit>
#include <QMenu>
#include <QPointer>
#include <QSystemTrayIcon>
#include <QTimer>
#include <QToolButton>
#include <QVBoxLayout>
#include <QWidget>
#include <memory>
#include <vector>

#include "ma_manager.h"

namespace kiv {

class TAppearanceForm;

class TMainForm : public QWidget {
  Q_OBJECT

 public:
  // Creates the session manager, which brings the client up.
  explicit TMainForm(TManagerOptions options = {});
  // Frees the session manager (the exit sequence).
  ~TMainForm() override;

  TManager* Manager() const { return manager_.get(); }
  QWidget* PluginArea() const { return plugin_area_; }
  QWidget* PluginStrip() const { return plugin_strip_; }
  QLabel* BalanceLabel() const { return balance_; }
  QLabel* NicknameLabel() const { return nickname_; }
  QLabel* StateLabel() const { return state_; }
  QLabel* SignatureLabel() const { return signature_; }
  QLineEdit* SignatureEdit() const { return signature_edit_; }
  QToolButton* SignatureOkButton() const { return signature_ok_; }
  QSystemTrayIcon* TrayIcon() const { return tray_; }
  QMenu* StateMenu() const { return state_menu_; }
  QMenu* SystemMenu() const { return system_menu_; }
  QMenu* MoneyMenu() const { return money_menu_; }
  // The state menu's "联机", "隐身", "脱机": disabled while a login is under way.
  const std::vector<QAction*>& StateItems() const { return state_items_; }
  void SetStateItemsEnabled(bool enabled);
  // The state menu's check marks from TMe's state (what opening the menu does).
  void UpdateStateChecks();

  // The 5-second start-up timer: fires when no version reply came.
  QTimer& StartupTimer() { return startup_timer_; }
  // The 500 ms edge timer, running while signed in.
  QTimer& DockTimer() { return dock_timer_; }
  // The tray's picture cycle (one picture every 500 ms while active).
  const QTimer& CycleTimer() const { return cycle_timer_; }
  const std::vector<QImage>& CyclePictures() const { return cycle_pictures_; }
  // The picture the tray shows now.
  const QImage& TrayPicture() const { return tray_picture_; }

  // Tray picture for `state` (-1: the signed-in user's state), or the waiting pictures.
  void UpdateTrayIcon(int state);
  // Cycles the logging-in pictures with the hint "正在登录$APP...".
  void ShowLoggingInIcon();
  // The user's own data in the header, the tray hint and the balance.
  void ShowMyInfo();
  void ShowMainWindow(bool open_waiting);
  // The friends and chat-room buttons of the left strip (CreatePluginButtons).
  void BuildPluginButtons();
  // Skins the window and takes its pictures from the skin's graphics (once the global manager exists).
  void SkinAndGraphics();
  // The tray alternates the waiting picture with the notice picture.
  void FlashNoticeIcon();
  // Lets the window close for good (at exit).
  void AllowClose() { closing_ = true; }

  // The signature's in-place editor.
  void StartSignatureEdit();
  bool SignatureEditing() const { return signature_edit_->isVisible(); }
  // "更改外观".
  void ShowAppearance();

  // One tick of the edge timer; the slides.
  void DockTick();
  void HideToEdge();
  void ShowFromEdge();
  // False while the window is slid into an edge.
  bool FullyShown() const { return shown_; }

 protected:
  void closeEvent(QCloseEvent* event) override;
  void changeEvent(QEvent* event) override;
  bool eventFilter(QObject* watched, QEvent* event) override;

 private:
  void BuildHeader(QVBoxLayout* layout);
  void BuildBottomBar(QVBoxLayout* layout);
  void BuildMenus();
  void AddMoneyItems(QMenu* menu);
  void SetTrayPicture(const QImage& picture);
  void StartCycle(std::vector<QImage> pictures);
  void CycleTray();
  void Slide(const std::vector<QPoint>& steps);
  void FindFriends();

  std::unique_ptr<TManager> manager_;
  QWidget* header_ = nullptr;
  QLabel* frame_ = nullptr;  // the frame picture, with the photo inside
  QLabel* photo_ = nullptr;
  QLabel* nickname_ = nullptr;
  QLabel* state_ = nullptr;
  QLabel* signature_ = nullptr;
  QLineEdit* signature_edit_ = nullptr;
  QToolButton* signature_ok_ = nullptr;
  QToolButton* skin_button_ = nullptr;
  QWidget* plugin_strip_ = nullptr;
  QWidget* plugin_area_ = nullptr;
  QWidget* bottom_ = nullptr;
  QLabel* balance_ = nullptr;
  QSystemTrayIcon* tray_ = nullptr;
  QMenu* state_menu_ = nullptr;
  QMenu* system_menu_ = nullptr;
  QMenu* money_menu_ = nullptr;
  std::vector<QAction*> state_items_;
  std::vector<QToolButton*> bar_buttons_;
  QPointer<TAppearanceForm> appearance_;
  QTimer startup_timer_;
  QTimer dock_timer_;
  QTimer cycle_timer_;
  QTimer tray_click_;  // a single tray click waits out the double-click time
  std::vector<QImage> state_pictures_;
  std::vector<QImage> notice_pictures_;
  std::vector<QImage> login_pictures_;
  std::vector<QImage> cycle_pictures_;
  QImage tray_picture_;
  std::size_t cycle_index_ = 0;
  bool shown_ = true;
  bool sliding_ = false;
  bool closing_ = false;
};

}  // namespace kiv
