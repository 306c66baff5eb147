// Friend_info: the profile window of one user code ("{nickname}[{code}]的用户资料"), reused while it
// is open. It shows the face, the level as a row of sun, moon and star icons, and the profile fields;
// "刷新" asks the server again.
//
// Threads: main thread only.
#pragma once

#include <QGridLayout>
#include <QLabel>
#include <QLineEdit>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QTabWidget>
#include <QWidget>
#include <cstdint>
#include <string>
#include <vector>

#include "user/user.h"

namespace kiv::friends {

// The icons of a level: suns = L div 25, moons = (L mod 25) div 5, stars = L mod 5, in that order,
// at most `kMaxLevelIcons` in all (suns give way first, so the moons and stars stay exact).
struct TLevelIcons {
  std::uint32_t suns = 0, moons = 0, stars = 0;
  static constexpr std::uint32_t kMaxLevelIcons = 30;
  static TLevelIcons For(std::uint32_t level);
};

class TUserInfoForm : public QWidget {
  Q_OBJECT

 public:
  explicit TUserInfoForm(std::uint32_t code);

  // Shows the profile (DisplayUserInfo) and enables "刷新" again.
  void Fill(const TUser& user);
  std::uint32_t Code() const { return code_; }

 private:
  void ShowLevel(const TUser& user);

  std::uint32_t code_;
  QTabWidget* pages_;
  QLabel* face_;
  QWidget* level_row_;
  QGridLayout* level_layout_;
  QLineEdit *nickname_, *sex_, *age_, *email_, *province_, *city_, *phone_, *address_, *occupation_;
  QPlainTextEdit* introduction_;
  QPushButton *refresh_, *close_;
};

}  // namespace kiv::friends
