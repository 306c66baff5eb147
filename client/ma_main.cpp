#include "ma_main.h"

#include <QApplication>
#include <QButtonGroup>
#include <QCloseEvent>
#include <QCursor>
#include <QHBoxLayout>
#include <QKeyEvent>
#include <QMouseEvent>
#include <QPixmap>
#include <QScreen>
#include <QUrl>

#include "declare/declare.h"
#include "ma_appearance.h"
#include "manager/global_manager.h"
#include "plugin/plugin_manager.h"
#include "system/edge_dock.h"
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

// A flat picture button of the given size with its hint; the caption stands in for a missing picture.
QToolButton* GlyphButton(const char* name, const char* graphic, const QString& hint, QSize size, QWidget* parent) {
  auto* button = new QToolButton(parent);
  button->setObjectName(QLatin1String(name));
  button->setProperty("graphic", QLatin1String(graphic));
  button->setToolTip(hint);
  button->setAutoRaise(true);
  button->setFixedSize(size);
  button->setFocusPolicy(Qt::NoFocus);
  return button;
}

void SetGlyph(QToolButton* button) {
  const QImage picture = Graphic(button->property("graphic").toByteArray().constData());
  if (picture.isNull()) {
    button->setText(button->toolTip().left(2));
    return;
  }
  button->setIcon(QIcon(QPixmap::fromImage(picture)));
  button->setIconSize(picture.size().boundedTo(button->size() - QSize(2, 2)));
}

// Plug-in messages of the main window's commands.
constexpr std::uint32_t kMsgShowProfile = 0x70004;
constexpr std::uint32_t kMsgOpenSearch = 0x70002;
constexpr std::uint32_t kMsgShowSystemMessages = 0x70007;
constexpr std::uint32_t kMsgSendOwnState = 0x70003;
constexpr std::uint32_t kMsgRefreshOwnData = 0x70050;
constexpr std::uint32_t kMsgShowHints = 0x70002;
constexpr int kPluginButtonHeight = 46;
constexpr int kPhotoSize = 31;
constexpr int kNicknameCut = 42;

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
  auto* strip = new QVBoxLayout(plugin_strip_);
  strip->setContentsMargins(0, 0, 0, 0);
  strip->setSpacing(0);
  plugin_area_ = new QWidget(this);
  plugin_area_->setObjectName(QStringLiteral("PluginPanel"));
  plugin_area_->setLayout(new QVBoxLayout);
  plugin_area_->layout()->setContentsMargins(0, 0, 0, 0);
  middle->addWidget(plugin_strip_);
  middle->addWidget(plugin_area_, 1);
  layout->addLayout(middle, 1);
  BuildBottomBar(layout);

  tray_ = new QSystemTrayIcon(this);
  BuildMenus();
  tray_click_.setSingleShot(true);
  tray_click_.setInterval(QApplication::doubleClickInterval());
  connect(&tray_click_, &QTimer::timeout, this, [this] { state_menu_->popup(QCursor::pos()); });
  connect(tray_, &QSystemTrayIcon::activated, this, [this](QSystemTrayIcon::ActivationReason reason) {
    if (reason == QSystemTrayIcon::DoubleClick) {
      tray_click_.stop();
      ShowMainWindow(true);
    } else if (reason == QSystemTrayIcon::Trigger) {
      tray_click_.start();
    }
  });

  startup_timer_.setSingleShot(true);
  dock_timer_.setInterval(500);
  connect(&dock_timer_, &QTimer::timeout, this, &TMainForm::DockTick);
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
  header_ = new QWidget(this);
  header_->setObjectName(QStringLiteral("Header"));
  header_->setFixedHeight(73);
  header_->installEventFilter(this);
  auto* row = new QHBoxLayout(header_);
  row->setContentsMargins(8, 6, 4, 6);
  row->setSpacing(8);
  frame_ = new QLabel(header_);
  frame_->setObjectName(QStringLiteral("PhotoFrame"));
  frame_->setFixedSize(43, 42);
  frame_->setCursor(Qt::PointingHandCursor);
  frame_->installEventFilter(this);
  photo_ = new QLabel(frame_);
  photo_->setObjectName(QStringLiteral("Photo"));
  photo_->setGeometry(6, 5, kPhotoSize, kPhotoSize);
  photo_->setAlignment(Qt::AlignCenter);
  photo_->setToolTip(QStringLiteral("我的头像"));
  photo_->setAttribute(Qt::WA_TransparentForMouseEvents);
  row->addWidget(frame_, 0, Qt::AlignVCenter);
  auto* lines = new QVBoxLayout;
  lines->setSpacing(1);
  nickname_ = HintedLabel(QStringLiteral("用户号码"), "NicknameLabel", header_);
  state_ = HintedLabel(QStringLiteral("用户状态"), "StateLabel", header_);
  signature_ = HintedLabel(QStringLiteral("编辑个性签名"), "SignatureLabel", header_);
  signature_->setCursor(Qt::IBeamCursor);
  QFont bold = nickname_->font();
  bold.setBold(true);
  nickname_->setFont(bold);
  for (QLabel* label : {nickname_, state_, signature_}) {
    label->setMinimumWidth(0);
    label->setSizePolicy(QSizePolicy::Ignored, QSizePolicy::Preferred);
    label->installEventFilter(this);
  }
  lines->addWidget(nickname_);
  lines->addWidget(state_);
  // The signature line and, in its place while editing, the edit and its confirm button.
  auto* signature_row = new QHBoxLayout;
  signature_row->setSpacing(2);
  signature_edit_ = new QLineEdit(header_);
  signature_edit_->setObjectName(QStringLiteral("SignatureEdit"));
  signature_edit_->setFixedWidth(137);
  signature_edit_->setMaxLength(255);
  signature_edit_->hide();
  signature_edit_->installEventFilter(this);
  signature_ok_ = GlyphButton("SignatureOkButton", "Right", QStringLiteral("确定"), QSize(32, 32), header_);
  signature_ok_->setFixedSize(22, 22);  // the picture is 32 x 32 but the line is a text line high
  signature_ok_->hide();
  connect(signature_ok_, &QToolButton::clicked, this, [this] { manager_->SaveSignature(signature_edit_->text()); });
  signature_row->addWidget(signature_, 1);
  signature_row->addWidget(signature_edit_);
  signature_row->addWidget(signature_ok_);
  signature_row->addStretch(0);
  lines->addLayout(signature_row);
  row->addLayout(lines, 1);
  // The title bar's extra button lives at the header's top right.
  skin_button_ = GlyphButton("SkinButton", "Skin", QStringLiteral("更改外观"), QSize(20, 20), header_);
  connect(skin_button_, &QToolButton::clicked, this, &TMainForm::ShowAppearance);
  row->addWidget(skin_button_, 0, Qt::AlignTop);
  layout->addWidget(header_);
}

