// Friend_pray: the modal invitation window "邀请好友" (one at a time). The tree "好友列表" holds one
// node per friend group with the group's online members ("{nickname}[{code}]"); "确定" or a
// double-click on a friend chooses it. Several friends may be chosen at once.
//
// Threads: main thread only.
#pragma once

#include <QDialog>
#include <QTreeWidget>
#include <cstdint>
#include <vector>

namespace kiv::friends {

class TPrayFriendForm : public QDialog {
  Q_OBJECT

 public:
  explicit TPrayFriendForm(std::uint32_t room);

  // Shows the window modally for `room` and returns the user codes chosen (none when closed).
  // While one is open, another call raises it and returns nothing.
  static std::vector<std::uint32_t> Choose(std::uint32_t room);

  std::uint32_t Room() const { return room_; }
  const std::vector<std::uint32_t>& Chosen() const { return chosen_; }

 private:
  void Fill();
  void Confirm(const QList<QTreeWidgetItem*>& items);

  std::uint32_t room_;
  QTreeWidget* tree_;
  std::vector<std::uint32_t> chosen_;
};

}  // namespace kiv::friends
