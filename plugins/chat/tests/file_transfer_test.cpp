// File transfers between two real transport engines on loopback.
#include "file_transfer.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <QCoreApplication>
#include <fstream>
#include <random>

#include "file_peer.h"
#include "file_size_limit.h"
#include "qt_wait.h"
#include "test_dir.h"

namespace kiv {
namespace {

constexpr std::uint32_t kAlice = 10001, kBob = 10002;

Bytes Pattern(std::size_t size, std::uint32_t seed) {
  Bytes b(size);
  std::mt19937 gen(seed);
  for (auto& c : b) c = static_cast<std::uint8_t>(gen());
  return b;
}

void WriteFile(const std::filesystem::path& path, const Bytes& bytes) {
  std::ofstream out(path, std::ios::binary);
  out.write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
}

Bytes ReadFile(const std::filesystem::path& path) {
  std::ifstream in(path, std::ios::binary);
  return Bytes(std::istreambuf_iterator<char>(in), {});
}

// Empty when the file holds exactly `expected`; else where it first differs (short output for
// files of megabytes).
std::string Difference(const std::filesystem::path& path, const Bytes& expected) {
  const Bytes got = ReadFile(path);
  if (got == expected) return {};
  std::size_t i = 0;
  while (i < got.size() && i < expected.size() && got[i] == expected[i]) ++i;
  return "size " + std::to_string(got.size()) + " of " + std::to_string(expected.size()) +
         ", first difference at " + std::to_string(i);
}

class FileTransfer : public ::testing::Test {
 protected:
  void SetUp() override {
    std::filesystem::create_directories(out_dir());
    std::filesystem::create_directories(in_dir());
    alice = std::make_unique<TFilePeer>(kAlice, kBob, dir.path() / "alice-in");
    bob = std::make_unique<TFilePeer>(kBob, kAlice, in_dir());
    ASSERT_TRUE(alice->ConnectTo(*bob));
    ASSERT_TRUE(RunUntil([&] { return bob->Remote() != 0; }));
  }

  std::filesystem::path out_dir() const { return dir.path() / "out"; }
  std::filesystem::path in_dir() const { return dir.path() / "in"; }

  // Alice offers `path`; returns the id Bob sees.
  std::uint32_t Offer(const std::filesystem::path& path) {
    const std::size_t before = bob->notes.size();
    EXPECT_TRUE(alice->files->ReadySendFile(path));
    EXPECT_TRUE(RunUntil([&] {
      for (std::size_t i = before; i < bob->notes.size(); ++i)
        if (bob->notes[i].kind == TFileNoteKind::kOfferReceived) return true;
      return false;
    }));
    for (std::size_t i = bob->notes.size(); i-- > before;)
      if (bob->notes[i].kind == TFileNoteKind::kOfferReceived) return bob->notes[i].operate_id;
    return 0;
  }

