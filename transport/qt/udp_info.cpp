#include "udp_info.h"

#include <QHBoxLayout>
#include <QHeaderView>
#include <QPushButton>
#include <QVBoxLayout>

namespace kiv {

namespace {

// A row that sorts by the padded cell text; the state column compares the state texts.
class TInfoRow : public QTreeWidgetItem {
 public:
  using QTreeWidgetItem::QTreeWidgetItem;
  bool operator<(const QTreeWidgetItem& other) const override {
    int column = treeWidget() ? treeWidget()->sortColumn() : 0;
    if (column == 0) return text(0).compare(other.text(0), Qt::CaseInsensitive) < 0;
    return TInfoForm::SortKey(text(column))
               .compare(TInfoForm::SortKey(other.text(column)), Qt::CaseInsensitive) < 0;
  }
};

QString Number(std::uint64_t v) { return QString::number(v); }

}  // namespace

QString TInfoForm::SortKey(const QString& text) {
  if (text.size() >= 20) return text;
  return QString(21 - text.size(), QLatin1Char('0')) + text;
}

QString TInfoForm::StateText(std::uint8_t state) {
  switch (state) {
    case kStateHalfConnected:
      return QStringLiteral("半连接");
    case kStateWorking:
      return QStringLiteral("工作中");
    case kStateDisconnected:
      return QStringLiteral("断开");
    case kStateTemporary:
      return QStringLiteral("临时");
    default:
      return QString::number(state);
  }
}

TInfoForm::TInfoForm(TKivUDP& engine, QWidget* parent) : QWidget(parent), engine_(engine) {
  setWindowTitle(QStringLiteral("UDP信息"));
  resize(1180, 460);
  peers_ = new QLabel(this);
  received_ = new QLabel(this);
  sent_ = new QLabel(this);
  queue_ = new QLabel(this);
  queue_->setVisible(engine_.HasDispatchThread());
  refused_ = new QLabel(this);
  auto_refresh_ = new QCheckBox(QStringLiteral("自动刷新"), this);
  auto* refresh = new QPushButton(QStringLiteral("刷新"), this);
  table_ = new QTreeWidget(this);
  table_->setRootIsDecorated(false);
  table_->setColumnCount(kColumnCount);
  table_->setHeaderLabels({QStringLiteral("状态"), QStringLiteral("LocalID"), QStringLiteral("RemoteID"),
                           QStringLiteral("Active"), QStringLiteral("IP"), QStringLiteral("Port"),
                           QStringLiteral("Ping"), QStringLiteral("ChannelID"), QStringLiteral("序列号"),
                           QStringLiteral("待发"), QStringLiteral("发送"), QStringLiteral("收到"),
                           QStringLiteral("重发"), QStringLiteral("重收"), QStringLiteral("发速"),
                           QStringLiteral("收速")});
  table_->header()->setSectionsClickable(true);
  connect(table_->header(), &QHeaderView::sectionClicked, this, [this](int c) { ListView1ColumnClick(c); });
  connect(refresh, &QPushButton::clicked, this, [this] { Button1Click(); });

  auto* header = new QHBoxLayout;
  for (QWidget* w :
       {static_cast<QWidget*>(peers_), static_cast<QWidget*>(received_), static_cast<QWidget*>(sent_),
        static_cast<QWidget*>(queue_), static_cast<QWidget*>(refused_)})
    header->addWidget(w);
  header->addStretch();
  header->addWidget(auto_refresh_);
  header->addWidget(refresh);
  auto* layout = new QVBoxLayout(this);
  layout->addLayout(header);
  layout->addWidget(table_);

  timer_.setInterval(1000);
  connect(&timer_, &QTimer::timeout, this, [this] { Timer1Timer(); });
  timer_.start();
  Timer1Timer();
}

void TInfoForm::Timer1Timer() {
  TSocketCounters c = engine_.Counters();
  peers_->setText(QStringLiteral("当前连接数量：%1个").arg(engine_.PeerCount()));
  received_->setText(QStringLiteral("当前收到数据包：%1Byte/%2个").arg(c.RecvBytes).arg(c.RecvDatagrams));
  sent_->setText(QStringLiteral("当前发送数据包：%1Byte/%2个").arg(c.SentBytes).arg(c.SentDatagrams));
  if (engine_.HasDispatchThread())
    queue_->setText(QStringLiteral("待处理的数据：%1个").arg(engine_.DispatchQueueLength()));
  // Frames that named a peer from another address, peers refused for their address, associations
  // ended as stalled, associations the application never took up, and frames left unacknowledged
  // while the application had not caught up.
  const TEngineGuards g = engine_.Guards();
  refused_->setText(QStringLiteral("拒收：冒名%1 超额%2 停滞%3 未认领%4 积压%5")
                        .arg(g.ForeignFrames)
                        .arg(g.RefusedPeers)
                        .arg(g.Stalled)
                        .arg(g.Unclaimed)
                        .arg(g.Backlogged));
  engine_.TakeSecondSnapshot();
  if (auto_refresh_->isChecked()) Button1Click();
}

void TInfoForm::Button1Click() {
  std::vector<TPeerRow> rows = engine_.Snapshot(true);
  table_->setSortingEnabled(false);
  table_->clear();
  for (const auto& peer : rows) {
    auto* item = new TInfoRow(table_);
    item->setText(0, StateText(peer.State));
    item->setText(1, Number(peer.LocalID));
    item->setText(2, Number(peer.RemoteID));
    item->setText(3, QString::number(peer.Active));
    item->setText(4, QString::fromStdString(peer.IP));
    item->setText(5, Number(peer.Port));
    item->setText(6, QString::number(peer.Ping));
    for (const auto& c : peer.Channels) {
      auto* row = new TInfoRow(table_);
      row->setText(7, Number(c.Number));
      if (c.HasSend) {
        row->setText(8, Number(c.NextSequence));
        row->setText(9, QStringLiteral("%1/%2").arg(c.QueuedFragments).arg(c.QueuedBytes));
        row->setText(10, QStringLiteral("%1/%2").arg(c.SentFragments).arg(c.SentBytes));
        row->setText(12, Number(c.Resent));
        row->setText(14, Number(c.SentSinceDisplay));
      }
      if (c.HasRecv) {
        row->setText(11, QStringLiteral("%1/%2").arg(c.RecvFragments).arg(c.RecvBytes));
        row->setText(13, Number(c.Duplicates));
        row->setText(15, Number(c.RecvSinceDisplay));
      }
    }
  }
  if (sort_column_ >= 0) table_->sortItems(sort_column_, sort_order_);
  for (int column = 0; column < kColumnCount; ++column) table_->resizeColumnToContents(column);
}

void TInfoForm::ListView1ColumnClick(int column) {
  if (column == sort_column_) {
    sort_order_ = sort_order_ == Qt::AscendingOrder ? Qt::DescendingOrder : Qt::AscendingOrder;
  } else {
    sort_column_ = column;
    sort_order_ = Qt::AscendingOrder;
  }
  table_->sortItems(sort_column_, sort_order_);
}

}  // namespace kiv