void TMainForm::BuildBottomBar(QVBoxLayout* layout) {
  bottom_ = new QWidget(this);
  bottom_->setObjectName(QStringLiteral("BottomBar"));
  bottom_->setFixedHeight(52);
  auto* bar = new QHBoxLayout(bottom_);
  bar->setContentsMargins(2, 2, 8, 2);
  bar->setSpacing(1);
  auto* system = GlyphButton("SysMenuButton", "SysMenuButton", QStringLiteral("系统菜单"), QSize(48, 48), bottom_);
  // The menu opens on mouse up, where the mouse is.
  system->installEventFilter(this);
  bar->addWidget(system);
  bar_buttons_.push_back(system);
  const struct {
    const char* name;
    const char* graphic;
    const char* hint;
  } buttons[] = {{"SetupButton", "Setup", "系统设置"},
                 {"MusicButton", "Music", "系统消息"},
                 {"SearchUserButton", "SearchUser", "查找好友"},
                 {"MoneyButton", "Money", "$MONEY相关"}};
  for (const auto& b : buttons) {
    QToolButton* button = GlyphButton(b.name, b.graphic, QString::fromUtf8(b.hint), QSize(30, 37), bottom_);
    bar->addWidget(button);
    bar_buttons_.push_back(button);
  }
  connect(bar_buttons_[1], &QToolButton::clicked, this, [this] { manager_->ShowSetup(2); });
  connect(bar_buttons_[2], &QToolButton::clicked, this, [] {
    if (PluginManager) PluginManager->DealMessage("KivChat", kMsgShowSystemMessages, nullptr, 0);
  });
  connect(bar_buttons_[3], &QToolButton::clicked, this, &TMainForm::FindFriends);
  connect(bar_buttons_[4], &QToolButton::clicked, this, [this] { money_menu_->popup(QCursor::pos()); });
  bar->addStretch(1);
  balance_ = new QLabel(QStringLiteral("0"), bottom_);
  balance_->setObjectName(QStringLiteral("BalanceLabel"));
  balance_->setToolTip(QStringLiteral("$MONEY"));
  balance_->setAlignment(Qt::AlignRight | Qt::AlignVCenter);
  bar->addWidget(balance_);
  layout->addWidget(bottom_);
}

