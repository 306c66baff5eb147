// The receiving side of the chat window's file transfers as a peer could drive it: file operations
// (0x10002 kind 3) and file data blocks (0x10008) in any order, with the user accepting, refusing
// and aborting in between, into a receive folder of its own.
//
// Checked on every message: a decoded block carries exactly its size field of at most 6000 bytes
// from inside the message and encodes back to the same bytes; a decoded operation encodes and
// decodes back to the same fields; an offered name reduces to a bare file name whose path stays in
// the folder. Checked after every step: nothing is written outside the receive folder or into a
// folder of its own, no received file outgrows the size its offer announced, and a transfer never
// claims more bytes than its size.
//
// Input: records of one tag byte, a 16-bit little-endian length and that many bytes. Tag % 4: 0 an
// operation body after its code, 1 a block body after its code (for both, unless tag bit 7 is set,
// the target and sender fields are made the user's and the friend's, so that most inputs pass the
// sender check), 2 a user action on the last offer (byte 0 % 4: accept, refuse, abort, abort all),
// 3 the answer to the "file exists" question for the next accepts (byte 0 % 3).
#include <unistd.h>

#include <QCoreApplication>
#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <map>
#include <span>
#include <string>

#include "base/safe_name.h"
#include "file_transfer.h"

namespace {

constexpr std::uint32_t kOwn = 10001, kFriend = 10002;

// Made once and never freed: Qt's own globals are gone by the time exit handlers would free them.
QCoreApplication* app = nullptr;
std::filesystem::path folder;

class TLink : public kiv::TFileLink {
 public:
  std::uint16_t Remote() override { return 1; }
  bool Send(std::uint16_t, std::uint8_t, std::span<const std::uint8_t>) override { return true; }
  std::uint64_t Queued(std::uint16_t, std::uint8_t) override { return 0; }
};

class TEvents : public kiv::TFileEvents {
 public:
  void Note(const kiv::TFileNote& note) override {
    if (note.kind == kiv::TFileNoteKind::kOfferReceived) last_offer = note.operate_id;
  }
  void Progress(std::uint32_t, const std::string&) override {}
  kiv::TExistingFileAnswer AskExisting(const std::string&) override { return answer; }

