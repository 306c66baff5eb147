// TFileManager: the file transfers of one chat window (UT_FileManager).
//
// An offer travels as an operation of kind 3 (0x10002): step 1 offer, 2 accept carrying the resume
// offset, 3 refuse, 4 withdraw, 5 abort. Once accepted, the sender streams the file as 0x10008
// blocks of at most 6000 bytes on its own transport channel (11 to 20), adding a block only while
// fewer than 600000 bytes wait on that channel, so a slow path throttles the sender. The receiver
// writes each block at its offset after checking it against what it expects.
//
// The manager reaches the chat manager only through two narrow seams:
//   TFileLink   sends a message to the friend's direct connection on a channel and reports how
//               many bytes wait there (the transport's `UDPSendData`, `UDPGetSendChannelSize`);
//   TFileEvents receives everything the window shows (offers, texts, progress lines, questions).
// so the whole exchange runs over the real transport between two endpoints without a window.
//
// Threads: every member runs on the thread that created the manager (the main thread of the
// client, where the transport delivers), except that each running send owns a std::jthread that
// reads its file and calls TFileLink::Send and TFileLink::Queued; the link must allow that. A send
// thread hands its end to the owning thread with a queued call on an object the manager owns, so
// an end that arrives after the manager (and its window) is gone is dropped by Qt. The destructor
// stops and joins every send thread and closes every file; it sends nothing (the window calls
// AbortAll first when it closes).
#pragma once

#include <atomic>
#include <cstdint>
#include <filesystem>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <span>
#include <stop_token>
#include <string>
#include <thread>
#include <vector>

#include "base/wire.h"
#include "declare/chat_wire.h"
#include "declare/declare.h"

class QObject;
class QTimer;

