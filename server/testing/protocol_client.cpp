#include "protocol_client.h"

#include <algorithm>
#include <chrono>
#include <cstring>

#include "base/md5.h"
#include "declare/chat_wire.h"
#include "declare/friend_wire.h"
#include "protocol.h"
#include "udp_kivudp.h"

namespace kiv::testing {

namespace {
using Clock = std::chrono::steady_clock;
std::string Md5(const std::string& text, std::uint8_t kind) { return TMd5Digest::Md5(text, kind); }
std::string Digest(const std::string& plain) { return plain.empty() ? std::string() : Md5(plain, 2); }
}  // namespace

std::string PasswordDigest(const std::string& password) { return Md5(password, 2); }

Bytes LoginRequest(const TLoginFields& f) {
  namespace lg = proto::login;
  RecordWriter w(lg::kSize);
  w.u32(0, proto::kLoginRequest)
      .u32(lg::kUserCode, f.user)
      .gbk(lg::kPassword, lg::kPasswordLen, Md5(f.password, 2));
  w.u8(lg::kState, f.state).u8(lg::kCamera, f.camera);
  w.gbk(lg::kMachineA, lg::kMachineALen, Md5(f.machine, 4))
      .gbk(lg::kMachineB, lg::kMachineBLen, Md5(f.machine, 1));
  return w.take();
}

Bytes ProfileRequest(std::uint32_t user) {
  namespace p = proto::profile_request;
  RecordWriter w(p::kSize);
  w.u32(0, proto::kProfileRequest).u32(p::kRequester, user).u32(p::kSubject, user).u8(p::kPurpose, 1);
  return w.take();
}

Bytes UserState(std::uint32_t user, std::uint8_t state) {
  namespace us = proto::user_state;
  RecordWriter w(us::kSize);
  w.u32(0, proto::kUserState).u32(us::kTarget, 0).u8(us::kState, state).u32(us::kUserCode, user);
  return w.take();
}

Bytes TransferRequest(std::uint32_t user, std::uint32_t recipient, std::uint32_t amount,
                      const std::string& password, const std::string& pay_password,
                      const std::string& machine) {
  namespace t = proto::transfer;
  RecordWriter w(t::kSize);
  w.u32(0, proto::kTransfer).u32(t::kRecipient, recipient).u32(t::kUserCode, user).u32(t::kAmount, amount);
  w.gbk(t::kPassword, proto::kShortDigestLen, Md5(password, 2));
  w.gbk(t::kPayPassword, proto::kShortDigestLen, Digest(pay_password));
  w.gbk(t::kMachine, proto::kShortDigestLen, Md5(machine, 4));
  return w.take();
}

Bytes ClearUserRequest(std::uint32_t user, const std::string& password) {
  namespace cu = proto::clear_user;
  RecordWriter w(cu::kSize);
  w.u32(0, proto::kClearUser)
      .u32(cu::kUserCode, user)
      .gbk(cu::kPassword, proto::kShortDigestLen, Md5(password, 2));
  w.u8(cu::kDeleteAll, 1);
  return w.take();
}

namespace {
namespace cw = chat_wire;
Bytes WithContent(std::size_t header, std::size_t size, std::uint8_t fill) {
  Bytes b(header + size, fill);
  std::fill(b.begin(), b.begin() + static_cast<std::ptrdiff_t>(header), std::uint8_t{0});
  return b;
}
}  // namespace

Bytes ChatText(std::uint32_t sender, std::uint32_t target, double send_time, std::size_t size, std::uint8_t fill) {
  Bytes b = WithContent(cw::text::kHeaderSize, size, fill);
  RecordWriter w(b);
  w.u32(0, cw::kChatMessage).u32(cw::text::kTarget, target).u32(cw::text::kSender, sender);
  std::uint64_t bits = 0;
  std::memcpy(&bits, &send_time, sizeof bits);
  w.u32(cw::text::kSendTime, static_cast<std::uint32_t>(bits)).u32(cw::text::kSendTime + 4,
                                                                   static_cast<std::uint32_t>(bits >> 32));
  w.u32(cw::text::kContentSize, static_cast<std::uint32_t>(size));
  return b;
}

Bytes ChatOperate(std::uint32_t sender, std::uint32_t target, std::uint32_t id, std::uint8_t kind,
                  std::uint8_t step) {
  RecordWriter w(cw::operate::kSize);
  w.u32(0, cw::kOperate).u32(cw::operate::kTarget, target).u32(cw::operate::kId, id);
  w.u8(cw::operate::kKind, kind).u8(cw::operate::kStep, step).u32(cw::operate::kSender, sender);
  return w.take();
}

Bytes ChatFileData(std::uint32_t sender, std::uint32_t target, std::uint32_t id, std::uint32_t offset,
                   std::size_t size, std::optional<std::uint32_t> claimed_size) {
  Bytes b = WithContent(cw::file_data::kHeaderSize, size, 'f');
  RecordWriter w(b);
  w.u32(0, cw::kFileData).u32(cw::file_data::kTarget, target).u32(cw::file_data::kSender, sender);
  w.u32(cw::file_data::kId, id).u32(cw::file_data::kOffset, offset);
  w.u32(cw::file_data::kBlockSize, claimed_size.value_or(static_cast<std::uint32_t>(size)));
  return b;
}

Bytes ChatAudio(std::uint32_t sender, std::uint32_t target, std::size_t size, std::optional<std::uint32_t> claimed_size) {
  Bytes b = WithContent(cw::audio::kHeaderSize, size, 'v');
  RecordWriter w(b);
  w.u32(0, cw::kAudioData).u8(cw::audio::kQuality, 1).u32(cw::audio::kTarget, target);
  w.u32(cw::audio::kSender, sender).u32(cw::audio::kDataSize, claimed_size.value_or(static_cast<std::uint32_t>(size)));
  return b;
}

Bytes ChatVideo(std::uint32_t sender, std::uint32_t target, std::size_t size, bool key_frame,
                std::optional<std::uint32_t> claimed_size) {
  Bytes b = WithContent(cw::video::kHeaderSize, size, 'p');
  RecordWriter w(b);
  w.u32(0, cw::kVideoData).u32(cw::video::kTarget, target).u32(cw::video::kSender, sender);
  w.u8(cw::video::kKeyFrame, key_frame ? 1 : 0).u16(cw::video::kWidth, 176).u16(cw::video::kHeight, 144);
  w.u32(cw::video::kFrameSize, claimed_size.value_or(static_cast<std::uint32_t>(size)));
  return b;
}

Bytes FriendListRequest(std::uint32_t user) {
  RecordWriter w(friend_wire::list_request::kSize);
  w.u32(0, friend_wire::kListRequest).u32(friend_wire::list_request::kOwnCode, user);
  return w.take();
}

Bytes RecoveryRequest(std::uint8_t step, std::uint32_t user, const std::string& text) {
  namespace rc = proto::recovery;
  RecordWriter w(rc::kSize);
  w.u32(0, proto::kRecovery).u8(rc::kStep, step).u32(rc::kUserCode, user);
  if (step == rc::kStepIdentity) w.text(rc::kIdNumber, 40, text);
  if (step == rc::kStepAnswer) w.gbk(rc::kAnswer, proto::kShortDigestLen, Digest(text));
  if (step == rc::kStepNewPassword) w.gbk(rc::kNewPassword, proto::kShortDigestLen, Digest(text));
  return w.take();
}

Bytes ProfileChangeRequest(const TProfileChangeFields& f) {
  namespace pc = proto::profile_change;
  RecordWriter w(pc::kSize);
  w.u32(0, proto::kProfileChange).u32(pc::kUserCode, f.user).text(pc::kNickname, 40, f.nickname);
  w.u8(pc::kSex, f.sex).u8(pc::kAge, f.age).u8(pc::kFace, f.face).text(pc::kEmail, 40, f.email);
  w.gbk(pc::kPassword, pc::kDigestLen, Md5(f.password, 2));
  w.gbk(pc::kNewPassword, pc::kDigestLen, Digest(f.new_password));
  w.gbk(pc::kPayPassword, pc::kDigestLen, Digest(f.pay_password));
  w.gbk(pc::kNewPayPassword, pc::kDigestLen, Digest(f.new_pay_password));
  w.text(pc::kPhone, 20, f.phone).text(pc::kOccupation, 20, f.occupation).text(pc::kAddress, 60, f.address);
  w.text(pc::kProvince, 20, f.province).text(pc::kCity, 20, f.city);
  if (f.protection) {
    w.text(pc::kQuestion, 20, f.question).gbk(pc::kAnswer, proto::kShortDigestLen, Digest(f.answer));
    w.text(pc::kIdNumber, 40, f.id_number);
  }
  w.text(pc::kIntroduction, 255, f.introduction).u8(pc::kVerifyMode, f.verify_mode);
  w.gbk(pc::kMachine, proto::kShortDigestLen, Md5(f.machine, 4));
  w.u8(pc::kProtection, f.protection ? 1 : 0).u8(pc::kBind, f.bind ? 1 : 0);
  return w.take();
}

namespace {
TEngineOptions ClientOptions() {
  TEngineOptions o;
  o.stop_wait_ms = 1000;  // a server that is gone answers no disconnect request
  return o;
}
}  // namespace

TProtocolClient::TProtocolClient() : udp_(std::make_unique<TKivUDP>(ClientOptions())) {
  udp_->SetCallbacks(
      [this](std::uint16_t handle, const std::uint8_t* data, std::uint32_t length) {
        std::lock_guard lock(mutex_);
        inbox_.push_back({handle, Bytes(data, data + length)});
        cv_.notify_all();
      },
      [this](std::uint16_t handle, std::uint8_t) {
        std::lock_guard lock(mutex_);
        disconnected_.insert(handle);
        cv_.notify_all();
      });
  udp_->Start(0, 1);
}

TProtocolClient::~TProtocolClient() { udp_->Stop(); }

std::uint16_t TProtocolClient::Connect(const WireAddress& server, std::uint32_t timeout_ms) {
  std::uint16_t handle = udp_->Connect(server.ip, server.port, timeout_ms);
  if (handle) {
    std::lock_guard lock(mutex_);
    disconnected_.erase(handle);
  }
  return handle;
}

void TProtocolClient::Disconnect(std::uint16_t handle) { udp_->Disconnect(handle); }

bool TProtocolClient::Send(std::uint16_t handle, const Bytes& message) {
  return udp_->SendData(handle, message, 0, 0, 0);
}

bool TProtocolClient::SendOn(std::uint16_t handle, const Bytes& message, std::uint8_t channel) {
  return udp_->SendData(handle, message, channel, 0, 0);
}

std::uint16_t TProtocolClient::SendTemp(const WireAddress& server, const Bytes& message) {
  const std::uint16_t handle = udp_->CreateTempRemote(server.ip, server.port);
  if (handle == 0 || !udp_->SendTempData(handle, message, 0)) return 0;
  return handle;
}

std::uint16_t TProtocolClient::LocalPort() const { return udp_->LocalPort(); }

std::optional<Bytes> TProtocolClient::WaitFor(std::uint32_t code, std::uint16_t handle,
                                              std::uint32_t timeout_ms) {
  std::unique_lock lock(mutex_);
  std::optional<Bytes> found;
  cv_.wait_for(lock, std::chrono::milliseconds(timeout_ms), [&] {
    for (auto it = inbox_.begin(); it != inbox_.end(); ++it) {
      if ((handle == 0 || it->handle == handle) && it->data.size() >= 4 && LoadU32(it->data.data()) == code) {
        found = std::move(it->data);
        inbox_.erase(it);
        return true;
      }
    }
    return false;
  });
  return found;
}

std::optional<Bytes> TProtocolClient::Ask(std::uint16_t handle, const Bytes& request,
                                          std::uint32_t reply_code, std::uint32_t timeout_ms) {
  if (!Send(handle, request)) return std::nullopt;
  return WaitFor(reply_code, handle, timeout_ms);
}

bool TProtocolClient::NothingOf(std::uint32_t code, std::uint16_t handle, std::uint32_t quiet_ms) {
  std::optional<Bytes> m = WaitFor(code, handle, quiet_ms);
  return !m.has_value();
}

bool TProtocolClient::WaitDisconnected(std::uint16_t handle, std::uint32_t timeout_ms) {
  std::unique_lock lock(mutex_);
  return cv_.wait_for(lock, std::chrono::milliseconds(timeout_ms),
                      [&] { return disconnected_.count(handle) > 0; });
}

TProtocolClient::SignIn TProtocolClient::SignInVia(const WireAddress& login_server, TLoginFields fields,
                                                   std::uint32_t timeout_ms) {
  namespace lr = proto::login_reply;
  SignIn out;
  auto deadline = Clock::now() + std::chrono::milliseconds(timeout_ms);
  auto left = [&] {
    auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
    return static_cast<std::uint32_t>(std::max<long long>(ms, 1));
  };
  out.login = Connect(login_server, left());
  if (!out.login) return out;
  std::uint8_t home_state =
      fields.state == proto::login::kStateGuest ? proto::login::kStateOnline : fields.state;
  std::optional<Bytes> reply = Ask(out.login, LoginRequest(fields), proto::kLoginReply, left());
  if (!reply) return out;
  out.login_reply = *reply;
  RecordReader r(*reply);
  out.login_result = r.u8(lr::kResult);
  if (out.login_result != lr::kRedirect) return out;
  fields.user = r.u32(lr::kUserCode);
  out.user = fields.user;
  fields.state = home_state;
  WireAddress home = r.address(lr::kHomeServer);
  // Follow moves to another home node, as the client does, a few times at most.
  for (int hop = 0; hop < 4; ++hop) {
    out.home = Connect(home, left());
    if (!out.home) return out;
    reply = Ask(out.home, LoginRequest(fields), proto::kLoginReply, left());
    if (!reply) return out;
    out.reply = *reply;
    out.home_result = RecordReader(*reply).u8(lr::kResult);
    if (out.home_result != lr::kMoveHome) break;
    Disconnect(out.home);
    home = RecordReader(*reply).address(lr::kHomeServer);
  }
  if (out.home_result == lr::kSignedIn) {
    if (std::optional<Bytes> p = WaitFor(proto::kServerParameters, out.home, left())) out.parameters = *p;
  }
  return out;
}

}  // namespace kiv::testing