  std::uint32_t last_offer = 0;
  kiv::TExistingFileAnswer answer = kiv::TExistingFileAnswer::kResume;
};

kiv::Bytes WithCode(std::uint32_t code, std::span<const std::uint8_t> rest, bool keep_parties) {
  kiv::Bytes body(4 + rest.size());
  kiv::StoreU32(body.data(), code);
  std::copy(rest.begin(), rest.end(), body.begin() + 4);
  if (!keep_parties) {
    // Target and sender sit at 4 and 8 of a block; at 4 and 14 of an operation.
    if (body.size() >= 8) kiv::StoreU32(body.data() + 4, kOwn);
    const std::size_t sender = code == kiv::kCodeFileData ? 8 : 14;
    if (body.size() >= sender + 4) kiv::StoreU32(body.data() + sender, kFriend);
  }
  return body;
}

void CheckBlock(std::span<const std::uint8_t> body) {
  auto block = kiv::DecodeFileBlock(body);
  if (!block) return;
  if (block->data.size() > kiv::kFileBlockSize ||
      block->data.size() != body.size() - kiv::kFileDataHeaderSize ||
      block->data.data() != body.data() + kiv::kFileDataHeaderSize)
    __builtin_trap();
  kiv::Bytes again;
  kiv::EncodeFileBlock(again, block->target, block->sender, block->operate_id, block->offset, block->last,
                       block->data);
  // The last flag is any non-zero byte on the way in and 1 on the way out.
  kiv::Bytes expected(body.begin(), body.end());
  expected[20] = block->last ? 1 : 0;
  if (again != expected) __builtin_trap();
}

void CheckOperation(std::span<const std::uint8_t> body) {
  auto m = kiv::DecodeOperateMessage(body);
  if (!m) return;
  auto again = kiv::DecodeOperateMessage(kiv::EncodeOperateMessage(m->target, m->sender, m->info));
  if (!again || again->target != m->target || again->sender != m->sender ||
      again->info.operate_id != m->info.operate_id || again->info.kind != m->info.kind ||
      again->info.step != m->info.step || again->info.value != m->info.value)
    __builtin_trap();
  if (auto name = kiv::ReduceToBareFileName(m->info.file_name.str())) {
    if (!kiv::IsBareFileName(*name)) __builtin_trap();
    auto path = kiv::PathInFolder(folder, *name);
    if (!path || path->parent_path() != folder) __builtin_trap();
  }
}

// Nothing outside the folder, no folder inside it, no file beyond its offer's size.
void CheckFolder(const std::map<std::string, std::uint64_t>& announced) {
  std::error_code ec;
  for (const auto& entry : std::filesystem::directory_iterator(folder, ec)) {
    if (!entry.is_regular_file()) __builtin_trap();
    auto it = announced.find(entry.path().filename().string());
    if (it == announced.end() || entry.file_size() > it->second) __builtin_trap();
  }
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int* argc, char*** argv) {
  app = new QCoreApplication(*argc, *argv);
  char pattern[] = "/tmp/kiv-file-fuzz.XXXXXX";
  if (!::mkdtemp(pattern)) std::abort();
  folder = std::filesystem::path(pattern) / "in";
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  std::error_code ec;
  std::filesystem::remove_all(folder, ec);
  std::filesystem::create_directories(folder, ec);
  TLink link;
  TEvents events;
  std::uint32_t next_id = kOwn + 100000;
  kiv::TFileManager::TConfig config;
  config.own_code = kOwn;
  config.friend_code = kFriend;
  config.friend_nickname = "friend";
  config.receive_folder = folder;
  config.next_operate_id = [&next_id] { return next_id++; };
  kiv::TFileManager files(config, link, events);
  // The largest size announced for each name the folder may hold.
  std::map<std::string, std::uint64_t> announced;

  for (std::size_t at = 0; at + 3 <= size;) {
    const std::uint8_t tag = data[at];
    const std::size_t length = std::min<std::size_t>(data[at + 1] | (data[at + 2] << 8), size - at - 3);
    const std::span<const std::uint8_t> record(data + at + 3, length);
    at += 3 + length;
    const bool keep_parties = (tag & 0x80) != 0;
    switch (tag % 4) {
      case 0: {
        const kiv::Bytes body = WithCode(kiv::kCodeOperateMessage, record, keep_parties);
        CheckOperation(body);
        auto m = kiv::DecodeOperateMessage(body);
        if (!m || m->target != kOwn || m->sender != kFriend || m->info.kind != kiv::kOperateFile) break;
        if (m->info.step == kiv::kFileStepOffer)
          if (auto name = kiv::ReduceToBareFileName(m->info.file_name.str()))
            announced[*name] = std::max<std::uint64_t>(announced[*name], m->info.value);
        files.DealRecMsg(m->info);
        break;
      }
      case 1: {
        const kiv::Bytes body = WithCode(kiv::kCodeFileData, record, keep_parties);
        CheckBlock(body);
        files.DealFileData(body);
        break;
      }
      case 2:
        switch (record.empty() ? 0 : record[0] % 4) {
          case 0:
            files.Accept(events.last_offer);
            break;
          case 1:
            files.Refuse(events.last_offer);
            break;
          case 2:
            files.Abort(events.last_offer);
            break;
          default:
            files.AbortAll();
            break;
        }
        break;
      default:
        events.answer = static_cast<kiv::TExistingFileAnswer>(record.empty() ? 0 : record[0] % 3);
        break;
    }
    for (const auto& t : files.Transfers())
      if (t.done > t.size) __builtin_trap();
    CheckFolder(announced);
  }
  return 0;
}
