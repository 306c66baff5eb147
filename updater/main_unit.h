// TForm1: the updater's one window ("自动更新系统 "). It closes the running client, connects after
// the start delay, shows the description and the progress, installs the staged files and restarts
// the client.
//
// Threads: main thread only.
#pragma once

#include <QLabel>
#include <QProgressBar>
#include <QPushButton>
#include <QTextEdit>
#include <QTimer>
#include <QWidget>
#include <filesystem>
#include <functional>
#include <memory>
#include <optional>
#include <string>

#include "update_client.h"

#include <QStringList>

namespace kiv {
class TSkinEngine;
}

namespace kiv::update {

// The five arguments of the command line.
struct TUpdaterArguments {
  std::string version;  // client version or plug-in name, at most 20 characters
  std::string address;  // update server, dotted IPv4, at most 20 characters
  std::uint16_t port = 0;
  bool restart = true;  // argument 4 is not "1": close the client first and restart it afterwards
  int brand = 1;
};
// Nothing when an argument is missing or argument 3 or 5 is not a number (the port also not one of
// 0 .. 65535, the brand not one of 0 .. 255).
std::optional<TUpdaterArguments> ParseArguments(const QStringList& arguments);

// What the window asks of the desktop; tests give their own answers.
struct TUpdaterHooks {
  // Yes/No; true: Yes.
  std::function<bool(const QString& text)> ask_yes_no;
  // OK/Cancel; true: OK.
  std::function<bool(const QString& text)> ask_ok_cancel;
  std::function<void(const std::filesystem::path& program)> start_program;
  std::function<void(const QString& url)> open_url;
};
// The desktop's own: message boxes, a detached process, the system browser.
TUpdaterHooks DesktopHooks(QWidget* parent);

class TForm1 : public QWidget {
  Q_OBJECT

 public:
  TForm1(TUpdaterArguments arguments, std::filesystem::path program_folder,
         std::optional<TPublicKey> public_key, TUpdateTimings timings = {}, TUpdaterHooks hooks = {});
  ~TForm1() override;

  QString StatusText() const { return status_->text(); }
  QString ProgressLineText() const { return progress_line_->text(); }
  bool ProgressLineVisible() const { return !progress_line_->isHidden(); }
  QString DescriptionText() const { return memo_->toPlainText(); }
  int ProgressPercent() const;
  bool Updating() const { return updating_; }
  bool Succeeded() const { return succeeded_; }
  // The reason of the last refusal (for the log and tests); empty when none.
  const QString& LastError() const { return last_error_; }
  // The update's receiver once connecting began; null before.
  const TUpdateReceiver* Receiver() const { return client_ ? &client_->Receiver() : nullptr; }
  // Clicks the status line, as the user does.
  void ClickStatus() { Label2Click(); }

 signals:
  // The window has ended the update (success, failure or the user's decision) and is closing.
  void Finished();

 protected:
  void closeEvent(QCloseEvent* event) override;

 private:
  void CloseClientWindows(bool* any_open);
  void Timer1Timer();
  void Timer2Timer();
  void Timer3Timer();
  void Label2Click();
  void OnAnnounced();
  void OnStaged();
  void ShowError(const QString& why);
  QString Brand() const;

  TUpdaterArguments arguments_;
  std::filesystem::path program_folder_;
  std::optional<TPublicKey> public_key_;
  TUpdateTimings timings_;
  TUpdaterHooks hooks_;
  std::unique_ptr<TSkinEngine> skins_;
  std::unique_ptr<TUpdateClient> client_;

  QLabel* content_label_ = nullptr;
  QTextEdit* memo_ = nullptr;
  QLabel* progress_line_ = nullptr;
  QProgressBar* progress_ = nullptr;
  QLabel* status_ = nullptr;
  QPushButton* close_button_ = nullptr;
  QTimer timer1_, timer2_, timer3_;

  bool updating_ = false, succeeded_ = false, update_started_ = false;
  bool ending_ = false;  // closing without questions or a restart
  QString last_error_;
};

}  // namespace kiv::update
