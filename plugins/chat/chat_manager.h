// Chat_manager: the chat plug-in's manager. It owns the chat windows (one per friend), turns every
// received chat message into window actions, sends every outgoing one by the first route that
// takes it, runs the voice and video calls and reads and writes the chat records.
//
// Trust: a chat message counts as the friend's only when it arrives on that friend's own
// connection or on the home-server connection (which hands on what the server keeps or relays);
// the sender field of the body must then name that friend. Anything else is dropped.
//
// Threads: main thread only (transport mode 0; the audio and video engines call back on it too).
#pragma once

#include <QObject>
#include <QPointer>
#include <QString>
#include <QTextEdit>
#include <cstdint>
#include <filesystem>
#include <optional>
#include <span>
#include <vector>

#include "chat_wire.h"
#include "declare/declare.h"
#include "user/user.h"

namespace kiv::chat {

class TChatForm;
class TChatRecordForm;

// Window error texts (ShowError).
QString ErrorText(int error);

// The page a record view shows.
struct TRecordPage {
  std::size_t page = 1;
  std::size_t pages = 1;
  std::size_t records = 0;
  std::filesystem::path file;
};

class TManager : public QObject {
  Q_OBJECT

 public:
  TManager();
  ~TManager() override;

  // Transport callbacks of the plug-in.
  void OnDataRecive(std::uint16_t remote, const std::uint8_t* data, std::uint32_t size);
  void OnDisconnect(std::uint16_t remote);
  // Local messages to this plug-in.
  void DealMessage(std::uint32_t code, void* data, std::uint32_t size);

  // Operations of the windows.
  TChatForm* StartChat(bool activate, std::uint32_t code);
  TChatForm* GetChatForm(std::uint32_t code) const;
  void SendChatMsg(TChatForm& form);
  void CallFriend(TChatForm& form);
  void RequestVoice(TChatForm& form);
  void RequestVideo(TChatForm& form);
  // The user clicked "$Yes$" or "$No$" of a pending operation: a received request is accepted or
  // refused, an own one cancelled.
  void AnswerOperation(TChatForm& form, std::uint32_t operation, std::uint8_t role, bool yes);
  void StopAudio(TChatForm& form, bool send);
  // Restarts the running call's microphone at `quality` (1 normal, 2 high), kept in the system record.
  void ChangeAudioQuality(TChatForm& form, std::uint8_t quality);
  void StopVideo(TChatForm& form, bool send);
  void ShowError(TChatForm& form, int error);
  // A window is closing: calls end, pending operations are refused or cancelled.
  void FormClosing(TChatForm& form);
  void FormShown(TChatForm& form);
  void CloseAllChatForm();
  // Loads a page of the friend's records (all of them with `all`) into `view`, headings in the
  // HeadInfo style; nothing, and the view empty, when the file is missing or belongs to someone else.
  std::optional<TRecordPage> LoadChatRecord(std::size_t page, std::uint32_t code, QTextEdit* view, bool all);
  // Loads a page of the system messages (all of them with `all`) into `view`.
  std::optional<TRecordPage> LoadSystemMsg(std::size_t page, QTextEdit* view, bool all = false);
  // Opens the record viewer; kind 1 selects the friend `code` (0: the system messages), kind 0
  // selects nothing unless `code` is 0.
  void ViewChatRecord(int kind, std::uint32_t code);
  // The emoticon picker for the window's input, the font of its input, the friend's profile.
  void ShowEmote(TChatForm& form);
  void SetFontInfo(TChatForm& form);
  void ShowUserInfo(std::uint32_t code);
  // A desktop notice through KivHint (kind 5, the friend's photo; a click opens the chat window).
  void PostHint(const TFriend& person, const QString& title, const QString& text);
  // Screen capture into the window's input (the plug-in KivCatch), the own photo (the main
  // program's settings window) and the video effects (the plug-in KivEffect); each does nothing
  // when its plug-in is missing.
  void CatchScreen(TChatForm& form);
  void ChangePhoto();
  void ShowEffectForm();

  const std::vector<QPointer<TChatForm>>& Forms() const { return forms_; }
  // The pending operations received and kept at most per window; more are refused at once.
  static constexpr std::size_t kMaxPendingOperations = 16;

 private:
  // Receiving.
  TFriend* TrustedFriend(std::uint16_t remote, std::uint32_t target, std::uint32_t sender) const;
  void DealChatMessage(std::uint16_t remote, std::span<const std::uint8_t> body);
  void DealOperateMessage(std::uint16_t remote, std::span<const std::uint8_t> body);
  void DealAudioData(std::uint16_t remote, std::span<const std::uint8_t> body);
  void DealVideoData(std::uint16_t remote, std::span<const std::uint8_t> body);
  // The file manager's part: file offers (operation kind 3) and file data (0x10008, from a trusted
  // friend with an open window, at least its header long).
  void DealFileOperation(TChatForm& form, const TOperateInfo& info);
  void DealFileData(TChatForm& form, std::span<const std::uint8_t> body);
  void ShowChatMsg(TChatForm& form, const TFriend& person, const QString& document, double send_time,
                   bool created);
  void ShowOperateInfo(TChatForm& form, const TFriend& person, TOperateInfo info);
  void DealVoiceOperation(TChatForm& form, const TFriend& person, TOperateInfo info);
  void DealVideoOperation(TChatForm& form, const TFriend& person, TOperateInfo info);
  void ShowNudge(TChatForm& form);

  // Sending. False when no route took the message.
  bool SendToFriend(const TFriend& person, std::span<const std::uint8_t> body, bool text,
                    std::uint8_t channel, std::uint32_t threshold, std::uint8_t mode);
  bool SendOperateMessage(const TOperateInfo& info, const TFriend& person);
  void SendAudioData(std::uint8_t quality, const TFriend& person, std::span<const std::uint8_t> data);
  void SendVideoData(const TFriend& person, std::span<const std::uint8_t> frame, bool key_frame,
                     std::uint16_t width, std::uint16_t height);

  // Calls.
  void StartAudio(TChatForm& form);
  void StartVideo(TChatForm& form);
  static void OnAudioData(void* object, const void* data, std::uint32_t size, std::int32_t level);
  static void OnVideoData(void* bits, std::uint32_t size, QImage* bitmap);
  TOperateInfo NewOperation(TChatForm& form, std::uint8_t kind, std::uint8_t step, std::uint8_t role);
  std::optional<TOperateInfo> TakeOperation(TChatForm& form, std::uint32_t id, std::uint8_t kind,
                                            std::uint8_t role);

  // Records.
  void SaveChatRecord(std::uint32_t code, const QString& heading, const QString& document);
  void AddToView(QTextEdit* view, const QString& heading, const QString& document, bool scroll);
  void RefreshForm(TChatForm& form);
  void AddWaiting(TChatForm& form);
  void RemoveWaiting(TChatForm& form);

  std::uint32_t MyCode() const;
  bool FromHome(std::uint16_t remote) const;

  std::vector<QPointer<TChatForm>> forms_;
  QPointer<TChatRecordForm> record_form_;
  qint64 last_text_ms_ = -1000000;
  bool shutting_down_ = false;
};

// The manager while the plug-in runs; null otherwise.
extern TManager* Manager;

}  // namespace kiv::chat