void TMainForm::FindFriends() {
  std::uint32_t nobody = 0;
  if (PluginManager) PluginManager->DealMessage("KivFriend", kMsgOpenSearch, &nobody, sizeof nobody);
}

void TMainForm::AddMoneyItems(QMenu* menu) {
  menu->addAction(QStringLiteral("$MONEY充值"), this, [this] {
    if (GlobalManager && GlobalManager->Me) manager_->ShowPayPage();
  });
  menu->addAction(QStringLiteral("交易记录"), this, [this] { manager_->ShowMoneyRecord(); });
  menu->addAction(QStringLiteral("$MONEY赠送"), this, [this] { manager_->ShowBank(); });
  menu->addAction(QStringLiteral("道具商城"), this, [this] { manager_->ShowMall(); });
}

void TMainForm::BuildMenus() {
  state_menu_ = new QMenu(this);
  state_menu_->setObjectName(QStringLiteral("StateMenu"));
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
  state_menu_->addSeparator();
  state_menu_->addAction(QStringLiteral("查看资料"), this, [] {
    if (!GlobalManager || !PluginManager) return;
    std::uint32_t own = GlobalManager->Me->UserCode();
    PluginManager->DealMessage("KivFriend", kMsgShowProfile, &own, sizeof own);
  });
  state_menu_->addAction(QStringLiteral("个人设置"), this, [this] { manager_->ShowSetup(0); });
  state_menu_->addAction(QStringLiteral("自定义头像"), this, [this] { manager_->ShowSetup(1); });
  connect(state_menu_, &QMenu::aboutToShow, this, &TMainForm::UpdateStateChecks);

  system_menu_ = new QMenu(this);
  system_menu_->setObjectName(QStringLiteral("SystemMenu"));
  system_menu_->addAction(QStringLiteral("$APP主页"), this,
                          [this] { manager_->Options().open_url(QUrl(Q(HOMEPAGE))); });
  system_menu_->addAction(QStringLiteral("打开主面板"), this, [this] { ShowMainWindow(false); });
  system_menu_->addAction(QStringLiteral("在线客服"), this, [this] { manager_->ShowService(); });
  system_menu_->addAction(QStringLiteral("音视频调节向导"), this, [] {
    if (PluginManager) PluginManager->StartPlugin("KivAVWizard");
  });
  system_menu_->addAction(QStringLiteral("更改外观"), this, &TMainForm::ShowAppearance);
  system_menu_->addSeparator();
  AddMoneyItems(system_menu_);
  system_menu_->addSeparator();
  system_menu_->addAction(QStringLiteral("系统设置"), this, [this] { manager_->ShowSetup(2); });
  system_menu_->addAction(QStringLiteral("个人设置"), this, [this] { manager_->ShowSetup(0); });
  system_menu_->addAction(QStringLiteral("查找好友"), this, &TMainForm::FindFriends);
  system_menu_->addSeparator();
  system_menu_->addAction(QStringLiteral("检查新版本"), this, [this] {
    if (!GlobalManager) return;
    if (GlobalManager->ShowMessage(QStringLiteral("即将退出") + Q(APPNAME) + QStringLiteral("进行自动更新，是否继续？"),
                                   kMessageQuestion) != 1)
      return;
    manager_->RunUpdate();
    manager_->AsynFunction(kActionExit, manager_->Options().exit_delay_ms);
  });
  system_menu_->addAction(QStringLiteral("新手帮助"), this,
                          [this] { manager_->Options().open_url(QUrl(Q(HELPPAGE))); });
  system_menu_->addAction(QStringLiteral("更改用户"), this, [this] {
    TLoginForm* login = manager_->EnsureLoginForm();
    if (login->Users().empty()) manager_->LoadLoginInfo();
    login->SetMainLoginWindow(false);
    login->show();
    BringToFont(login);
  });
  system_menu_->addAction(QStringLiteral("退出"), this,
                          [this] { manager_->AsynFunction(kActionExit, manager_->Options().exit_delay_ms); });
  tray_->setContextMenu(system_menu_);

  money_menu_ = new QMenu(this);
  money_menu_->setObjectName(QStringLiteral("MoneyMenu"));
  AddMoneyItems(money_menu_);
}