namespace kiv {

// ---- wire -----------------------------------------------------------------------------------------

inline constexpr std::uint32_t kCodeOperateMessage = chat_wire::kOperate;
inline constexpr std::uint32_t kCodeFileData = chat_wire::kFileData;
inline constexpr std::size_t kFileDataHeaderSize = chat_wire::file_data::kHeaderSize;
inline constexpr std::uint32_t kFileBlockSize = chat_wire::file_data::kBlockBytes;
inline constexpr std::uint64_t kFileQueueLimit = 600000;
inline constexpr std::uint8_t kFirstFileChannel = chat_wire::kFirstFileChannel;
inline constexpr std::uint8_t kLastFileChannel = chat_wire::kLastFileChannel;
inline constexpr std::size_t kMaxFileOperations = 10;
// The size travels in 32 bits.
inline constexpr std::uint64_t kMaxFileSize = 0xFFFFFFFFull;

// Steps of a file operation (kind 3).
inline constexpr std::uint8_t kFileStepOffer = 1;
inline constexpr std::uint8_t kFileStepAccept = 2;
inline constexpr std::uint8_t kFileStepRefuse = 3;
inline constexpr std::uint8_t kFileStepWithdraw = 4;
inline constexpr std::uint8_t kFileStepAbort = 5;
inline constexpr std::uint8_t kFileStepSending = 6;  // local only: the sender got the accept

// Roles of a file operation.
inline constexpr std::uint8_t kFileRoleOffers = 1;
inline constexpr std::uint8_t kFileRoleOffered = 2;
inline constexpr std::uint8_t kFileRoleReceived = 3;

// The 0x10002 operation message of `info` (only the last component of its file name travels),
// and back (role not set); through the chat's own codec.
Bytes EncodeOperateMessage(std::uint32_t target, std::uint32_t sender, const TOperateInfo& info);
struct TOperateMessage {
  std::uint32_t target = 0;
  std::uint32_t sender = 0;
  TOperateInfo info;
};
std::optional<TOperateMessage> DecodeOperateMessage(std::span<const std::uint8_t> message);

// A decoded 0x10008 block; `data` points into the message.
struct TFileBlock {
  std::uint32_t target = 0;
  std::uint32_t sender = 0;
  std::uint32_t operate_id = 0;
  std::uint32_t offset = 0;
  bool last = false;
  std::span<const std::uint8_t> data;
};

// Writes the 25-byte header and the data into `out` (resized to fit).
void EncodeFileBlock(Bytes& out, std::uint32_t target, std::uint32_t sender, std::uint32_t operate_id,
                     std::uint32_t offset, bool last, std::span<const std::uint8_t> data);
// Nothing unless the code is 0x10008, the block size field equals the bytes after the header and
// is at most 6000.
std::optional<TFileBlock> DecodeFileBlock(std::span<const std::uint8_t> message);

// 1 below 1024, else n / 1024 rounded to the nearest integer.
std::uint64_t MakeSize(std::uint64_t n);

// ---- seams ----------------------------------------------------------------------------------------

// How the file manager reaches its friend. Send and Queued are called from the owning thread and
// from send threads at once.
class TFileLink {
 public:
  virtual ~TFileLink() = default;
  // The handle of the direct connection to the friend; 0 when there is none. Owning thread only.
  virtual std::uint16_t Remote() = 0;
  // Reliable send of a whole message on `channel` (threshold 0, mode 0); false when it was not queued.
  virtual bool Send(std::uint16_t remote, std::uint8_t channel, std::span<const std::uint8_t> message) = 0;
  // Payload bytes waiting on that channel of the connection.
  virtual std::uint64_t Queued(std::uint16_t remote, std::uint8_t channel) = 0;
};

enum class TFileNoteKind : std::uint8_t {
  kOffered,          // this side offered a file ("$No$" withdraws)
  kOfferReceived,    // the friend offers a file ("$Yes$", "$No$", "$Save$")
  kStarted,          // bytes flow ("$Cancel$"); a progress line follows on each tick
  kSendComplete,     // every byte was sent
  kReceiveComplete,  // the file arrived whole ("$Open$", "$OpenDir$")
  kRefusedByUs,
  kRefusedByPeer,
  kWithdrawnByUs,
  kWithdrawnByPeer,
  kAbortedByUs,
  kAbortedByPeer,
  kFailed,  // a read, write or protocol failure ended the transfer; the friend was told (step 5)
  kError,   // a window error (`error` holds its number) or a refused action; nothing was sent
};

// What the window shows for one event: `hint` for the hint line, `line` for the conversation.
struct TFileNote {
  TFileNoteKind kind = TFileNoteKind::kError;
  std::uint32_t operate_id = 0;
  int error = 0;  // window error number for kError (7, 8), else 0
  std::string hint;
  std::string line;
  std::filesystem::path path;  // the local file, when there is one
  // kOfferReceived: the desktop notice of the offer, shown while the chat window is not active.
  std::string notice;
};

enum class TExistingFileAnswer : std::uint8_t { kResume, kOverwrite, kCancel };

// What the window shows; called on the owning thread.
class TFileEvents {
 public:
  virtual ~TFileEvents() = default;
  virtual void Note(const TFileNote& note) = 0;
  // Replaces the progress line of a running transfer (every 1000 ms).
  virtual void Progress(std::uint32_t operate_id, const std::string& line) = 0;
  // "文件{name}已经存在，续传(是)或者覆盖(否)?"; kCancel answers nothing and keeps the offer.
  virtual TExistingFileAnswer AskExisting(const std::string& question) = 0;
};

// ---- the manager ----------------------------------------------------------------------------------

// One transfer as the window and the tests see it.
struct TFileTransferState {
  std::uint32_t operate_id = 0;
  std::uint8_t step = 0;
  std::uint8_t role = 0;
  std::string name;             // the file name without its folder
  std::filesystem::path path;   // the local file (sender: the offered file; receiver: once accepted)
  std::uint64_t size = 0;       // announced size
  std::uint64_t done = 0;       // bytes sent (read position) or in the local file
  std::uint8_t channel = 0;     // sends only, once running
};

class TFileManager {
 public:
  struct TConfig {
    std::uint32_t own_code = 0;
    std::uint32_t friend_code = 0;
    std::string friend_nickname;
    std::filesystem::path receive_folder;  // the setup record's receive folder
    std::function<std::uint32_t()> next_operate_id;  // the window's operation numbering
  };

