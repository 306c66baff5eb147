// The update role on a real endpoint over loopback, against peers that ask for an update and then
// never acknowledge a byte of it (bare sockets that speak the handshake by hand), and an honest
// updater's transport beside them. The role's clock is stepped by the test.
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <fstream>
#include <random>

#include "base/gbk.h"
#include "protocol_client.h"
#include "router.h"
#include "test_dir.h"
#include "udp_datagram.h"
#include "udp_declare.h"
#include "update_role.h"

namespace kiv::server {
namespace {

using kiv::testing::TProtocolClient;
namespace fs = std::filesystem;

constexpr std::uint16_t kRawHandle = 7;

// What the role answered a request with: the status and the description bytes (read whatever the
// status, as the description of a refusal is what tells busy from nothing).
struct TAnswer {
  std::uint8_t status = 0;
  std::string description;
};
std::optional<TAnswer> ReadAnswer(std::span<const std::uint8_t> m) {
  if (m.size() < update::kAnnouncementHeadSize || LoadU32(m.data()) != update::kCodeUpdate)
    return std::nullopt;
  const std::uint32_t n = LoadU32(m.data() + 32);
  if (m.size() - update::kAnnouncementHeadSize < n) return std::nullopt;
  return TAnswer{m[25], GbkToUtf8(std::string(reinterpret_cast<const char*>(m.data() + 36), n))};
}

// A bare UDP socket on a loopback address of its own that makes an association by hand, sends one
// update request and then takes what comes without acknowledging any of it.
class TSilentUpdater {
 public:
  explicit TSilentUpdater(const char* address) {
    fd_ = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    ::inet_pton(AF_INET, address, &a.sin_addr);
    bound_ = ::bind(fd_, reinterpret_cast<sockaddr*>(&a), sizeof a) == 0;
  }
  ~TSilentUpdater() { ::close(fd_); }
  TSilentUpdater(const TSilentUpdater&) = delete;
  TSilentUpdater& operator=(const TSilentUpdater&) = delete;

  // Handshake, confirmation and the request for `version`; false when the server gave no handle.
  bool Ask(std::uint16_t port, const std::string& version) {
    port_ = port;
    if (!bound_) return false;
    SendHandshake(0, 0, kRawHandle);
    for (int i = 0; i < 50 && !server_handle_; ++i) {
      auto d = Receive(100);
      if (d && (*d)[kOffType] == kTypeHandshake && d->size() >= kHeaderSize + 5 && (*d)[kHeaderSize] == 1)
        server_handle_ = LoadU16(d->data() + kHeaderSize + 1);
    }
    if (!server_handle_) return false;
    SendHandshake(3, server_handle_, kRawHandle);
    const Bytes request = update::BuildRequest(version);
    std::vector<std::uint8_t> d(kHeaderSize + request.size());
    TDatagramHeader h;
    h.type = kTypeData;
    h.remote_id = server_handle_;
    h.sequence = kFirstSequence;
    h.fragment_length = static_cast<std::uint16_t>(request.size());
    h.total_length = static_cast<std::uint32_t>(request.size());
    EncodeHeader(h, d.data());
    std::copy(request.begin(), request.end(), d.begin() + kHeaderSize);
    SendBytes(d);
    return true;
  }

  // The first message of the server on channel 0 (one fragment: the announcement is small).
  std::optional<TAnswer> Answer() {
    for (const auto end = Deadline(); std::chrono::steady_clock::now() < end;) {
      auto d = Receive(100);
      if (!d) continue;
      disconnected_ |= (*d)[kOffType] == kTypeDisconnect;
      auto h = DecodeHeader(*d);
      if (h && h->type == kTypeData && h->channel == 0 && h->sequence == kFirstSequence)
        return ReadAnswer(std::span(*d).subspan(kHeaderSize));
    }
    return std::nullopt;
  }

  // True once the server has told it that the association is over.
  bool WaitDisconnected() {
    for (const auto end = Deadline(); !disconnected_ && std::chrono::steady_clock::now() < end;)
      if (auto d = Receive(100)) disconnected_ |= (*d)[kOffType] == kTypeDisconnect;
    return disconnected_;
  }

