// One side of a file transfer for the tests: a real transport engine on loopback (mode 0 on the Qt
// main thread, as in the client), the file manager over it, and what its window would have shown.
#pragma once

#include <atomic>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "file_transfer.h"
#include "udp_kivudp.h"
#include "udp_qt_main_thread.h"

namespace kiv {

// A message the peer received, as the tests look at it.
struct TSeenMessage {
  std::uint8_t channel = 0;  // unknown on receipt: 0
  Bytes bytes;
};

class TFilePeer : public TFileLink, public TFileEvents {
 public:
  static constexpr std::uint32_t kHello = 0x7F000001;

  TFilePeer(std::uint32_t own_code, std::uint32_t friend_code, std::filesystem::path folder,
            bool with_manager = true)
      : own_(own_code), friend_(friend_code) {
    TEngineOptions options;
    options.main_thread = &main_;
    options.stop_wait_ms = 500;
    udp_ = std::make_unique<TKivUDP>(options);
    main_.Attach(udp_.get());
    udp_->SetCallbacks([this](std::uint16_t handle, const std::uint8_t* data,
                              std::uint32_t length) { OnData(handle, {data, length}); },
                       [this](std::uint16_t handle, std::uint8_t) {
                         if (handle != remote_) return;
                         remote_ = 0;
                         if (files) files->ConnectionLost();
                       });
    udp_->Start(0, 0);
    if (with_manager) {
      TFileManager::TConfig config;
      config.own_code = own_code;
      config.friend_code = friend_code;
      config.friend_nickname = "friend";
      config.receive_folder = std::move(folder);
      config.next_operate_id = [this] { return next_id_++; };
      next_id_ = own_code + 100000;
      files = std::make_unique<TFileManager>(config, *this, *this);
    }
  }
  ~TFilePeer() override {
    files.reset();
    udp_->Stop();
  }

  std::uint16_t Port() const { return udp_->LocalPort(); }

  // Connects to `other` and lets it learn the handle from a first message.
  bool ConnectTo(TFilePeer& other) { return ConnectToPort(other.Port()); }
  bool ConnectToPort(std::uint16_t port) {
    remote_ = udp_->Connect("127.0.0.1", port, 5000);
    if (!remote_) return false;
    Bytes hello(4);
    StoreU32(hello.data(), kHello);
    udp_->SendData(remote_, hello, 21, 0, 0);
    return true;
  }
  void Kill() {
    files.reset();
    udp_->Stop();
    remote_ = 0;
  }

  // TFileLink
  std::uint16_t Remote() override { return remote_; }
  bool Send(std::uint16_t remote, std::uint8_t channel, std::span<const std::uint8_t> message) override {
    if (channel >= kFirstFileChannel && channel <= kLastFileChannel) {
      // A block the filter refuses is lost with its process: the sender believes it went out.
      if (block_filter && !block_filter(channel, message)) return true;
      blocks_sent.fetch_add(1);
      data_sent.fetch_add(message.size() - kFileDataHeaderSize);
      channels_used.fetch_or(1u << channel);
    }
    return udp_->SendData(remote, message, channel, 0, 0);
  }
  std::uint64_t Queued(std::uint16_t remote, std::uint8_t channel) override {
    return udp_->GetSendChannelSize(remote, channel);
  }

  // TFileEvents
  void Note(const TFileNote& note) override { notes.push_back(note); }
  void Progress(std::uint32_t, const std::string& line) override { last_progress = line; }
  TExistingFileAnswer AskExisting(const std::string&) override {
    ++questions;
    return existing_answer;
  }

  bool Has(TFileNoteKind kind) const {
    for (const auto& n : notes)
      if (n.kind == kind) return true;
    return false;
  }
  const TFileNote* Last(TFileNoteKind kind) const {
    for (auto it = notes.rbegin(); it != notes.rend(); ++it)
      if (it->kind == kind) return &*it;
    return nullptr;
  }
  // Operation messages of kind 3 received, in order.
  std::vector<TOperateInfo> Operations() const {
    std::vector<TOperateInfo> out;
    for (const auto& m : received)
      if (auto op = DecodeOperateMessage(m.bytes)) out.push_back(op->info);
    return out;
  }
  bool Received(std::uint8_t step) const {
    for (const auto& op : Operations())
      if (op.step == step) return true;
    return false;
  }

  void SendRaw(std::span<const std::uint8_t> message, std::uint8_t channel) {
    udp_->SendData(remote_, message, channel, 0, 0);
  }

  std::unique_ptr<TFileManager> files;
  std::vector<TFileNote> notes;
  std::vector<TSeenMessage> received;  // operation messages only (blocks are many)
  std::string last_progress;
  TExistingFileAnswer existing_answer = TExistingFileAnswer::kResume;
  int questions = 0;
  std::function<bool(std::uint8_t channel, std::span<const std::uint8_t> block)> block_filter;
  std::atomic<std::uint64_t> blocks_sent{0}, data_sent{0};
  std::atomic<std::uint32_t> channels_used{0};
  std::uint64_t blocks_received = 0;

 private:
  void OnData(std::uint16_t handle, std::span<const std::uint8_t> data) {
    if (data.size() < 4) return;
    if (remote_ == 0) remote_ = handle;
    if (handle != remote_) return;  // only the friend's connection speaks for the friend
    const std::uint32_t code = LoadU32(data.data());
    if (code == kCodeOperateMessage) {
      received.push_back({0, Bytes(data.begin(), data.end())});
      auto op = DecodeOperateMessage(data);
      if (op && files && op->target == own_ && op->sender == friend_ && op->info.kind == kOperateFile)
        files->DealRecMsg(op->info);
    } else if (code == kCodeFileData) {
      ++blocks_received;
      if (files) files->DealFileData(data);
    }
  }

  std::uint32_t own_, friend_;
  std::uint32_t next_id_ = 0;
  TQtMainThread main_;
  std::unique_ptr<TKivUDP> udp_;
  std::uint16_t remote_ = 0;
};

}  // namespace kiv
