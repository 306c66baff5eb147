#include "ma_main.h"

#include <QApplication>
#include <QCloseEvent>
#include <QHBoxLayout>
#include <QPixmap>
#include <QToolButton>

#include "declare/declare.h"
#include "manager/global_manager.h"
#include "plugin/plugin_manager.h"
#include "system/window_helpers.h"

namespace kiv {

namespace {

QString Q(const std::string& utf8) { return QString::fromStdString(utf8); }

QImage Graphic(const char* name) {
  QImage picture;
  if (GlobalManager) GlobalManager->SetGraphic(QLatin1String(name), picture);
  return picture;
}

QLabel* HintedLabel(const QString& text, const char* name, QWidget* parent) {
  auto* label = new QLabel(text, parent);
  label->setObjectName(QLatin1String(name));
  label->setToolTip(text);
  return label;
}

}  // namespace

TMainForm::TMainForm(TManagerOptions options) {
  setObjectName(QStringLiteral("MainForm"));
  setWindowTitle(QStringLiteral("$APP娱乐"));
  setWindowFlag(Qt::Tool, true);  // no task-bar button: the tray icon and the hot key reach it
  resize(241, 480);

  auto* layout = new QVBoxLayout(this);
  layout->setContentsMargins(0, 0, 0, 0);
  layout->setSpacing(0);
  BuildHeader(layout);
  auto* middle = new QHBoxLayout;
  middle->setSpacing(0);
  plugin_strip_ = new QWidget(this);
  plugin_strip_->setObjectName(QStringLiteral("PluginStrip"));
  plugin_strip_->setFixedWidth(36);
  new QVBoxLayout(plugin_strip_);
  plugin_area_ = new QWidget(this);
  plugin_area_->setObjectName(QStringLiteral("PluginPanel"));
  plugin_area_->setLayout(new QVBoxLayout);
  plugin_area_->layout()->setContentsMargins(0, 0, 0, 0);
  middle->addWidget(plugin_strip_);
  middle->addWidget(plugin_area_, 1);
  layout->addLayout(middle, 1);
  auto* bottom = new QWidget(this);
  bottom->setObjectName(QStringLiteral("BottomBar"));
  bottom->setFixedHeight(52);
  auto* bar = new QHBoxLayout(bottom);
  bar->addStretch(1);
  balance_ = new QLabel(QStringLiteral("0"), bottom);
  balance_->setObjectName(QStringLiteral("BalanceLabel"));
  balance_->setToolTip(QStringLiteral("$MONEY"));
  bar->addWidget(balance_);
  layout->addWidget(bottom);

  tray_ = new QSystemTrayIcon(this);
  BuildMenus();
  connect(tray_, &QSystemTrayIcon::activated, this, [this](QSystemTrayIcon::ActivationReason reason) {
    if (reason == QSystemTrayIcon::DoubleClick) ShowMainWindow(true);
    if (reason == QSystemTrayIcon::Trigger) state_menu_->popup(QCursor::pos());
  });

  startup_timer_.setSingleShot(true);
  dock_timer_.setInterval(500);
  cycle_timer_.setInterval(500);
  connect(&cycle_timer_, &QTimer::timeout, this, &TMainForm::CycleTray);

  manager_ = std::make_unique<TManager>(this, std::move(options));
  manager_->Start();
}

TMainForm::~TMainForm() {
  closing_ = true;
  manager_.reset();
}

void TMainForm::BuildHeader(QVBoxLayout* layout) {
  auto* header = new QWidget(this);
  header->setObjectName(QStringLiteral("Header"));
  header->setFixedHeight(73);
  auto* row = new QHBoxLayout(header);
  frame_ = new QLabel(header);
  frame_->setObjectName(QStringLiteral("PhotoFrame"));
  frame_->setFixedSize(43, 42);
  photo_ = new QLabel(frame_);
  photo_->setObjectName(QStringLiteral("Photo"));
  photo_->setGeometry(6, 5, 31, 31);
  photo_->setAlignment(Qt::AlignCenter);
  photo_->setToolTip(QStringLiteral("我的头像"));
  row->addWidget(frame_);
  auto* lines = new QVBoxLayout;
  nickname_ = HintedLabel(QStringLiteral("用户号码"), "NicknameLabel", header);
  state_ = HintedLabel(QStringLiteral("用户状态"), "StateLabel", header);
  signature_ = HintedLabel(QStringLiteral("编辑个性签名"), "SignatureLabel", header);
  lines->addWidget(nickname_);
  lines->addWidget(state_);
  lines->addWidget(signature_);
  row->addLayout(lines, 1);
  layout->addWidget(header);
}

void TMainForm::BuildMenus() {
  state_menu_ = new QMenu(this);
  const struct {
    const char* text;
    std::uint8_t state;
  } states[] = {{"联机", kStateOnline}, {"隐身", kStateInvisible}, {"脱机", kStateOffline}};
  for (const auto& s : states) {
    QAction* action = state_menu_->addAction(QString::fromUtf8(s.text));
    action->setCheckable(true);
    const std::uint8_t state = s.state;
    connect(action, &QAction::triggered, this, [this, state] {
      if (manager_) manager_->ChangeState(state);
    });
    state_items_.push_back(action);
  }
  connect(state_menu_, &QMenu::aboutToShow, this, [this] {
    const std::uint8_t state = GlobalManager && GlobalManager->Me ? GlobalManager->Me->state : kStateOffline;
    state_items_[0]->setChecked(state == kStateOnline);
    state_items_[1]->setChecked(state == kStateInvisible);
    state_items_[2]->setChecked(state == kStateOffline);
  });

  system_menu_ = new QMenu(this);
  system_menu_->addAction(QStringLiteral("打开主面板"), this, [this] { ShowMainWindow(false); });
  system_menu_->addAction(QStringLiteral("在线客服"), this, [this] { manager_->ShowService(); });
  system_menu_->addSeparator();
  system_menu_->addAction(QStringLiteral("交易记录"), this, [this] { manager_->ShowMoneyRecord(); });
  system_menu_->addAction(QStringLiteral("$MONEY赠送"), this, [this] { manager_->ShowBank(); });
  system_menu_->addAction(QStringLiteral("道具商城"), this, [this] { manager_->ShowMall(); });
  system_menu_->addSeparator();
  system_menu_->addAction(QStringLiteral("退出"), this,
                          [this] { manager_->AsynFunction(kActionExit, manager_->Options().exit_delay_ms); });
  tray_->setContextMenu(system_menu_);
}

void TMainForm::SkinAndGraphics() {
  GlobalManager->UpdateFormSkin(this);
  for (auto* menu : {state_menu_, system_menu_}) {
    for (QAction* action : menu->actions()) action->setText(ReplaceBrandNames(action->text()));
  }
  balance_->setToolTip(ReplaceBrandNames(balance_->toolTip()));
  state_pictures_ = {Graphic("ico1"), Graphic("ico2"), Graphic("ico3")};
  notice_pictures_ = {Graphic("ico4"), Graphic("ico5"), Graphic("ico6"), Graphic("ico7")};
  login_pictures_ = {Graphic("loginico1"), Graphic("loginico2")};
  const QImage frame = Graphic("PhotoFrame");
  if (!frame.isNull()) frame_->setPixmap(QPixmap::fromImage(frame));
  if (auto* mailbox = findChild<TFormMailbox*>(QString(), Qt::FindDirectChildrenOnly))
    connect(mailbox, &TFormMailbox::TextReceived, this, [this](const QString& text) {
      if (manager_) manager_->OnFormText(text);
    });
}

void TMainForm::SetStateItemsEnabled(bool enabled) {
  for (QAction* action : state_items_) action->setEnabled(enabled);
}

void TMainForm::SetTrayPicture(const QImage& picture) {
  if (!picture.isNull()) tray_->setIcon(QIcon(QPixmap::fromImage(picture)));
  tray_->show();
}

void TMainForm::StartCycle(std::vector<QImage> pictures) {
  cycle_pictures_ = std::move(pictures);
  cycle_index_ = 0;
  CycleTray();
  cycle_timer_.start();
}

void TMainForm::CycleTray() {
  if (cycle_pictures_.empty()) return;
  SetTrayPicture(cycle_pictures_[cycle_index_ % cycle_pictures_.size()]);
  ++cycle_index_;
}

void TMainForm::ShowLoggingInIcon() {
  tray_->setToolTip(QStringLiteral("正在登录") + Q(APPNAME) + QStringLiteral("..."));
  StartCycle(login_pictures_);
}

void TMainForm::UpdateTrayIcon(int state) {
  if (!GlobalManager) return;
  if (GlobalManager->WaitShowFormList.empty()) {
    if (state < 0) state = GlobalManager->Me->state;
    cycle_timer_.stop();
    if (state >= 0 && static_cast<std::size_t>(state) < state_pictures_.size())
      SetTrayPicture(state_pictures_[state]);
    return;
  }
  const TWaitShowForm& first = *GlobalManager->WaitShowFormList.front();
  QImage second;
  if (first.kind == kWaitChatMessage) {
    const TFriend* person = GlobalManager->GetFriendInfo(first.user_code);
    if (!person) return;
    if (person->face < GlobalManager->FaceList16.size()) second = GlobalManager->FaceList16[person->face];
  } else if (first.kind == 2) {
    second = notice_pictures_[0];
  } else if (first.kind == 3) {
    second = notice_pictures_[1];
  }
  std::vector<QImage> cycle{notice_pictures_[3]};
  if (!second.isNull()) cycle.push_back(second);
  StartCycle(std::move(cycle));
}

void TMainForm::FlashNoticeIcon() { StartCycle({notice_pictures_[3], notice_pictures_[0]}); }

void TMainForm::ShowMyInfo() {
  if (!GlobalManager || GlobalManager->Me->UserCode() == 0) return;
  const TMe& me = *GlobalManager->Me;
  const QString word = me.state == kStateOnline      ? QStringLiteral("在线")
                       : me.state == kStateInvisible ? QStringLiteral("隐身")
                                                     : QStringLiteral("离线");
  std::string type;
  me.GetUserType(type);
  state_->setText(word + QStringLiteral(" [") + Q(type) + QStringLiteral("]"));
  const std::string signature = GlobalManager->SetupInfo.Signature.Text();
  signature_->setText(signature.empty() ? QStringLiteral("编辑个性签名") : Q(signature));
  const QString code = QString::number(me.UserCode());
  nickname_->setText((Q(me.nickname.str()) + QStringLiteral(" [")).left(42) + code + QStringLiteral("]"));
  for (QLabel* label : {state_, signature_, nickname_}) label->setToolTip(label->text());
  tray_->setToolTip(Q(APPNAME) + QStringLiteral("\r\n") + Q(me.nickname.str()) + QStringLiteral("[") + code +
                    QStringLiteral("]"));
  QImage photo;
  if (GlobalManager->SetupInfo.UseCustomPhoto != 0)
    photo = GlobalManager->GetPhoto(me.UserCode(), 31, false, 31);
  if (photo.isNull() && me.face < GlobalManager->FaceList32.size())
    photo = GlobalManager->FaceList32[me.face];
  if (!photo.isNull()) {
    const bool larger = photo.width() > 31 || photo.height() > 31;
    photo_->setPixmap(QPixmap::fromImage(
        larger ? photo.scaled(31, 31, Qt::IgnoreAspectRatio, Qt::SmoothTransformation) : photo));
  }
  balance_->setText(QString::number(me.GetMoney()));
  if (PluginManager) PluginManager->DealMessage("KivChatRoom", 0x70050, nullptr, 0);
}

void TMainForm::ShowMainWindow(bool open_waiting) {
  if (!GlobalManager || GlobalManager->RunState == kRunStarting) return;
  if (GlobalManager->HintCount > 0 && PluginManager)
    PluginManager->DealMessage("KivHint", 0x70002, nullptr, 0);
  if (GlobalManager->HintCount == 0) UpdateTrayIcon(-1);
  if (GlobalManager->WaitShowFormList.empty()) {
    show();
    BringToFont(this);
  } else if (open_waiting) {
    if (QWidget* window = GlobalManager->WaitShowFormList.front()->window) {
      window->show();
      BringToFont(window);
    }
  }
}

void TMainForm::BuildPluginButtons() {
  auto* strip = plugin_strip_->layout();
  while (QLayoutItem* item = strip->takeAt(0)) {
    delete item->widget();
    delete item;
  }
  if (!PluginManager) return;
  for (const auto& plug : PluginManager->Items()) {
    if (plug->info.kind != kPluginKindPage) continue;
    const QString name = Q(plug->info.name.Text());
    auto* button = new QToolButton(plugin_strip_);
    button->setObjectName(name + QStringLiteral("Button"));
    button->setToolTip(Q(plug->info.caption.Text()));
    QImage glyph;
    GlobalManager->SetGraphic(Q(plug->info.inactive_graphic.Text()), glyph);
    if (!glyph.isNull()) button->setIcon(QIcon(QPixmap::fromImage(glyph)));
    connect(button, &QToolButton::clicked, this, [name] {
      if (PluginManager) PluginManager->StartPlugin(name.toStdString());
    });
    strip->addWidget(button);
  }
  static_cast<QVBoxLayout*>(strip)->addStretch(1);
}

void TMainForm::closeEvent(QCloseEvent* event) {
  if (closing_) {
    QWidget::closeEvent(event);
    return;
  }
  event->ignore();
  hide();
}

void TMainForm::changeEvent(QEvent* event) {
  QWidget::changeEvent(event);
  if (event->type() == QEvent::WindowStateChange && isMinimized()) {
    setWindowState(windowState() & ~Qt::WindowMinimized);
    hide();
  }
}

}  // namespace kiv
