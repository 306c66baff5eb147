#include "udp_remote.h"

#include <algorithm>
#include <cstring>
#include <utility>
#include <vector>

namespace kiv {

namespace {

// A fragment as it travels: header plus payload, in a buffer large enough for any of them.
struct TFrameBuffer {
  std::uint8_t bytes[kMaxFragmentDatagram];
};

void ResetWalk(TChannel& channel) {
  channel.WalkCount = 0;
  channel.WalkNext = 0;
  channel.WalkBytes = 0;
}

}  // namespace

TRemote::TRemote(std::string ip, std::uint16_t port, std::int64_t now, TScrambleRandom* random)
    : IP(std::move(ip)), Port(port), LastConnectTime(now), random_(random) {}

void TRemote::ClearData(std::int64_t now) {
  LastConnectTime = now;
  Active = kActiveFresh;
  Ping = kPingAfterReset;
  send_channels_.clear();
  recv_channels_.clear();
  held_bytes_ = 0;
  held_fragments_ = 0;
  srtt8_ = -1;
  violation_ = false;
}

TChannel* TRemote::GetSendChannel(std::uint8_t number) {
  for (auto& channel : send_channels_)
    if (channel.Number == number) return &channel;
  return nullptr;
}

const TChannel* TRemote::GetSendChannel(std::uint8_t number) const {
  for (const auto& channel : send_channels_)
    if (channel.Number == number) return &channel;
  return nullptr;
}

TChannel* TRemote::GetRecvChannel(std::uint8_t number) {
  for (auto& channel : recv_channels_)
    if (channel.Number == number) return &channel;
  return nullptr;
}

const TChannel* TRemote::GetRecvChannel(std::uint8_t number) const {
  for (const auto& channel : recv_channels_)
    if (channel.Number == number) return &channel;
  return nullptr;
}

std::size_t TRemote::OutOfOrderBytes() const {
  std::size_t bytes = 0;
  for (const auto& channel : recv_channels_) bytes += channel.HeldBytes - channel.WalkBytes;
  return bytes;
}

std::int64_t TRemote::ProbeTimeout() const {
  const std::int64_t round_trip = srtt8_ < 0 ? Ping : srtt8_ / 8;
  return std::max(kProbeFloorMs, kProbeFactor * round_trip);
}

TChannel& TRemote::OpenSendChannel(std::uint8_t number) {
  if (TChannel* channel = GetSendChannel(number)) return *channel;
  TChannel& channel = send_channels_.emplace_back();
  channel.Number = number;
  channel.Sequence = kFirstSequence;
  return channel;
}

TChannel& TRemote::OpenRecvChannel(std::uint8_t number) {
  if (TChannel* channel = GetRecvChannel(number)) return *channel;
  TChannel& channel = recv_channels_.emplace_back();
  channel.Number = number;
  channel.Sequence = kSequenceBeforeFirst;
  return channel;
}

const TChannelData* TRemote::GetChannelData(const TChannel& channel, std::uint32_t sequence) {
  if (auto it = channel.Held.find(sequence); it != channel.Held.end()) return &it->second;
  for (const auto& fragment : channel.Fragments)
    if (fragment.Sequence == sequence) return &fragment;
  return nullptr;
}

std::uint64_t TRemote::GetSendChannelSize(std::uint8_t number) const {
  const TChannel* channel = GetSendChannel(number);
  return channel ? channel->QueuedBytes : 0;
}

std::uint64_t TRemote::QueuedBytes() const {
  std::uint64_t total = 0;
  for (const TChannel& channel : send_channels_) total += channel.QueuedBytes;
  return total;
}

// ---- Sending ------------------------------------------------------------------------------------------

bool TRemote::SendData(std::span<const std::uint8_t> data, std::uint8_t channel_number, std::uint8_t type) {
  if (State != kStateWorking && State != kStateTemporary) return false;
  // An empty message makes no fragment; one larger than any receiver reassembles would block the
  // channel for good.
  if (data.empty() || data.size() > kMaxMessageSize) return false;
  TChannel& channel = OpenSendChannel(channel_number);
  const auto total = static_cast<std::uint32_t>(data.size());
  for (std::size_t offset = 0; offset < data.size(); offset += kMaxFragmentPayload) {
    const std::size_t length = std::min(kMaxFragmentPayload, data.size() - offset);
    TChannelData& fragment = channel.Fragments.emplace_back();
    fragment.Sequence = channel.Sequence;
    channel.Sequence = NextSequence(channel.Sequence);
    fragment.TotalLength = total;
    fragment.FragmentLength = static_cast<std::uint32_t>(length);
    fragment.Type = type;
    fragment.Data.assign(data.begin() + static_cast<std::ptrdiff_t>(offset),
                         data.begin() + static_cast<std::ptrdiff_t>(offset + length));
    channel.QueuedBytes += length;
  }
  return true;
}

bool TRemote::Disconnect() {
  const std::uint8_t request = 0;
  return SendData({&request, 1}, 0, kTypeDisconnect);
}

void TRemote::SendChannelData(const TChannel& channel, TChannelData& fragment, std::int64_t now,
                              TRemoteOutput& out) {
  ++fragment.SendCount;
  if (fragment.SendCount == 1) fragment.FirstSendTime = now;
  fragment.LastSendTime = now;

  TFrameBuffer frame;
  TDatagramHeader header;
  header.remote_id = RemoteID;
  header.type = fragment.Type;
  header.sequence = fragment.Sequence;
  header.fragment_length = static_cast<std::uint16_t>(fragment.FragmentLength);
  header.total_length = fragment.TotalLength;
  header.channel = channel.Number;
  EncodeHeader(header, frame.bytes);
  std::memcpy(frame.bytes + kHeaderSize, fragment.Data.data(), fragment.FragmentLength);
  const std::size_t length = kHeaderSize + fragment.FragmentLength;
  if (channel.Number == 0) DataRecast(frame.bytes, length, random_ ? *random_ : DefaultScrambleRandom());
  out.Transmit(*this, {frame.bytes, length});
}

void TRemote::SendACKMsg(std::uint8_t channel, std::uint32_t sequence, TRemoteOutput& out) {
  std::uint8_t frame[kHeaderSize];
  TDatagramHeader header;
  header.remote_id = RemoteID;
  header.type = kTypeAck;
  header.sequence = sequence;
  header.channel = channel;
  EncodeHeader(header, frame);
  out.Transmit(*this, {frame, kHeaderSize});
}

bool TRemote::SendDataNow(std::span<const std::uint8_t> data, std::uint8_t type, TRemoteOutput& out) {
  if (data.size() > kMaxUnreliablePayload) return false;
  std::uint8_t frame[kMaxDatagram];
  TDatagramHeader header;
  header.remote_id = RemoteID;
  header.type = type;
  EncodeHeader(header, frame);
  if (!data.empty()) std::memcpy(frame + kHeaderSize, data.data(), data.size());
  out.Transmit(*this, {frame, kHeaderSize + data.size()});
  return true;
}

std::int64_t TRemote::RunSendWindow(std::int64_t now, TRemoteOutput& out) {
  // A Transmit may queue more on this peer (new channels append at the back, which a deque allows
  // without moving the channels already there), so walk by index.
  for (std::size_t c = 0; c < send_channels_.size(); ++c) {
    TChannel& channel = send_channels_[c];
    const std::size_t window = std::min(kSendWindow, channel.Fragments.size());
    for (std::size_t i = 0; i < window; ++i) {
      TChannelData& fragment = channel.Fragments[i];
      if (fragment.SendCount == 0) {
        SendChannelData(channel, fragment, now, out);
      } else if (now - fragment.LastSendTime > ResendTimeout()) {
        ++channel.RepeatedCount;
        ++Ping;
        fragment.Overtaken = 0;
        fragment.FastDue = false;
        fragment.EarlyResent = false;
        SendChannelData(channel, fragment, now, out);
      } else if (EarlyResends && !fragment.EarlyResent &&
                 (fragment.FastDue ||
                  (ProbeTimeout() < ResendTimeout() && now - fragment.LastSendTime >= ProbeTimeout()))) {
        // An early copy: the resend schedule (LastSendTime, Ping) stays as it was, so a lost early
        // copy costs nothing against the time-out.
        ++channel.RepeatedCount;
        fragment.FastDue = false;
        fragment.EarlyResent = true;
        const std::int64_t scheduled = fragment.LastSendTime;
        SendChannelData(channel, fragment, now, out);
        fragment.LastSendTime = scheduled;
      }
    }
  }
  return NextDeadline();
}

std::int64_t TRemote::NextDeadline() const {
  std::int64_t deadline = kNoDeadline;
  const std::int64_t timeout = ResendTimeout();
  const std::int64_t probe = ProbeTimeout();
  for (const auto& channel : send_channels_) {
    const std::size_t window = std::min(kSendWindow, channel.Fragments.size());
    for (std::size_t i = 0; i < window; ++i) {
      const TChannelData& fragment = channel.Fragments[i];
      if (fragment.SendCount == 0) return kDueNow;
      // Resent once more than `timeout` ms have passed.
      deadline = std::min(deadline, fragment.LastSendTime + timeout + 1);
      if (!EarlyResends || fragment.EarlyResent) continue;
      if (fragment.FastDue) return kDueNow;
      if (probe < timeout) deadline = std::min(deadline, fragment.LastSendTime + probe);
    }
  }
  return deadline;
}

bool TRemote::FinishChannelData(std::uint32_t sequence, std::uint8_t channel_number, std::int64_t now) {
  if (State != kStateWorking && State != kStateTemporary) return false;
  TChannel* channel = GetSendChannel(channel_number);
  if (!channel) return false;
  // Only fragments inside the window have ever been sent, and only a sent one can be acknowledged.
  const std::size_t window = std::min(kSendWindow, channel->Fragments.size());
  for (std::size_t i = 0; i < window; ++i) {
    TChannelData& fragment = channel->Fragments[i];
    if (fragment.Sequence != sequence || fragment.SendCount == 0) continue;
    ++channel->DoneCount;
    channel->DoneBytes += fragment.FragmentLength;
    channel->QueuedBytes -= fragment.FragmentLength;
    const std::int64_t round_trip = now - fragment.FirstSendTime;
    if (Ping > round_trip) {
      --Ping;
    } else if (Ping < round_trip) {
      ++Ping;
    }
    Ping = std::clamp(Ping, kPingMin, kPingMax);
    if (fragment.SendCount == 1) {
      const std::int64_t sample = std::max<std::int64_t>(round_trip, 0);
      srtt8_ = srtt8_ < 0 ? sample * 8 : srtt8_ + sample - srtt8_ / 8;
    }
    // The fragments before it are older: each has now seen one more later fragment arrive.
    for (std::size_t j = 0; j < i; ++j) {
      TChannelData& older = channel->Fragments[j];
      if (older.SendCount == 0 || older.EarlyResent || older.FastDue) continue;
      if (++older.Overtaken >= kFastRetransmitAcks) older.FastDue = true;
    }
    channel->Fragments.erase(channel->Fragments.begin() + static_cast<std::ptrdiff_t>(i));
    return true;
  }
  return false;
}

// ---- Receiving ----------------------------------------------------------------------------------------

void TRemote::HandOn(TChannel& channel, std::uint8_t type, std::span<const std::uint8_t> message,
                     TRemoteOutput& out) {
  if (type != kTypeKeepAlive) out.Deliver(*this, channel.Number, message);
}

TReceiveResult TRemote::RecvChannelData(std::span<const std::uint8_t> datagram, TRemoteOutput& out) {
  const auto header = DecodeHeader(datagram);
  if (!header) return TReceiveResult::kDropped;
  const std::uint8_t type = header->type;
  if (type != kTypeData && type != kTypeKeepAlive && type != kTypeTemporaryData)
    return TReceiveResult::kDropped;
  const std::uint32_t s = header->sequence;
  const std::uint32_t f = header->fragment_length;
  const std::uint32_t t = header->total_length;
  const auto payload = datagram.subspan(kHeaderSize);
  if (payload.size() != f || f == 0 || f > kMaxFragmentPayload || f > t) return TReceiveResult::kDropped;
  if (t > kMaxMessageSize) return TReceiveResult::kViolation;

  TChannel* existing = GetRecvChannel(header->channel);
  const std::uint32_t expected = NextSequence(existing ? existing->Sequence : kSequenceBeforeFirst);
  // Numbers 0..100 are never sent; like anything behind the expected one they count as duplicates.
  // Everything else is placed by its forward distance in the wrapping sequence space, so fragments
  // sent after 0xFFFFFFFF (101, 102, ...) are held, not mistaken for old ones.
  bool behind = s < kFirstSequence;
  std::uint32_t ahead = 0;
  if (!behind) {
    ahead = SequenceDistance(expected, s);
    behind = ahead >= kSequenceSpace / 2;
  }
  if (!behind) {
    if (ahead >= kMaxHeldAhead) return TReceiveResult::kDropped;
    const bool in_order = ahead == 0 || (existing && existing->WalkCount != 0 && s == existing->WalkNext);
    const bool held = existing && existing->Held.contains(s);
    if (!in_order && !held && !MayHold(existing, f)) return TReceiveResult::kDropped;
  }

  TChannel& channel = existing ? *existing : OpenRecvChannel(header->channel);
  SendACKMsg(channel.Number, s, out);

  if (behind) {
    ++channel.RepeatedCount;
    return TReceiveResult::kDuplicate;
  }
  if (channel.Held.contains(s)) {
    ++channel.RepeatedCount;
    return TReceiveResult::kDuplicate;
  }
  if (ahead == 0 && f == t) {
    channel.Sequence = MYDWORD(s);
    ResetWalk(channel);
    ++channel.DoneCount;
    channel.DoneBytes += f;
    HandOn(channel, type, payload, out);
  } else {
    TChannelData& fragment = channel.Held[s];
    fragment.Sequence = s;
    fragment.FragmentLength = f;
    fragment.TotalLength = t;
    fragment.Type = type;
    fragment.Data.assign(payload.begin(), payload.end());
    channel.HeldBytes += f;
    held_bytes_ += f;
    ++held_fragments_;
  }
  CheckFullData(channel, out);
  return violation_ ? TReceiveResult::kViolation : TReceiveResult::kAccepted;
}

bool TRemote::IsInOrder(const TDatagramHeader& header) const {
  const TChannel* channel = GetRecvChannel(header.channel);
  if (header.sequence == NextSequence(channel ? channel->Sequence : kSequenceBeforeFirst)) return true;
  return channel && channel->WalkCount != 0 && header.sequence == channel->WalkNext;
}

bool TRemote::MayHold(const TChannel* channel, std::uint32_t length) const {
  if (HeldCost() + length + kHeldFragmentOverhead <= kHeldBudgetPerPeer) return true;
  if (!channel) return false;
  const auto cost = [](const TChannel& c) { return c.HeldBytes + c.Held.size() * kHeldFragmentOverhead; };
  const TChannel* largest = nullptr;
  for (const auto& c : recv_channels_)
    if (!largest || cost(c) > cost(*largest)) largest = &c;
  return largest == channel;
}

void TRemote::CheckFullData(TChannel& channel, TRemoteOutput& out) {
  for (;;) {
    const std::uint32_t expected = NextSequence(channel.Sequence);
    auto first = channel.Held.find(expected);
    if (first == channel.Held.end()) return;

    const std::uint8_t type = first->second.Type;
    const std::uint32_t total = first->second.TotalLength;
    if (first->second.FragmentLength == total) {
      TChannelData fragment = std::move(first->second);
      channel.Held.erase(first);
      channel.HeldBytes -= fragment.FragmentLength;
      held_bytes_ -= fragment.FragmentLength;
      --held_fragments_;
      channel.Sequence = MYDWORD(expected);
      ResetWalk(channel);
      ++channel.DoneCount;
      channel.DoneBytes += fragment.FragmentLength;
      HandOn(channel, type, fragment.Data, out);
      continue;
    }

    // Walk the held fragments expected, expected + 1, ... until their lengths reach the total.
    // The walk resumes where it stopped, so each fragment is looked at once per message.
    if (channel.WalkCount == 0) {
      channel.WalkCount = 1;
      channel.WalkBytes = first->second.FragmentLength;
      channel.WalkNext = NextSequence(expected);
    }
    while (channel.WalkBytes < total) {
      auto next = channel.Held.find(channel.WalkNext);
      if (next == channel.Held.end()) return;  // wait for the gap to fill
      channel.WalkBytes += next->second.FragmentLength;
      ++channel.WalkCount;
      channel.WalkNext = NextSequence(channel.WalkNext);
    }
    // Fragments whose lengths overshoot the total never form a message, and the channel cannot
    // go past them.
    if (channel.WalkBytes != total) {
      violation_ = true;
      return;
    }

    std::vector<std::uint8_t> message;
    message.reserve(total);
    std::uint32_t sequence = expected;
    const std::uint32_t count = channel.WalkCount;
    for (std::uint32_t i = 0; i < count; ++i) {
      auto it = channel.Held.find(sequence);
      TChannelData& fragment = it->second;
      message.insert(message.end(), fragment.Data.begin(), fragment.Data.end());
      channel.HeldBytes -= fragment.FragmentLength;
      held_bytes_ -= fragment.FragmentLength;
      --held_fragments_;
      ++channel.DoneCount;
      channel.DoneBytes += fragment.FragmentLength;
      channel.Sequence = MYDWORD(sequence);
      channel.Held.erase(it);
      sequence = NextSequence(sequence);
    }
    ResetWalk(channel);
    HandOn(channel, type, message, out);
  }
}

}  // namespace kiv
