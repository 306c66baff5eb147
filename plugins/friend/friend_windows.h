// The friends plug-in's windows, as far as the manager needs them: the friend panel with the list
// the manager fills (groups with their counts, friends with their hints, the menus that call the
// manager), the search window, the profile window, the friend-request notice and the invitation
// window. They only show what the manager gives them and call it back.
//
// Threads: main thread only.
#pragma once

#include <QCheckBox>
#include <QComboBox>
#include <QLabel>
#include <QLineEdit>
#include <QListWidget>
#include <QPushButton>
#include <QTreeWidget>
#include <QWidget>
#include <cstdint>
#include <vector>

#include "user/user.h"

namespace kiv::friends {

class TManager;
struct TSearchHit;
struct TSearchQuery;

// Item data roles of the friend list.
inline constexpr int kGroupIdRole = Qt::UserRole + 1;   // on group items
inline constexpr int kUserCodeRole = Qt::UserRole + 2;  // on friend rows

class TFriendPanel : public QWidget {
  Q_OBJECT

 public:
  TFriendPanel(TManager& manager, QWidget* parent);
  // Redraws the list from the global manager's groups.
  void Draw();
  QTreeWidget* List() const { return list_; }

 private:
  void ShowMenu(const QPoint& at);
  std::uint32_t SelectedFriend() const;
  std::uint32_t SelectedGroup() const;

  TManager& manager_;
  QTreeWidget* list_;
};

class TSearchForm : public QWidget {
  Q_OBJECT

 public:
  explicit TSearchForm(TManager& manager);
  void Clear();
  void SetQuery(const TSearchQuery& query);
  void Lock();
  // `online_users` below 0 keeps the label.
  void ShowResults(const std::vector<TSearchHit>& rows, int page, bool previous, bool next,
                   std::int64_t online_users);

 private:
  TManager& manager_;
  QLineEdit *code_, *nickname_, *city_, *verification_;
  QCheckBox *camera_only_, *online_only_;
  QComboBox* sex_;
  QPushButton *search_, *previous_, *next_, *add_;
  QTreeWidget* results_;
  QLabel *online_, *page_;
  std::vector<TSearchHit> rows_;
};

class TUserInfoForm : public QWidget {
  Q_OBJECT

 public:
  explicit TUserInfoForm(std::uint32_t code);
  void Fill(const TUser& user);

 private:
  QLabel* text_;
};

class TAddFriendNotice : public QWidget {
  Q_OBJECT

 public:
  explicit TAddFriendNotice(const QString& text);

 signals:
  void Answered(bool agree, const QString& reason);
};

class TInviteForm : public QWidget {
  Q_OBJECT

 public:
  explicit TInviteForm(std::uint32_t room);
  void AddFriend(std::uint32_t code, const QString& nickname);

 signals:
  void Invite(std::uint32_t code);

 private:
  QListWidget* friends_;
};

}  // namespace kiv::friends