  TestDir dir;
  std::unique_ptr<TFilePeer> alice, bob;
};

// ---- whole files ------------------------------------------------------------------------------

TEST_F(FileTransfer, FilesArriveByteIdenticalInBlocksOfAtMost6000) {
  struct Case {
    std::size_t size;
    std::uint64_t blocks;
  } cases[] = {{0, 1}, {6000, 1}, {6001, 2}, {50u << 20, ((50u << 20) + 5999) / 6000}};
  std::uint32_t seed = 1;
  for (const Case& c : cases) {
    SCOPED_TRACE(c.size);
    const std::string name = "file" + std::to_string(c.size) + ".bin";
    const Bytes content = Pattern(c.size, seed++);
    WriteFile(out_dir() / name, content);
    alice->blocks_sent = 0;
    const std::uint32_t id = Offer(out_dir() / name);
    // The desktop notice names the friend and the file.
    EXPECT_EQ(bob->Last(TFileNoteKind::kOfferReceived)->notice,
              "    好友friend(10001)向你发出了文件传输请求。文件是:" + name + "(" +
                  std::to_string(MakeSize(c.size)) + "K)");
    bob->files->Accept(id);
    ASSERT_TRUE(RunUntil([&] { return bob->Has(TFileNoteKind::kReceiveComplete) &&
                                      alice->Has(TFileNoteKind::kSendComplete); },
                         300000));
    EXPECT_EQ(Difference(in_dir() / name, content), "");
    EXPECT_EQ(alice->blocks_sent.load(), c.blocks);
    EXPECT_EQ(bob->Last(TFileNoteKind::kReceiveComplete)->path, in_dir() / name);
    // The sender forgets the transfer; the receiver keeps it (role 3) for "$Open$".
    EXPECT_TRUE(alice->files->Transfers().empty());
    auto kept = bob->files->Transfers();
    ASSERT_EQ(kept.size(), 1u);
    EXPECT_EQ(kept[0].role, kFileRoleReceived);
    // Start the next case with empty lists.
    bob->files->AbortAll();
    alice->notes.clear();
    bob->notes.clear();
  }
}

TEST_F(FileTransfer, ResumesAfterTheSenderDiedAt12000Bytes) {
  const Bytes content = Pattern(100000, 7);
  WriteFile(out_dir() / "big.bin", content);
  // The sender's endpoint dies after its second block: nothing beyond 12000 bytes ever leaves.
  std::atomic<int> passed{0};
  alice->block_filter = [&](std::uint8_t, std::span<const std::uint8_t>) { return passed.fetch_add(1) < 2; };
  std::uint32_t id = Offer(out_dir() / "big.bin");
  bob->files->Accept(id);
  ASSERT_TRUE(RunUntil([&] { return bob->blocks_received == 2; }));
  alice->Kill();
  ASSERT_TRUE(RunUntil([&] { return !bob->files->Receiving(); }));
  EXPECT_TRUE(bob->Has(TFileNoteKind::kFailed));
  EXPECT_EQ(std::filesystem::file_size(in_dir() / "big.bin"), 12000u);

  // A new process of the sender offers the file again; the receiver resumes.
  alice = std::make_unique<TFilePeer>(kAlice, kBob, dir.path() / "alice-in");
  ASSERT_TRUE(alice->ConnectTo(*bob));
  ASSERT_TRUE(RunUntil([&] { return bob->Remote() != 0; }));
  bob->existing_answer = TExistingFileAnswer::kResume;
  id = Offer(out_dir() / "big.bin");
  bob->files->Accept(id);
  ASSERT_TRUE(RunUntil([&] { return bob->Has(TFileNoteKind::kReceiveComplete); }));
  EXPECT_EQ(bob->questions, 1);
  EXPECT_EQ(alice->data_sent.load(), 100000u - 12000u);
  EXPECT_EQ(Difference(in_dir() / "big.bin", content), "");
}

TEST_F(FileTransfer, AnExistingFileIsNeverDeletedWhenTheUserDeclines) {
  WriteFile(out_dir() / "a.txt", Pattern(5000, 3));
  const Bytes old = Pattern(9000, 4);
  WriteFile(in_dir() / "a.txt", old);
  bob->existing_answer = TExistingFileAnswer::kCancel;
  const std::uint32_t id = Offer(out_dir() / "a.txt");
  bob->files->Accept(id);
  EXPECT_EQ(ReadFile(in_dir() / "a.txt"), old);
  EXPECT_FALSE(bob->files->Receiving());
  // The offer still waits; overwriting replaces the content.
  bob->existing_answer = TExistingFileAnswer::kOverwrite;
  bob->files->Accept(id);
  ASSERT_TRUE(RunUntil([&] { return bob->Has(TFileNoteKind::kReceiveComplete); }));
  EXPECT_EQ(ReadFile(in_dir() / "a.txt"), Pattern(5000, 3));
}

// ---- stopping -------------------------------------------------------------------------------------

TEST_F(FileTransfer, RefuseWithdrawAndAbortStopBothEnds) {
  WriteFile(out_dir() / "s.bin", Pattern(30u << 20, 5));
  enum class Action { kRefuse, kWithdraw, kReceiverAborts, kSenderAborts, kSenderWindowCloses,
                      kReceiverWindowCloses };
  struct Case {
    Action action;
    TFileNoteKind sender_sees, receiver_sees;
  } cases[] = {
      {Action::kRefuse, TFileNoteKind::kRefusedByPeer, TFileNoteKind::kRefusedByUs},
      {Action::kWithdraw, TFileNoteKind::kWithdrawnByUs, TFileNoteKind::kWithdrawnByPeer},
      {Action::kReceiverAborts, TFileNoteKind::kAbortedByPeer, TFileNoteKind::kAbortedByUs},
      {Action::kSenderAborts, TFileNoteKind::kAbortedByUs, TFileNoteKind::kAbortedByPeer},
      {Action::kSenderWindowCloses, TFileNoteKind::kAbortedByUs, TFileNoteKind::kAbortedByPeer},
      {Action::kReceiverWindowCloses, TFileNoteKind::kAbortedByPeer, TFileNoteKind::kAbortedByUs},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(static_cast<int>(c.action));
    alice->notes.clear();
    bob->notes.clear();
    const std::uint32_t id = Offer(out_dir() / "s.bin");
    const bool running = c.action != Action::kRefuse && c.action != Action::kWithdraw;
    if (running) {
      const std::uint64_t before = bob->blocks_received;
      bob->files->Accept(id);
      ASSERT_TRUE(RunUntil([&] { return bob->blocks_received > before + 10; }));
    }
    bool sender_notes = true, receiver_notes = true;
    switch (c.action) {
      case Action::kRefuse: bob->files->Refuse(id); break;
      case Action::kWithdraw: alice->files->Withdraw(id); break;
      case Action::kReceiverAborts: bob->files->Abort(id); break;
      case Action::kSenderAborts: alice->files->Abort(id); break;
      case Action::kSenderWindowCloses: alice->files->AbortAll(); sender_notes = false; break;
      case Action::kReceiverWindowCloses: bob->files->AbortAll(); receiver_notes = false; break;
    }
    ASSERT_TRUE(RunUntil([&] {
      return alice->files->Transfers().empty() && bob->files->Transfers().empty();
    })) << alice->files->Transfers().size() << " " << bob->files->Transfers().size() << " "
        << (alice->notes.empty() ? "" : alice->notes.back().line) << " / "
        << (bob->notes.empty() ? "" : bob->notes.back().line);
    if (sender_notes) {
      EXPECT_TRUE(alice->Has(c.sender_sees));
    }
    if (receiver_notes) {
      EXPECT_TRUE(bob->Has(c.receiver_sees));
    }
    // No block is sent once the transfer stopped.
    const std::uint64_t sent = alice->blocks_sent.load();
    const std::uint64_t got = bob->blocks_received;
    RunUntil([] { return false; }, 300);
    EXPECT_EQ(alice->blocks_sent.load(), sent);
    EXPECT_LE(bob->blocks_received, sent);
    EXPECT_GE(bob->blocks_received, got);
    if (running) {
      EXPECT_LT(std::filesystem::file_size(in_dir() / "s.bin"), 30u << 20);
    }
    std::filesystem::remove(in_dir() / "s.bin");
  }
}

TEST_F(FileTransfer, ReadAndWriteErrorsAbortBothSides) {
  {
    // The receiver's disk fills after 100 000 bytes.
    WriteFile(out_dir() / "w.bin", Pattern(1u << 20, 8));
    const std::uint32_t id = Offer(out_dir() / "w.bin");
    FileSizeLimit full(100000);
    bob->files->Accept(id);
    ASSERT_TRUE(RunUntil([&] { return bob->Has(TFileNoteKind::kFailed) && alice->Has(TFileNoteKind::kAbortedByPeer); }));
  }
  EXPECT_FALSE(bob->Has(TFileNoteKind::kReceiveComplete));
  EXPECT_TRUE(alice->files->Transfers().empty());
  {
    // The file shrinks under the sender.
    WriteFile(out_dir() / "r.bin", Pattern(30u << 20, 9));
    const std::uint64_t before = bob->blocks_received;
    const std::uint32_t id = Offer(out_dir() / "r.bin");
    bob->files->Accept(id);
    ASSERT_TRUE(RunUntil([&] { return bob->blocks_received > before + 10; }));
    std::filesystem::resize_file(out_dir() / "r.bin", 1000);
    ASSERT_TRUE(RunUntil([&] { return alice->Has(TFileNoteKind::kFailed) && bob->Has(TFileNoteKind::kAbortedByPeer); }));
    EXPECT_TRUE(bob->files->Transfers().empty());
  }
}

TEST_F(FileTransfer, ClosingTheWindowMidTransferLeavesNothingBehind) {
  WriteFile(out_dir() / "c.bin", Pattern(20u << 20, 6));
  const std::uint32_t id = Offer(out_dir() / "c.bin");
  bob->files->Accept(id);
  ASSERT_TRUE(RunUntil([&] { return bob->blocks_received > 5; }));
  // The window goes away with its manager while the thread may have an end queued.
  alice->files->AbortAll();
  alice->files.reset();
  ASSERT_TRUE(RunUntil([&] { return bob->Has(TFileNoteKind::kAbortedByPeer); }));
  QCoreApplication::processEvents();
  EXPECT_FALSE(bob->files->Receiving());
}

TEST_F(FileTransfer, TenRunAtOnceOnTheirOwnChannelsAndAnEleventhIsRefused) {
  std::vector<Bytes> contents;
  std::vector<std::uint32_t> ids;
  for (int i = 0; i < 10; ++i) {
    contents.push_back(Pattern(3u << 20, 100 + i));
    WriteFile(out_dir() / ("f" + std::to_string(i)), contents.back());
    ids.push_back(Offer(out_dir() / ("f" + std::to_string(i))));
  }
  WriteFile(out_dir() / "f10", Pattern(10, 1));
  EXPECT_FALSE(alice->files->ReadySendFile(out_dir() / "f10"));
  ASSERT_NE(alice->Last(TFileNoteKind::kError), nullptr);
  EXPECT_EQ(alice->Last(TFileNoteKind::kError)->error, 8);
  for (std::uint32_t id : ids) bob->files->Accept(id);
  ASSERT_TRUE(RunUntil([&] {
    int done = 0;
    for (const auto& t : bob->files->Transfers()) done += t.role == kFileRoleReceived;
    return done == 10;
  }, 120000));
  for (int i = 0; i < 10; ++i) EXPECT_EQ(Difference(in_dir() / ("f" + std::to_string(i)), contents[i]), "") << i;
  std::uint32_t expected_channels = 0;
  for (int ch = kFirstFileChannel; ch <= kLastFileChannel; ++ch) expected_channels |= 1u << ch;
  EXPECT_EQ(alice->channels_used.load(), expected_channels);
  // Files received completely still count: this window takes no eleventh.
  EXPECT_FALSE(bob->files->ReadySendFile(out_dir() / "f10"));
  EXPECT_EQ(bob->Last(TFileNoteKind::kError)->error, 8);
}

TEST(FileTransferAlone, AnOfferNeedsADirectConnectionAndLessThan4GiB) {
  TestDir dir;
  TFilePeer lonely(kAlice, kBob, dir.path());
  WriteFile(dir.path() / "a", Pattern(10, 1));
  EXPECT_FALSE(lonely.files->ReadySendFile(dir.path() / "a"));
  ASSERT_NE(lonely.Last(TFileNoteKind::kError), nullptr);
  EXPECT_EQ(lonely.Last(TFileNoteKind::kError)->error, 7);

  TFilePeer other(kBob, kAlice, dir.path() / "in");
  ASSERT_TRUE(lonely.ConnectTo(other));
  {
    std::ofstream(dir.path() / "huge").put('x');
  }
  std::filesystem::resize_file(dir.path() / "huge", std::uint64_t{4} << 30);  // sparse
  lonely.notes.clear();
  EXPECT_FALSE(lonely.files->ReadySendFile(dir.path() / "huge"));
  EXPECT_TRUE(lonely.Has(TFileNoteKind::kError));
  EXPECT_TRUE(lonely.files->Transfers().empty());
  EXPECT_FALSE(lonely.files->ReadySendFile(dir.path() / "missing"));
}

// ---- a peer that does not follow the rules --------------------------------------------------------

class HostilePeer : public ::testing::Test {
 protected:
  void SetUp() override {
    std::filesystem::create_directories(in_dir());
    evil = std::make_unique<TFilePeer>(kAlice, kBob, dir.path(), /*with_manager=*/false);
    bob = std::make_unique<TFilePeer>(kBob, kAlice, in_dir());
    ASSERT_TRUE(evil->ConnectTo(*bob));
    ASSERT_TRUE(RunUntil([&] { return bob->Remote() != 0; }));
  }
  std::filesystem::path in_dir() const { return dir.path() / "in" / "files"; }

