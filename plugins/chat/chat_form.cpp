#include "chat_form.h"

#include <QCloseEvent>
#include <QHBoxLayout>
#include <QScrollBar>
#include <QTextBlock>
#include <QTextCursor>
#include <QTextFragment>
#include <QUrl>
#include <QVBoxLayout>

#include "chat_manager.h"
#include "file_window.h"
#include "kiv_audio.h"
#include "manager/global_manager.h"
#include "manager/setup_records.h"

namespace kiv::chat {

namespace {

constexpr int kFrameIntervalMs = 150;
constexpr int kShakePauseMs = 10;
constexpr int kShakeMoves = 8;  // twice left, up, right, down
constexpr int kShakeDistance = 10;

QString HotLink(std::uint32_t operation, std::uint8_t role, const char* answer) {
  return QStringLiteral("op:%1:%2:%3").arg(operation).arg(role).arg(QLatin1String(answer));
}

QPushButton* Button(const QString& text, const char* name, QWidget* parent) {
  auto* b = new QPushButton(text, parent);
  b->setObjectName(QLatin1String(name));
  return b;
}

}  // namespace

TChatForm::TChatForm(TManager& manager, std::uint32_t friend_code)
    : manager_(manager), friend_code_(friend_code) {
  setObjectName(QStringLiteral("ChatForm"));
  setProperty("friendCode", friend_code);
  setAttribute(Qt::WA_DeleteOnClose);
  resize(520, 460);
  name_line_ = new QLabel(this);
  name_line_->setObjectName(QStringLiteral("ChatNameLabel"));
  friend_picture_ = new QLabel(this);
  friend_picture_->setObjectName(QStringLiteral("FriendPicture"));
  friend_picture_->setFixedSize(176, 144);
  friend_picture_->setAlignment(Qt::AlignCenter);
  my_picture_ = new QLabel(this);
  my_picture_->setObjectName(QStringLiteral("MyPicture"));
  my_picture_->setFixedSize(176, 144);
  my_picture_->setAlignment(Qt::AlignCenter);
  view_ = new QTextBrowser(this);
  view_->setObjectName(QStringLiteral("ChatView"));
  view_->setOpenLinks(false);
  view_->setOpenExternalLinks(false);
  input_ = new QTextEdit(this);
  input_->setObjectName(QStringLiteral("ChatInput"));
  input_->setAcceptRichText(true);
  input_->setMaximumHeight(90);
  hint_ = new QLabel(this);
  hint_->setObjectName(QStringLiteral("ChatHint"));

  audio_controls_ = new QWidget(this);
  audio_controls_->setObjectName(QStringLiteral("AudioControls"));
  input_gauge_ = new QProgressBar(audio_controls_);
  input_gauge_->setObjectName(QStringLiteral("InputGauge"));
  output_gauge_ = new QProgressBar(audio_controls_);
  output_gauge_->setObjectName(QStringLiteral("OutputGauge"));
  for (QProgressBar* gauge : {input_gauge_, output_gauge_}) {
    gauge->setRange(0, 128);
    gauge->setTextVisible(false);
  }
  quality_ = new QComboBox(audio_controls_);
  quality_->setObjectName(QStringLiteral("QualityBox"));
  quality_->addItem(QStringLiteral("普通音质"), kAudioQualityNormal);
  quality_->addItem(QStringLiteral("高阶音质"), kAudioQualityHigh);
  volume_ = new QSlider(Qt::Horizontal, audio_controls_);
  volume_->setObjectName(QStringLiteral("OutputVolume"));
  volume_->setRange(0, 255);
  volume_->setMaximumWidth(90);
  auto* stop_audio = Button(QStringLiteral("结束音频"), "StopAudioButton", audio_controls_);
  auto* audio_row = new QHBoxLayout(audio_controls_);
  audio_row->setContentsMargins(0, 0, 0, 0);
  audio_row->addWidget(input_gauge_);
  audio_row->addWidget(output_gauge_);
  audio_row->addWidget(volume_);
  audio_row->addWidget(quality_);
  audio_row->addWidget(stop_audio);
  audio_controls_->hide();

  auto* send = Button(QStringLiteral("发送"), "SendButton", this);
  auto* nudge = Button(QStringLiteral("提醒"), "NudgeButton", this);
  auto* voice = Button(QStringLiteral("音频"), "VoiceButton", this);
  auto* video = Button(QStringLiteral("视频"), "VideoButton", this);
  auto* stop_video = Button(QStringLiteral("结束视频"), "StopVideoButton", this);
  auto* close = Button(QStringLiteral("关闭"), "CloseButton", this);
  auto* emote = Button(QStringLiteral("表情"), "EmoteButton", this);
  auto* font = Button(QStringLiteral("字体"), "FontButton", this);
  auto* records = Button(QStringLiteral("聊天记录"), "RecordButton", this);
  auto* profile = Button(QStringLiteral("资料"), "ProfileButton", this);
  auto* send_file = Button(QStringLiteral("发送文件"), "SendFileButton", this);

  auto* pictures = new QVBoxLayout;
  pictures->addWidget(friend_picture_);
  pictures->addWidget(my_picture_);
  pictures->addStretch();
  auto* talk = new QVBoxLayout;
  talk->addWidget(name_line_);
  talk->addWidget(view_, 1);
  auto* tools = new QHBoxLayout;
  tools->addWidget(font);
  tools->addWidget(emote);
  tools->addWidget(nudge);
  tools->addWidget(voice);
  tools->addWidget(video);
  tools->addWidget(stop_video);
  tools->addWidget(send_file);
  tools->addStretch();
  tools->addWidget(profile);
  tools->addWidget(records);
  talk->addLayout(tools);
  talk->addWidget(audio_controls_);
  talk->addWidget(input_);
  auto* actions = new QHBoxLayout;
  actions->addWidget(hint_, 1);
  actions->addWidget(close);
  actions->addWidget(send);
  talk->addLayout(actions);
  auto* top = new QHBoxLayout(this);
  top->addLayout(talk, 1);
  top->addLayout(pictures);

  connect(send, &QPushButton::clicked, this, [this] { manager_.SendChatMsg(*this); });
  connect(nudge, &QPushButton::clicked, this, [this] { manager_.CallFriend(*this); });
  connect(voice, &QPushButton::clicked, this, [this] { manager_.RequestVoice(*this); });
  connect(video, &QPushButton::clicked, this, [this] { manager_.RequestVideo(*this); });
  connect(stop_audio, &QPushButton::clicked, this, [this] { manager_.StopAudio(*this, true); });
  connect(quality_, &QComboBox::activated, this, [this](int index) {
    manager_.ChangeAudioQuality(*this, static_cast<std::uint8_t>(quality_->itemData(index).toUInt()));
  });
  connect(volume_, &QSlider::valueChanged, this, [](int value) { SetAudioOutVolume(value); });
  connect(stop_video, &QPushButton::clicked, this, [this] { manager_.StopVideo(*this, true); });
  connect(close, &QPushButton::clicked, this, &QWidget::close);
  connect(emote, &QPushButton::clicked, this, [this] { manager_.ShowEmote(*this); });
  connect(font, &QPushButton::clicked, this, [this] { manager_.SetFontInfo(*this); });
  connect(records, &QPushButton::clicked, this, [this] { manager_.ViewChatRecord(1, friend_code_); });
  connect(profile, &QPushButton::clicked, this, [this] { manager_.ShowUserInfo(friend_code_); });
  files = new TFileWindow(*this, GlobalManager->Me ? GlobalManager->Me->UserCode() : 0);
  connect(send_file, &QPushButton::clicked, this, [this] { files->ChooseAndSend(); });
  connect(view_, &QTextBrowser::anchorClicked, this, &TChatForm::OnLink);

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
}

TChatForm::~TChatForm() {
  // The send threads stop while the window is still whole.
  delete files;
  files = nullptr;
}

void TChatForm::AddLine(const QString& text) {
  QTextCursor cursor(view_->document());
  cursor.movePosition(QTextCursor::End);
  if (!view_->document()->isEmpty()) cursor.insertBlock();
  QTextCharFormat plain;
  plain.setForeground(QColor(0x80, 0x80, 0x80));
  cursor.insertText(text, plain);
  ScrollToEnd();
}

void TChatForm::AddHotLinks(const QString& text, std::uint32_t operation, std::uint8_t role, bool yes) {
  AddLine(text);
  QTextCursor cursor(view_->document());
  cursor.movePosition(QTextCursor::End);
  auto link = [&](const char* answer, const QString& caption) {
    QTextCharFormat f;
    f.setAnchor(true);
    f.setAnchorHref(HotLink(operation, role, answer));
    f.setForeground(QColor(0, 0, 0xCC));
    f.setFontUnderline(true);
    cursor.insertText(QStringLiteral(" "), QTextCharFormat());
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
      if (f.isValid() && f.charFormat().anchorHref().startsWith(prefix)) spans.emplace_back(f.position(), f.length());
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

void TChatForm::ScrollToEnd() { view_->verticalScrollBar()->setValue(view_->verticalScrollBar()->maximum()); }

void TChatForm::Shake() {
  if (shake_timer_.isActive()) return;
  shake_origin_ = pos();
  shake_step_ = 0;
  shake_timer_.start();
}

void TChatForm::OnLink(const QUrl& link) {
  if (files && files->Link(link)) return;
  const QStringList parts = link.toString().split(QLatin1Char(':'));
  if (parts.size() != 4 || parts[0] != QLatin1String("op")) return;
  bool id_ok = false, role_ok = false;
  const std::uint32_t operation = parts[1].toUInt(&id_ok);
  const auto role = static_cast<std::uint8_t>(parts[2].toUInt(&role_ok));
  if (id_ok && role_ok) manager_.AnswerOperation(*this, operation, role, parts[3] == QLatin1String("yes"));
}

void TChatForm::closeEvent(QCloseEvent* event) {
  if (!closing_quietly && files && files->Files().Receiving() &&
      GlobalManager->ShowMessage(QStringLiteral("你和你的好友正在传送文件，是否仍然关闭窗口？"), kMessageQuestion) == 0) {
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
}

}  // namespace kiv::chat
