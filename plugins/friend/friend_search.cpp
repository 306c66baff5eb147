#include "friend_search.h"

#include <QGridLayout>
#include <QHBoxLayout>
#include <QHeaderView>
#include <QMouseEvent>
#include <QRegularExpressionValidator>
#include <QVBoxLayout>

#include "controls/gbk_limit.h"
#include "manager/global_manager.h"

namespace kiv::friends {

namespace {

constexpr int kCodeChars = 9;
constexpr std::size_t kNicknameBytes = 40, kCityBytes = 10, kVerificationBytes = 100;
constexpr int kFaceIcon = 20;
constexpr int kHitRole = Qt::UserRole + 3;  // the row's index into the shown hits

const QString kNoVerification = QStringLiteral("此用户没有设置添加好友验证。");
const QString kAskVerification = QStringLiteral("请输入身份验证信息。");
const QString kNobodyMayAdd = QStringLiteral("此用户禁止任何人添加他为好友。");

QString Q(const std::string& utf8) { return QString::fromStdString(utf8); }

QPushButton* Button(const QString& text, const char* name, QWidget* parent) {
  auto* b = new QPushButton(text, parent);
  b->setObjectName(QLatin1String(name));
  return b;
}

}  // namespace

TSearchForm::TSearchForm(TManager& manager) : manager_(manager) {
  setObjectName(QStringLiteral("FriendSearchForm"));
  setWindowTitle(QStringLiteral("查找/添加用户"));
  setAttribute(Qt::WA_DeleteOnClose);
  setWindowFlag(Qt::Window);  // a window of its own, with its own taskbar button
  resize(780, 440);

  // Criteria panel.
  criteria_ = new QGroupBox(QStringLiteral("查找条件"), this);
  criteria_->setObjectName(QStringLiteral("CriteriaPanel"));
  auto* form = new QGridLayout(criteria_);
  auto edit = [this](const char* name) {
    auto* e = new QLineEdit(this);
    e->setObjectName(QLatin1String(name));
    return e;
  };
  code_ = edit("CodeEdit");
  code_->setMaxLength(kCodeChars);
  code_->setValidator(new QRegularExpressionValidator(QRegularExpression(QStringLiteral("[0-9]*")), code_));
  nickname_ = edit("NicknameEdit");
  LimitGbkLength(nickname_, kNicknameBytes);
  city_ = edit("CityEdit");
  LimitGbkLength(city_, kCityBytes);
  sex_ = new QComboBox(this);
  sex_->setObjectName(QStringLiteral("SexBox"));
  sex_->addItems({QString(), QStringLiteral("男"), QStringLiteral("女")});
  sex_->setCurrentIndex(0);
  camera_only_ = new QCheckBox(QStringLiteral("只查找有摄像头的用户"), this);
  camera_only_->setObjectName(QStringLiteral("CameraBox"));
  online_only_ = new QCheckBox(QStringLiteral("在线用户查找"), this);
  online_only_->setObjectName(QStringLiteral("OnlineBox"));
  online_only_->setChecked(true);
  search_ = Button(QStringLiteral("查询"), "SearchButton", this);
  int line = 0;
  for (auto [label, field] : {std::pair<const char*, QWidget*>{"用户号码：", code_},
                              {"用户昵称：", nickname_},
                              {"用户城市：", city_},
                              {"性别：", sex_}}) {
    form->addWidget(new QLabel(QString::fromUtf8(label), this), line, 0);
    form->addWidget(field, line++, 1);
  }
  form->addWidget(camera_only_, line++, 0, 1, 2);
  form->addWidget(online_only_, line++, 0, 1, 2);
  form->setRowStretch(line++, 1);
  form->addWidget(search_, line, 1, Qt::AlignRight);

  // Verification panel, shown in place of the criteria.
  verify_ = new QGroupBox(QStringLiteral("输入身份验证消息"), this);
  verify_->setObjectName(QStringLiteral("VerifyPanel"));
  auto* verify_layout = new QVBoxLayout(verify_);
  verification_ = new QPlainTextEdit(this);
  verification_->setObjectName(QStringLiteral("VerifyEdit"));
  LimitGbkLength(verification_, kVerificationBytes);
  verify_layout->addWidget(verification_, 1);
  auto* verify_buttons = new QHBoxLayout;
  add_ = Button(QStringLiteral("加为好友"), "AddButton", this);
  cancel_ = Button(QStringLiteral("取消"), "CancelButton", this);
  verify_buttons->addStretch(1);
  verify_buttons->addWidget(add_);
  verify_buttons->addWidget(cancel_);
  verify_layout->addLayout(verify_buttons);
  verify_->hide();

  // Results panel.
  results_panel_ = new QGroupBox(QStringLiteral("查询结果"), this);
  results_panel_->setObjectName(QStringLiteral("ResultPanel"));
  auto* results_layout = new QVBoxLayout(results_panel_);
  results_ = new QTreeWidget(this);
  results_->setObjectName(QStringLiteral("SearchResults"));
  results_->setRootIsDecorated(false);
  results_->setUniformRowHeights(true);
  results_->setIconSize(QSize(kFaceIcon, kFaceIcon));
  results_->setTextElideMode(Qt::ElideRight);
  results_->setHeaderLabels({QStringLiteral("用户号码"), QStringLiteral("用户昵称"), QStringLiteral("性别"),
                             QStringLiteral("年龄"), QStringLiteral("省份"), QStringLiteral("城市")});
  results_->header()->setStretchLastSection(true);
  const int widths[] = {88, 150, 48, 40, 64};
  for (int i = 0; i < 5; ++i) results_->setColumnWidth(i, widths[i]);
  results_->viewport()->installEventFilter(this);
  results_layout->addWidget(results_, 1);
  auto* paging = new QHBoxLayout;
  online_ = new QLabel(QStringLiteral("当前在线人数："), this);
  online_->setObjectName(QStringLiteral("OnlineLabel"));
  page_ = new QLabel(QStringLiteral("第1页"), this);
  page_->setObjectName(QStringLiteral("PageLabel"));
  detail_ = Button(QStringLiteral("详细资料"), "DetailButton", this);
  previous_ = Button(QStringLiteral("上一页"), "PreviousButton", this);
  next_ = Button(QStringLiteral("下一页"), "NextButton", this);
  paging->addWidget(online_);
  paging->addSpacing(12);
  paging->addWidget(page_);
  paging->addStretch(1);
  paging->addWidget(detail_);
  paging->addWidget(previous_);
  paging->addWidget(next_);
  results_layout->addLayout(paging);
  online_->hide();
  page_->hide();
  previous_->hide();
  next_->hide();

  status_ = new QLabel(this);
  status_->setObjectName(QStringLiteral("StatusLabel"));
  close_ = Button(QStringLiteral("关闭"), "CloseButton", this);

  auto* left = new QVBoxLayout;
  left->addWidget(criteria_, 1);
  left->addWidget(verify_, 1);
  auto* top = new QHBoxLayout;
  criteria_->setFixedWidth(230);
  verify_->setFixedWidth(230);
  top->addLayout(left);
  top->addWidget(results_panel_, 1);
  auto* bottom = new QHBoxLayout;
  bottom->addWidget(status_, 1);
  bottom->addWidget(close_);
  auto* layout = new QVBoxLayout(this);
  layout->addLayout(top, 1);
  layout->addLayout(bottom);

  timeout_.setSingleShot(true);
  timeout_.setInterval(kServerTimeoutMs);
  connect(&timeout_, &QTimer::timeout, this, [this] {
    status_->setText(QStringLiteral("连接服务器超时。"));
    search_->setEnabled(true);
  });
  for (QLineEdit* e : {code_, nickname_})
    connect(e, &QLineEdit::textEdited, this, [this] { online_only_->setChecked(false); });
  connect(search_, &QPushButton::clicked, this, [this] { Search(); });
  connect(previous_, &QPushButton::clicked, this, [this] { manager_.ShowPage(manager_.CurrentPage() - 1); });
  connect(next_, &QPushButton::clicked, this, [this] { manager_.ShowPage(manager_.CurrentPage() + 1); });
  connect(results_, &QTreeWidget::itemClicked, this, [this](QTreeWidgetItem* item) {
    const std::size_t i = item->data(0, kHitRole).toULongLong();
    if (i < rows_.size()) ShowVerification(rows_[i]);
  });
  connect(add_, &QPushButton::clicked, this, [this] {
    const TSearchHit* hit = SelectedHit();
    if (!hit) return;
    const TSearchHit chosen = *hit;  // the manager may redraw the list
    const QString text = verification_->toPlainText();
    ShowCriteria();
    manager_.AddNewFriend(chosen, text == kAskVerification ? std::string() : text.toStdString());
  });
  connect(cancel_, &QPushButton::clicked, this, [this] { ShowCriteria(); });
  connect(detail_, &QPushButton::clicked, this, [this] {
    if (const TSearchHit* hit = SelectedHit()) manager_.ShowUserInfo(hit->code);
  });
  connect(close_, &QPushButton::clicked, this, &QWidget::close);
  GlobalManager->UpdateFormSkin(this);
}

void TSearchForm::showEvent(QShowEvent* event) {
  QWidget::showEvent(event);
  results_->header()->show();
}

bool TSearchForm::eventFilter(QObject* watched, QEvent* event) {
  // A click where there is no row goes back to the criteria.
  if (watched == results_->viewport() && event->type() == QEvent::MouseButtonPress) {
    const auto* mouse = static_cast<QMouseEvent*>(event);
    if (!results_->itemAt(mouse->position().toPoint())) {
      results_->clearSelection();
      results_->setCurrentItem(nullptr);
      ShowCriteria();
    }
  }
  return QWidget::eventFilter(watched, event);
}

void TSearchForm::Search() {
  TSearchQuery q;
  q.code = code_->text().trimmed().toUInt();
  q.nickname = nickname_->text().trimmed().toStdString();
  q.city = city_->text().trimmed().toStdString();
  q.camera_only = camera_only_->isChecked();
  q.online_only = online_only_->isChecked();
  q.sex = static_cast<std::uint8_t>(std::max(0, sex_->currentIndex()));
  rows_.clear();
  results_->clear();
  previous_->hide();
  ShowCriteria();
  manager_.SearchUser(q);
}

void TSearchForm::Clear() {
  results_->clear();
  rows_.clear();
  previous_->hide();
  next_->hide();
  page_->setText(QStringLiteral("第1页"));
  results_panel_->setTitle(QStringLiteral("查询结果"));
  ShowCriteria();
}

void TSearchForm::SetQuery(const TSearchQuery& query) {
  online_only_->setChecked(query.online_only);
  code_->setText(query.code ? QString::number(query.code) : QString());
  nickname_->setText(Q(query.nickname));
  city_->setText(Q(query.city));
}

void TSearchForm::Lock() {
  status_->setText(QStringLiteral("正在连接服务器中..."));
  search_->setEnabled(false);
  timeout_.start();
}

void TSearchForm::ShowResults(const std::vector<TSearchHit>& rows, int page, bool previous, bool next,
                              std::int64_t online_users) {
  timeout_.stop();
  status_->clear();
  search_->setEnabled(true);
  ShowCriteria();
  rows_ = rows;
  results_->clear();
  for (std::size_t i = 0; i < rows.size(); ++i) {
    const TSearchHit& hit = rows[i];
    auto* item = new QTreeWidgetItem(results_);
    item->setText(0, QString::number(hit.code));
    item->setData(0, kHitRole, static_cast<qulonglong>(i));
    item->setIcon(0, QIcon(faces_.Face(hit.face, hit.online == 1)));
    item->setText(1, Q(hit.nickname));
    if (hit.camera == 1) {
      if (const QImage* camera = GlobalManager->GetGraphic(QStringLiteral("FriendVideo")))
        item->setIcon(2, QIcon(QPixmap::fromImage(*camera)));
    }
    item->setText(2, hit.sex == 1 ? QStringLiteral("男") : QStringLiteral("女"));
    item->setText(3, QString::number(hit.age));
    item->setText(4, Q(hit.province));
    item->setText(5, Q(hit.city));
    item->setToolTip(1, Q(hit.nickname));
  }
  results_panel_->setTitle(QStringLiteral("查询结果 %1人").arg(rows.size()));
  previous_->setVisible(previous && page > 1);
  next_->setVisible(next);
  page_->setText(QStringLiteral("第%1页").arg(page));
  page_->show();
  if (online_users >= 0) {
    online_->setText(QStringLiteral("当前在线人数:%1").arg(online_users));
    online_->show();
  }
}

const TSearchHit* TSearchForm::SelectedHit() const {
  QTreeWidgetItem* item = results_->currentItem();
  if (!item) return nullptr;
  const std::size_t i = item->data(0, kHitRole).toULongLong();
  return i < rows_.size() ? &rows_[i] : nullptr;
}

void TSearchForm::ShowVerification(const TSearchHit& hit) {
  switch (hit.verify_mode) {
    case 0:
      verification_->setPlainText(kNoVerification);
      verification_->setReadOnly(true);
      add_->setEnabled(true);
      break;
    case 1:
      verification_->setPlainText(kAskVerification);
      verification_->setReadOnly(false);
      verification_->selectAll();
      add_->setEnabled(true);
      break;
    default:
      verification_->setPlainText(kNobodyMayAdd);
      verification_->setReadOnly(true);
      add_->setEnabled(false);
      break;
  }
  criteria_->hide();
  verify_->show();
  verification_->setFocus();
}

void TSearchForm::ShowCriteria() {
  verify_->hide();
  criteria_->show();
}

}  // namespace kiv::friends