void TMainForm::UpdateStateChecks() {
  const std::uint8_t state = GlobalManager && GlobalManager->Me ? GlobalManager->Me->state : kStateOffline;
  state_items_[0]->setChecked(state == kStateOnline);
  state_items_[1]->setChecked(state == kStateInvisible);
  state_items_[2]->setChecked(state == kStateOffline);
}

void TMainForm::SkinAndGraphics() {
  GlobalManager->UpdateFormSkin(this);
  for (auto* menu : {state_menu_, system_menu_, money_menu_}) {
    for (QAction* action : menu->actions()) action->setText(ReplaceBrandNames(action->text()));
  }
  for (QToolButton* button : bar_buttons_) {
    button->setToolTip(ReplaceBrandNames(button->toolTip()));
    SetGlyph(button);
  }
  SetGlyph(skin_button_);
  SetGlyph(signature_ok_);
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
  tray_picture_ = picture;
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
    cycle_pictures_.clear();
    if (state >= 0 && static_cast<std::size_t>(state) < state_pictures_.size())
      SetTrayPicture(state_pictures_[static_cast<std::size_t>(state)]);
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
  signature_edit_->hide();
  signature_ok_->hide();
  signature_->show();
  const QString code = QString::number(me.UserCode());
  nickname_->setText((Q(me.nickname.str()) + QStringLiteral(" [")).left(kNicknameCut) + code + QStringLiteral("]"));
  for (QLabel* label : {state_, signature_, nickname_}) label->setToolTip(label->text());
  tray_->setToolTip(Q(APPNAME) + QStringLiteral("\r\n") + Q(me.nickname.str()) + QStringLiteral("[") + code +
                    QStringLiteral("]"));
  QImage photo;
  if (GlobalManager->SetupInfo.UseCustomPhoto != 0)
    photo = GlobalManager->GetPhoto(me.UserCode(), kPhotoSize, false, kPhotoSize);
  if (photo.isNull() && me.face < GlobalManager->FaceList32.size())
    photo = GlobalManager->FaceList32[me.face];
  if (!photo.isNull()) {
    const bool larger = photo.width() > kPhotoSize || photo.height() > kPhotoSize;
    photo_->setPixmap(QPixmap::fromImage(
        larger ? photo.scaled(kPhotoSize, kPhotoSize, Qt::IgnoreAspectRatio, Qt::SmoothTransformation) : photo));
  }
  balance_->setText(QString::number(me.GetMoney()));
  if (PluginManager) PluginManager->DealMessage("KivChatRoom", kMsgRefreshOwnData, nullptr, 0);
}

void TMainForm::StartSignatureEdit() {
  if (!GlobalManager) return;
  signature_edit_->setText(Q(GlobalManager->SetupInfo.Signature.Text()));
  signature_->hide();
  signature_edit_->show();
  signature_ok_->show();
  signature_edit_->setFocus();
  signature_edit_->selectAll();
}

void TMainForm::ShowAppearance() {
  if (!appearance_) {
    appearance_ = new TAppearanceForm(SKINIMGURL);
    appearance_->setAttribute(Qt::WA_DeleteOnClose);
  }
  appearance_->show();
  BringToFont(appearance_);
}

