// MA_Main: the main window ("$APP娱乐") and the tray icon.
//
// A narrow panel: the user's own data at the top (photo, nickname, state, signature), the plug-in
// buttons on the left, the plug-in area where page plug-ins place their panels, and a bottom bar
// with the balance. The window is created hidden at program start and its creation creates the
// session manager; it holds no session logic and asks the manager for everything (state changes,
// web pages, exit). Closing it hides it; the program is reached through the tray icon.
//
// Threads: main thread only.
#pragma once

#include <QAction>
#include <QLabel>
#include <QMenu>
#include <QPointer>
#include <QSystemTrayIcon>
#include <QTimer>
#include <QVBoxLayout>
#include <QWidget>
#include <memory>
#include <vector>

#include "ma_manager.h"

namespace kiv {

class TMainForm : public QWidget {
  Q_OBJECT

 public:
  // Creates the session manager, which brings the client up.
  explicit TMainForm(TManagerOptions options = {});
  // Frees the session manager (the exit sequence).
  ~TMainForm() override;

  TManager* Manager() const { return manager_.get(); }
  QWidget* PluginArea() const { return plugin_area_; }
  QLabel* BalanceLabel() const { return balance_; }
  QLabel* NicknameLabel() const { return nickname_; }
  QLabel* StateLabel() const { return state_; }
  QSystemTrayIcon* TrayIcon() const { return tray_; }
  // The state menu's "联机", "隐身", "脱机": disabled while a login is under way.
  const std::vector<QAction*>& StateItems() const { return state_items_; }
  void SetStateItemsEnabled(bool enabled);

  // The 5-second start-up timer: fires when no version reply came.
  QTimer& StartupTimer() { return startup_timer_; }
  // The 500 ms edge timer, running while signed in.
  QTimer& DockTimer() { return dock_timer_; }

  // Tray picture for `state` (-1: the signed-in user's state), or the waiting pictures.
  void UpdateTrayIcon(int state);
  // Cycles the logging-in pictures with the hint "正在登录$APP...".
  void ShowLoggingInIcon();
  // The user's own data in the header, the tray hint and the balance.
  void ShowMyInfo();
  void ShowMainWindow(bool open_waiting);
  // One button per page plug-in (kind 0) of the host.
  void BuildPluginButtons();
  // Skins the window and takes its pictures from the skin's graphics (once the global manager exists).
  void SkinAndGraphics();
  // The tray alternates the waiting picture with the notice picture.
  void FlashNoticeIcon();
  // Lets the window close for good (at exit).
  void AllowClose() { closing_ = true; }

 protected:
  void closeEvent(QCloseEvent* event) override;
  void changeEvent(QEvent* event) override;

 private:
  void BuildHeader(QVBoxLayout* layout);
  void BuildMenus();
  void SetTrayPicture(const QImage& picture);
  void StartCycle(std::vector<QImage> pictures);
  void CycleTray();

  std::unique_ptr<TManager> manager_;
  QLabel* frame_ = nullptr;  // the frame picture, with the photo inside
  QLabel* photo_ = nullptr;
  QLabel* nickname_ = nullptr;
  QLabel* state_ = nullptr;
  QLabel* signature_ = nullptr;
  QWidget* plugin_strip_ = nullptr;
  QWidget* plugin_area_ = nullptr;
  QLabel* balance_ = nullptr;
  QSystemTrayIcon* tray_ = nullptr;
  QMenu* state_menu_ = nullptr;
  QMenu* system_menu_ = nullptr;
  std::vector<QAction*> state_items_;
  QTimer startup_timer_;
  QTimer dock_timer_;
  QTimer cycle_timer_;
  std::vector<QImage> state_pictures_;
  std::vector<QImage> notice_pictures_;
  std::vector<QImage> login_pictures_;
  std::vector<QImage> cycle_pictures_;
  std::size_t cycle_index_ = 0;
  bool closing_ = false;
};

}  // namespace kiv
