#include "chat_manager.h"

#include <QApplication>
#include <QDateTime>
#include <QElapsedTimer>
#include <QFontDialog>
#include <QMessageBox>
#include <QSlider>
#include <QTextBlock>
#include <QTextCursor>
#include <QTextDocument>
#include <QTextDocumentFragment>
#include <QTimer>
#include <cmath>
#include <cstdlib>
#include <fstream>

#include "base/gbk.h"
#include "chat_document.h"
#include "chat_form.h"
#include "chat_record.h"
#include "chat_record_form.h"
#include "emote/emote.h"
#include "file_window.h"
#include "kiv_audio.h"
#include "manager/global_manager.h"
#include "plugin/plugin_manager.h"
#include "udp_interface.h"
#include "video_interface.h"

namespace kiv::chat {

TManager* Manager = nullptr;

namespace {

namespace w = wire;

constexpr std::uint8_t kBlockGroup = 3;
constexpr std::uint8_t kHintChat = 5;
constexpr qint64 kTextIntervalMs = 500;
constexpr qint64 kNudgeIntervalMs = 3000;
constexpr std::size_t kRelaySwitch = 92 - 4;  // byte 92 of the parameters message, without its code
constexpr std::size_t kOfflineWarnBytes = 1000;
constexpr int kGaugeScale = 128;
constexpr std::int32_t kLevelSpan = 32768;
constexpr std::int32_t kSendLevel = 100;
constexpr std::uint8_t kFrameRate = 15;
constexpr std::uint32_t kOperationBase = 100000;
constexpr int kHintTitleChars = 255;
// The last day a send time may name (9999-12-31) in days since 1899-12-30.
constexpr double kLastDay = 2958465.0;

// Local messages.
constexpr std::uint32_t kMsgHint = 0x70001;
constexpr std::uint32_t kMsgShowProfile = 0x70004;
constexpr std::uint32_t kMsgOpenChat = 0x70005;
constexpr std::uint32_t kMsgRefreshChat = 0x70006;
constexpr std::uint32_t kMsgViewRecords = 0x70007;
constexpr std::uint32_t kMsgViewAllRecords = 0x70008;
constexpr std::uint32_t kMsgStartVoice = 0x70010;
constexpr std::uint32_t kMsgStartFile = 0x70011;
constexpr std::uint32_t kMsgStartVideo = 0x70012;
constexpr std::uint32_t kMsgBeforeRefresh = 0x70013;
constexpr std::uint32_t kMsgOwnPhotoChanged = 0x70019;
constexpr std::uint32_t kMsgCatchScreen = 0x70009;   // to KivCatch, with the input
constexpr std::uint32_t kMsgOpenSettings = 0x70015;  // to the main program: settings, page 1
constexpr std::uint32_t kMsgShowEffect = 0x70021;    // to KivEffect
constexpr std::uint32_t kMsgChatWaiting = 0x70042;
constexpr std::uint32_t kMsgChatRead = 0x70043;

qint64 NowMs() {
  static QElapsedTimer clock = [] {
    QElapsedTimer t;
    t.start();
    return t;
  }();
  return clock.elapsed();
}

QString Q(const std::string& utf8) { return QString::fromStdString(utf8); }

const QDateTime& Epoch() {
  static const QDateTime epoch(QDate(1899, 12, 30), QTime(0, 0));
  return epoch;
}

double ToDays(const QDateTime& when) { return static_cast<double>(Epoch().msecsTo(when)) / 86400000.0; }

// A send time from the network: a value that is not a finite day of the calendar becomes now.
QDateTime FromDays(double days) {
  if (!std::isfinite(days) || days < 0 || days > kLastDay) return QDateTime::currentDateTime();
  return Epoch().addMSecs(static_cast<qint64>(std::llround(days * 86400000.0)));
}

QString Nick(const TUser& user) { return Q(user.nickname.str()); }

void OnHintFormClick(std::uint32_t code) {
  if (Manager) Manager->StartChat(true, code);
}

bool RefuseDirect() {
  // Test seam: the direct connection refuses every send, so the other routes are taken.
  static const bool refuse = std::getenv("KIV_CHAT_REFUSE_DIRECT") != nullptr;
  return refuse;
}

std::uint8_t AudioQuality() {
  const std::uint8_t q = GlobalManager->SystemInfo.AudioQuality;
  return q == 2 ? 2 : 1;
}

}  // namespace

QString ErrorText(int error) {
  switch (error) {
    case 1:
      return QStringLiteral("对方看起来并不在线上。");
    case 2:
      return QStringLiteral("音频聊天之前已经启动。");
    case 3:
      return QStringLiteral("视频聊天之前已经启动。");
    case 4:
      return QStringLiteral("视频设备无法启动，但视频请求已经提交给对方。");
    case 5:
      return QStringLiteral("视频设备无法启动。");
    case 6:
      return QStringLiteral("音频设备无法启动。");
    case 7:
      return QStringLiteral("连接好友失败。");
    case 8:
      return QStringLiteral("最多允许同时发送10个文件。");
    case 9:
      return QStringLiteral("音频聊天请求已经发出。");
    case 10:
      return QStringLiteral("视频聊天请求已经发出。");
    case 11:
      return QStringLiteral("对方不在线，可能无法接收此操作请求。");
    case 12:
      return QStringLiteral("无法在多人聊天会话中进行此操作。");
    default:
      return {};
  }
}

TManager::TManager() { NowMs(); }

TManager::~TManager() {
  shutting_down_ = true;
  CloseAllChatForm();
  delete record_form_.data();
}

std::uint32_t TManager::MyCode() const { return GlobalManager->Me ? GlobalManager->Me->UserCode() : 0; }

bool TManager::FromHome(std::uint16_t remote) const {
  return GlobalManager->HomeServer != -1 && remote != 0 && remote == (GlobalManager->HomeServer & 0xFFFF);
}

TChatForm* TManager::GetChatForm(std::uint32_t code) const {
  for (const auto& form : forms_)
    if (form && form->FriendCode() == code) return form.data();
  return nullptr;
}

// ---- windows ---------------------------------------------------------------------------------------

TChatForm* TManager::StartChat(bool activate, std::uint32_t code) {
  TFriend* person = GlobalManager->GetFriendInfo(code);
  if (!person || !GlobalManager->Me) return nullptr;
  TChatForm* form = GetChatForm(code);
  const bool created = !form;
  if (created) {
    form = new TChatForm(*this, code);
    form->next_operation_id = MyCode() + kOperationBase;
    GlobalManager->UpdateFormSkin(form);
    forms_.emplace_back(form);
  }
  RefreshForm(*form);
  if (activate) {
    form->show();
    form->raise();
    form->activateWindow();
  } else if (created && !GlobalManager->GetWaitShowForm(form)) {
    AddWaiting(*form);
  }
  return form;
}

void TManager::RefreshForm(TChatForm& form) {
  TFriend* person = GlobalManager->GetFriendInfo(form.FriendCode());
  if (!person) return;
  const QString nick = Nick(*person);
  form.setWindowTitle(QStringLiteral("与%1对话中").arg(nick));
  QString line = QStringLiteral("%1[%2]").arg(nick).arg(person->UserCode());
  if (person->state != kStateOnline)
    line += QStringLiteral("(离线)");
  else if (!person->signature.empty())
    line += QStringLiteral("(%1)").arg(Q(person->signature.str()));
  form.NameLine()->setText(line);
  form.NameLine()->setToolTip(line);
  if (const QImage face = GlobalManager->GetFriendPhoto(*person); !face.isNull())
    form.FaceButton()->setIcon(QPixmap::fromImage(face));
  auto photo = [](QLabel* picture, std::uint32_t code) {
    QImage image = GlobalManager->GetPhoto(code, picture->width(), false, picture->height());
    if (image.isNull()) GlobalManager->SetGraphic(QStringLiteral("ChatImage"), image);
    picture->setPixmap(QPixmap::fromImage(image));
  };
  if (!form.video_picture_marked) photo(form.FriendPicture(), person->UserCode());
  if (!form.video_active) photo(form.MyPicture(), MyCode());
}

void TManager::AddWaiting(TChatForm& form) {
  GlobalManager->AddWaitShowForm(kWaitChatMessage, form.FriendCode(), &form);
  PluginManager->ExeDealMessage(kMsgRedrawTrayIcon, nullptr, 0);
  std::uint32_t code = form.FriendCode();
  PluginManager->DealMessage("KivFriend", kMsgChatWaiting, &code, sizeof code);
}

void TManager::RemoveWaiting(TChatForm& form) {
  const TWaitShowForm* entry = GlobalManager->GetWaitShowForm(&form);
  if (!entry) return;
  GlobalManager->RemoveWaitShowForm(entry);
  PluginManager->ExeDealMessage(kMsgRedrawTrayIcon, nullptr, 0);
  std::uint32_t code = form.FriendCode();
  PluginManager->DealMessage("KivFriend", kMsgChatRead, &code, sizeof code);
}

void TManager::FormShown(TChatForm& form) { RemoveWaiting(form); }

void TManager::FormClosing(TChatForm& form) {
  if (form.closing_quietly) return;
  form.closing_quietly = true;
  try {
    // Running transfers end with step 5, unanswered offers are refused or withdrawn.
    form.files->Files().AbortAll();
    StopVideo(form, true);
    StopAudio(form, true);
    if (const TFriend* person = GlobalManager->GetFriendInfo(form.FriendCode())) {
      for (TOperateInfo info : form.operations) {
        if (info.role == w::kRoleFile) continue;
        info.step = info.role == w::kRoleReceived ? w::kStepRefuse : w::kStepCancel;
        SendOperateMessage(info, *person);
      }
    }
    form.operations.clear();
    RemoveWaiting(form);
  } catch (...) {
  }
  std::erase_if(forms_, [&form](const QPointer<TChatForm>& f) { return !f || f.data() == &form; });
}

void TManager::CloseAllChatForm() {
  const std::vector<QPointer<TChatForm>> forms = forms_;
  for (const auto& form : forms)
    if (form) form->close();
  for (const auto& form : forms) delete form.data();  // also the hidden ones close would not delete
  forms_.clear();
}

void TManager::ShowError(TChatForm& form, int error) {
  const QString text = ErrorText(error);
  form.AddLine(text);
  form.SetHint(text);
}

// ---- local messages ----------------------------------------------------------------------------------

void TManager::DealMessage(std::uint32_t code, void* data, std::uint32_t size) {
  std::uint32_t user = 0;
  if (data && size >= sizeof user) std::memcpy(&user, data, sizeof user);
  switch (code) {
    case kMsgOpenChat:
      StartChat(true, user);
      break;
    case kMsgRefreshChat:
      if (TChatForm* form = GetChatForm(user)) RefreshForm(*form);
      break;
    case kMsgStartVoice:
      if (TChatForm* form = StartChat(true, user)) RequestVoice(*form);
      break;
    case kMsgStartVideo:
      if (TChatForm* form = StartChat(true, user)) RequestVideo(*form);
      break;
    case kMsgStartFile:
      if (TChatForm* form = StartChat(true, user)) form->files->ChooseAndSend();
      break;
    case kMsgBeforeRefresh: {
      if (!data || size < 1) break;
      auto* flag = static_cast<std::uint8_t*>(data);
      const bool open = std::any_of(forms_.begin(), forms_.end(), [](const auto& f) { return !f.isNull(); });
      if (*flag != 0 && open &&
          GlobalManager->ShowMessage(QStringLiteral("更新好友列表之前必须将所有好友对话框关闭，是否继续？"),
                                     kMessageQuestion) == 0) {
        *flag = 0;
        break;
      }
      *flag = 1;
      CloseAllChatForm();
      break;
    }
    case kMsgOwnPhotoChanged:
      for (const auto& form : forms_)
        if (form) RefreshForm(*form);
      break;
    case kMsgViewRecords:
      ViewChatRecord(1, user);
      break;
    case kMsgViewAllRecords:
      ViewChatRecord(0, user);
      break;
    default:
      break;
  }
}

// ---- receiving ---------------------------------------------------------------------------------------

void TManager::OnDataRecive(std::uint16_t remote, const std::uint8_t* data, std::uint32_t size) {
  if (size < 4 || !GlobalManager->Me) return;
  const std::span<const std::uint8_t> body(data, size);
  try {
    switch (LoadU32(data)) {
      case w::kChatMessage:
        DealChatMessage(remote, body);
        break;
      case w::kOperate:
        DealOperateMessage(remote, body);
        break;
      case w::kAudioData:
        DealAudioData(remote, body);
        break;
      case w::kVideoData:
        DealVideoData(remote, body);
        break;
      case w::kFileData:
        if (size >= w::file_data::kHeaderSize) {
          RecordReader r(body);
          // File data comes only on the friend's own connection (never through the server).
          if (TFriend* person =
                  TrustedFriend(remote, r.u32(w::file_data::kTarget), r.u32(w::file_data::kSender)))
            if (person->remote != 0 && (person->remote & 0xFFFF) == remote)
              if (TChatForm* form = GetChatForm(person->UserCode())) DealFileData(*form, body);
        }
        break;
      default:
        break;
    }
  } catch (...) {
  }
}

void TManager::OnDisconnect(std::uint16_t remote) {
  if (remote == 0 || !GlobalManager->Me || GlobalManager->RunState != kRunSignedIn) return;
  // Transfers on the lost connection end now; the friends plug-in may clear the friend's handle
  // before or after this handler runs.
  for (const auto& form : forms_)
    if (form && form->files) form->files->ConnectionLost(remote);
  // The friends plug-in clears the friend's handle and state in its own handler, which may run
  // after this one: the open windows are refreshed once both have run.
  QTimer::singleShot(0, this, [this] {
    for (const auto& form : forms_)
      if (form) RefreshForm(*form);
  });
}

TFriend* TManager::TrustedFriend(std::uint16_t remote, std::uint32_t target, std::uint32_t sender) const {
  if (target != MyCode() || sender == 0) return nullptr;
  TFriend* person = GlobalManager->GetFriendInfo(sender);
  if (!person || person->group_id == kBlockGroup) return nullptr;
  if (FromHome(remote)) return person;
  if (person->remote != 0 && (person->remote & 0xFFFF) == remote) return person;
  return nullptr;
}

void TManager::DealChatMessage(std::uint16_t remote, std::span<const std::uint8_t> body) {
  auto m = w::ReadTextMessage(body);
  if (!m) return;
  TFriend* person = TrustedFriend(remote, m->target, m->sender);
  if (!person) return;
  const QString document = SanitiseChatDocument(QString::fromUtf8(
      reinterpret_cast<const char*>(m->content.data()), static_cast<qsizetype>(m->content.size())));
  const bool created = !GetChatForm(person->UserCode());
  TChatForm* form = StartChat(created && GlobalManager->SetupInfo.AutoPopupMessage != 0, person->UserCode());
  if (form) ShowChatMsg(*form, *person, document, m->send_time, created);
}

void TManager::ShowChatMsg(TChatForm& form, const TFriend& person, const QString& document, double send_time,
                           bool created) {
  const std::filesystem::path sound = GlobalManager->SoundFile(kSoundUserMessage);
  if (form.isVisible() && !form.isActiveWindow()) {
    QApplication::alert(&form);
    GlobalManager->PlaySound(sound);
  }
  const QDateTime when = FromDays(send_time);
  const QString nick = Nick(person);
  AddToView(form.View(), nick + when.toString(QStringLiteral(" hh:mm:ss")), document, true);
  SaveChatRecord(person.UserCode(), nick + when.toString(QStringLiteral(" MM/dd hh:mm:ss")), document);
  if (created) {
    GlobalManager->PlaySound(sound);
    QTextDocument plain;
    plain.setHtml(document);
    PostHint(person, plain.toPlainText().simplified().left(kHintTitleChars),
             QStringLiteral("好友%1(%2)对你说：").arg(nick).arg(person.UserCode()));
  }
}

void TManager::AddToView(QTextEdit* view, const QString& heading, const QString& document, bool scroll) {
  QTextCursor cursor(view->document());
  cursor.movePosition(QTextCursor::End);
  if (view->document()->isEmpty())
    cursor.setBlockFormat(QTextBlockFormat());
  else
    cursor.insertBlock(QTextBlockFormat());
  cursor.insertText(heading, TextStyle(kStyleHeadInfo));
  cursor.insertBlock(QTextBlockFormat(), QTextCharFormat());
  const int start = cursor.position();
  cursor.insertFragment(QTextDocumentFragment::fromHtml(document));
  CoverNameToPic(view, start);
  if (scroll) view->ensureCursorVisible();
  if (scroll) {
    QTextCursor end(view->document());
    end.movePosition(QTextCursor::End);
    view->setTextCursor(end);
  }
}

void TManager::DealOperateMessage(std::uint16_t remote, std::span<const std::uint8_t> body) {
  auto m = w::ReadOperateMessage(body);
  if (!m) return;
  TFriend* person = TrustedFriend(remote, m->target, m->sender);
  if (!person) return;
  TOperateInfo info;
  info.operate_id = m->id;
  info.kind = m->kind;
  info.step = m->step;
  info.value = m->value;
  info.file_name = m->file_name;
  if (info.kind < kOperateVoice || info.kind > kOperateNudge) return;
  // An answer with no window here answers nothing of ours.
  const bool opens = info.step == w::kStepRequest;
  if (!opens && !GetChatForm(person->UserCode()) && info.kind != kOperateFile) return;
  TChatForm* form = StartChat(
      GlobalManager->SetupInfo.AutoPopupMessage != 0 && !GetChatForm(person->UserCode()), person->UserCode());
  if (!form) return;
  if (!form->isActiveWindow()) {
    GlobalManager->PlaySound(GlobalManager->SoundFile(kSoundUserMessage));
    if (form->isVisible()) QApplication::alert(form);
  }
  ShowOperateInfo(*form, *person, info);
}

void TManager::ShowOperateInfo(TChatForm& form, const TFriend& person, TOperateInfo info) {
  switch (info.kind) {
    case kOperateVoice:
      DealVoiceOperation(form, person, info);
      break;
    case kOperateVideo:
      DealVideoOperation(form, person, info);
      break;
    case kOperateFile:
      DealFileOperation(form, info);
      break;
    case kOperateNudge:
      ShowNudge(form);
      break;
    default:
      break;
  }
}

void TManager::DealFileOperation(TChatForm& form, const TOperateInfo& info) {
  form.files->Files().DealRecMsg(info);
}

void TManager::DealFileData(TChatForm& form, std::span<const std::uint8_t> body) {
  form.files->Files().DealFileData(body);
}

void TManager::ShowNudge(TChatForm& form) {
  if (form.isVisible() && !form.isActiveWindow()) QApplication::alert(&form);
  form.AddLine(QStringLiteral("<好友提醒>"));
  const qint64 now = NowMs();
  if (now - form.last_shake_ms < kNudgeIntervalMs) return;
  form.last_shake_ms = now;
  GlobalManager->PlaySound(GlobalManager->SoundFile(kSoundFriendNudge));
  form.Shake();
}

TOperateInfo TManager::NewOperation(TChatForm& form, std::uint8_t kind, std::uint8_t step,
                                    std::uint8_t role) {
  TOperateInfo info;
  info.operate_id = form.next_operation_id++;
  info.kind = kind;
  info.step = step;
  info.role = role;
  return info;
}

std::optional<TOperateInfo> TManager::TakeOperation(TChatForm& form, std::uint32_t id, std::uint8_t kind,
                                                    std::uint8_t role) {
  auto it = std::find_if(form.operations.begin(), form.operations.end(), [&](const TOperateInfo& o) {
    return o.operate_id == id && o.kind == kind && o.role == role;
  });
  if (it == form.operations.end()) return std::nullopt;
  TOperateInfo info = *it;
  form.operations.erase(it);
  form.RemoveHotLinks(id, role);
  return info;
}

void TManager::DealVoiceOperation(TChatForm& form, const TFriend& person, TOperateInfo info) {
  const QString nick = Nick(person);
  switch (info.step) {
    case w::kStepRequest: {
      const auto received = std::count_if(form.operations.begin(), form.operations.end(),
                                          [](const TOperateInfo& o) { return o.role == w::kRoleReceived; });
      if (static_cast<std::size_t>(received) >= kMaxPendingOperations) {
        info.step = w::kStepRefuse;
        SendOperateMessage(info, person);
        return;
      }
      info.role = w::kRoleReceived;
      form.operations.push_back(info);
      form.SetHint(QStringLiteral("对方向你发出音频邀请。"));
      form.AddHotLinks(QStringLiteral("对方向你发出音频邀请，是否同意？"), info.operate_id, w::kRoleReceived,
                       true);
      PostHint(person, QStringLiteral("音频聊天请求"),
               QStringLiteral("    好友%1(%2)向你发出了音频聊天请求。").arg(nick).arg(person.UserCode()));
      break;
    }
    case w::kStepAccept:
      if (!TakeOperation(form, info.operate_id, kOperateVoice, w::kRoleSent)) return;
      form.AddLine(QStringLiteral("你的音频请求被同意了。"));
      StartAudio(form);
      break;
    case w::kStepRefuse:
      if (!TakeOperation(form, info.operate_id, kOperateVoice, w::kRoleSent)) return;
      form.voice_pending = false;
      form.AddLine(QStringLiteral("你的音频请求被拒绝了。"));
      break;
    case w::kStepCancel:
      if (!TakeOperation(form, info.operate_id, kOperateVoice, w::kRoleReceived)) return;
      form.AddLine(QStringLiteral("对方取消了音频请求。"));
      break;
    case w::kStepEnd:
      if (form.audio_running) StopAudio(form, false);
      break;
    default:
      break;
  }
}

void TManager::DealVideoOperation(TChatForm& form, const TFriend& person, TOperateInfo info) {
  const QString nick = Nick(person);
  switch (info.step) {
    case w::kStepRequest: {
      const auto received = std::count_if(form.operations.begin(), form.operations.end(),
                                          [](const TOperateInfo& o) { return o.role == w::kRoleReceived; });
      if (static_cast<std::size_t>(received) >= kMaxPendingOperations) {
        info.step = w::kStepRefuse;
        SendOperateMessage(info, person);
        return;
      }
      info.role = w::kRoleReceived;
      form.operations.push_back(info);
      form.video_pending = true;
      form.SetHint(QStringLiteral("对方向你发出视频邀请。"));
      form.AddHotLinks(QStringLiteral("对方向你发出视频邀请，是否同意？"), info.operate_id, w::kRoleReceived,
                       true);
      PostHint(person, QStringLiteral("视频聊天请求"),
               QStringLiteral("    好友%1(%2)向你发出了视频聊天请求。").arg(nick).arg(person.UserCode()));
      break;
    }
    case w::kStepAccept:
      if (!TakeOperation(form, info.operate_id, kOperateVideo, w::kRoleSent)) return;
      form.AddLine(QStringLiteral("你的视频请求被同意了。"));
      form.SetHint(QStringLiteral("正在启动视频设备..."));
      StartVideo(form);
      break;
    case w::kStepRefuse:
      if (!TakeOperation(form, info.operate_id, kOperateVideo, w::kRoleSent)) return;
      form.video_pending = false;
      form.AddLine(QStringLiteral("你的视频请求被拒绝了。"));
      if (form.video_active) {
        form.video_active = false;
        ::StopVideo();
      }
      break;
    case w::kStepCancel:
      if (!TakeOperation(form, info.operate_id, kOperateVideo, w::kRoleReceived)) return;
      form.video_pending = false;
      form.AddLine(QStringLiteral("对方取消了视频请求。"));
      break;
    case w::kStepEnd:
      StopVideo(form, false);
      break;
    default:
      break;
  }
}

void TManager::AnswerOperation(TChatForm& form, std::uint32_t id, std::uint8_t role, bool yes) {
  const TFriend* person = GlobalManager->GetFriendInfo(form.FriendCode());
  if (!person || (role == w::kRoleSent && yes)) return;
  auto info = TakeOperation(form, id, kOperateVoice, role);
  if (!info) info = TakeOperation(form, id, kOperateVideo, role);
  if (!info) return;
  const bool voice = info->kind == kOperateVoice;
  if (role == w::kRoleReceived && yes) {
    info->step = w::kStepAccept;
    if (voice) {
      form.AddLine(QStringLiteral("你接受了音频请求。"));
      StartAudio(form);
    } else {
      form.AddLine(QStringLiteral("你接受了视频请求。"));
      form.SetHint(QStringLiteral("视频设备正在启动..."));
      StartVideo(form);
    }
  } else if (role == w::kRoleReceived) {
    info->step = w::kStepRefuse;
    form.AddLine(voice ? QStringLiteral("你拒绝了音频请求。") : QStringLiteral("你拒绝了视频请求。"));
    form.SetHint(voice ? QStringLiteral("你拒绝了对方的音频请求。")
                       : QStringLiteral("你拒绝了对方的视频请求。"));
    (voice ? form.voice_pending : form.video_pending) = false;
  } else {
    info->step = w::kStepCancel;
    form.AddLine(voice ? QStringLiteral("你取消了音频请求。") : QStringLiteral("你取消了视频请求。"));
    (voice ? form.voice_pending : form.video_pending) = false;
    if (!voice && form.video_active) {
      form.video_active = false;
      ::StopVideo();
    }
  }
  if (!SendOperateMessage(*info, *person)) ShowError(form, 7);
}

// ---- sending -----------------------------------------------------------------------------------------

bool TManager::SendToFriend(const TFriend& person, std::span<const std::uint8_t> body, bool text,
                            std::uint8_t channel, std::uint32_t threshold, std::uint8_t mode) {
  w::TRouteFacts facts;
  facts.has_connection = person.remote != 0;
  facts.text = text;
  facts.friend_state = person.state;
  facts.relay_allowed = GlobalManager->ServerParam[kRelaySwitch] == 1;
  facts.friend_server_known = !person.server_ip.empty() && person.server_port != 0;
  const auto size = static_cast<std::uint32_t>(body.size());
  for (w::TRoute route : w::Routes(facts)) {
    switch (route) {
      case w::TRoute::kDirect:
        if (!RefuseDirect() && UDPSendData(static_cast<std::uint16_t>(person.remote & 0xFFFF), body.data(),
                                           size, channel, threshold, mode))
          return true;
        break;
      case w::TRoute::kHomeServer:
        if (GlobalManager->HomeServer != -1 &&
            UDPSendData(static_cast<std::uint16_t>(GlobalManager->HomeServer & 0xFFFF), body.data(), size, 0,
                        0, 0))
          return true;
        break;
      case w::TRoute::kFriendServer: {
        const std::uint32_t temp = UDPCreateTempRemote(person.server_ip.str().c_str(), person.server_port);
        if (temp != 0) {
          UDPSendTempData(static_cast<std::uint16_t>(temp & 0xFFFF), body.data(), size);
          return true;
        }
        break;
      }
    }
  }
  return false;
}

bool TManager::SendOperateMessage(const TOperateInfo& info, const TFriend& person) {
  w::TOperateMessage m;
  m.target = person.UserCode();
  m.sender = MyCode();
  m.id = info.operate_id;
  m.kind = info.kind;
  m.step = info.step;
  m.value = info.value;
  m.file_name = std::filesystem::path(info.file_name.str()).filename().string();
  const Bytes body = w::OperateMessage(m);
  return SendToFriend(person, body, false, w::kOperateChannel, 0, 0);
}

void TManager::SendAudioData(std::uint8_t quality, const TFriend& person,
                             std::span<const std::uint8_t> data) {
  if (data.empty() || data.size() > w::audio::kMaxData) return;
  const Bytes body = w::AudioMessage(person.UserCode(), MyCode(), quality, data);
  SendToFriend(person, body, false, w::kAudioChannel, w::kMediaThreshold, 0);
}

void TManager::SendVideoData(const TFriend& person, std::span<const std::uint8_t> frame, bool key_frame,
                             std::uint16_t width, std::uint16_t height) {
  const Bytes body = w::VideoMessage(person.UserCode(), MyCode(), key_frame, width, height, frame);
  SendToFriend(person, body, false, w::kVideoChannel, w::kMediaThreshold, key_frame ? 1 : 0);
}

void TManager::SendChatMsg(TChatForm& form) {
  QTextEdit* input = form.Input();
  if (input->document()->isEmpty()) return;
  const TFriend* person = GlobalManager->GetFriendInfo(form.FriendCode());
  if (!person || !GlobalManager->Me) return;
  const qint64 now = NowMs();
  if (now - last_text_ms_ < kTextIntervalMs) {
    form.AddLine(QStringLiteral("发送消息速度太快了，休息一下。"));
    return;
  }
  CheckURL(input);
  {
    std::unique_ptr<QTextDocument> probe(input->document()->clone());
    if (!CoverPicToName(probe.get())) {
      form.AddLine(QStringLiteral("发送的图释过多。"));
      return;
    }
  }
  const std::optional<QString> document = EncodeChatDocument(*input->document());
  if (!document) {
    form.AddLine(QStringLiteral("对不起，发言的内容过多，无法发送。"));
    return;
  }
  const QByteArray bytes = document->toUtf8();
  const QDateTime when = QDateTime::currentDateTime();
  const Bytes body = w::TextMessage(person->UserCode(), MyCode(), ToDays(when),
                                    std::span(reinterpret_cast<const std::uint8_t*>(bytes.constData()),
                                              static_cast<std::size_t>(bytes.size())));
  // What no route took stays in the input, is not shown as said and not recorded.
  if (!SendToFriend(*person, body, true, w::kTextChannel, 0, 0)) {
    ShowError(form, 7);
    return;
  }
  last_text_ms_ = now;
  input->clear();
  form.ApplyInputFont();
  const QString nick = Nick(*GlobalManager->Me);
  AddToView(form.View(), nick + when.toString(QStringLiteral(" hh:mm:ss")), *document, true);
  SaveChatRecord(person->UserCode(), nick + when.toString(QStringLiteral(" MM/dd hh:mm:ss")), *document);
  if (person->state != kStateOnline && static_cast<std::size_t>(bytes.size()) > kOfflineWarnBytes)
    form.AddLine(QStringLiteral("对方不在线，可能无法接收此消息。"));
}

void TManager::CallFriend(TChatForm& form) {
  const TFriend* person = GlobalManager->GetFriendInfo(form.FriendCode());
  if (!person) return;
  if (person->state != kStateOnline) {
    form.AddLine(QStringLiteral("(对方不在线,无法发送此消息)"));
    return;
  }
  const qint64 now = NowMs();
  if (now - form.last_nudge_ms < kNudgeIntervalMs) return;
  form.last_nudge_ms = now;
  TOperateInfo info;
  info.kind = kOperateNudge;
  info.step = 1;
  if (!SendOperateMessage(info, *person)) {
    ShowError(form, 7);
    return;
  }
  GlobalManager->PlaySound(GlobalManager->SoundFile(kSoundFriendNudge));
  form.last_shake_ms = now;
  form.Shake();
  form.AddLine(QStringLiteral("<提醒好友>"));
}

void TManager::PostHint(const TFriend& person, const QString& title, const QString& text) {
  THintInfo hint{};
  hint.kind = kHintChat;
  hint.title.SetText(title.toStdString());
  hint.text.SetText(text.toStdString());
  hint.picture = new QImage(GlobalManager->GetFriendPhoto(person));
  hint.tag = person.UserCode();
  hint.flag = 0;
  hint.click = &OnHintFormClick;
  if (!PluginManager->DealMessage("KivHint", kMsgHint, &hint, sizeof hint)) delete hint.picture;
}

// ---- calls ------------------------------------------------------------------------------------------

void TManager::RequestVoice(TChatForm& form) {
  const TFriend* person = GlobalManager->GetFriendInfo(form.FriendCode());
  if (!person) return;
  if (form.audio_running || CheckAudioInDeviceWorking()) return ShowError(form, 2);
  if (form.voice_pending) return ShowError(form, 9);
  TOperateInfo info = NewOperation(form, kOperateVoice, w::kStepRequest, w::kRoleSent);
  if (!SendOperateMessage(info, *person)) return ShowError(form, 7);
  form.voice_pending = true;
  form.operations.push_back(info);
  form.AddHotLinks(QStringLiteral("你已经向%1发出音频邀请，是否继续等待？").arg(Nick(*person)),
                   info.operate_id, w::kRoleSent, false);
  form.SetHint(QStringLiteral("正在等待对方同意音频连接..."));
  if (person->state != kStateOnline) ShowError(form, 11);
}

void TManager::RequestVideo(TChatForm& form) {
  const TFriend* person = GlobalManager->GetFriendInfo(form.FriendCode());
  if (!person) return;
  if (form.video_active) return ShowError(form, 3);
  if (form.video_pending) return ShowError(form, 10);
  TOperateInfo info = NewOperation(form, kOperateVideo, w::kStepRequest, w::kRoleSent);
  if (!SendOperateMessage(info, *person)) return ShowError(form, 7);
  form.video_pending = true;
  form.operations.push_back(info);
  form.AddHotLinks(QStringLiteral("你已经向%1发出视频邀请，是否继续等待？").arg(Nick(*person)),
                   info.operate_id, w::kRoleSent, false);
  form.SetHint(QStringLiteral("正在等待对方同意视频连接..."));
  if (person->state != kStateOnline) ShowError(form, 11);
}

void TManager::StartAudio(TChatForm& form) {
  form.audio_running = true;
  form.audio_out = StartAudioOut(GlobalManager->SystemInfo.AudioOutput, &form);
  const bool input = StartAudioIn(AudioQuality(), GlobalManager->SystemInfo.AudioInput, &form,
                                  &TManager::OnAudioData, &form);
  if (input && form.audio_out != -1) {
    form.SetHint(QStringLiteral("音频连接已经建立。"));
    form.ShowAudioControls(AudioQuality(), GetAudioOutVolume());
    return;
  }
  // The call stays idle on this side.
  if (input) StopAudioIn();
  if (form.audio_out != -1) StopAudioOut(form.audio_out);
  form.audio_out = -1;
  form.audio_running = false;
  form.voice_pending = false;
  ShowError(form, 6);
}

void TManager::OnAudioData(void* object, const void* data, std::uint32_t size, std::int32_t level) {
  if (!Manager || !data) return;
  auto* form = static_cast<TChatForm*>(object);
  const auto& forms = Manager->forms_;
  if (std::none_of(forms.begin(), forms.end(), [form](const auto& f) { return f.data() == form; })) return;
  if (!form->audio_running) return;
  form->InputGauge()->setValue(std::clamp<std::int32_t>(level * kGaugeScale / kLevelSpan, 0, kGaugeScale));
  if (level < kSendLevel) return;
  if (const TFriend* person = GlobalManager->GetFriendInfo(form->FriendCode()))
    Manager->SendAudioData(AudioQuality(), *person, std::span(static_cast<const std::uint8_t*>(data), size));
}

void TManager::DealAudioData(std::uint16_t remote, std::span<const std::uint8_t> body) {
  auto m = w::ReadAudioMessage(body);
  if (!m) return;
  TFriend* person = TrustedFriend(remote, m->target, m->sender);
  if (!person) return;
  TChatForm* form = GetChatForm(person->UserCode());
  if (!form || !form->audio_running || form->audio_out == -1) return;
  const std::int32_t level =
      PlayAudioData(form->audio_out, m->quality, m->data.data(), static_cast<std::uint32_t>(m->data.size()));
  form->OutputGauge()->setValue(std::clamp<std::int32_t>(level * kGaugeScale / kLevelSpan, 0, kGaugeScale));
}

void TManager::StopAudio(TChatForm& form, bool send) {
  if (!form.audio_running) return;
  form.audio_running = false;
  form.voice_pending = false;
  StopAudioIn();
  StopAudioOut(form.audio_out);
  form.audio_out = -1;
  form.AddLine(QStringLiteral("音频聊天已经结束。"));
  form.HideAudioControls();
  if (!send) return;
  if (const TFriend* person = GlobalManager->GetFriendInfo(form.FriendCode())) {
    TOperateInfo info = NewOperation(form, kOperateVoice, w::kStepEnd, w::kRoleSent);
    SendOperateMessage(info, *person);
  }
}

void TManager::ChangeAudioQuality(TChatForm& form, std::uint8_t quality) {
  if (!form.audio_running || (quality != kAudioQualityNormal && quality != kAudioQualityHigh)) return;
  StopAudioIn();
  GlobalManager->SystemInfo.AudioQuality = quality;
  GlobalManager->SaveSystemInfo();
  if (!StartAudioIn(quality, GlobalManager->SystemInfo.AudioInput, &form, &TManager::OnAudioData, &form))
    ShowError(form, 6);
}

void TManager::StartVideo(TChatForm& form) {
  form.video_receiving = true;
  form.MyPicture()->clear();
  StartPlayVideoData(form.FriendPicture());
  const TSetupInfo& setup = GlobalManager->SetupInfo;
  if (::StartVideo(&form, GlobalManager->SystemInfo.VideoDevice, setup.VideoWidth, setup.VideoHeight,
                   &TManager::OnVideoData, kFrameRate)) {
    form.SetHint(QStringLiteral("视频设备已经启动。"));
    form.video_active = true;
    return;
  }
  RefreshForm(form);
  ShowError(form, 5);
}

void TManager::OnVideoData(void* bits, std::uint32_t size, QImage* bitmap) {
  std::unique_ptr<QImage> picture(bitmap);
  if (!Manager || !bits) return;
  TChatForm* form = nullptr;
  for (const auto& f : Manager->forms_)
    if (f && f->video_active) {
      form = f.data();
      break;
    }
  if (!form) return;
  if (picture) {
    PluginManager->DealMessage("KivEffect", 0x70022, picture.get(), sizeof(QImage*));
    form->MyPicture()->setPixmap(QPixmap::fromImage(*picture));
  }
  if (!form->send_next_frame) return;
  std::int32_t width = 0, height = 0;
  GetVideoFormat(&width, &height);
  const void* data = bits;
  std::uint32_t length = size;
  bool key_frame = false;
  if (width <= 0 || height <= 0 || !CompressData(&data, &length, &key_frame)) return;
  form->send_next_frame = false;
  if (const TFriend* person = GlobalManager->GetFriendInfo(form->FriendCode()))
    Manager->SendVideoData(*person, std::span(static_cast<const std::uint8_t*>(data), length), key_frame,
                           static_cast<std::uint16_t>(width), static_cast<std::uint16_t>(height));
}

void TManager::DealVideoData(std::uint16_t remote, std::span<const std::uint8_t> body) {
  auto m = w::ReadVideoMessage(body);
  if (!m) return;
  TFriend* person = TrustedFriend(remote, m->target, m->sender);
  if (!person) return;
  TChatForm* form = GetChatForm(person->UserCode());
  if (!form || !form->video_receiving) return;
  if (!form->video_picture_marked) {
    form->FriendPicture()->clear();
    form->video_picture_marked = true;
    form->FriendPicture()->setScaledContents(false);
    form->video_active = true;
  }
  PlayVideoData(m->frame.data(), static_cast<std::int32_t>(m->frame.size()), form->FriendPicture(), m->width,
                m->height);
}

void TManager::StopVideo(TChatForm& form, bool send) {
  if (!form.video_active && !form.video_receiving) return;
  form.SetHint(QStringLiteral("视频连接已经结束。"));
  form.AddLine(QStringLiteral("视频聊天已经结束。"));
  form.video_pending = false;
  if (form.video_active) {
    form.video_active = false;
    ::StopVideo();
  }
  if (send)
    if (const TFriend* person = GlobalManager->GetFriendInfo(form.FriendCode())) {
      TOperateInfo info = NewOperation(form, kOperateVideo, w::kStepEnd, w::kRoleSent);
      SendOperateMessage(info, *person);
    }
  StopPlayVideoData(form.FriendPicture());
  form.video_receiving = false;
  form.video_picture_marked = false;
  RefreshForm(form);
}

// ---- records -----------------------------------------------------------------------------------------

void TManager::SaveChatRecord(std::uint32_t code, const QString& heading, const QString& document) {
  if (GlobalManager->SetupInfo.SaveHistory == 0) return;
  const std::filesystem::path file = ChatRecordPath(GlobalManager->UserFolder(), code);
  QTextDocument line;
  QTextCursor(&line).insertText(heading);
  const QString head = SanitiseChatDocument(line.toHtml());
  if (chat::SaveChatRecord(file, MyCode(), head.toStdString()))
    chat::SaveChatRecord(file, MyCode(), document.toStdString());
}

std::optional<TRecordPage> TManager::LoadChatRecord(std::size_t page, std::uint32_t code, QTextEdit* view,
                                                    bool all) {
  view->clear();
  TRecordPage result;
  result.file = ChatRecordPath(GlobalManager->UserFolder(), code);
  const auto records = LoadChatRecords(result.file, MyCode());
  if (!records) return std::nullopt;
  result.records = records->size();
  result.pages = ChatRecordPageCount(records->size());
  result.page = std::clamp<std::size_t>(page, 1, result.pages);
  const std::span<const std::string> shown = all ? std::span<const std::string>(*records)
                                                 : ChatRecordPage(*records, result.page);
  // Every message is two records, its heading and its document; a page starts at an odd record,
  // so the records at even places of a page are headings.
  QTextCursor cursor(view->document());
  for (std::size_t i = 0; i < shown.size(); ++i) {
    const bool heading = i % 2 == 0;
    cursor.movePosition(QTextCursor::End);
    if (i > 0) cursor.insertBlock(QTextBlockFormat(), QTextCharFormat());
    const int start = cursor.position();
    const QTextDocumentFragment fragment = QTextDocumentFragment::fromHtml(SanitiseChatDocument(Q(shown[i])));
    if (heading) {
      cursor.setBlockFormat(TChatRecordForm::HeadingBlockFormat());
      cursor.insertText(fragment.toPlainText().simplified(), TextStyle(kStyleHeadInfo));
    } else {
      cursor.insertFragment(fragment);
      QTextCursor body(view->document());
      body.setPosition(start);
      body.setPosition(cursor.position(), QTextCursor::KeepAnchor);
      body.mergeBlockFormat(TChatRecordForm::BodyBlockFormat());
      CoverNameToPic(view, start);
    }
  }
  return result;
}

std::optional<TRecordPage> TManager::LoadSystemMsg(std::size_t page, QTextEdit* view, bool all) {
  view->clear();
  TRecordPage result;
  result.file = GlobalManager->UserFolder() / "ChatRecord" / "SystemMsg.dat";
  std::ifstream in(result.file, std::ios::binary);
  if (!in) return std::nullopt;
  std::vector<QString> lines;
  std::string line;
  while (std::getline(in, line)) {
    if (!line.empty() && line.back() == '\r') line.pop_back();
    lines.push_back(Q(GbkToUtf8(line)));
  }
  result.records = lines.size();
  result.pages = lines.empty() ? 1 : (lines.size() - 1) / kChatRecordsPerPage + 1;
  result.page = std::clamp<std::size_t>(page, 1, result.pages);
  QTextCursor cursor(view->document());
  const std::size_t first = all ? 0 : (result.page - 1) * kChatRecordsPerPage;
  const std::size_t end = all ? lines.size() : std::min(lines.size(), first + kChatRecordsPerPage);
  for (std::size_t i = first; i < end; ++i) {
    const bool heading = i % 2 == 0;
    cursor.movePosition(QTextCursor::End);
    if (i > first) cursor.insertBlock(QTextBlockFormat(), QTextCharFormat());
    cursor.setBlockFormat(heading ? TChatRecordForm::HeadingBlockFormat()
                                  : TChatRecordForm::BodyBlockFormat());
    cursor.insertText(lines[i], heading ? TextStyle(kStyleHeadInfo) : QTextCharFormat());
  }
  view->moveCursor(QTextCursor::End);
  return result;
}

void TManager::ViewChatRecord(int kind, std::uint32_t code) {
  if (!record_form_) {
    record_form_ = new TChatRecordForm(*this);
    GlobalManager->UpdateFormSkin(record_form_);
  }
  record_form_->FillTree();
  record_form_->show();
  record_form_->raise();
  record_form_->activateWindow();
  if (kind == 1 && code != 0 && GlobalManager->GetFriendInfo(code))
    record_form_->Select(code);
  else if (code == 0)
    record_form_->Select(0);
}

// ---- the window's helpers ---------------------------------------------------------------------------

void TManager::ShowEmote(TChatForm& form) {
  PluginManager->DealMessage("KivEmote", kMsgShowEmotePicker, static_cast<QWidget*>(form.Input()), 0);
}

void TManager::SetFontInfo(TChatForm& form) {
  QTextEdit* input = form.Input();
  bool chosen = false;
  const QFont font = QFontDialog::getFont(&chosen, input->currentFont(), &form, QStringLiteral("字体"));
  if (!chosen) return;
  QTextCharFormat format;
  format.setFont(font);
  QTextCursor all(input->document());
  all.select(QTextCursor::Document);
  all.mergeCharFormat(format);
  input->setCurrentFont(font);
  TSetupInfo& setup = GlobalManager->SetupInfo;
  setup.FontName.SetText(font.family().toStdString());
  setup.FontSize = std::min(font.pointSize() > 0 ? font.pointSize() : 9, 20);
  setup.FontStyle = static_cast<std::uint8_t>(
      (font.bold() ? kFontBold : 0) | (font.italic() ? kFontItalic : 0) |
      (font.underline() ? kFontUnderline : 0) | (font.strikeOut() ? kFontStrikeOut : 0));
  GlobalManager->SaveSetupInfo();
}

void TManager::CatchScreen(TChatForm& form) {
  // The capture plug-in puts the grabbed region into the input as a picture; without it nothing
  // happens.
  PluginManager->DealMessage("KivCatch", kMsgCatchScreen, static_cast<QWidget*>(form.Input()), 0);
}

void TManager::ChangePhoto() { PluginManager->ExeDealMessage(kMsgOpenSettings, nullptr, 0); }

void TManager::ShowEffectForm() { PluginManager->DealMessage("KivEffect", kMsgShowEffect, nullptr, 0); }

void TManager::ShowUserInfo(std::uint32_t code) {
  PluginManager->DealMessage("KivFriend", kMsgShowProfile, &code, sizeof code);
}

}  // namespace kiv::chat