void TMainForm::ShowMainWindow(bool open_waiting) {
  if (!GlobalManager || GlobalManager->RunState == kRunStarting) return;
  if (GlobalManager->HintCount > 0 && PluginManager)
    PluginManager->DealMessage("KivHint", kMsgShowHints, nullptr, 0);
  if (GlobalManager->HintCount == 0) UpdateTrayIcon(-1);
  if (GlobalManager->WaitShowFormList.empty()) {
    if (!shown_) ShowFromEdge();
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
  for (auto* group : plugin_strip_->findChildren<QButtonGroup*>(QString(), Qt::FindDirectChildrenOnly))
    delete group;
  auto* group = new QButtonGroup(plugin_strip_);
  group->setExclusive(true);
  const struct {
    const char* graphic;
    const char* plugin;
    const char* hint;
  } buttons[] = {{"FriendActive", "KivFriend", "好友"}, {"ChatRoomActive", "KivChatRoom", "聊天室"}};
  for (const auto& b : buttons) {
    auto* button = new QToolButton(plugin_strip_);
    button->setObjectName(QLatin1String(b.plugin) + QStringLiteral("Button"));
    button->setToolTip(Q(APPNAME) + QString::fromUtf8(b.hint));
    button->setAutoRaise(true);
    button->setCheckable(true);
    button->setFocusPolicy(Qt::NoFocus);
    button->setFixedSize(plugin_strip_->width(), kPluginButtonHeight);
    const QImage glyph = Graphic(b.graphic);
    if (!glyph.isNull()) {
      button->setIcon(QIcon(QPixmap::fromImage(glyph)));
      button->setIconSize(glyph.size().boundedTo(button->size() - QSize(4, 4)));
    } else {
      button->setText(QString::fromUtf8(b.hint).left(1));
    }
    group->addButton(button);
    const std::string plugin = b.plugin;
    connect(button, &QToolButton::clicked, this, [this, plugin] {
      if (!GlobalManager || GlobalManager->RunState != kRunSignedIn) return;
      if (manager_->Options().play_sound)
        manager_->Options().play_sound(std::filesystem::path(GlobalManager->AppPath) / "Sounds" / "Button.wav");
      if (PluginManager) PluginManager->StartPlugin(plugin);
    });
    strip->addWidget(button);
  }
  if (!group->buttons().isEmpty()) group->buttons().first()->setChecked(true);
  static_cast<QVBoxLayout*>(strip)->addStretch(1);
}

// --- Sliding into the screen edge --------------------------------------------------------------

void TMainForm::DockTick() {
  if (sliding_ || !GlobalManager) return;
  const QScreen* screen = this->screen() ? this->screen() : QGuiApplication::primaryScreen();
  if (!screen) return;
  TDockTick tick;
  tick.window = frameGeometry();
  tick.mouse = QCursor::pos();
  tick.screen_width = screen->geometry().width();
  tick.left_button_down = (QApplication::mouseButtons() & Qt::LeftButton) != 0;
  tick.edge_hiding_on = GlobalManager->SetupInfo.AutoHideMain != 0;
  tick.shown = shown_;
  tick.normal_state = (windowState() & (Qt::WindowMaximized | Qt::WindowMinimized | Qt::WindowFullScreen)) == 0;
  switch (DockTickAction(tick)) {
    case TDockAction::Hide:
      HideToEdge();
      break;
    case TDockAction::Show:
      ShowFromEdge();
      break;
    case TDockAction::None:
      break;
  }
}

void TMainForm::Slide(const std::vector<QPoint>& steps) {
  sliding_ = true;
  for (const QPoint& step : steps) {
    const QPoint before = pos();
    move(step);
    QCoreApplication::processEvents();
    // A window manager that places windows itself (Wayland) leaves the window where it is.
    if (pos() == before && step != before) break;
  }
  sliding_ = false;
}

void TMainForm::HideToEdge() {
  const QScreen* screen = this->screen() ? this->screen() : QGuiApplication::primaryScreen();
  if (!screen) return;
  const std::vector<QPoint> steps = HideToEdgeSteps(frameGeometry(), screen->geometry().width());
  if (steps.empty()) return;
  shown_ = false;
  Slide(steps);
}

void TMainForm::ShowFromEdge() {
  const QScreen* screen = this->screen() ? this->screen() : QGuiApplication::primaryScreen();
  shown_ = true;
  if (!screen) return;
  Slide(ShowFromEdgeSteps(frameGeometry(), screen->geometry().width()));
}

// --- Window messages -----------------------------------------------------------------------------

bool TMainForm::eventFilter(QObject* watched, QEvent* event) {
  if (event->type() == QEvent::MouseButtonPress) {
    if (watched == frame_) {
      state_menu_->popup(QCursor::pos());
      return true;
    }
    if (watched == signature_) {
      StartSignatureEdit();
      return true;
    }
    if (watched == header_ || watched == nickname_ || watched == state_) {
      if (SignatureEditing()) manager_->SaveSignature(signature_edit_->text());
    }
  } else if (event->type() == QEvent::MouseButtonRelease && !bar_buttons_.empty() && watched == bar_buttons_[0]) {
    system_menu_->popup(QCursor::pos());
  } else if (event->type() == QEvent::KeyRelease && watched == signature_edit_) {
    const int key = static_cast<QKeyEvent*>(event)->key();
    if (key == Qt::Key_Return || key == Qt::Key_Enter) manager_->SaveSignature(signature_edit_->text());
  }
  return QWidget::eventFilter(watched, event);
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
