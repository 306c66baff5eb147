// Friend_message: the friend-request notice, one window per request or answer, kept until closed.
// A request (kind 2) offers "同意" and "拒绝" (with a reason); every other kind only "确认".
// "查看资料" shows the sender's profile.
//
// Threads: main thread only.
#pragma once

#include <QLabel>
#include <QPushButton>
#include <QWidget>
#include <cstdint>
#include <string>

#include "base/wire.h"

namespace kiv::friends {

class TManager;

class TAddFriendForm : public QWidget {
  Q_OBJECT

 public:
  TAddFriendForm(TManager& manager, std::uint8_t kind, std::uint32_t code, const std::string& nickname,
                 const WireAddress& server);

  // Sets the text and the buttons for the kind and shows the window.
  void ShowAddFriendMessage(const QString& text);

  std::uint8_t Kind() const { return kind_; }
  std::uint32_t Code() const { return code_; }

 protected:
  void showEvent(QShowEvent* event) override;

 private:
  void Refuse();

  TManager& manager_;
  std::uint8_t kind_;
  std::uint32_t code_;
  std::string nickname_;
  WireAddress server_;
  QLabel* text_;
  QPushButton *agree_, *refuse_, *confirm_, *profile_;
  bool shown_once_ = false;
};

// Opens a new notice window for a request or answer of `kind` from `code`.
TAddFriendForm* ShowAddFriendMessage(TManager& manager, std::uint8_t kind, const QString& text, std::uint32_t code,
                                     const std::string& nickname, const WireAddress& server);

}  // namespace kiv::friends