 private:
  // Waits give up after this: the machine may be loaded, and resent data arrives in between.
  static std::chrono::steady_clock::time_point Deadline() {
    return std::chrono::steady_clock::now() + std::chrono::seconds(10);
  }
  void SendHandshake(std::uint8_t kind, std::uint16_t first, std::uint16_t second) {
    std::vector<std::uint8_t> d(kHeaderSize + 5);
    TDatagramHeader h;
    h.type = kTypeHandshake;
    EncodeHeader(h, d.data());
    d[kHeaderSize] = kind;
    StoreU16(&d[kHeaderSize + 1], first);
    StoreU16(&d[kHeaderSize + 3], second);
    SendBytes(d);
  }
  void SendBytes(std::span<const std::uint8_t> d) {
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_port = htons(port_);
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    ::sendto(fd_, d.data(), d.size(), 0, reinterpret_cast<sockaddr*>(&a), sizeof a);
  }
  std::optional<std::vector<std::uint8_t>> Receive(int wait_ms) {
    pollfd p{fd_, POLLIN, 0};
    if (::poll(&p, 1, wait_ms) <= 0) return std::nullopt;
    std::vector<std::uint8_t> d(kReceiveBufferSize);
    const ssize_t n = ::recv(fd_, d.data(), d.size(), 0);
    if (n < static_cast<ssize_t>(kHeaderSize)) return std::nullopt;
    d.resize(static_cast<std::size_t>(n));
    if (!DataRestore(d.data(), d.size())) return std::nullopt;
    return d;
  }

  int fd_ = -1;
  bool bound_ = false;
  std::uint16_t port_ = 0, server_handle_ = 0;
  bool disconnected_ = false;
};

class UpdateRoleTest : public ::testing::Test {
 protected:
  static constexpr std::size_t kFileBytes = 1 << 20;  // far more than the send threshold

  void Start(TUpdateLimits limits) {
    // One published version, 201103, of one file that does not pack.
    const fs::path source = dir_.path() / "source";
    fs::create_directories(source);
    std::mt19937 rng(31);
    std::string content(kFileBytes, '\0');
    for (char& c : content) c = static_cast<char>(rng());
    std::ofstream(source / "Kivora", std::ios::binary) << content;
    fs::create_directories(dir_.path() / "updates");
    catalogue_ = std::make_unique<TUpdateCatalogue>(dir_.path() / "updates");
    std::string error;
    ASSERT_TRUE(catalogue_->Publish(false, "201103", source, "新版本", std::nullopt, &error)) << error;
    limits.clock = &clock_;
    role_ = std::make_unique<TUpdateRole>(*catalogue_, endpoint_, limits);
    role_->Attach(endpoint_.Router());
    ASSERT_TRUE(endpoint_.Start(0));
  }
  void TearDown() override {
    endpoint_.Stop();
    role_.reset();
  }
  std::uint16_t Port() const { return endpoint_.Port(); }

  // An honest updater's request over the real transport; its answer.
  std::optional<TAnswer> AskHonestly(TProtocolClient& client, std::uint16_t& handle,
                                     const std::string& version = "201102") {
    handle = client.Connect({"127.0.0.1", Port()});
    if (!handle) return std::nullopt;
    auto m = client.Ask(handle, update::BuildRequest(version), update::kCodeUpdate);
    return m ? ReadAnswer(*m) : std::nullopt;
  }

