// TSoftKeyboard: the on-screen keyboard ("软键盘") that types a password by mouse, so that a key
// logger sees no key strokes.
//
// 47 character keys ("button1" .. "button47") and a case key ("button48", captioned "大" or "小").
// Each opening draws a rotation r in 1 .. 46: key k shows character pair (k - 1 + r) mod 47, its
// lower character while the case key shows "大", its upper one while it shows "小". A key click
// appends the key's caption to the target box (within the box's length limit). A 10 ms timer keeps
// the keyboard 10 pixels right of its owner window and hides it while the owner is minimised; the
// keyboard closes when the owner hides or goes away.
//
// Threads: main thread only.
#pragma once

#include <QPointer>
#include <QPushButton>
#include <QLineEdit>
#include <QTimer>
#include <QWidget>
#include <array>
#include <utility>

namespace kiv {

inline constexpr int kSoftKeyCount = 47;

// Character pair `index` (0 .. 46) of the table: (lower, upper).
std::pair<QChar, QChar> SoftKeyPair(int index);

class TSoftKeyboard : public QWidget {
  Q_OBJECT

 public:
  // `rotation` 1 .. 46 fixes the layout; any other value draws one at random.
  TSoftKeyboard(QWidget* owner, QLineEdit* target, int rotation = 0);

  int Rotation() const { return rotation_; }
  bool Upper() const { return upper_; }
  // Key 1 .. 48 (48: the case key).
  QPushButton* Key(int number) const { return keys_.at(static_cast<std::size_t>(number - 1)); }
  QLineEdit* Target() const { return target_; }
  void SetTarget(QLineEdit* target) { target_ = target; }
  // Places the keyboard beside its owner and copies the owner's state (what the timer does).
  void FollowOwner();

 protected:
  bool eventFilter(QObject* watched, QEvent* event) override;

 private:
  void Relabel();
  void Type(int number);

  QPointer<QWidget> owner_;
  QPointer<QLineEdit> target_;
  std::array<QPushButton*, kSoftKeyCount + 1> keys_{};
  QTimer follow_;
  int rotation_ = 1;
  bool upper_ = false;
};

}  // namespace kiv
