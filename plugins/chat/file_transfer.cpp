#include "file_transfer.h"
#include "system/path_text.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <QDesktopServices>
#include <QObject>
#include <QString>
#include <QTimer>
#include <QUrl>
#include <cerrno>
#include <chrono>
#include <cmath>
#include <cstring>
#include <system_error>

#include "base/safe_name.h"
#include "chat_wire.h"

namespace kiv {

// ---- wire -----------------------------------------------------------------------------------------

Bytes EncodeOperateMessage(std::uint32_t target, std::uint32_t sender, const TOperateInfo& info) {
  chat::wire::TOperateMessage m;
  m.target = target;
  m.sender = sender;
  m.id = info.operate_id;
  m.kind = info.kind;
  m.step = info.step;
  m.value = info.value;
  m.file_name = info.file_name.str();
  if (std::size_t slash = m.file_name.find_last_of("/\\"); slash != std::string::npos)
    m.file_name.erase(0, slash + 1);
  return chat::wire::OperateMessage(m);
}

std::optional<TOperateMessage> DecodeOperateMessage(std::span<const std::uint8_t> message) {
  if (message.size() < 4 || LoadU32(message.data()) != kCodeOperateMessage) return std::nullopt;
  auto m = chat::wire::ReadOperateMessage(message);
  if (!m) return std::nullopt;
  TOperateMessage out;
  out.target = m->target;
  out.sender = m->sender;
  out.info.operate_id = m->id;
  out.info.kind = m->kind;
  out.info.step = m->step;
  out.info.value = m->value;
  out.info.file_name = m->file_name;
  return out;
}

void EncodeFileBlock(Bytes& out, std::uint32_t target, std::uint32_t sender, std::uint32_t operate_id,
                     std::uint32_t offset, bool last, std::span<const std::uint8_t> data) {
  out.resize(kFileDataHeaderSize + data.size());
  RecordWriter w(out.data(), out.size());
  namespace fd = chat_wire::file_data;
  w.u32(0, kCodeFileData)
      .u32(fd::kTarget, target)
      .u32(fd::kSender, sender)
      .u32(fd::kId, operate_id)
      .u32(fd::kOffset, offset)
      .u8(fd::kLast, last ? 1 : 0)
      .u32(fd::kBlockSize, static_cast<std::uint32_t>(data.size()));
  if (!data.empty()) std::memcpy(out.data() + kFileDataHeaderSize, data.data(), data.size());
}

std::optional<TFileBlock> DecodeFileBlock(std::span<const std::uint8_t> message) {
  RecordReader r(message);
  if (message.size() < kFileDataHeaderSize || r.u32(0) != kCodeFileData) return std::nullopt;
  namespace fd = chat_wire::file_data;
  const std::size_t carried = message.size() - kFileDataHeaderSize;
  if (r.u32(fd::kBlockSize) != carried || carried > kFileBlockSize) return std::nullopt;
  TFileBlock b;
  b.target = r.u32(fd::kTarget);
  b.sender = r.u32(fd::kSender);
  b.operate_id = r.u32(fd::kId);
  b.offset = r.u32(fd::kOffset);
  b.last = r.u8(fd::kLast) == 1;
  b.data = message.subspan(kFileDataHeaderSize);
  return b;
}

std::uint64_t MakeSize(std::uint64_t n) { return n < 1024 ? 1 : (n + 512) / 1024; }

// ---- helpers --------------------------------------------------------------------------------------

namespace {

std::string Num(std::uint64_t n) { return std::to_string(n); }

std::uint64_t Percent(std::uint64_t part, std::uint64_t whole) {
  return static_cast<std::uint64_t>(
      std::llround(static_cast<double>(part) * 100.0 / static_cast<double>(whole)));
}

// Reads exactly `count` bytes at `offset`; false on an error or an early end of the file.
bool ReadAt(int fd, std::uint8_t* out, std::size_t count, std::uint64_t offset) {
  std::size_t got = 0;
  while (got < count) {
    ssize_t r = ::pread(fd, out + got, count - got, static_cast<off_t>(offset + got));
    if (r < 0 && errno == EINTR) continue;
    if (r <= 0) return false;
    got += static_cast<std::size_t>(r);
  }
  return true;
}

bool WriteAt(int fd, const std::uint8_t* data, std::size_t count, std::uint64_t offset) {
  std::size_t put = 0;
  while (put < count) {
    ssize_t r = ::pwrite(fd, data + put, count - put, static_cast<off_t>(offset + put));
    if (r < 0 && errno == EINTR) continue;
    if (r <= 0) return false;
    put += static_cast<std::size_t>(r);
  }
  return true;
}

}  // namespace

// A running send: its file, its channel and the thread that streams it. The thread is joined before
// the file is closed.
struct TFileManager::Send {
  int fd = -1;
  std::uint8_t channel = 0;
  std::atomic<std::uint64_t> position{0};
  std::jthread thread;

