// TInfoForm: the transport's diagnostics window "UDP信息": the traffic of the last second and a
// table of every peer and its channels. Created hidden with the engine; its one-second timer also
// turns the socket counters into the per-second figures that the diagnostic reply reports.
// Main thread only.
#pragma once

#include <QCheckBox>
#include <QLabel>
#include <QTimer>
#include <QTreeWidget>
#include <QWidget>

#include "udp_kivudp.h"

namespace kiv {

class TInfoForm : public QWidget {
 public:
  static constexpr int kColumnCount = 16;

  // `engine` must outlive the form.
  explicit TInfoForm(TKivUDP& engine, QWidget* parent = nullptr);

  // Every second: the header figures, the per-second snapshot, and the table when auto refresh is on.
  void Timer1Timer();
  // "刷新": rebuilds the table from the engine.
  void Button1Click();
  // Sorts by `column`, ascending on the first click, then switching on each click.
  void ListView1ColumnClick(int column);

  QTreeWidget* table() const { return table_; }
  QCheckBox* autoRefresh() const { return auto_refresh_; }
  QLabel* peersLabel() const { return peers_; }
  QLabel* receivedLabel() const { return received_; }
  QLabel* sentLabel() const { return sent_; }
  QLabel* queueLabel() const { return queue_; }
  QLabel* refusedLabel() const { return refused_; }

  // The sort key of a cell: texts shorter than 20 characters are padded with leading zeros to 21,
  // so that numbers sort by value; compared without regard to letter case.
  static QString SortKey(const QString& text);
  static QString StateText(std::uint8_t state);

 private:
  TKivUDP& engine_;
  QLabel *peers_, *received_, *sent_, *queue_;
  QLabel* refused_;  // what the engine refused from the network (TEngineGuards)
  QCheckBox* auto_refresh_;
  QTreeWidget* table_;
  QTimer timer_;
  int sort_column_ = -1;
  Qt::SortOrder sort_order_ = Qt::AscendingOrder;
};

}  // namespace kiv
