// A protocol client of the login and home roles, on the real transport (kivudp_core, mode 1), for
// tests that drive a server over loopback. It keeps every message it receives, per connection, so
// a test waits for a code with a deadline instead of sleeping.
//
// Threads: the transport's dispatch thread fills the inbox; test code calls everything else from
// one thread.
#pragma once

#include <condition_variable>
#include <cstdint>
#include <deque>
#include <memory>
#include <mutex>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include "base/wire.h"

namespace kiv {
class TKivUDP;
}

namespace kiv::testing {

// The digest text clients send for a password (MD5 form 2 of its GBK bytes).
std::string PasswordDigest(const std::string& password);

// Request builders, byte-exact as the client sends them.
struct TLoginFields {
  std::uint32_t user = 0;
  std::string password;  // plain; the request carries its digest
  std::uint8_t state = 1;
  std::uint8_t camera = 0;
  std::string machine = "test-machine";  // the machine identifier; the request carries digests
};
Bytes LoginRequest(const TLoginFields& f);
Bytes ProfileRequest(std::uint32_t user);
Bytes UserState(std::uint32_t user, std::uint8_t state);
Bytes TransferRequest(std::uint32_t user, std::uint32_t recipient, std::uint32_t amount,
                      const std::string& password, const std::string& pay_password = {},
                      const std::string& machine = "test-machine");
Bytes ClearUserRequest(std::uint32_t user, const std::string& password);
// Step 1 carries `text` as the identity number, step 2 as the answer, step 3 as the new password.
Bytes RecoveryRequest(std::uint8_t step, std::uint32_t user, const std::string& text);

// Chat messages between friends, byte-exact as the chat plug-in sends them. `size` bytes of content
// follow each header, filled with `fill`; the size fields say so unless `claimed_size` overrides.
Bytes ChatText(std::uint32_t sender, std::uint32_t target, double send_time, std::size_t size, std::uint8_t fill = 'a');
Bytes ChatOperate(std::uint32_t sender, std::uint32_t target, std::uint32_t id, std::uint8_t kind,
                  std::uint8_t step);
Bytes ChatFileData(std::uint32_t sender, std::uint32_t target, std::uint32_t id, std::uint32_t offset,
                   std::size_t size, std::optional<std::uint32_t> claimed_size = {});
Bytes ChatAudio(std::uint32_t sender, std::uint32_t target, std::size_t size,
                std::optional<std::uint32_t> claimed_size = {});
Bytes ChatVideo(std::uint32_t sender, std::uint32_t target, std::size_t size, bool key_frame,
                std::optional<std::uint32_t> claimed_size = {});
Bytes FriendListRequest(std::uint32_t user);

// The fields of a profile change request; the defaults change nothing but what a test sets.
struct TProfileChangeFields {
  std::uint32_t user = 0;
  std::string nickname = "测试用户";
  std::uint8_t sex = 1, age = 20, face = 3;
  std::string email = "user@example.org";
  std::string password;  // current password, plain
  std::string new_password, pay_password, new_pay_password;
  std::string phone, occupation, address, province, city, introduction;
  bool protection = false;
  std::string question, answer, id_number;
  std::uint8_t verify_mode = 0;
  bool bind = false;
  std::string machine = "test-machine";
};
Bytes ProfileChangeRequest(const TProfileChangeFields& f);

class TProtocolClient {
 public:
  TProtocolClient();
  ~TProtocolClient();
  TProtocolClient(const TProtocolClient&) = delete;
  TProtocolClient& operator=(const TProtocolClient&) = delete;

  // The handle of a new connection, 0 on failure.
  std::uint16_t Connect(const WireAddress& server, std::uint32_t timeout_ms = 5000);
  void Disconnect(std::uint16_t handle);
  bool Send(std::uint16_t handle, const Bytes& message);
  bool SendOn(std::uint16_t handle, const Bytes& message, std::uint8_t channel);
  // Sends `message` connectionless (temporary data, channel 0) to `server`, as a client relays
  // through its friend's server; the handle of the peer it went to, 0 on failure.
  std::uint16_t SendTemp(const WireAddress& server, const Bytes& message);
  std::uint16_t LocalPort() const;

  // Removes and returns the first message of `code` received on `handle` (0: any connection),
  // waiting up to `timeout_ms`.
  std::optional<Bytes> WaitFor(std::uint32_t code, std::uint16_t handle = 0, std::uint32_t timeout_ms = 5000);
  // Sends `request` and waits for `reply_code` on the same connection.
  std::optional<Bytes> Ask(std::uint16_t handle, const Bytes& request, std::uint32_t reply_code,
                           std::uint32_t timeout_ms = 5000);
  // True when nothing of `code` arrives on `handle` within `quiet_ms` (use sparingly).
  bool NothingOf(std::uint32_t code, std::uint16_t handle, std::uint32_t quiet_ms);
  // Waits until the server ends `handle`.
  bool WaitDisconnected(std::uint16_t handle, std::uint32_t timeout_ms = 5000);

  // The whole sign-in as the client does it: login server, redirect, home server. On success
  // `home` holds the home connection and `reply` the result-4 reply.
  struct SignIn {
    std::uint8_t login_result = 0xFF;  // result of the login server's reply
    std::uint8_t home_result = 0xFF;   // result of the home server's reply (0xFF: not asked)
    std::uint32_t user = 0;
    std::uint16_t login = 0, home = 0;
    Bytes login_reply, reply, parameters;
    bool ok() const { return home_result == 4; }
  };
  SignIn SignInVia(const WireAddress& login_server, TLoginFields fields, std::uint32_t timeout_ms = 10000);

 private:
  struct Message {
    std::uint16_t handle;
    Bytes data;
  };
  std::unique_ptr<TKivUDP> udp_;
  std::mutex mutex_;
  std::condition_variable cv_;
  std::deque<Message> inbox_;
  std::set<std::uint16_t> disconnected_;
};

}  // namespace kiv::testing
