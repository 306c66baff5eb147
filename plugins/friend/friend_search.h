// Friend_search: the search window "查找/添加用户" (one at a time). The criteria panel sends the
// search through the manager; the results come back ten to a page; a click on a hit shows the
// verification panel, from which the user is added; a search that gets no answer within 10 s is
// reported in the status line.
//
// Threads: main thread only.
#pragma once

#include <QCheckBox>
#include <QComboBox>
#include <QGroupBox>
#include <QLabel>
#include <QLineEdit>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QTimer>
#include <QTreeWidget>
#include <QWidget>
#include <cstdint>
#include <vector>

#include "friend_faces.h"
#include "friend_manager.h"

namespace kiv::friends {

class TSearchForm : public QWidget {
  Q_OBJECT

 public:
  explicit TSearchForm(TManager& manager);

  // Empties the results and goes back to the criteria panel.
  void Clear();
  // Fills the criteria (a search for one user code).
  void SetQuery(const TSearchQuery& query);
  // The search went out: "正在连接服务器中...", the search button disabled, the time-out started.
  void Lock();
  // Shows the rows of `page`; `online_users` below 0 keeps the online label as it is.
  void ShowResults(const std::vector<TSearchHit>& rows, int page, bool previous, bool next,
                   std::int64_t online_users);

  static constexpr int kServerTimeoutMs = 10000;

 protected:
  void showEvent(QShowEvent* event) override;
  bool eventFilter(QObject* watched, QEvent* event) override;

 private:
  void Search();
  void ShowVerification(const TSearchHit& hit);
  void ShowCriteria();
  const TSearchHit* SelectedHit() const;

  TManager& manager_;
  TFaceImageList faces_;
  QGroupBox *criteria_, *verify_, *results_panel_;
  QLineEdit *code_, *nickname_, *city_;
  QCheckBox *camera_only_, *online_only_;
  QComboBox* sex_;
  QPlainTextEdit* verification_;
  QPushButton *search_, *add_, *cancel_, *detail_, *previous_, *next_, *close_;
  QTreeWidget* results_;
  QLabel *online_, *page_, *status_;
  QTimer timeout_;
  std::vector<TSearchHit> rows_;
};

}  // namespace kiv::friends