  void SendOffer(std::uint32_t id, const std::string& name, std::uint32_t size) {
    TOperateInfo info;
    info.operate_id = id;
    info.kind = kOperateFile;
    info.step = kFileStepOffer;
    info.value = size;
    info.file_name = name;
    evil->SendRaw(EncodeOperateMessage(kBob, kAlice, info), 0);
    ASSERT_TRUE(RunUntil([&] { return bob->Has(TFileNoteKind::kOfferReceived); }));
  }
  // Offers, lets Bob accept, and waits for the accept.
  void OfferAccepted(std::uint32_t id, const std::string& name, std::uint32_t size) {
    SendOffer(id, name, size);
    bob->files->Accept(id);
    ASSERT_TRUE(RunUntil([&] { return evil->Received(kFileStepAccept); }));
  }
  void SendBlock(std::uint32_t id, std::uint32_t offset, bool last, const Bytes& data) {
    Bytes message;
    EncodeFileBlock(message, kBob, kAlice, id, offset, last, data);
    evil->SendRaw(message, 11);
  }

  TestDir dir;
  std::unique_ptr<TFilePeer> evil, bob;
};

TEST_F(HostilePeer, ANameWithFoldersLandsInsideTheReceiveFolder) {
  OfferAccepted(500, "../../x", 3);
  SendBlock(500, 0, true, {'a', 'b', 'c'});
  ASSERT_TRUE(RunUntil([&] { return bob->Has(TFileNoteKind::kReceiveComplete); }));
  EXPECT_EQ(ReadFile(in_dir() / "x"), (Bytes{'a', 'b', 'c'}));
  EXPECT_FALSE(std::filesystem::exists(dir.path() / "x"));
  EXPECT_EQ(bob->Last(TFileNoteKind::kReceiveComplete)->path, in_dir() / "x");
}

TEST_F(HostilePeer, UnusableNamesAreRefusedAtOnce) {
  TOperateInfo info;
  info.operate_id = 501;
  info.kind = kOperateFile;
  info.step = kFileStepOffer;
  info.value = 3;
  info.file_name = "../..";
  evil->SendRaw(EncodeOperateMessage(kBob, kAlice, info), 0);
  ASSERT_TRUE(RunUntil([&] { return evil->Received(kFileStepRefuse); }));
  EXPECT_TRUE(bob->files->Transfers().empty());
}

TEST_F(HostilePeer, ASymbolicLinkInTheFolderIsNotFollowed) {
  const std::filesystem::path outside = dir.path() / "precious";
  WriteFile(outside, {'k', 'e', 'e', 'p'});
  std::filesystem::create_symlink(outside, in_dir() / "link");
  SendOffer(502, "link", 3);
  bob->files->Accept(502);
  EXPECT_TRUE(bob->Has(TFileNoteKind::kError));
  EXPECT_FALSE(bob->files->Receiving());
  EXPECT_EQ(ReadFile(outside), (Bytes{'k', 'e', 'e', 'p'}));
}

TEST_F(HostilePeer, BlocksThatBreakOrderOrSizeAbortTheTransfer) {
  // 10000 bytes announced; a good first block of 6000, then the case's second block.
  struct Case {
    const char* what;
    std::uint32_t offset;
    bool last;
    std::size_t bytes;
    std::uint32_t size_field;  // 0: the true size
  } cases[] = {
      {"wrong offset", 3000, true, 4000, 0},
      {"beyond the announced size", 6000, false, 6000, 0},
      {"last block short of the size", 6000, true, 100, 0},
      {"size field lies", 6000, true, 4000, 100},
      {"block above 6000 bytes", 6000, false, 6001, 0},
  };
  std::uint32_t id = 600;
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    bob->notes.clear();
    evil->received.clear();
    const std::string name = "h" + std::to_string(id);
    OfferAccepted(id, name, 10000);
    SendBlock(id, 0, false, Bytes(6000, 1));
    Bytes message;
    EncodeFileBlock(message, kBob, kAlice, id, c.offset, c.last, Bytes(c.bytes, 2));
    if (c.size_field) StoreU32(message.data() + 21, c.size_field);
    evil->SendRaw(message, 11);
    ASSERT_TRUE(RunUntil([&] { return evil->Received(kFileStepAbort); }));
    EXPECT_TRUE(bob->Has(TFileNoteKind::kFailed));
    EXPECT_FALSE(bob->files->Receiving());
    EXPECT_EQ(std::filesystem::file_size(in_dir() / name), 6000u);
    // Later blocks of the ended transfer are dropped.
    SendBlock(id, 6000, true, Bytes(4000, 3));
    RunUntil([] { return false; }, 100);
    EXPECT_EQ(std::filesystem::file_size(in_dir() / name), 6000u);
    ++id;
  }
}

TEST_F(HostilePeer, AResumeOffsetBeyondTheSizeIsRefusedBySender) {
  // Here the hostile side receives: it answers an offer of 100 bytes with a resume at 200.
  TestDir files;
  WriteFile(files.path() / "f", Pattern(100, 9));
  ASSERT_TRUE(bob->files->ReadySendFile(files.path() / "f"));
  ASSERT_TRUE(RunUntil([&] { return evil->Received(kFileStepOffer); }));
  TOperateInfo offer = evil->Operations().back();
  offer.step = kFileStepAccept;
  offer.value = 200;
  evil->SendRaw(EncodeOperateMessage(kBob, kAlice, offer), 0);
  ASSERT_TRUE(RunUntil([&] { return evil->Received(kFileStepAbort); }));
  EXPECT_TRUE(bob->Has(TFileNoteKind::kFailed));
  EXPECT_EQ(bob->blocks_sent.load(), 0u);
}

TEST(FileWire, LayoutsAndSizes) {
  TOperateInfo info;
  info.operate_id = 0x01020304;
  info.kind = 3;
  info.step = 2;
  info.value = 12000;
  info.file_name = "C:\\docs\\a.txt";
  Bytes m = EncodeOperateMessage(7, 9, info);
  ASSERT_EQ(m.size(), 278u);
  EXPECT_EQ(LoadU32(m.data()), 0x10002u);
  EXPECT_EQ(LoadU32(m.data() + 4), 7u);
  EXPECT_EQ(LoadU32(m.data() + 8), 0x01020304u);
  EXPECT_EQ(m[12], 3);
  EXPECT_EQ(m[13], 2);
  EXPECT_EQ(LoadU32(m.data() + 14), 9u);
  EXPECT_EQ(LoadU32(m.data() + 18), 12000u);
  EXPECT_EQ(m[22], 5);  // only "a.txt" travels
  auto back = DecodeOperateMessage(m);
  ASSERT_TRUE(back);
  EXPECT_EQ(back->info.file_name, "a.txt");
  EXPECT_FALSE(DecodeOperateMessage({m.data(), 277}));

  Bytes b;
  EncodeFileBlock(b, 1, 2, 3, 4, true, Bytes{9, 8});
  ASSERT_EQ(b.size(), 27u);
  EXPECT_EQ(LoadU32(b.data() + 16), 4u);
  EXPECT_EQ(b[20], 1);
  EXPECT_EQ(LoadU32(b.data() + 21), 2u);
  EXPECT_TRUE(DecodeFileBlock(b));
  EXPECT_FALSE(DecodeFileBlock({b.data(), 26}));

  EXPECT_EQ(MakeSize(0), 1u);
  EXPECT_EQ(MakeSize(1023), 1u);
  EXPECT_EQ(MakeSize(1536), 2u);
  EXPECT_EQ(MakeSize(1535), 1u);
}

}  // namespace
}  // namespace kiv

int main(int argc, char** argv) {
  QCoreApplication app(argc, argv);
  ::testing::InitGoogleTest(&argc, argv);
  return RUN_ALL_TESTS();
}
