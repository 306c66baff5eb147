#include "ma_sys_setup.h"

#include <QButtonGroup>
#include <QColorDialog>
#include <QFileDialog>
#include <QFontDialog>
#include <QGridLayout>
#include <QGroupBox>
#include <QHBoxLayout>
#include <QKeyEvent>
#include <QStandardPaths>
#include <QStringList>
#include <QVBoxLayout>

#include "manager/global_manager.h"

namespace kiv {
namespace {

constexpr int kFontNameLength = 40;

QString PathText(const std::filesystem::path& path) { return QString::fromStdString(path.string()); }

// Windows colour (red in the low byte) to and from Qt.
QColor ColorFromStored(std::int32_t value) {
  const auto v = static_cast<std::uint32_t>(value);
  return {static_cast<int>(v & 0xFF), static_cast<int>((v >> 8) & 0xFF), static_cast<int>((v >> 16) & 0xFF)};
}
std::int32_t ColorToStored(const QColor& color) {
  return static_cast<std::int32_t>(static_cast<std::uint32_t>(color.red()) |
                                   (static_cast<std::uint32_t>(color.green()) << 8) |
                                   (static_cast<std::uint32_t>(color.blue()) << 16));
}

QFont FontFromSetup(const TSetupInfo& setup) {
  QFont font(QString::fromStdString(setup.FontName.Text()));
  font.setPointSize(setup.FontSize > 0 ? setup.FontSize : 9);
  font.setBold((setup.FontStyle & kFontBold) != 0);
  font.setItalic((setup.FontStyle & kFontItalic) != 0);
  font.setUnderline((setup.FontStyle & kFontUnderline) != 0);
  font.setStrikeOut((setup.FontStyle & kFontStrikeOut) != 0);
  return font;
}

QCheckBox* Box(const char* text, QWidget* parent) { return new QCheckBox(QString::fromUtf8(text), parent); }

// Key codes of the keys that have no letter or digit of their own.
struct TKeyCode {
  int qt;
  std::uint8_t code;
  const char* name;
};
constexpr TKeyCode kNamedKeys[] = {
    {Qt::Key_Backspace, 0x08, "Backspace"},
    {Qt::Key_Tab, 0x09, "Tab"},
    {Qt::Key_Return, 0x0D, "Enter"},
    {Qt::Key_Enter, 0x0D, "Enter"},
    {Qt::Key_Pause, 0x13, "Pause"},
    {Qt::Key_Escape, 0x1B, "Esc"},
    {Qt::Key_Space, 0x20, "Space"},
    {Qt::Key_PageUp, 0x21, "Page Up"},
    {Qt::Key_PageDown, 0x22, "Page Down"},
    {Qt::Key_End, 0x23, "End"},
    {Qt::Key_Home, 0x24, "Home"},
    {Qt::Key_Left, 0x25, "Left"},
    {Qt::Key_Up, 0x26, "Up"},
    {Qt::Key_Right, 0x27, "Right"},
    {Qt::Key_Down, 0x28, "Down"},
    {Qt::Key_Print, 0x2C, "Print Screen"},
    {Qt::Key_Insert, 0x2D, "Ins"},
    {Qt::Key_Delete, 0x2E, "Del"},
    {Qt::Key_Semicolon, 0xBA, ";"},
    {Qt::Key_Equal, 0xBB, "="},
    {Qt::Key_Comma, 0xBC, ","},
    {Qt::Key_Minus, 0xBD, "-"},
    {Qt::Key_Period, 0xBE, "."},
    {Qt::Key_Slash, 0xBF, "/"},
    {Qt::Key_QuoteLeft, 0xC0, "`"},
    {Qt::Key_BracketLeft, 0xDB, "["},
    {Qt::Key_Backslash, 0xDC, "\\"},
    {Qt::Key_BracketRight, 0xDD, "]"},
    {Qt::Key_Apostrophe, 0xDE, "'"},
};

constexpr int kFirstFunctionKeyCode = 0x70;  // F1
constexpr int kFunctionKeys = 24;

const char* const kSoundNames[kSetupSoundCount] = {"金币增加", "金币减少", "好友上线", "好友离线",
                                                   "系统消息", "客户消息", "好友提醒"};

}  // namespace

std::uint16_t HotKeyFromQt(int key, Qt::KeyboardModifiers modifiers) {
  int code = 0;
  if (key >= Qt::Key_A && key <= Qt::Key_Z) {
    code = 'A' + (key - Qt::Key_A);
  } else if (key >= Qt::Key_0 && key <= Qt::Key_9) {
    code = '0' + (key - Qt::Key_0);
  } else if (key >= Qt::Key_F1 && key < Qt::Key_F1 + kFunctionKeys) {
    code = kFirstFunctionKeyCode + (key - Qt::Key_F1);
  } else {
    for (const TKeyCode& named : kNamedKeys)
      if (named.qt == key) code = named.code;
  }
  if (code == 0) return 0;
  std::uint16_t value = static_cast<std::uint16_t>(code);
  if (modifiers & Qt::ShiftModifier) value |= kHotKeyShift;
  if (modifiers & Qt::ControlModifier) value |= kHotKeyCtrl;
  if (modifiers & Qt::AltModifier) value |= kHotKeyAlt;
  return value;
}

QString HotKeyText(std::uint16_t shortcut) {
  const int code = shortcut & 0xFF;
  if (code == 0) return QStringLiteral("无");
  QStringList parts;
  if (shortcut & kHotKeyCtrl) parts << QStringLiteral("Ctrl");
  if (shortcut & kHotKeyShift) parts << QStringLiteral("Shift");
  if (shortcut & kHotKeyAlt) parts << QStringLiteral("Alt");
  QString key;
  if ((code >= 'A' && code <= 'Z') || (code >= '0' && code <= '9')) {
    key = QChar(code);
  } else if (code >= kFirstFunctionKeyCode && code < kFirstFunctionKeyCode + kFunctionKeys) {
    key = QStringLiteral("F%1").arg(code - kFirstFunctionKeyCode + 1);
  } else {
    for (const TKeyCode& named : kNamedKeys)
      if (named.code == code && key.isEmpty()) key = QString::fromUtf8(named.name);
    if (key.isEmpty()) key = QStringLiteral("0x%1").arg(code, 2, 16, QLatin1Char('0'));
  }
  parts << key;
  return parts.join(QStringLiteral(" + "));
}

THotKeyEdit::THotKeyEdit(QWidget* parent) : QLineEdit(parent) {
  setReadOnly(true);
  setContextMenuPolicy(Qt::NoContextMenu);
  SetValue(0);
}

void THotKeyEdit::SetValue(std::uint16_t shortcut) {
  value_ = shortcut;
  setText(HotKeyText(shortcut));
}

void THotKeyEdit::keyPressEvent(QKeyEvent* event) {
  const Qt::KeyboardModifiers modifiers =
      event->modifiers() & (Qt::ShiftModifier | Qt::ControlModifier | Qt::AltModifier);
  const int key = event->key();
  if ((key == Qt::Key_Backspace || key == Qt::Key_Delete) && modifiers == Qt::NoModifier) {
    SetValue(0);
    return;
  }
  if (key == Qt::Key_Tab || key == Qt::Key_Backtab) {
    QLineEdit::keyPressEvent(event);  // focus moves on
    return;
  }
  std::uint16_t value = HotKeyFromQt(key, modifiers);
  if (value == 0) return;  // a modifier alone: wait for the key
  if ((value & (kHotKeyCtrl | kHotKeyAlt)) == 0) value |= kHotKeyAlt;
  SetValue(value);
}

TSysSetupFrame::TSysSetupFrame(std::function<void(const std::filesystem::path&)> play_sound, QWidget* parent)
    : QWidget(parent), play_sound_(std::move(play_sound)), pages_(new QStackedWidget(this)) {
  auto* layout = new QVBoxLayout(this);
  layout->setContentsMargins(0, 0, 0, 0);
  layout->addWidget(pages_);
  pages_->addWidget(BuildBasicPage());
  pages_->addWidget(BuildSoundPage());
  pages_->addWidget(BuildMessagesPage());
}

QWidget* TSysSetupFrame::BuildBasicPage() {
  auto* page = new QWidget(this);
  auto* layout = new QVBoxLayout(page);
  auto* friends = new QGroupBox(QStringLiteral("好友与登录"), page);
  auto* grid = new QGridLayout(friends);
  online_hint_ = Box("好友上线通知", friends);
  offline_hint_ = Box("好友下线通知", friends);
  only_online_ = Box("只显示在线好友", friends);
  show_photos_ = Box("好友列表中显示自定义头像", friends);
  invisible_ = Box("隐身方式登录", friends);
  remember_ = Box("记住密码登录", friends);
  grid->addWidget(online_hint_, 0, 0);
  grid->addWidget(offline_hint_, 0, 1);
  grid->addWidget(only_online_, 1, 0);
  grid->addWidget(show_photos_, 1, 1);
  grid->addWidget(invisible_, 2, 0);
  grid->addWidget(remember_, 2, 1);
  layout->addWidget(friends);

  auto* hot_keys = new QGroupBox(QStringLiteral("热键"), page);
  auto* hot_layout = new QGridLayout(hot_keys);
  use_hot_key_ = Box("使用呼出热键", hot_keys);
  default_hot_key_ = new QRadioButton(QStringLiteral("默认热键"), hot_keys);
  custom_hot_key_ = new QRadioButton(QStringLiteral("自定义热键"), hot_keys);
  hot_key_ = new THotKeyEdit(hot_keys);
  auto* radios = new QButtonGroup(hot_keys);
  radios->addButton(default_hot_key_);
  radios->addButton(custom_hot_key_);
  hot_layout->addWidget(use_hot_key_, 0, 0, 1, 2);
  hot_layout->addWidget(default_hot_key_, 1, 0);
  hot_layout->addWidget(new QLabel(HotKeyText(kDefaultHotKey).toUpper(), hot_keys), 1, 1);
  hot_layout->addWidget(custom_hot_key_, 2, 0);
  hot_layout->addWidget(hot_key_, 2, 1);
  layout->addWidget(hot_keys);

  auto* other = new QGroupBox(QStringLiteral("其他"), page);
  auto* other_layout = new QVBoxLayout(other);
  auto_run_ = Box("系统启动自动运行", other);
  auto_hide_ = Box("主窗口自动隐藏", other);
  auto_lobby_ = Box("登录后自动弹出聊天室窗口", other);
  other_layout->addWidget(auto_run_);
  other_layout->addWidget(auto_hide_);
  other_layout->addWidget(auto_lobby_);
  layout->addWidget(other);
  layout->addStretch();

  connect(use_hot_key_, &QCheckBox::toggled, this, &TSysSetupFrame::EnableHotKeyControls);
  connect(custom_hot_key_, &QRadioButton::toggled, this, &TSysSetupFrame::EnableHotKeyControls);
  return page;
}

QWidget* TSysSetupFrame::BuildSoundPage() {
  auto* page = new QWidget(this);
  auto* layout = new QVBoxLayout(page);
  auto* switch_box = new QGroupBox(QStringLiteral("声音开关"), page);
  auto* switch_layout = new QHBoxLayout(switch_box);
  sound_on_ = new QRadioButton(QStringLiteral("打开声音"), switch_box);
  sound_off_ = new QRadioButton(QStringLiteral("关闭声音"), switch_box);
  switch_layout->addWidget(sound_on_);
  switch_layout->addWidget(sound_off_);
  switch_layout->addStretch();
  layout->addWidget(switch_box);

  auto* files = new QGroupBox(QStringLiteral("声音文件"), page);
  auto* grid = new QGridLayout(files);
  sound_list_ = new QComboBox(files);
  for (const char* name : kSoundNames) sound_list_->addItem(QString::fromUtf8(name));
  sound_path_ = new QLineEdit(files);
  auto* browse = new QPushButton(QStringLiteral("浏览"), files);
  play_ = new QPushButton(QStringLiteral("播放"), files);
  grid->addWidget(new QLabel(QStringLiteral("声音："), files), 0, 0);
  grid->addWidget(sound_list_, 0, 1, 1, 3);
  grid->addWidget(new QLabel(QStringLiteral("路径："), files), 1, 0);
  grid->addWidget(sound_path_, 1, 1, 1, 3);
  grid->addWidget(browse, 2, 2);
  grid->addWidget(play_, 2, 3);
  grid->setColumnStretch(1, 1);
  layout->addWidget(files);
  layout->addStretch();

  connect(sound_list_, &QComboBox::currentIndexChanged, this, [this](int index) {
    if (index >= 0 && index < static_cast<int>(kSetupSoundCount))
      sound_path_->setText(sound_paths_[static_cast<std::size_t>(index)]);
  });
  connect(sound_path_, &QLineEdit::textChanged, this, [this](const QString& text) {
    const int index = sound_list_->currentIndex();
    if (index >= 0 && index < static_cast<int>(kSetupSoundCount))
      sound_paths_[static_cast<std::size_t>(index)] = text;
  });
  connect(browse, &QPushButton::clicked, this, &TSysSetupFrame::BrowseSound);
  connect(play_, &QPushButton::clicked, this, [this] {
    if (play_sound_ && !sound_path_->text().isEmpty()) play_sound_(sound_path_->text().toStdString());
  });
  return page;
}

QWidget* TSysSetupFrame::BuildMessagesPage() {
  auto* page = new QWidget(this);
  auto* layout = new QVBoxLayout(page);
  auto* font_box = new QGroupBox(QStringLiteral("字体"), page);
  auto* font_layout = new QHBoxLayout(font_box);
  font_sample_ = new QLabel(font_box);
  auto* change_font = new QPushButton(QStringLiteral("更改字体"), font_box);
  font_layout->addWidget(new QLabel(QStringLiteral("更改即时消息字体："), font_box));
  font_layout->addWidget(font_sample_, 1);
  font_layout->addWidget(change_font);
  layout->addWidget(font_box);

  auto* files = new QGroupBox(QStringLiteral("文件"), page);
  auto* files_layout = new QGridLayout(files);
  receive_folder_ = new QLineEdit(files);
  auto* choose = new QPushButton(QStringLiteral("选择"), files);
  files_layout->addWidget(new QLabel(QStringLiteral("收到的文件保存在："), files), 0, 0, 1, 2);
  files_layout->addWidget(receive_folder_, 1, 0);
  files_layout->addWidget(choose, 1, 1);
  layout->addWidget(files);

  auto* messages = new QGroupBox(QStringLiteral("消息"), page);
  auto* messages_layout = new QVBoxLayout(messages);
  auto_popup_ = Box("自动弹出消息", messages);
  save_history_ = Box("自动保存消息历史纪录", messages);
  refuse_invite_ = Box("拒绝好友聊天室邀请", messages);
  messages_layout->addWidget(auto_popup_);
  messages_layout->addWidget(save_history_);
  messages_layout->addWidget(refuse_invite_);
  layout->addWidget(messages);
  layout->addStretch();

  connect(change_font, &QPushButton::clicked, this, &TSysSetupFrame::ChooseFont);
  connect(choose, &QPushButton::clicked, this, &TSysSetupFrame::ChooseReceiveFolder);
  return page;
}

void TSysSetupFrame::EnableHotKeyControls() {
  const bool use = use_hot_key_->isChecked();
  default_hot_key_->setEnabled(use);
  custom_hot_key_->setEnabled(use);
  hot_key_->setEnabled(use && custom_hot_key_->isChecked());
}

void TSysSetupFrame::LoadFromSetup(const TSetupInfo& setup) {
  online_hint_->setChecked(setup.FriendOnlineHint != 0);
  only_online_->setChecked(setup.OnlyShowOnline != 0);
  use_hot_key_->setChecked(setup.UseHotKey != 0);
  const bool custom = setup.HotKey != kDefaultHotKey;
  (custom ? custom_hot_key_ : default_hot_key_)->setChecked(true);
  hot_key_->SetValue(custom ? setup.HotKey : 0);
  EnableHotKeyControls();
  auto_run_->setChecked(setup.AutoRun != 0);
  offline_hint_->setChecked(setup.FriendOfflineHint != 0);
  auto_hide_->setChecked(setup.AutoHideMain != 0);
  show_photos_->setChecked(setup.ShowCustomPhotos != 0);
  auto_lobby_->setChecked(setup.AutoOpenLobby != 0);

  (setup.SoundOn != 0 ? sound_on_ : sound_off_)->setChecked(true);
  const std::filesystem::path app = GlobalManager ? GlobalManager->AppPath : std::string();
  for (std::size_t i = 0; i < kSetupSoundCount; ++i) {
    const std::string stored = setup.Sounds[i].Text();
    sound_paths_[i] = stored.empty() ? QString() : PathText(ResolveSetupPath(app, stored));
  }
  sound_list_->setCurrentIndex(0);
  sound_path_->setText(sound_paths_[0]);

  ShowFontSample();
  const std::string folder = setup.ReceiveFolder.Text();
  receive_folder_->setText(folder.empty() ? QString() : PathText(ResolveSetupPath(app, folder)));
  auto_popup_->setChecked(setup.AutoPopupMessage != 0);
  save_history_->setChecked(setup.SaveHistory != 0);
  refuse_invite_->setChecked(setup.RefuseRoomInvite != 0);
}

void TSysSetupFrame::StoreToSetup() const {
  if (!GlobalManager) return;
  TSetupInfo& setup = GlobalManager->SetupInfo;
  setup.FriendOnlineHint = online_hint_->isChecked() ? 1 : 0;
  setup.OnlyShowOnline = only_online_->isChecked() ? 1 : 0;
  setup.UseHotKey = use_hot_key_->isChecked() ? 1 : 0;
  if (!use_hot_key_->isChecked())
    setup.HotKey = 0;
  else
    setup.HotKey = custom_hot_key_->isChecked() ? hot_key_->Value() : kDefaultHotKey;
  setup.AutoRun = auto_run_->isChecked() ? 1 : 0;
  setup.FriendOfflineHint = offline_hint_->isChecked() ? 1 : 0;
  setup.AutoHideMain = auto_hide_->isChecked() ? 1 : 0;
  setup.ShowCustomPhotos = show_photos_->isChecked() ? 1 : 0;
  setup.AutoOpenLobby = auto_lobby_->isChecked() ? 1 : 0;

  setup.SoundOn = sound_on_->isChecked() ? 1 : 0;
  for (std::size_t i = 0; i < kSetupSoundCount; ++i) {
    const QString& path = sound_paths_[i];
    if (path.isEmpty())
      setup.Sounds[i].SetText("");
    else
      GlobalManager->SetSoundFile(static_cast<TSetupSound>(i), path.toStdString());
  }
  if (!receive_folder_->text().isEmpty())
    GlobalManager->SetReceiveFolder(receive_folder_->text().toStdString());
  setup.AutoPopupMessage = auto_popup_->isChecked() ? 1 : 0;
  setup.SaveHistory = save_history_->isChecked() ? 1 : 0;
  setup.RefuseRoomInvite = refuse_invite_->isChecked() ? 1 : 0;
}

void TSysSetupFrame::ShowFontSample() {
  if (!GlobalManager) return;
  const TSetupInfo& setup = GlobalManager->SetupInfo;
  const QFont font = FontFromSetup(setup);
  font_sample_->setFont(font);
  font_sample_->setText(QStringLiteral("%1 %2").arg(font.family()).arg(font.pointSize()));
  QPalette palette = font_sample_->palette();
  palette.setColor(QPalette::WindowText, ColorFromStored(setup.FontColor));
  font_sample_->setPalette(palette);
}

void TSysSetupFrame::BrowseSound() {
  const QString file = QFileDialog::getOpenFileName(this, QStringLiteral("声音文件"), sound_path_->text(),
                                                    QStringLiteral("波形文件 (*.wav)"));
  if (!file.isEmpty()) sound_path_->setText(file);
}

void TSysSetupFrame::ChooseFont() {
  if (!GlobalManager) return;
  TSetupInfo& setup = GlobalManager->SetupInfo;
  bool ok = false;
  const QFont font = QFontDialog::getFont(&ok, FontFromSetup(setup), this, QStringLiteral("更改字体"));
  if (!ok) return;
  // Qt's font dialog has no colour; the colour dialog follows it, and keeps the colour on Cancel.
  const QColor color =
      QColorDialog::getColor(ColorFromStored(setup.FontColor), this, QStringLiteral("字体颜色"));
  setup.FontName.SetText(font.family().left(kFontNameLength).toStdString());
  setup.FontSize = font.pointSize() > 0 ? font.pointSize() : setup.FontSize;
  if (color.isValid()) setup.FontColor = ColorToStored(color);
  setup.FontStyle = static_cast<std::uint8_t>(
      (font.bold() ? kFontBold : 0) | (font.italic() ? kFontItalic : 0) |
      (font.underline() ? kFontUnderline : 0) | (font.strikeOut() ? kFontStrikeOut : 0));
  GlobalManager->SaveSetupInfo();
  ShowFontSample();
}

void TSysSetupFrame::ChooseReceiveFolder() {
  const QString start = receive_folder_->text().isEmpty()
                            ? QStandardPaths::writableLocation(QStandardPaths::DesktopLocation)
                            : receive_folder_->text();
  const QString folder = QFileDialog::getExistingDirectory(this, QStringLiteral("选择"), start);
  if (!folder.isEmpty()) receive_folder_->setText(folder);
}

}  // namespace kiv