  ~Send() {
    if (thread.joinable()) {
      thread.request_stop();
      thread.join();
    }
    if (fd >= 0) ::close(fd);
  }
};

// An open receive: the file and the offset the next block must carry.
struct TFileManager::Receive {
  int fd = -1;
  std::uint64_t expected = 0;
  std::uint64_t size = 0;

  ~Receive() {
    if (fd >= 0) ::close(fd);
  }
};

// ---- the manager ----------------------------------------------------------------------------------

TFileManager::TFileManager(TConfig config, TFileLink& link, TFileEvents& events)
    : config_(std::move(config)), link_(link), events_(events), context_(std::make_unique<QObject>()) {
  timer_ = std::make_unique<QTimer>(context_.get());
  timer_->setInterval(1000);
  QObject::connect(timer_.get(), &QTimer::timeout, context_.get(), [this] { OnTime(); });
  timer_->start();
}

TFileManager::~TFileManager() {
  timer_.reset();
  operations_.clear();  // joins every send thread, closes every file
  context_.reset();     // drops the queued ends still on their way
}

TFileManager::Operation* TFileManager::Find(bool own_offer, std::uint32_t id) {
  auto it = operations_.find({own_offer ? 1 : 2, id});
  return it == operations_.end() ? nullptr : &it->second;
}

void TFileManager::Remove(bool own_offer, std::uint32_t id) { operations_.erase({own_offer ? 1 : 2, id}); }

std::string TFileManager::SizeText(const Operation& op) const {
  return op.info.file_name.str() + "(" + Num(MakeSize(op.info.value)) + "K)";
}

void TFileManager::Tell(const TOperateInfo& info, std::uint8_t step, std::uint32_t value) {
  std::uint16_t remote = link_.Remote();
  if (remote == 0) return;
  TOperateInfo out = info;
  out.step = step;
  out.value = value;
  Bytes message = EncodeOperateMessage(config_.friend_code, config_.own_code, out);
  link_.Send(remote, 0, message);
}

void TFileManager::NoteFor(TFileNoteKind kind, const Operation& op, std::string hint, std::string line,
                           int error, std::string notice) {
  TFileNote note;
  note.kind = kind;
  note.operate_id = op.info.operate_id;
  note.error = error;
  note.hint = std::move(hint);
  note.line = std::move(line);
  note.path = op.path;
  note.notice = std::move(notice);
  events_.Note(note);
}

void TFileManager::ErrorNote(int error, std::string text) {
  TFileNote note;
  note.kind = TFileNoteKind::kError;
  note.error = error;
  note.hint = text;
  note.line = std::move(text);
  events_.Note(note);
}

void TFileManager::StopOne(Operation& op) {
  op.send.reset();
  op.receive.reset();
}

// ---- offering -------------------------------------------------------------------------------------

bool TFileManager::ReadySendFile(const std::filesystem::path& path) {
  if (operations_.size() >= kMaxFileOperations) {
    ErrorNote(8, "最多允许同时发送10个文件。");
    return false;
  }
  // Through a relay every block would wait in memory on the way: only a direct connection carries files.
  if (link_.Remote() == 0) {
    ErrorNote(7, "连接好友失败。");
    return false;
  }
  const std::string name = Utf8OfPath(path.filename());
  std::error_code ec;
  if (!std::filesystem::is_regular_file(path, ec)) {
    ErrorNote(0, "文件" + name + "无法读取。");
    return false;
  }
  const std::uintmax_t size = std::filesystem::file_size(path, ec);
  if (ec) {
    ErrorNote(0, "文件" + name + "无法读取。");
    return false;
  }
  if (size > kMaxFileSize) {
    ErrorNote(0, "文件" + name + "太大，只能发送小于4G的文件。");
    return false;
  }
  int probe = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (probe < 0) {
    ErrorNote(0, "文件" + name + "无法读取。");
    return false;
  }
  ::close(probe);

  Operation op;
  op.info.operate_id = config_.next_operate_id ? config_.next_operate_id() : 0;
  op.info.kind = kOperateFile;
  op.info.step = kFileStepOffer;
  op.info.role = kFileRoleOffers;
  op.info.file_name = name;
  op.info.value = static_cast<std::uint32_t>(size);
  op.path = path;
  const std::uint32_t id = op.info.operate_id;
  if (Find(true, id)) {
    ErrorNote(0, "文件" + name + "无法发送。");
    return false;
  }
  Operation& kept = operations_.emplace(Key{1, id}, std::move(op)).first->second;
  NoteFor(TFileNoteKind::kOffered, kept, "等待对方同意文件传输请求...",
          "你准备发送文件" + SizeText(kept) + "给对方，是否继续等待？");
  Tell(kept.info, kFileStepOffer, kept.info.value);
  return true;
}

void TFileManager::ReadySendFiles(const std::vector<std::filesystem::path>& paths) {
  for (const auto& path : paths) ReadySendFile(path);
}

// ---- received operations --------------------------------------------------------------------------

void TFileManager::DealRecMsg(const TOperateInfo& info) {
  const std::uint32_t id = info.operate_id;
  switch (info.step) {
    case kFileStepOffer: {
      if (Find(false, id)) return;  // a repeated offer
      auto name = ReduceToBareFileName(info.file_name.str());
      if (!name || operations_.size() >= kMaxFileOperations) {
        // Nothing to keep: tell the friend at once so its offer does not wait for ever.
        TOperateInfo refused = info;
        Tell(refused, kFileStepRefuse, info.value);
        ErrorNote(
            0, !name ? "对方发送的文件名无法使用，已拒绝接收。" : "同时传送的文件过多，已拒绝对方的文件。");
        return;
      }
      Operation op;
      op.info = info;
      op.info.kind = kOperateFile;
      op.info.role = kFileRoleOffered;
      op.info.file_name = *name;
      Operation& kept = operations_.emplace(Key{2, id}, std::move(op)).first->second;
      NoteFor(TFileNoteKind::kOfferReceived, kept, "对方发出了文件传输请求。",
              "对方想要传送给你文件" + SizeText(kept) + "，是否同意？", 0,
              "    好友" + config_.friend_nickname + "(" + Num(config_.friend_code) +
                  ")向你发出了文件传输请求。文件是:" + SizeText(kept));
      return;
    }
    case kFileStepAccept: {
      Operation* op = Find(true, id);
      if (!op || op->info.step != kFileStepOffer) return;
      if (info.value > op->info.value) {
        Fail(true, id, "续传位置超出文件大小，传送中止。");
        return;
      }
      StartSend(*op, info.value);
      return;
    }
    case kFileStepRefuse: {
      Operation* op = Find(true, id);
      if (!op) return;
      StopOne(*op);
      NoteFor(TFileNoteKind::kRefusedByPeer, *op, "文件传输请求被对方拒绝了。",
              "文件" + SizeText(*op) + "传送请求被拒绝了。");
      Remove(true, id);
      return;
    }
    case kFileStepWithdraw: {
      Operation* op = Find(false, id);
      if (!op || op->info.role == kFileRoleReceived) return;
      StopOne(*op);
      NoteFor(TFileNoteKind::kWithdrawnByPeer, *op, "对方取消了文件传输请求。",
              "文件" + SizeText(*op) + "传送请求被取消了。");
      Remove(false, id);
      return;
    }
    case kFileStepAbort: {
      for (bool own : {true, false}) {
        Operation* op = Find(own, id);
        if (!op || op->info.role == kFileRoleReceived) continue;
        StopOne(*op);
        NoteFor(TFileNoteKind::kAbortedByPeer, *op, "对方中止了文件传输。",
                "对方中止了文件" + SizeText(*op) + "的传送。");
        Remove(own, id);
      }
      return;
    }
    default:
      return;
  }
}

// ---- sending --------------------------------------------------------------------------------------

void TFileManager::StartSend(Operation& op, std::uint32_t offset) {
  const std::uint32_t id = op.info.operate_id;
  const std::uint16_t remote = link_.Remote();
  const std::uint8_t channel = GetFlagID();
  if (remote == 0 || channel == 0) {
    Fail(true, id, "连接好友失败。");
    return;
  }
  int fd = ::open(op.path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) {
    Fail(true, id, "读取文件" + op.info.file_name.str() + "失败，传送中止。");
    return;
  }
  auto send = std::make_unique<Send>();
  send->fd = fd;
  send->channel = channel;
  send->position = offset;
  op.info.step = kFileStepSending;
  op.info.role = kFileRoleOffers;

  NoteFor(TFileNoteKind::kStarted, op, "文件正在传输...", "文件" + SizeText(op) + "正在传输...");

  Send* s = send.get();
  QObject* context = context_.get();
  TFileLink* link = &link_;
  const std::uint64_t size = op.info.value;
  const std::uint32_t target = config_.friend_code, sender = config_.own_code;
  auto ended = [this, context, id](bool ok, std::string why) {
    QMetaObject::invokeMethod(
        context, [this, id, ok, why = std::move(why)] { SendEnded(id, ok, why); }, Qt::QueuedConnection);
  };
  send->thread =
      std::jthread([s, link, remote, channel, size, target, sender, id, ended](std::stop_token stop) {
        try {
          std::vector<std::uint8_t> buffer(kFileBlockSize);
          Bytes message;
          message.reserve(kFileDataHeaderSize + kFileBlockSize);
          std::uint64_t position = s->position.load();
          while (!stop.stop_requested()) {
            if (link->Queued(remote, channel) >= kFileQueueLimit) {
              std::this_thread::sleep_for(std::chrono::milliseconds(1));
              continue;
            }
            // Every transfer ends with a block that carries the last flag, an empty one for an empty
            // file or a resume at the very end.
            const std::uint64_t remaining = size - position;
            const bool last = remaining <= kFileBlockSize;
            const std::size_t count = last ? static_cast<std::size_t>(remaining) : kFileBlockSize;
            if (!ReadAt(s->fd, buffer.data(), count, position)) {
              ended(false, "read");
              return;
            }
            EncodeFileBlock(message, target, sender, id, static_cast<std::uint32_t>(position), last,
                            {buffer.data(), count});
            if (!link->Send(remote, channel, message)) {
              ended(false, "send");
              return;
            }
            position += count;
            s->position.store(position);
            if (last) {
              ended(true, {});
              return;
            }
          }
        } catch (...) {
          ended(false, "read");
        }
      });
  op.send = std::move(send);
}

void TFileManager::SendEnded(std::uint32_t id, bool ok, std::string why) {
  Operation* op = Find(true, id);
  if (!op || !op->send) return;
  if (!ok) {
    Fail(true, id,
         why == "send" ? "连接好友失败，文件" + op->info.file_name.str() + "的传送中止。"
                       : "读取文件" + op->info.file_name.str() + "失败，传送中止。");
    return;
  }
  op->send.reset();
  NoteFor(TFileNoteKind::kSendComplete, *op, "文件传送完毕。",
          "文件" + op->info.file_name.str() + "传送完毕。");
  Remove(true, id);
}

void TFileManager::Fail(bool own_offer, std::uint32_t id, const std::string& why) {
  Operation* op = Find(own_offer, id);
  if (!op) return;
  StopOne(*op);
  Tell(op->info, kFileStepAbort, op->info.value);
  NoteFor(TFileNoteKind::kFailed, *op, why, why);
  Remove(own_offer, id);
}

// ---- receiving ------------------------------------------------------------------------------------

void TFileManager::Accept(std::uint32_t operate_id) {
  Operation* op = Find(false, operate_id);
  if (!op || op->info.role != kFileRoleOffered || op->info.step != kFileStepOffer) return;
  auto path = PathInFolder(config_.receive_folder, op->info.file_name.str());
  if (!path) return;  // cannot happen: the name was reduced when the offer arrived
  ReadyRecFile(*op, *path);
}

void TFileManager::AcceptAs(std::uint32_t operate_id, const std::filesystem::path& path) {
  Operation* op = Find(false, operate_id);
  if (!op || op->info.role != kFileRoleOffered || op->info.step != kFileStepOffer) return;
  if (path.filename().empty()) return;
  ReadyRecFile(*op, path);
}

void TFileManager::ReadyRecFile(Operation& op_in, const std::filesystem::path& path) {
  const std::uint32_t id = op_in.info.operate_id;
  const std::string name = Utf8OfPath(path.filename());
  const std::filesystem::path folder = path.parent_path();
  const std::uint64_t size = op_in.info.value;
  for (const auto& [key, other] : operations_) {
    if (other.receive && other.path == path) {
      ErrorNote(0, "文件" + name + "可能正在使用");
      return;
    }
  }
  std::error_code ec;
  std::filesystem::create_directories(folder, ec);
  int dir = ::open(folder.empty() ? "." : folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (dir < 0) {
    ErrorNote(0, "无法创建文件夹" + Utf8OfPath(folder) + "。");
    return;
  }
  // The file is opened relative to its folder and never through a symbolic link.
  const std::filesystem::path leaf_name = path.filename();
  const char* leaf = leaf_name.c_str();
  std::uint64_t offset = 0;
  int fd = ::openat(dir, leaf, O_WRONLY | O_NOFOLLOW | O_CLOEXEC);
  if (fd >= 0) {
    struct stat st {};
    if (::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
      ::close(fd);
      ::close(dir);
      ErrorNote(0, "文件" + name + "可能正在使用");
      return;
    }
    // The question runs a nested event loop: the offer may be withdrawn meanwhile.
    TExistingFileAnswer answer = events_.AskExisting("文件" + name + "已经存在，续传(是)或者覆盖(否)?");
    Operation* op = Find(false, id);
    if (!op || op->info.step != kFileStepOffer || answer == TExistingFileAnswer::kCancel) {
      ::close(fd);
      ::close(dir);
      return;
    }
    if (answer == TExistingFileAnswer::kResume) {
      offset = static_cast<std::uint64_t>(st.st_size);
      if (offset > size) {
        ::close(fd);
        ::close(dir);
        ErrorNote(0, "文件" + name + "比对方要发送的文件大，无法续传。");
        return;
      }
    } else if (::ftruncate(fd, 0) != 0) {
      ::close(fd);
      ::close(dir);
      ErrorNote(0, "文件" + name + "可能正在使用");
      return;
    }
  } else if (errno == ENOENT) {
    fd = ::openat(dir, leaf, O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0644);
  }
  ::close(dir);
  if (fd < 0) {
    ErrorNote(0, "文件" + name + "可能正在使用");
    return;
  }
  Operation* op = Find(false, id);
  if (!op) {
    ::close(fd);
    return;
  }
  auto receive = std::make_unique<Receive>();
  receive->fd = fd;
  receive->expected = offset;
  receive->size = size;
  op->receive = std::move(receive);
  op->path = path;
  op->info.step = kFileStepAccept;
  NoteFor(TFileNoteKind::kStarted, *op, "正在传输文件...", "文件" + SizeText(*op) + "正在传输...");
  Tell(op->info, kFileStepAccept, static_cast<std::uint32_t>(offset));
}

void TFileManager::DealFileData(std::span<const std::uint8_t> message) {
  auto block = DecodeFileBlock(message);
  if (!block) {
    // A block whose size field lies about its length, or that is too big, still names its
    // transfer: end that transfer rather than guess at the bytes.
    RecordReader r(message);
    namespace fd = chat_wire::file_data;
    if (message.size() >= kFileDataHeaderSize && r.u32(0) == kCodeFileData &&
        r.u32(fd::kTarget) == config_.own_code && r.u32(fd::kSender) == config_.friend_code) {
      Operation* op = Find(false, r.u32(fd::kId));
      if (op && op->receive) Fail(false, op->info.operate_id, "收到的文件数据有误，传送中止。");
    }
    return;
  }
  if (block->target != config_.own_code || block->sender != config_.friend_code) return;
  const std::uint32_t id = block->operate_id;
  Operation* op = Find(false, id);
  if (!op || !op->receive) return;
  Receive& rc = *op->receive;
  const std::uint64_t count = block->data.size();
  if (block->offset != rc.expected || rc.expected + count > rc.size ||
      (block->last && rc.expected + count != rc.size)) {
    Fail(false, id, "收到的文件数据有误，传送中止。");
    return;
  }
  if (count > 0 && !WriteAt(rc.fd, block->data.data(), count, rc.expected)) {
    Fail(false, id, "写入文件" + op->info.file_name.str() + "失败，传送中止。");
    return;
  }
  rc.expected += count;
  if (!block->last) return;
  const bool closed = ::close(rc.fd) == 0;
  rc.fd = -1;
  if (!closed) {
    Fail(false, id, "写入文件" + op->info.file_name.str() + "失败，传送中止。");
    return;
  }
  op->receive.reset();
  op->info.role = kFileRoleReceived;
  NoteFor(
      TFileNoteKind::kReceiveComplete, *op, "文件传输完毕。",
      "文件" + op->info.file_name.str() + "已经接收完毕。\n保存在" + Utf8OfPath(op->path) + ",是否打开？");
}

// ---- the window's links ---------------------------------------------------------------------------

void TFileManager::Refuse(std::uint32_t operate_id) {
  Operation* op = Find(false, operate_id);
  if (!op || op->info.role != kFileRoleOffered || op->info.step != kFileStepOffer) return;
  NoteFor(TFileNoteKind::kRefusedByUs, *op, "你拒绝了对方的文件传输请求。",
          "你拒绝了文件" + SizeText(*op) + "的传送请求。");
  Tell(op->info, kFileStepRefuse, op->info.value);
  Remove(false, operate_id);
}

void TFileManager::Withdraw(std::uint32_t operate_id) {
  Operation* op = Find(true, operate_id);
  if (!op || op->info.step != kFileStepOffer) return;
  NoteFor(TFileNoteKind::kWithdrawnByUs, *op, "你取消了文件传输请求。",
          "你取消了文件" + SizeText(*op) + "的传送请求。");
  Tell(op->info, kFileStepWithdraw, op->info.value);
  Remove(true, operate_id);
}

void TFileManager::Abort(std::uint32_t operate_id) {
  for (bool own : {true, false}) {
    Operation* op = Find(own, operate_id);
    if (!op || !(op->send || op->receive)) continue;
    // The thread stops before the abort leaves, so no block follows it.
    StopOne(*op);
    NoteFor(TFileNoteKind::kAbortedByUs, *op, "你中止了文件传输。",
            "你中止了文件" + SizeText(*op) + "的传送。");
    Tell(op->info, kFileStepAbort, op->info.value);
    Remove(own, operate_id);
    return;
  }
}

bool TFileManager::Open(std::uint32_t operate_id, bool folder) const {
  auto it = operations_.find({2, operate_id});
  if (it == operations_.end() || it->second.info.role != kFileRoleReceived) return false;
  const std::filesystem::path& path = it->second.path;
  return QDesktopServices::openUrl(QUrl::fromLocalFile(TextOfPath(folder ? path.parent_path() : path)));
}

void TFileManager::AbortAll() {
  for (auto& [key, op] : operations_) {
    const bool running = op.send || op.receive;
    StopOne(op);
    if (running)
      Tell(op.info, kFileStepAbort, op.info.value);
    else if (op.info.role == kFileRoleOffered && op.info.step == kFileStepOffer)
      Tell(op.info, kFileStepRefuse, op.info.value);
    else if (op.info.role == kFileRoleOffers && op.info.step == kFileStepOffer)
      Tell(op.info, kFileStepWithdraw, op.info.value);
  }
  operations_.clear();
}

void TFileManager::ConnectionLost() {
  for (auto it = operations_.begin(); it != operations_.end();) {
    Operation& op = it->second;
    if (op.info.role == kFileRoleReceived) {
      ++it;
      continue;
    }
    const bool running = op.send || op.receive;
    StopOne(op);
    if (running)
      NoteFor(TFileNoteKind::kFailed, op, "与好友的连接断开了。",
              "与好友的连接断开了，文件" + SizeText(op) + "的传送中止。");
    it = operations_.erase(it);
  }
}

// ---- queries --------------------------------------------------------------------------------------

void TFileManager::OnTime() {
  for (const auto& [key, op] : operations_) {
    if (op.send) {
      const std::uint64_t s = op.info.value, p = op.send->position.load();
      std::string line;
      if (s == 0) {
        line = "0%." + Num(MakeSize(s)) + "K/" + Num(MakeSize(s)) + "K";
      } else if (std::uint64_t pct = Percent(p, s); pct < 100) {
        line = Num(pct) + "%," + Num(MakeSize(p)) + "K/" + Num(MakeSize(s)) + "K.";
      } else {
        line = "100%," + Num(MakeSize(s)) + "K/" + Num(MakeSize(s)) + "K.";
      }
      events_.Progress(op.info.operate_id, line);
    } else if (op.receive) {
      const std::uint64_t a = op.info.value, w = op.receive->expected;
      std::string line;
      if (a == 0) {
        line = "0%." + Num(MakeSize(w)) + "K/" + Num(MakeSize(a)) + "K";
      } else if (std::uint64_t pct = Percent(w, a); pct > 100) {
        line = "100%," + Num(MakeSize(a)) + "K/" + Num(MakeSize(a)) + "K.";
      } else {
        line = Num(pct) + "%," + Num(MakeSize(w)) + "K/" + Num(MakeSize(a)) + "K.";
      }
      events_.Progress(op.info.operate_id, line);
    }
  }
}

bool TFileManager::Receiving() const {
  for (const auto& [key, op] : operations_)
    if (op.receive) return true;
  return false;
}

std::uint8_t TFileManager::GetFlagID() const {
  for (std::uint8_t channel = kFirstFileChannel; channel <= kLastFileChannel; ++channel) {
    bool used = false;
    for (const auto& [key, op] : operations_) used = used || (op.send && op.send->channel == channel);
    if (!used) return channel;
  }
  return 0;
}

std::vector<TFileTransferState> TFileManager::Transfers() const {
  std::vector<TFileTransferState> out;
  for (const auto& [key, op] : operations_) {
    TFileTransferState s;
    s.operate_id = op.info.operate_id;
    s.step = op.info.step;
    s.role = op.info.role;
    s.name = op.info.file_name.str();
    s.path = op.path;
    s.size = op.info.value;
    if (op.send) {
      s.done = op.send->position.load();
      s.channel = op.send->channel;
    } else if (op.receive) {
      s.done = op.receive->expected;
    } else if (op.info.role == kFileRoleReceived) {
      s.done = s.size;
    }
    out.push_back(std::move(s));
  }
  return out;
}

}  // namespace kiv