  TestDir dir_;
  TManualClock clock_{1000};
  TEndpoint endpoint_{"update"};
  std::unique_ptr<TUpdateCatalogue> catalogue_;
  std::unique_ptr<TUpdateRole> role_;
};

TEST_F(UpdateRoleTest, SlotsAreLimitedPerAddressAndInAllAndAFullServerSaysBusyNotNothing) {
  TUpdateLimits limits;
  limits.max_transfers = 3;
  limits.max_per_address = 2;
  Start(limits);
  struct TCase {
    const char* address;
    std::uint8_t status;
    const char* description;
  };
  // Two from one address fill its share; a third from it is refused; another address gets the
  // last slot.
  const TCase cases[] = {{"127.0.0.2", update::kStatusUpdate, "新版本"},
                         {"127.0.0.2", update::kStatusUpdate, "新版本"},
                         {"127.0.0.2", update::kStatusNothing, TUpdateRole::kBusyText},
                         {"127.0.0.3", update::kStatusUpdate, "新版本"}};
  std::vector<std::unique_ptr<TSilentUpdater>> peers;
  for (const TCase& c : cases) {
    peers.push_back(std::make_unique<TSilentUpdater>(c.address));
    ASSERT_TRUE(peers.back()->Ask(Port(), "201102")) << c.address;
    auto answer = peers.back()->Answer();
    ASSERT_TRUE(answer) << c.address;
    EXPECT_EQ(answer->status, c.status) << c.address;
    EXPECT_EQ(answer->description, c.description) << c.address;
  }
  EXPECT_EQ(role_->ActiveTransfers(), 3u);

  // Every slot is taken: an honest updater from yet another address hears "busy", and one that is
  // up to date still hears "nothing to update".
  TProtocolClient honest, current;
  std::uint16_t handle = 0;
  auto busy = AskHonestly(honest, handle);
  ASSERT_TRUE(busy);
  EXPECT_EQ(busy->status, update::kStatusNothing);
  EXPECT_EQ(busy->description, TUpdateRole::kBusyText);
  auto nothing = AskHonestly(current, handle, "201103");
  ASSERT_TRUE(nothing);
  EXPECT_EQ(nothing->status, update::kStatusNothing);
  EXPECT_EQ(nothing->description, "");
  EXPECT_EQ(role_->RefusedBusy(), 2u);
}

TEST_F(UpdateRoleTest, ATransferThatTakesNothingForTheStallTimeEndsItsConnectionAndFreesItsSlot) {
  TUpdateLimits limits;
  limits.max_transfers = 2;
  Start(limits);
  TSilentUpdater first("127.0.0.4"), second("127.0.0.5");
  for (TSilentUpdater* peer : {&first, &second}) {
    ASSERT_TRUE(peer->Ask(Port(), "201102"));
    auto answer = peer->Answer();
    ASSERT_TRUE(answer);
    ASSERT_EQ(answer->status, update::kStatusUpdate);
  }
  TProtocolClient honest;
  std::uint16_t handle = 0;
  auto refused = AskHonestly(honest, handle);
  ASSERT_TRUE(refused);
  EXPECT_EQ(refused->description, TUpdateRole::kBusyText);
  honest.Disconnect(handle);

  // Just short of the stall time nothing ends; past it both transfers do. A transfer may still be
  // filling its channel when the clock moves (that is progress, and the time runs again from
  // there), so the clock moves on until both have ended.
  clock_.Advance(limits.stall_ms - 1000);
  EXPECT_EQ(role_->ActiveTransfers(), 2u);
  for (int i = 0; i < 500 && role_->Stalled() < 2; ++i) {
    clock_.Advance(limits.stall_ms);
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  EXPECT_EQ(role_->Stalled(), 2u);
  // Told at once, not by a request queued behind the data they never took.
  EXPECT_TRUE(first.WaitDisconnected());
  EXPECT_TRUE(second.WaitDisconnected());

  // The freed slot serves an honest updater to the last piece.
  TProtocolClient later;
  auto answer = AskHonestly(later, handle);
  ASSERT_TRUE(answer);
  ASSERT_EQ(answer->status, update::kStatusUpdate);
  std::size_t received = 0, whole = 0;
  for (;;) {
    auto m = later.WaitFor(update::kCodePiece, handle);
    ASSERT_TRUE(m) << "after " << received << " bytes";
    auto piece = update::ParsePiece(*m, nullptr);
    ASSERT_TRUE(piece);
    received += piece->bytes.size();
    whole = piece->whole_size;
    if (piece->last) break;
  }
  EXPECT_EQ(received, whole);
  EXPECT_GE(whole, kFileBytes);  // random bytes are sent as they are
  EXPECT_EQ(role_->Stalled(), 2u);
}

}  // namespace
}  // namespace kiv::server
