#include "chat_form.h"
#include "system/path_text.h"

#include <malloc.h>
#include <QAbstractTextDocumentLayout>
#include <QApplication>
#include <QBuffer>
#include <QButtonGroup>
#include <QClipboard>
#include <QCloseEvent>
#include <QDateTime>
#include <QDesktopServices>
#include <QFileDialog>
#include <QFileInfo>
#include <QGridLayout>
#include <QHBoxLayout>
#include <QKeyEvent>
#include <QPainter>
#include <QScrollBar>
#include <QSplitter>
#include <QStyle>
#include <QTextBlock>
#include <QTextCursor>
#include <QTextDocumentFragment>
#include <QTextFragment>
#include <QUrl>
#include <QVBoxLayout>

#include <algorithm>
#include <chrono>

#include "base/files.h"
#include "chat_document.h"
#include "chat_manager.h"
#include "emote/emote.h"
#include "file_window.h"
#include "kiv_audio.h"
#include "manager/global_manager.h"
#include "manager/setup_records.h"
#include "mixer/global_audio.h"
#include "plugin/plugin_manager.h"

namespace kiv::chat {

namespace {

constexpr int kFrameIntervalMs = 150;
constexpr int kShakePauseMs = 10;
constexpr int kShakeMoves = 8;  // twice left, up, right, down
constexpr int kShakeDistance = 10;
constexpr int kRightColumnWidth = 201;
constexpr QSize kFrameSize(200, 210);
constexpr QPoint kPictureAt(15, 20);  // where the frame graphic leaves room for the picture
constexpr int kPictureSide = 169;
constexpr int kGaugeScale = 128;
constexpr int kHeadingLightness = 110;  // the lightest heading colour that reads on white
constexpr int kMixerVolumeMax = 65535;
constexpr int kOutputVolumeMax = 255;
constexpr int kMaxInputFontSize = 20;
constexpr qsizetype kMaxPhotoNameChars = 50;
// Plug-in message to the emoticon plug-in: a custom emoticon file was added to its folder.
constexpr std::uint32_t kMsgAddCustomEmote = 0x70009;

QString ExactText(const char* utf8) { return QString::fromUtf8(utf8); }

// The skin's picture of `name` as an icon; a standard icon of the style where the skin has none.
QIcon SkinIcon(const QString& name, QStyle::StandardPixmap fallback, const QWidget* widget) {
  if (GlobalManager)
    if (const QImage* image = GlobalManager->GetGraphic(name); image && !image->isNull())
      return QIcon(QPixmap::fromImage(*image));
  return widget->style()->standardIcon(fallback, nullptr, widget);
}

// A picture item of `document` at `position`, as an image; null when there is none.
QImage PictureAt(QTextDocument* document, int position) {
  if (position < 0) return {};
  const QTextBlock block = document->findBlock(position);
  for (auto it = block.begin(); !it.atEnd(); ++it) {
    const QTextFragment fragment = it.fragment();
    if (!fragment.isValid() || position < fragment.position() ||
        position >= fragment.position() + fragment.length() || !fragment.charFormat().isImageFormat())
      continue;
    const QString name = fragment.charFormat().toImageFormat().name();
    const QVariant value = document->resource(QTextDocument::ImageResource, QUrl(name));
    if (value.userType() == QMetaType::QImage) return value.value<QImage>();
    if (value.userType() == QMetaType::QPixmap) return value.value<QPixmap>().toImage();
    if (value.userType() == QMetaType::QByteArray) return QImage::fromData(value.toByteArray());
    return QImage(name);  // a local emoticon file
  }
  return {};
}

// The picture in BMP form; empty when it does not encode.
QByteArray BmpBytes(const QImage& picture) {
  QByteArray bytes;
  QBuffer buffer(&bytes);
  buffer.open(QIODevice::WriteOnly);
  // BMP keeps no alpha: transparent parts become white, as on the conversation's background.
  QImage opaque(picture.size(), QImage::Format_RGB32);
  opaque.fill(Qt::white);
  QPainter(&opaque).drawImage(0, 0, picture);
  if (!opaque.save(&buffer, "BMP")) return {};
  return bytes;
}

bool WriteBmp(const std::filesystem::path& file, const QImage& picture) {
  const QByteArray bytes = BmpBytes(picture);
  return !bytes.isEmpty() &&
         WriteFileAtomic(file, std::span(reinterpret_cast<const std::uint8_t*>(bytes.constData()),
                                         static_cast<std::size_t>(bytes.size())));
}

}  // namespace

QTextCharFormat TextStyle(int style) {
  QTextCharFormat format;
  format.setFontFamilies({QStringLiteral("SimSun")});
  format.setFontPointSize(9);
  switch (style) {
    case kStyleHeadInfo: {
      // The colour of an active window's caption, as the skin's palette gives it, darkened until it
      // reads well on the view's light background (skins with pale captions).
      QColor colour = QApplication::palette().color(QPalette::Active, QPalette::Highlight);
      for (int i = 0; i < 8 && colour.lightness() > kHeadingLightness; ++i) colour = colour.darker(125);
      format.setForeground(colour);
      break;
    }
    case kStyleRequestInfo:
      format.setForeground(QColor(255, 83, 0));
      break;
    case kStyleGreen:
      format.setForeground(QColor(0, 0x80, 0));
      break;
    default:
      format.setForeground(QColor(Qt::black));
      break;
  }
  return format;
}

// ---- pictures ------------------------------------------------------------------------------------

TChatPicture::TChatPicture(QWidget* parent) : QLabel(parent) {
  setFixedSize(kPictureSide, kPictureSide);
  setAlignment(Qt::AlignCenter);
}

void TChatPicture::paintEvent(QPaintEvent* event) {
  const QPixmap shown = pixmap();
  if (shown.isNull()) return QLabel::paintEvent(event);
  QPainter painter(this);
  painter.setRenderHint(QPainter::SmoothPixmapTransform);
  QSize size = shown.deviceIndependentSize().toSize();
  if (hasScaledContents())
    size = this->size();
  else if (size.width() > width() || size.height() > height())
    size.scale(this->size(), Qt::KeepAspectRatio);
  const QRect target(QPoint((width() - size.width()) / 2, (height() - size.height()) / 2), size);
  painter.drawPixmap(target, shown);
}

void TChatPicture::mouseDoubleClickEvent(QMouseEvent* event) {
  QLabel::mouseDoubleClickEvent(event);
  emit doubleClicked();
}

// ---- the window ----------------------------------------------------------------------------------

QString TChatForm::HotLink(std::uint32_t operation, std::uint8_t role, const char* answer) {
  return QStringLiteral("op:%1:%2:%3").arg(operation).arg(role).arg(QLatin1String(answer));
}

TChatForm::TChatForm(TManager& manager, std::uint32_t friend_code)
    : manager_(manager), friend_code_(friend_code) {
  setObjectName(QStringLiteral("ChatForm"));
  setProperty("friendCode", friend_code);
  setAttribute(Qt::WA_DeleteOnClose);
  // A top-level window of its own, with its own taskbar button.
  setWindowFlag(Qt::Window);
  resize(538, 482);

  // Top: the face button, the name line and the status line.
  face_ = new QToolButton(this);
  face_->setObjectName(QStringLiteral("FaceButton"));
  face_->setIconSize(QSize(32, 32));
  face_->setAutoRaise(true);
  name_line_ = new QLabel(this);
  name_line_->setObjectName(QStringLiteral("ChatNameLabel"));
  name_line_->setWordWrap(true);
  name_line_->setTextInteractionFlags(Qt::TextSelectableByMouse);
  QFont bold = name_line_->font();
  bold.setBold(true);
  name_line_->setFont(bold);
  hint_ = new QLabel(this);
  hint_->setObjectName(QStringLiteral("ChatHint"));
  hint_->setWordWrap(true);
  auto* lines = new QVBoxLayout;
  lines->setSpacing(2);
  lines->addWidget(name_line_);
  lines->addWidget(hint_);
  auto* top = new QHBoxLayout;
  top->addWidget(face_, 0, Qt::AlignTop);
  top->addLayout(lines, 1);

  // The conversation and its scratch styles.
  view_ = new QTextBrowser(this);
  view_->setObjectName(QStringLiteral("ChatView"));
  view_->setOpenLinks(false);
  view_->setOpenExternalLinks(false);
  view_->document()->setDefaultFont(QFont(QStringLiteral("SimSun"), 9));
  view_->setContextMenuPolicy(Qt::CustomContextMenu);
  view_->setLineWrapMode(QTextEdit::WidgetWidth);
  view_->setWordWrapMode(QTextOption::WrapAtWordBoundaryOrAnywhere);
  // A view showing the newest line keeps showing it when it shrinks or rewraps (the audio controls
  // appear, the splitter or the window is resized); one scrolled back stays where the reader is.
  QScrollBar* scroll = view_->verticalScrollBar();
  connect(scroll, &QScrollBar::valueChanged, this,
          [this, scroll](int value) { view_at_end_ = value >= scroll->maximum(); });
  connect(scroll, &QScrollBar::rangeChanged, this, [this, scroll](int, int maximum) {
    if (view_at_end_) scroll->setValue(maximum);
  });

  // Toolbar, input and the send button.
  auto* lower = new QWidget(this);
  auto* toolbar = new QWidget(lower);
  BuildToolbar(toolbar);
  audio_controls_ = BuildAudioControls();
  audio_controls_->setParent(lower);
  input_ = new QTextEdit(lower);
  input_->setObjectName(QStringLiteral("ChatInput"));
  input_->setAcceptRichText(true);
  input_->setContextMenuPolicy(Qt::CustomContextMenu);
  input_->setWordWrapMode(QTextOption::WrapAtWordBoundaryOrAnywhere);
  input_->setMinimumHeight(48);
  auto* send = new QPushButton(QStringLiteral("发送"), lower);
  send->setObjectName(QStringLiteral("SendButton"));
  send->setToolTip(QStringLiteral("发送 (Alt+S)"));
  auto* send_row = new QHBoxLayout;
  send_row->addStretch(1);
  send_row->addWidget(send);
  auto* lower_layout = new QVBoxLayout(lower);
  lower_layout->setContentsMargins(0, 0, 0, 0);
  lower_layout->setSpacing(4);
  lower_layout->addWidget(audio_controls_);
  lower_layout->addWidget(toolbar);
  lower_layout->addWidget(input_, 1);
  lower_layout->addLayout(send_row);

  auto* split = new QSplitter(Qt::Vertical, this);
  split->setObjectName(QStringLiteral("ChatSplitter"));
  split->setChildrenCollapsible(false);
  split->addWidget(view_);
  split->addWidget(lower);
  split->setStretchFactor(0, 3);
  split->setStretchFactor(1, 1);
  split->setSizes({300, 140});

  auto* left = new QVBoxLayout;
  left->addLayout(top);
  left->addWidget(split, 1);
  auto* layout = new QHBoxLayout(this);
  layout->setContentsMargins(6, 6, 6, 6);
  layout->addLayout(left, 1);
  layout->addWidget(BuildRightColumn());

  BuildMenus();

  connect(send, &QPushButton::clicked, this, [this] { manager_.SendChatMsg(*this); });
  connect(face_, &QToolButton::clicked, this, [this] { manager_.ShowUserInfo(friend_code_); });
  connect(friend_picture_, &TChatPicture::doubleClicked, this,
          [this] { manager_.ShowUserInfo(friend_code_); });
  connect(my_picture_, &TChatPicture::doubleClicked, this, [this] { manager_.ChangePhoto(); });
  connect(view_, &QTextBrowser::anchorClicked, this, &TChatForm::OnLink);
  connect(view_, &QWidget::customContextMenuRequested, this, &TChatForm::ShowViewMenu);
  connect(input_, &QWidget::customContextMenuRequested, this,
          [this](const QPoint& at) { input_menu_->popup(input_->viewport()->mapToGlobal(at)); });

  files = new TFileWindow(*this, GlobalManager->Me ? GlobalManager->Me->UserCode() : 0);
  // After the file window's filters, so the send keys are seen first (filters run newest first).
  input_->installEventFilter(this);

  frame_timer_.setInterval(kFrameIntervalMs);
  connect(&frame_timer_, &QTimer::timeout, this, [this] { send_next_frame = true; });
  frame_timer_.start();
  shake_timer_.setInterval(kShakePauseMs);
  connect(&shake_timer_, &QTimer::timeout, this, [this] {
    static constexpr int kDx[] = {-1, 0, 1, 0};
    static constexpr int kDy[] = {0, -1, 0, 1};
    const int at = shake_step_ % 4;
    move(pos() + QPoint(kDx[at] * kShakeDistance, kDy[at] * kShakeDistance));
    if (++shake_step_ >= kShakeMoves) {
      shake_timer_.stop();
      move(shake_origin_);
    }
  });
  ApplyInputFont();
  setFocusProxy(input_);
}

TChatForm::~TChatForm() {
  // The send threads stop while the window is still whole.
  delete files;
  files = nullptr;
  // A conversation can hold many pictures; what it freed goes back to the system.
  malloc_trim(0);
}

void TChatForm::BuildToolbar(QWidget* bar) {
  struct Tool {
    const char* caption;
    const char* graphic;
    const char* name;
    QStyle::StandardPixmap fallback;
  };
  static constexpr Tool kTools[] = {
      {"改变字体", "Chat_Font", "FontButton", QStyle::SP_FileDialogDetailedView},
      {"插入图释", "Chat_Emote", "EmoteButton", QStyle::SP_DialogYesButton},
      {"发送图片", "Chat_Pic", "PictureButton", QStyle::SP_FileDialogContentsView},
      {"截取屏幕", "Chat_Clip", "CatchButton", QStyle::SP_ComputerIcon},
      {"传送文件", "Chat_File", "SendFileButton", QStyle::SP_FileIcon},
      {"语音聊天", "Chat_Audio", "VoiceButton", QStyle::SP_MediaVolume},
      {"视频聊天", "Chat_Video", "VideoButton", QStyle::SP_MediaPlay},
      {"聊天记录", "Chat_Record", "RecordButton", QStyle::SP_FileDialogInfoView},
      {"提醒好友", "Chat_Call", "NudgeButton", QStyle::SP_MessageBoxWarning},
  };
  auto* row = new QHBoxLayout(bar);
  row->setContentsMargins(0, 0, 0, 0);
  row->setSpacing(1);
  std::vector<QToolButton*> buttons;
  for (const Tool& tool : kTools) {
    auto* button = new QToolButton(bar);
    button->setObjectName(QLatin1String(tool.name));
    button->setText(ExactText(tool.caption));
    button->setToolTip(ExactText(tool.caption));
    button->setAccessibleName(ExactText(tool.caption));
    button->setIcon(SkinIcon(QLatin1String(tool.graphic), tool.fallback, bar));
    button->setIconSize(QSize(20, 20));
    button->setToolButtonStyle(Qt::ToolButtonIconOnly);
    button->setAutoRaise(true);
    row->addWidget(button);
    buttons.push_back(button);
  }
  row->addStretch(1);
  enter_sends_ = new QCheckBox(QStringLiteral("回车发送"), bar);
  enter_sends_->setObjectName(QStringLiteral("EnterSendsBox"));
  enter_sends_->setChecked(!GlobalManager || GlobalManager->SetupInfo.EnterSend != 0);
  row->addWidget(enter_sends_);
  connect(enter_sends_, &QCheckBox::toggled, this, [](bool on) {
    if (!GlobalManager) return;
    GlobalManager->SetupInfo.EnterSend = on ? 1 : 0;
    GlobalManager->SaveSetupInfo();
  });

  connect(buttons[0], &QToolButton::clicked, this, [this] { manager_.SetFontInfo(*this); });
  connect(buttons[1], &QToolButton::clicked, this, [this] { manager_.ShowEmote(*this); });
  connect(buttons[2], &QToolButton::clicked, this, &TChatForm::InsertPicture);
  connect(buttons[3], &QToolButton::clicked, this, [this] { manager_.CatchScreen(*this); });
  connect(buttons[4], &QToolButton::clicked, this, [this] { files->ChooseAndSend(); });
  connect(buttons[5], &QToolButton::clicked, this, [this] { manager_.RequestVoice(*this); });
  connect(buttons[6], &QToolButton::clicked, this, [this] { manager_.RequestVideo(*this); });
  connect(buttons[7], &QToolButton::clicked, this, [this] { manager_.ViewChatRecord(1, friend_code_); });
  connect(buttons[8], &QToolButton::clicked, this, [this] { manager_.CallFriend(*this); });
}

QWidget* TChatForm::BuildRightColumn() {
  auto* column = new QWidget(this);
  column->setObjectName(QStringLiteral("RightColumn"));
  column->setFixedWidth(kRightColumnWidth);
  QImage frame_graphic;
  if (GlobalManager) GlobalManager->SetGraphic(QStringLiteral("ChatFrame"), frame_graphic);
  const QIcon option_icon = SkinIcon(QStringLiteral("ChatOption"), QStyle::SP_ArrowDown, column);
  auto frame = [&](const char* name, const char* picture_name, const char* option, const char* option_name,
                   TChatPicture*& picture, QToolButton*& button) {
    auto* box = new QLabel(column);
    box->setObjectName(QLatin1String(name));
    box->setFixedSize(kFrameSize);
    if (!frame_graphic.isNull())
      box->setPixmap(QPixmap::fromImage(frame_graphic.scaled(kFrameSize, Qt::IgnoreAspectRatio)));
    else
      box->setFrameShape(QFrame::StyledPanel);
    picture = new TChatPicture(box);
    picture->setObjectName(QLatin1String(picture_name));
    picture->move(kPictureAt);
    button = new QToolButton(box);
    button->setObjectName(QLatin1String(option_name));
    button->setText(ExactText(option));
    button->setToolTip(ExactText(option));
    button->setIcon(option_icon);
    button->setToolButtonStyle(Qt::ToolButtonTextBesideIcon);
    button->setAutoRaise(true);
    button->setPopupMode(QToolButton::InstantPopup);
    button->adjustSize();
    // In the strip below the picture, at the right.
    const int strip = kFrameSize.height() - kPictureAt.y() - kPictureSide;
    button->move(kFrameSize.width() - button->width() - 4,
                 kPictureAt.y() + kPictureSide + std::max(0, (strip - button->height()) / 2));
    return box;
  };
  QToolButton* friend_option = nullptr;
  QToolButton* own_option = nullptr;
  auto* layout = new QVBoxLayout(column);
  layout->setContentsMargins(0, 0, 0, 0);
  layout->setSpacing(4);
  layout->addWidget(
      frame("FriendFrame", "FriendPicture", "对方选项", "FriendOptionButton", friend_picture_, friend_option),
      0, Qt::AlignHCenter);
  layout->addWidget(frame("MyFrame", "MyPicture", "我的选项", "MyOptionButton", my_picture_, own_option), 0,
                    Qt::AlignHCenter);
  layout->addStretch(1);
  friend_menu_ = new QMenu(this);
  friend_menu_->setObjectName(QStringLiteral("FriendOptionMenu"));
  own_menu_ = new QMenu(this);
  own_menu_->setObjectName(QStringLiteral("MyOptionMenu"));
  friend_option->setMenu(friend_menu_);
  own_option->setMenu(own_menu_);
  return column;
}

QWidget* TChatForm::BuildAudioControls() {
  auto* box = new QFrame(this);
  box->setObjectName(QStringLiteral("AudioControls"));
  box->setFrameShape(QFrame::StyledPanel);
  source_ = new QComboBox(box);
  source_->setObjectName(QStringLiteral("SourceBox"));
  source_->setSizeAdjustPolicy(QComboBox::AdjustToMinimumContentsLengthWithIcon);
  source_->setMinimumContentsLength(8);
  input_volume_ = new QSlider(Qt::Horizontal, box);
  input_volume_->setObjectName(QStringLiteral("InputVolume"));
  input_volume_->setRange(0, kMixerVolumeMax);
  input_volume_->setPageStep(kMixerVolumeMax / 10);
  input_volume_->setTracking(false);  // one mixer call per change, not per pixel dragged
  input_volume_->setToolTip(QStringLiteral("输入音量调节"));
  output_volume_ = new QSlider(Qt::Horizontal, box);
  output_volume_->setObjectName(QStringLiteral("OutputVolume"));
  output_volume_->setRange(0, kOutputVolumeMax);
  output_volume_->setToolTip(QStringLiteral("输出音量调节"));
  input_gauge_ = new QProgressBar(box);
  input_gauge_->setObjectName(QStringLiteral("InputGauge"));
  output_gauge_ = new QProgressBar(box);
  output_gauge_->setObjectName(QStringLiteral("OutputGauge"));
  for (QProgressBar* gauge : {input_gauge_, output_gauge_}) {
    gauge->setRange(0, kGaugeScale);
    gauge->setValue(0);
    gauge->setTextVisible(false);
    gauge->setMaximumHeight(12);
  }
  auto* stop = new QPushButton(QStringLiteral("停止音视频聊天"), box);
  stop->setObjectName(QStringLiteral("StopAudioButton"));
  stop->setIcon(SkinIcon(QStringLiteral("ChatClose"), QStyle::SP_DialogCloseButton, box));
  normal_quality_ = new QCheckBox(QStringLiteral("普通音质"), box);
  normal_quality_->setObjectName(QStringLiteral("NormalQualityBox"));
  high_quality_ = new QCheckBox(QStringLiteral("高阶音质"), box);
  high_quality_->setObjectName(QStringLiteral("HighQualityBox"));
  auto* qualities = new QButtonGroup(box);
  qualities->setExclusive(true);
  qualities->addButton(normal_quality_, kAudioQualityNormal);
  qualities->addButton(high_quality_, kAudioQualityHigh);
  const std::uint8_t quality = GlobalManager ? GlobalManager->SystemInfo.AudioQuality : kAudioQualityNormal;
  (quality == kAudioQualityHigh ? high_quality_ : normal_quality_)->setChecked(true);

  auto* grid = new QGridLayout(box);
  grid->setContentsMargins(6, 4, 6, 4);
  grid->setHorizontalSpacing(6);
  grid->setVerticalSpacing(2);
  grid->addWidget(new QLabel(QStringLiteral("音源选择："), box), 0, 0);
  grid->addWidget(source_, 0, 1, 1, 2);
  grid->addWidget(new QLabel(QStringLiteral("输入音量调节"), box), 1, 0);
  grid->addWidget(input_volume_, 1, 1);
  grid->addWidget(input_gauge_, 1, 2);
  grid->addWidget(new QLabel(QStringLiteral("输出音量调节"), box), 2, 0);
  grid->addWidget(output_volume_, 2, 1);
  grid->addWidget(output_gauge_, 2, 2);
  auto* last = new QHBoxLayout;
  last->addWidget(normal_quality_);
  last->addWidget(high_quality_);
  last->addStretch(1);
  last->addWidget(stop);
  grid->addLayout(last, 3, 0, 1, 3);
  grid->setColumnStretch(1, 1);
  grid->setColumnStretch(2, 1);
  box->hide();

  connect(stop, &QPushButton::clicked, this, [this] {
    manager_.StopAudio(*this, true);
    manager_.StopVideo(*this, true);
  });
  connect(qualities, &QButtonGroup::idClicked, this,
          [this](int id) { manager_.ChangeAudioQuality(*this, static_cast<std::uint8_t>(id)); });
  connect(source_, &QComboBox::activated, this, &TChatForm::ChooseRecordingSource);
  connect(input_volume_, &QSlider::valueChanged, this, &TChatForm::SetInputVolume);
  connect(output_volume_, &QSlider::valueChanged, this, [](int value) { SetAudioOutVolume(value); });
  return box;
}

void TChatForm::BuildMenus() {
  auto add = [](QMenu* menu, const char* text, const char* name) {
    QAction* action = menu->addAction(ExactText(text));
    action->setObjectName(QLatin1String(name));
    return action;
  };
  auto separator = [](QMenu* menu, const char* name) {
    QAction* action = menu->addSeparator();
    action->setObjectName(QLatin1String(name));
  };
  connect(add(friend_menu_, "停止视频通讯", "StopFriendVideoItem"), &QAction::triggered, this,
          [this] { manager_.StopVideo(*this, true); });
  connect(add(friend_menu_, "拍照", "FriendPhotoItem"), &QAction::triggered, this,
          [this] { TakePhoto(false); });
  separator(friend_menu_, "FriendSeparator");
  connect(add(friend_menu_, "停止音频通讯", "StopFriendAudioItem"), &QAction::triggered, this,
          [this] { manager_.StopAudio(*this, true); });
  connect(add(friend_menu_, "查看资料", "FriendProfileItem"), &QAction::triggered, this,
          [this] { manager_.ShowUserInfo(friend_code_); });

  connect(add(own_menu_, "视频效果调节", "EffectItem"), &QAction::triggered, this,
          [this] { manager_.ShowEffectForm(); });
  connect(add(own_menu_, "结束视频通讯", "StopOwnVideoItem"), &QAction::triggered, this,
          [this] { manager_.StopVideo(*this, true); });
  connect(add(own_menu_, "拍照", "OwnPhotoItem"), &QAction::triggered, this, [this] { TakePhoto(true); });
  separator(own_menu_, "OwnSeparator");
  connect(add(own_menu_, "结束音频通讯", "StopOwnAudioItem"), &QAction::triggered, this,
          [this] { manager_.StopAudio(*this, true); });
  separator(own_menu_, "OwnProfileSeparator");
  connect(add(own_menu_, "查看资料", "OwnProfileItem"), &QAction::triggered, this, [this] {
    if (GlobalManager && GlobalManager->Me) manager_.ShowUserInfo(GlobalManager->Me->UserCode());
  });
  connect(add(own_menu_, "更改头像", "ChangePhotoItem"), &QAction::triggered, this,
          [this] { manager_.ChangePhoto(); });
  connect(friend_menu_, &QMenu::aboutToShow, this, &TChatForm::PrepareOptionMenus);
  connect(own_menu_, &QMenu::aboutToShow, this, &TChatForm::PrepareOptionMenus);

  input_menu_ = new QMenu(this);
  input_menu_->setObjectName(QStringLiteral("InputMenu"));
  connect(add(input_menu_, "复制 Ctrl+C", "InputCopyItem"), &QAction::triggered, input_, &QTextEdit::copy);
  connect(add(input_menu_, "粘贴 Ctrl+V", "InputPasteItem"), &QAction::triggered, this, [this] {
    // Copied files are offered, as with the key; anything else is pasted.
    if (!files->OfferMime(QApplication::clipboard()->mimeData())) input_->paste();
  });
  connect(add(input_menu_, "剪贴 Ctrl+X", "InputCutItem"), &QAction::triggered, input_, &QTextEdit::cut);
  connect(add(input_menu_, "全选 Ctrl+A", "InputSelectAllItem"), &QAction::triggered, input_,
          &QTextEdit::selectAll);

  view_menu_ = new QMenu(this);
  view_menu_->setObjectName(QStringLiteral("ViewMenu"));
  connect(add(view_menu_, "复制 Ctrl+C", "ViewCopyItem"), &QAction::triggered, view_, &QTextBrowser::copy);
  save_file_action_ = add(view_menu_, "保存成文件", "SaveFileItem");
  save_emote_action_ = add(view_menu_, "保存成表情", "SaveEmoteItem");
  connect(save_file_action_, &QAction::triggered, this, &TChatForm::SavePictureAsFile);
  connect(save_emote_action_, &QAction::triggered, this, &TChatForm::SavePictureAsEmote);
}

void TChatForm::ApplyInputFont() {
  if (!GlobalManager) return;
  const TSetupInfo& setup = GlobalManager->SetupInfo;
  QTextCharFormat style;
  const QString family = QString::fromStdString(setup.FontName.Text());
  if (!family.isEmpty()) style.setFontFamilies({family});
  style.setFontPointSize(std::clamp<int>(setup.FontSize, 6, kMaxInputFontSize));
  style.setFontWeight(setup.FontStyle & kFontBold ? QFont::Bold : QFont::Normal);
  style.setFontItalic(setup.FontStyle & kFontItalic);
  style.setFontUnderline(setup.FontStyle & kFontUnderline);
  style.setFontStrikeOut(setup.FontStyle & kFontStrikeOut);
  const auto colour = static_cast<std::uint32_t>(setup.FontColor);  // red in the low byte
  style.setForeground(QColor(colour & 0xFF, (colour >> 8) & 0xFF, (colour >> 16) & 0xFF));
  input_->setCurrentCharFormat(style);
}

// ---- conversation --------------------------------------------------------------------------------

void TChatForm::AddLine(const QString& text) {
  QTextCursor cursor(view_->document());
  cursor.movePosition(QTextCursor::End);
  QTextBlockFormat centred;
  centred.setAlignment(Qt::AlignHCenter);
  if (view_->document()->isEmpty())
    cursor.setBlockFormat(centred);
  else
    cursor.insertBlock(centred);
  cursor.insertText(text, TextStyle(kStyleRequestInfo));
  ScrollToEnd();
}

void TChatForm::AddHotLinks(const QString& text, std::uint32_t operation, std::uint8_t role, bool yes) {
  AddLine(text);
  QTextCursor cursor(view_->document());
  cursor.movePosition(QTextCursor::End);
  auto link = [&](const char* answer, const QString& caption) {
    QTextCharFormat f = TextStyle(kStyleNormal);
    f.setAnchor(true);
    f.setAnchorHref(HotLink(operation, role, answer));
    f.setForeground(QColor(0, 0, 0xCC));
    f.setFontUnderline(true);
    cursor.insertText(QStringLiteral(" "), TextStyle(kStyleNormal));
    cursor.insertText(caption, f);
  };
  if (yes) link("yes", QStringLiteral("$Yes$"));
  link("no", QStringLiteral("$No$"));
  ScrollToEnd();
}

void TChatForm::RemoveHotLinks(std::uint32_t operation, std::uint8_t role) {
  RemoveLinks(QStringLiteral("op:%1:%2:").arg(operation).arg(role));
}

void TChatForm::RemoveLinks(const QString& prefix) {
  QTextDocument* doc = view_->document();
  for (QTextBlock block = doc->begin(); block.isValid(); block = block.next()) {
    std::vector<std::pair<int, int>> spans;
    for (auto it = block.begin(); !it.atEnd(); ++it) {
      const QTextFragment f = it.fragment();
      if (f.isValid() && f.charFormat().anchorHref().startsWith(prefix))
        spans.emplace_back(f.position(), f.length());
    }
    for (auto s = spans.rbegin(); s != spans.rend(); ++s) {
      QTextCursor c(doc);
      c.setPosition(s->first);
      c.setPosition(s->first + s->second, QTextCursor::KeepAnchor);
      c.removeSelectedText();
    }
  }
}

void TChatForm::SetHint(const QString& text) { hint_->setText(text); }

void TChatForm::ScrollToEnd() {
  QTextCursor end(view_->document());
  end.movePosition(QTextCursor::End);
  view_->setTextCursor(end);
  view_->ensureCursorVisible();
  view_->verticalScrollBar()->setValue(view_->verticalScrollBar()->maximum());
}

void TChatForm::Shake() {
  if (shake_timer_.isActive()) return;
  shake_origin_ = pos();
  shake_step_ = 0;
  shake_timer_.start();
}

void TChatForm::OnLink(const QUrl& link) {
  // A web address (the only links a received document keeps) opens in the browser.
  if (const auto web = WebLinkTarget(link.toString())) {
    QDesktopServices::openUrl(*web);
    return;
  }
  if (files && files->Link(link)) return;
  const QStringList parts = link.toString().split(QLatin1Char(':'));
  if (parts.size() != 4 || parts[0] != QLatin1String("op")) return;
  bool id_ok = false, role_ok = false;
  const std::uint32_t operation = parts[1].toUInt(&id_ok);
  const auto role = static_cast<std::uint8_t>(parts[2].toUInt(&role_ok));
  if (id_ok && role_ok) manager_.AnswerOperation(*this, operation, role, parts[3] == QLatin1String("yes"));
}

void TChatForm::ShowViewMenu(const QPoint& position) {
  // Picture items offer to be saved; the hit test is on the document, in content coordinates.
  const QPoint content =
      position + QPoint(view_->horizontalScrollBar()->value(), view_->verticalScrollBar()->value());
  const int hit = view_->document()->documentLayout()->hitTest(content, Qt::ExactHit);
  clicked_picture_ = PictureAt(view_->document(), hit);
  const bool picture = !clicked_picture_.isNull();
  save_file_action_->setVisible(picture);
  save_emote_action_->setVisible(picture);
  view_menu_->popup(view_->viewport()->mapToGlobal(position));
}

void TChatForm::SavePictureAsFile() {
  if (clicked_picture_.isNull()) return;
  const QImage picture = clicked_picture_;
  const QString chosen = QFileDialog::getSaveFileName(this, QStringLiteral("保存图片"), QString(),
                                                      QStringLiteral("图片文件 (*.bmp *.gif *.jpg)"));
  if (chosen.isEmpty()) return;
  QString file = chosen;
  if (QFileInfo(file).suffix().isEmpty()) file += QStringLiteral(".bmp");
  // BMP whatever the extension says, as the conversation has always saved its pictures.
  if (!WriteBmp(PathOfText(file), picture))
    GlobalManager->ShowMessage(QStringLiteral("图片保存失败：%1").arg(file), kMessageNotice);
}

void TChatForm::SavePictureAsEmote() {
  if (clicked_picture_.isNull() || !GlobalManager) return;
  const auto ticks = std::chrono::duration_cast<std::chrono::milliseconds>(
                         std::chrono::steady_clock::now().time_since_epoch())
                         .count();
  std::string name = "Img" + std::to_string(ticks) + ".bmp";
  const std::filesystem::path folder =
      PathOfText(QString::fromStdString(GlobalManager->AppPath)) / "EmoteInfo";
  // Two saves within one tick keep both pictures.
  for (int n = 1; std::filesystem::exists(folder / name); ++n)
    name = "Img" + std::to_string(ticks + n) + ".bmp";
  std::error_code error;
  std::filesystem::create_directories(folder, error);
  if (!WriteBmp(folder / name, clicked_picture_)) {
    GlobalManager->ShowMessage(QStringLiteral("自定义表情保存失败。"), kMessageNotice);
    return;
  }
  PluginManager->DealMessage("KivEmote", kMsgAddCustomEmote, name.data(),
                             static_cast<std::uint32_t>(name.size() + 1));
  GlobalManager->ShowMessage(QStringLiteral("自定义表情保存成功。"), kMessageNotice);
}

void TChatForm::TakePhoto(bool own) {
  const QPixmap shown = (own ? my_picture_ : friend_picture_)->pixmap();
  if (shown.isNull()) return;
  QString proposed = QStringLiteral("我的照片.bmp");
  if (!own) {
    const TFriend* person = GlobalManager ? GlobalManager->GetFriendInfo(friend_code_) : nullptr;
    const QString nick = person ? QString::fromStdString(person->nickname.str()) : QString();
    const QString tail = QStringLiteral("的照片.bmp");
    proposed = nick.left(kMaxPhotoNameChars - tail.size()) + tail;
  }
  const QString chosen = QFileDialog::getSaveFileName(this, QStringLiteral("保存图片"), proposed,
                                                      QStringLiteral("图片文件 (*.bmp)"));
  if (chosen.isEmpty()) return;
  if (!WriteBmp(PathOfText(chosen), shown.toImage()))
    GlobalManager->ShowMessage(QStringLiteral("图片保存失败：%1").arg(chosen), kMessageNotice);
}

void TChatForm::InsertPicture() {
  const QString chosen = QFileDialog::getOpenFileName(this, QStringLiteral("插入图像"), QString(),
                                                      QStringLiteral("图像文件 (*.jpg *.jpeg *.bmp *.gif)"));
  if (chosen.isEmpty()) return;
  QTextCursor cursor = input_->textCursor();
  // Without an item name the picture travels embedded, not as an emoticon's hot key.
  if (InsertEmotePicture(cursor, QString(), chosen))
    input_->setTextCursor(cursor);
  else {
    AddLine(QStringLiteral("图像文件无法读取。"));
    SetHint(QStringLiteral("图像文件无法读取。"));
  }
}

// ---- calls ---------------------------------------------------------------------------------------

void TChatForm::PrepareOptionMenus() {
  auto item = [](QMenu* menu, const char* name) { return menu->findChild<QAction*>(QLatin1String(name)); };
  for (const auto* name : {"StopFriendVideoItem", "FriendPhotoItem"})
    item(friend_menu_, name)->setVisible(video_receiving);
  item(friend_menu_, "FriendSeparator")->setVisible(audio_running && video_receiving);
  item(friend_menu_, "StopFriendAudioItem")->setVisible(audio_running);
  for (const auto* name : {"StopOwnVideoItem", "OwnPhotoItem"})
    item(own_menu_, name)->setVisible(video_active);
  item(own_menu_, "OwnSeparator")->setVisible(audio_running && video_active);
  item(own_menu_, "StopOwnAudioItem")->setVisible(audio_running);
}

void TChatForm::ShowAudioControls(std::uint8_t quality, int output_volume) {
  {
    const QSignalBlocker a(source_), b(input_volume_), c(output_volume_);
    const std::int32_t volume = ListAudioInDevice(source_);
    input_volume_->setValue(volume);
    output_volume_->setValue(output_volume);
  }
  (quality == kAudioQualityHigh ? high_quality_ : normal_quality_)->setChecked(true);
  input_gauge_->setValue(0);
  output_gauge_->setValue(0);
  audio_controls_->show();
}

void TChatForm::HideAudioControls() {
  input_gauge_->setValue(0);
  output_gauge_->setValue(0);
  audio_controls_->hide();
}

void TChatForm::ChooseRecordingSource(int index) {
  if (index < 0) return;
  auto device = source_->itemData(index).value<TAudioDevice>();
  SetDeviceVolume(device, -1);
  source_->setItemData(index, QVariant::fromValue(device));
  const QSignalBlocker blocker(input_volume_);
  input_volume_->setValue(device.volume);
}

void TChatForm::SetInputVolume(int value) {
  const int index = source_->currentIndex();
  if (index < 0) return;
  auto device = source_->itemData(index).value<TAudioDevice>();
  SetDeviceVolume(device, value);
  device.volume = value;
  source_->setItemData(index, QVariant::fromValue(device));
}

// ---- keys and window events ----------------------------------------------------------------------

bool TChatForm::InputKey(QKeyEvent* event) {
  const Qt::KeyboardModifiers mods = event->modifiers();
  const bool ctrl = mods.testFlag(Qt::ControlModifier);
  const bool alt = mods.testFlag(Qt::AltModifier);
  const bool enter = event->key() == Qt::Key_Return || event->key() == Qt::Key_Enter;
  if (alt && event->key() == Qt::Key_S) {
    manager_.SendChatMsg(*this);
    return true;
  }
  if (!enter || alt || mods.testFlag(Qt::ShiftModifier)) return false;
  if (ctrl == !enter_sends_->isChecked()) {
    manager_.SendChatMsg(*this);
    return true;
  }
  if (ctrl) {
    // The editor leaves Ctrl+Enter alone; here it starts a new line.
    input_->textCursor().insertBlock();
    input_->ensureCursorVisible();
    return true;
  }
  return false;
}

bool TChatForm::eventFilter(QObject* watched, QEvent* event) {
  if (watched == input_) {
    if (event->type() == QEvent::KeyPress && InputKey(static_cast<QKeyEvent*>(event))) return true;
    if (event->type() == QEvent::KeyRelease &&
        !static_cast<QKeyEvent*>(event)->modifiers().testFlag(Qt::ControlModifier))
      CoverIM(input_);
  }
  return QWidget::eventFilter(watched, event);
}

void TChatForm::closeEvent(QCloseEvent* event) {
  if (!closing_quietly && files && files->Files().Receiving() &&
      GlobalManager->ShowMessage(QStringLiteral("你和你的好友正在传送文件，是否仍然关闭窗口？"),
                                 kMessageQuestion) == 0) {
    event->ignore();
    return;
  }
  shake_timer_.stop();
  frame_timer_.stop();
  manager_.FormClosing(*this);
  event->accept();
}

void TChatForm::showEvent(QShowEvent* event) {
  QWidget::showEvent(event);
  shown_ = true;
  manager_.FormShown(*this);
  input_->setFocus();
}

}  // namespace kiv::chat
