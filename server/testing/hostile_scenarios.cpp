#include "hostile_scenarios.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <sqlite3.h>

#include <cstdio>
#include <fstream>
#include <memory>
#include <random>
#include <sstream>

#include "declare/friend_wire.h"
#include "protocol_client.h"
#include "raw_peer.h"
#include "server_process.h"

namespace kiv::testing {

namespace {

constexpr std::uint32_t kLoginReplyCode = 0x30002;
constexpr std::uint32_t kProfileReplyCode = 0x30013;
constexpr std::uint32_t kProfileChangeReplyCode = 0x30015;
constexpr std::size_t kLoginResultAt = 8;
constexpr std::uint8_t kVersionInfoResult = 8;
constexpr const char* kDemoPassword = "kivora";

THostileOutcome Fail(std::string why, std::uint64_t sent = 0) { return {false, std::move(why), sent}; }

// The honest check most scenarios end with: a version check on the login role from 127.0.0.1.
bool VersionCheckAnswered(const THostileTarget& t, std::string* detail) {
  TProtocolClient client;
  std::uint16_t h = client.Connect(t.login);
  if (!h) {
    *detail = "an honest client could not connect to the login role";
    return false;
  }
  TLoginFields f;
  f.state = 3;
  std::optional<Bytes> reply = client.Ask(h, LoginRequest(f), kLoginReplyCode, 10000);
  if (!reply || reply->size() <= kLoginResultAt || (*reply)[kLoginResultAt] != kVersionInfoResult) {
    *detail = "an honest version check was not answered";
    return false;
  }
  return true;
}

bool SignedIn(TProtocolClient& client, const THostileTarget& t, std::uint32_t user, const std::string& password,
              TProtocolClient::SignIn* out = nullptr) {
  TLoginFields f;
  f.user = user;
  f.password = password;
  TProtocolClient::SignIn s = client.SignInVia(t.login, f);
  if (out) *out = s;
  return s.ok();
}

// Runs `kivora-server admin` on the target's control socket; its answer.
std::string Admin(const THostileTarget& t, const std::string& args) {
  std::string command = ServerBinary().string() + " admin --data '" + t.data_dir.string() + "' " + args + " 2>&1";
  std::string out;
  if (FILE* p = ::popen(command.c_str(), "r")) {
    char buffer[256];
    while (std::fgets(buffer, sizeof buffer, p)) out += buffer;
    ::pclose(p);
  }
  return out;
}

// One number the server's SQLite store answers for `sql` with `code` bound to its parameter; -1 when
// it cannot be read.
std::int64_t StoredNumber(const THostileTarget& t, const char* sql, std::uint32_t code) {
  sqlite3* db = nullptr;
  std::int64_t number = -1;
  if (sqlite3_open_v2((t.data_dir / "kivora.db").c_str(), &db, SQLITE_OPEN_READONLY, nullptr) == SQLITE_OK) {
    sqlite3_busy_timeout(db, 5000);
    sqlite3_stmt* query = nullptr;
    if (sqlite3_prepare_v2(db, sql, -1, &query, nullptr) == SQLITE_OK) {
      sqlite3_bind_int64(query, 1, code);
      if (sqlite3_step(query) == SQLITE_ROW) number = sqlite3_column_int64(query, 0);
    }
    sqlite3_finalize(query);
  }
  sqlite3_close(db);
  return number;
}

std::int64_t Balance(const THostileTarget& t, std::uint32_t code) {
  return StoredNumber(t, "SELECT money FROM accounts WHERE code = ?", code);
}

Bytes FriendRequest(std::uint32_t sender, std::uint32_t target, const std::string& text) {
  namespace add = friend_wire::add;
  RecordWriter w(add::kSize);
  w.u32(0, friend_wire::kAddFriend).u8(add::kKind, add::kRequest).u32(add::kTarget, target).u32(add::kSender, sender);
  w.text(add::kNickname, 40, "陌生人").text(add::kText, 255, text);
  return w.take();
}

// One HTTP/1.0 request from `local_ip` to the web role; the whole answer (status line, headers,
// body), empty when it could not be sent.
std::string HttpFrom(const std::string& local_ip, const WireAddress& web, const std::string& request) {
  int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd < 0) return {};
  sockaddr_in local{};
  local.sin_family = AF_INET;
  ::inet_pton(AF_INET, local_ip.c_str(), &local.sin_addr);
  sockaddr_in to{};
  to.sin_family = AF_INET;
  to.sin_port = htons(web.port);
  ::inet_pton(AF_INET, web.ip.c_str(), &to.sin_addr);
  std::string answer;
  if (::bind(fd, reinterpret_cast<const sockaddr*>(&local), sizeof local) == 0 &&
      ::connect(fd, reinterpret_cast<const sockaddr*>(&to), sizeof to) == 0 &&
      ::send(fd, request.data(), request.size(), MSG_NOSIGNAL) == static_cast<ssize_t>(request.size())) {
    char buffer[4096];
    for (;;) {
      pollfd p{fd, POLLIN, 0};
      if (::poll(&p, 1, 10000) <= 0) break;
      ssize_t n = ::recv(fd, buffer, sizeof buffer, 0);
      if (n <= 0) break;
      answer.append(buffer, static_cast<std::size_t>(n));
    }
  }
  ::close(fd);
  return answer;
}

std::string PostForm(const std::string& local_ip, const WireAddress& web, const std::string& path,
                     const std::string& form) {
  std::ostringstream r;
  r << "POST " << path << " HTTP/1.0\r\nHost: " << web.ip << "\r\nContent-Type: application/x-www-form-urlencoded\r\n"
    << "Content-Length: " << form.size() << "\r\n\r\n"
    << form;
  return HttpFrom(local_ip, web, r.str());
}

std::string Body(const std::string& answer) {
  std::size_t at = answer.find("\r\n\r\n");
  return at == std::string::npos ? std::string() : answer.substr(at + 4);
}

// ---- the scenarios -----------------------------------------------------------------------------------

// A second socket names every handle up to `scale` with each kind of frame the transport matches by
// handle; the signed-in victim must keep its session, and the attacker must receive none of it.
THostileOutcome HandleTakeover(const THostileTarget& t, std::uint64_t scale) {
  TProtocolClient victim;
  TProtocolClient::SignIn s;
  if (!SignedIn(victim, t, 10001, kDemoPassword, &s)) return Fail("the victim could not sign in");
  TRawPeer attacker("127.0.0.2");
  if (!attacker.Ok()) return Fail("no socket on 127.0.0.2");
  const Bytes profile = ProfileRequest(10001);
  std::uint64_t sent = 0;
  for (std::uint64_t h = 1; h <= scale; ++h) {
    const auto handle = static_cast<std::uint16_t>(h);
    for (std::uint8_t type : {kTypeKeepAlive, kTypeAck, kTypeUnreliable}) {
      TDatagramHeader header;
      header.remote_id = handle;
      header.type = type;
      header.sequence = kFirstSequence;
      std::uint8_t payload[4] = {0, 0, 0, 0};
      const bool reliable = type == kTypeKeepAlive;
      if (reliable) {
        header.fragment_length = header.total_length = 4;
      }
      attacker.SendFrame(t.home, header, type == kTypeUnreliable ? std::span<const std::uint8_t>(profile)
                                                                 : std::span<const std::uint8_t>(payload, 4),
                         reliable);
      ++sent;
    }
    // A profile request as the victim's next reliable message on channel 0, for a range of
    // sequence numbers the victim may be at.
    for (std::uint32_t seq = kFirstSequence; seq < kFirstSequence + 32; ++seq) {
      TDatagramHeader header;
      header.remote_id = handle;
      header.type = kTypeData;
      header.sequence = seq;
      header.fragment_length = static_cast<std::uint16_t>(profile.size());
      header.total_length = static_cast<std::uint32_t>(profile.size());
      attacker.SendFrame(t.home, header, profile, true);
      ++sent;
    }
  }
  THostileOutcome out{false, {}, sent};
  std::optional<Bytes> reply = victim.Ask(s.home, profile, kProfileReplyCode, 10000);
  if (!reply) return Fail("the victim's profile request after the attack was not answered", sent);
  // The victim's answer is the barrier: whatever the server sent the attacker has arrived by now.
  // Any message, keep-alive or acknowledgement means the server took the attacker for a session.
  std::size_t accepted = 0;
  while (auto d = attacker.Receive(200))
    if (d->header.type == kTypeData || d->header.type == kTypeAck || d->header.type == kTypeKeepAlive) ++accepted;
  if (accepted) {
    out.detail = "the server answered the attacker " + std::to_string(accepted) + " times";
    return out;
  }
  out.honest_served = true;
  return out;
}

// A peer that asks for `scale` version checks and acknowledges nothing: the server must end the
// association once too much waits unacknowledged, and go on serving others.
THostileOutcome NeverAcknowledges(const THostileTarget& t, std::uint64_t scale) {
  TRawPeer peer("127.0.0.3");
  if (!peer.Ok()) return Fail("no socket on 127.0.0.3");
  const std::uint16_t remote = peer.Handshake(t.login, 7);
  if (!remote) return Fail("the server did not answer the handshake");
  TLoginFields f;
  f.state = 3;
  const Bytes check = LoginRequest(f);
  std::uint64_t sent = 0;
  while (sent < scale && peer.SendAcknowledged(t.login, remote, check, false)) ++sent;
  THostileOutcome out{false, {}, sent};
  if (!peer.Ended()) out.detail = "the server kept the association that acknowledged nothing";
  std::string detail;
  const bool served = VersionCheckAnswered(t, &detail);
  if (!served) out.detail = detail;
  out.honest_served = peer.Ended() && served;
  return out;
}

// A signed-in user sends `scale` friend requests to one offline stranger; the stranger then signs
// in and must get the request, once.
THostileOutcome FriendRequestFlood(const THostileTarget& t, std::uint64_t scale) {
  std::string added = Admin(t, "add-user 0 stranger-pw 陌生人");
  std::uint32_t stranger = 0;
  if (std::sscanf(added.c_str(), "added %u", &stranger) != 1) return Fail("could not add a user: " + added);
  {
    // Requests are kept only for a user who answers them: the stranger asks for verification.
    TProtocolClient own;
    TProtocolClient::SignIn os;
    if (!SignedIn(own, t, stranger, "stranger-pw", &os)) return Fail("the stranger could not sign in");
    TProfileChangeFields change;
    change.user = stranger;
    change.nickname = "陌生人";
    change.password = "stranger-pw";
    change.verify_mode = 1;
    if (!own.Ask(os.home, ProfileChangeRequest(change), kProfileChangeReplyCode))
      return Fail("the stranger's profile change was not answered");
    own.Disconnect(os.home);
    if (!own.WaitDisconnected(os.home)) return Fail("the stranger did not sign out");
  }
  TProtocolClient sender;
  TProtocolClient::SignIn s;
  if (!SignedIn(sender, t, 10001, kDemoPassword, &s)) return Fail("the sender could not sign in");
  std::uint64_t sent = 0;
  for (; sent < scale; ++sent) sender.Send(s.home, FriendRequest(10001, stranger, "加我 " + std::to_string(sent)));
  // The server handles one connection's messages in order: the profile answer says it has read them all.
  if (!sender.Ask(s.home, ProfileRequest(10001), kProfileReplyCode, 60000))
    return Fail("the sender's profile request after the flood was not answered", sent);
  // What waits for the stranger is counted in the store itself: no pause could show that nothing
  // more is coming.
  const std::int64_t queued = StoredNumber(t, "SELECT COUNT(*) FROM friend_queue WHERE target = ?", stranger);
  TProtocolClient target;
  TProtocolClient::SignIn ts;
  if (!SignedIn(target, t, stranger, "stranger-pw", &ts)) return Fail("the stranger could not sign in", sent);
  THostileOutcome out{false, {}, sent};
  // Kept friend messages are handed out once the client has asked for its friend list.
  target.Send(ts.home, FriendListRequest(stranger));
  const bool received = target.WaitFor(friend_wire::kAddFriend, ts.home, 10000).has_value();
  out.detail = std::to_string(queued) + " friend requests waited for the stranger" +
               (received ? "" : ", and none reached it");
  out.honest_served = queued == 1 && received;
  return out;
}

// Wrong passwords for 10001 from 127.0.0.4 while an honest client checks its version and 10002
// signs in: both must be served.
THostileOutcome WrongSignIns(const THostileTarget& t, std::uint64_t scale) {
  TRawPeer attacker("127.0.0.4");
  if (!attacker.Ok()) return Fail("no socket on 127.0.0.4");
  const std::uint16_t remote = attacker.Handshake(t.login, 9);
  if (!remote) return Fail("the server did not answer the handshake");
  TLoginFields wrong;
  wrong.user = 10001;
  std::uint64_t sent = 0;
  // Half of the guesses before the honest clients come, half while they are served.
  for (; sent < scale / 2; ++sent) {
    wrong.password = "guess" + std::to_string(sent);
    if (!attacker.SendAcknowledged(t.login, remote, LoginRequest(wrong), true)) break;
  }
  std::string detail;
  const bool checked = VersionCheckAnswered(t, &detail);
  for (; sent < scale; ++sent) {
    wrong.password = "guess" + std::to_string(sent);
    attacker.SendMessage(t.login, remote, LoginRequest(wrong));
  }
  TProtocolClient honest;
  const bool signed_in = SignedIn(honest, t, 10002, kDemoPassword);
  THostileOutcome out{checked && signed_in, detail, sent};
  if (!signed_in) out.detail = "10002 could not sign in during the guessing";
  return out;
}

// `scale` associations from fresh ports of 127.0.0.5 that complete the handshake and then never
// sign in; an honest client must still sign in.
THostileOutcome HalfOpenAssociations(const THostileTarget& t, std::uint64_t scale) {
  std::uint64_t sent = 0, answered = 0;
  // Every association keeps its own port open, so that no two of them share an address.
  std::vector<std::unique_ptr<TRawPeer>> peers;
  // In batches that the server's socket buffer holds: the requests, then every answer that came
  // (a refused request gets none), confirmed. Once a whole batch is refused the rest are only sent.
  constexpr std::size_t kBatch = 128;
  bool refusing = false;
  while (sent < scale) {
    const std::size_t first = peers.size();
    for (; sent < scale && peers.size() - first < kBatch; ++sent) {
      auto& peer = peers.emplace_back(std::make_unique<TRawPeer>("127.0.0.5"));
      if (!peer->Ok()) return Fail("no socket on 127.0.0.5", sent);
      peer->Handshake(t.home, static_cast<std::uint16_t>(1 + sent % 9999), false);
    }
    if (refusing) continue;
    std::uint64_t batch_answered = 0;
    for (std::size_t i = first; i < peers.size(); ++i)
      if (peers[i]->AwaitHandshakeReply(t.home, static_cast<std::uint16_t>(1 + i % 9999), true,
                                        i == first ? 1000 : 50))
        ++batch_answered;
    answered += batch_answered;
    refusing = batch_answered == 0;
  }
  TProtocolClient honest;
  THostileOutcome out{SignedIn(honest, t, 10002, kDemoPassword), std::to_string(answered) + " of them answered", sent};
  if (!out.honest_served) out.detail = "an honest client could not sign in after " + out.detail;
  return out;
}

// `scale` recovery requests (step 1) for random codes, most of which do not exist, from one
// connection that acknowledges what it receives.
THostileOutcome RecoveryFlood(const THostileTarget& t, std::uint64_t scale) {
  TRawPeer attacker("127.0.0.6");
  if (!attacker.Ok()) return Fail("no socket on 127.0.0.6");
  const std::uint16_t remote = attacker.Handshake(t.login, 11);
  if (!remote) return Fail("the server did not answer the handshake");
  std::mt19937 random(12345);
  std::uint64_t sent = 0;
  for (; sent < scale; ++sent)
    if (!attacker.SendAcknowledged(t.login, remote, RecoveryRequest(1, random() % 0x7FFFFFFF, "110101199001011234"),
                                   true))
      break;
  std::string detail;
  THostileOutcome out{VersionCheckAnswered(t, &detail), detail, sent};
  return out;
}

// A top-up from `local_ip` as a browser sends it: a fresh form's request id, then the post. What the
// answer says of the attempt: its status line and the form's error text (the rest is a new form).
std::string TopUpFrom(const std::string& local_ip, const WireAddress& web, const std::string& code,
                      const std::string& password) {
  const std::string form = Body(HttpFrom(local_ip, web, "GET /pay/add.php?code=" + code + " HTTP/1.0\r\n\r\n"));
  const std::string marker = "name=\"request\" value=\"";
  const std::size_t at = form.find(marker);
  const std::string request =
      at == std::string::npos ? std::string()
                              : form.substr(at + marker.size(), form.find('"', at + marker.size()) - at - marker.size());
  const std::string answer =
      PostForm(local_ip, web, "/pay/add.php", "request=" + request + "&code=" + code + "&amount=1&password=" + password);
  const std::size_t error = answer.find("class=\"err\"");
  return answer.substr(0, answer.find("\r\n")) + " " +
         (error == std::string::npos ? std::string() : answer.substr(error, answer.find('<', error) - error));
}

// `scale` wrong passwords for 10001 from 127.0.0.7 on the top-up page: a wrong password must read
// as an unknown account does, and once the guesses are spent even the right password from that
// address credits nothing. The web site must go on serving others.
THostileOutcome WebPasswordGuessing(const THostileTarget& t, std::uint64_t scale) {
  if (!t.web.port) return Fail("the web role is not running");
  const std::string attacker = "127.0.0.7";
  // An unknown account, asked from an address of its own before the guessing starts.
  const std::string unknown = TopUpFrom("127.0.0.8", t.web, "99998", "x");
  std::string first_wrong;
  std::uint64_t sent = 0;
  for (; sent < scale; ++sent) {
    std::string said = TopUpFrom(attacker, t.web, "10001", "guess" + std::to_string(sent));
    if (said.size() < 2) return Fail("the web role did not answer a guess", sent);
    if (sent == 0) first_wrong = said;
  }
  THostileOutcome out{false, {}, sent};
  if (first_wrong != unknown) {
    out.detail = "a wrong password answers differently from an unknown account: " + first_wrong + " / " + unknown;
    return out;
  }
  const std::int64_t before = Balance(t, 10001);
  TopUpFrom(attacker, t.web, "10001", kDemoPassword);
  if (Balance(t, 10001) != before) {
    out.detail = "the right password still credited from the guessing address";
    return out;
  }
  const std::string honest = HttpFrom("127.0.0.1", t.web, "GET /Download/Version.txt HTTP/1.0\r\n\r\n");
  out.honest_served = honest.rfind("HTTP/1.1 200", 0) == 0 || honest.rfind("HTTP/1.0 200", 0) == 0;
  if (!out.honest_served) out.detail = "the web site did not serve an honest request";
  return out;
}

}  // namespace

const std::vector<THostileScenario>& HostileScenarios() {
  static const std::vector<THostileScenario> table = {
      {"handle takeover from a second socket", HandleTakeover, 9999, 64},
      {"a peer that never acknowledges", NeverAcknowledges, 200000, 40000},
      {"friend requests to an offline user", FriendRequestFlood, 100000, 3000},
      {"wrong sign-ins beside a version check", WrongSignIns, 300, 60},
      {"half-open associations from one address", HalfOpenAssociations, 9999, 9999},
      {"recovery requests with random codes", RecoveryFlood, 1000000, 20000},
      {"web password guessing", WebPasswordGuessing, 1000, 30},
  };
  return table;
}

std::uint64_t ResidentKiB(pid_t pid) {
  std::ifstream status("/proc/" + std::to_string(pid) + "/status");
  std::string line;
  while (std::getline(status, line))
    if (line.rfind("VmRSS:", 0) == 0) return std::strtoull(line.c_str() + 6, nullptr, 10);
  return 0;
}

}  // namespace kiv::testing