  TFileManager(TConfig config, TFileLink& link, TFileEvents& events);
  ~TFileManager();
  TFileManager(const TFileManager&) = delete;
  TFileManager& operator=(const TFileManager&) = delete;

  // Offers one file; false (with a kError note) when it cannot be offered: more than 10 file
  // operations (error 8), no direct connection (error 7), not a regular readable file, 4 GiB or more.
  bool ReadySendFile(const std::filesystem::path& path);
  // Offers every local file of a clipboard or drop (file URLs or paths, one per entry).
  void ReadySendFiles(const std::vector<std::filesystem::path>& paths);

  // A received operation of kind 3 (already checked to come from the friend's connection).
  void DealRecMsg(const TOperateInfo& info);
  // A received 0x10008 message (whole, from its code on). Blocks of unknown operations are dropped;
  // a block that breaks the order or the announced size aborts its transfer.
  void DealFileData(std::span<const std::uint8_t> message);

  // The window's answer links.
  void Accept(std::uint32_t operate_id);  // "$Yes$": into the receive folder
  void AcceptAs(std::uint32_t operate_id, const std::filesystem::path& path);  // "$Save$"
  void Refuse(std::uint32_t operate_id);    // "$No$" on an offer received
  void Withdraw(std::uint32_t operate_id);  // "$No$" on an own offer
  void Abort(std::uint32_t operate_id);     // "$Cancel$" on a running transfer (either side)
  // "$Open$" / "$OpenDir$" of a received file, through the desktop's handlers.
  bool Open(std::uint32_t operate_id, bool folder) const;

  // The window closes: step 5 for running transfers, 3 for unanswered offers received, 4 for own
  // unanswered offers; then everything is dropped.
  void AbortAll();
  // The direct connection dropped: every transfer ends here without a message (the partial file of
  // a receive stays for a resume).
  void ConnectionLost();

  // The progress refresh (the manager's own 1000 ms timer calls it too).
  void OnTime();

  bool Receiving() const;
  std::size_t GetFileOperateCount() const { return operations_.size(); }
  std::uint8_t GetFlagID() const;
  std::vector<TFileTransferState> Transfers() const;

 private:
  struct Send;
  struct Receive;
  struct Operation {
    TOperateInfo info;              // file_name: the name only; value: the announced size
    std::filesystem::path path;     // the local file
    std::unique_ptr<Send> send;     // running send
    std::unique_ptr<Receive> receive;  // open receive
  };
  using Key = std::pair<std::uint8_t, std::uint32_t>;  // (offering side ? 1 : 2, id)

  Operation* Find(bool own_offer, std::uint32_t id);
  void Remove(bool own_offer, std::uint32_t id);
  void Tell(const TOperateInfo& info, std::uint8_t step, std::uint32_t value);
  void NoteFor(TFileNoteKind kind, const Operation& op, std::string hint, std::string line, int error = 0,
               std::string notice = {});
  void ErrorNote(int error, std::string text);
  void StartSend(Operation& op, std::uint32_t offset);
  void ReadyRecFile(Operation& op, const std::filesystem::path& path);
  void Fail(bool own_offer, std::uint32_t id, const std::string& why);
  void SendEnded(std::uint32_t id, bool ok, std::string why);
  void StopOne(Operation& op);
  std::string SizeText(const Operation& op) const;

  TConfig config_;
  TFileLink& link_;
  TFileEvents& events_;
  std::map<Key, Operation> operations_;
  std::unique_ptr<QObject> context_;  // receiver of the send threads' queued ends
  std::unique_ptr<QTimer> timer_;
};

}  // namespace kiv
