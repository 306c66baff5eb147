// The 0x30002 login reply, which both the login and the home role send.
#pragma once

#include "base/wire.h"
#include "context.h"
#include "protocol.h"

namespace kiv::server {

// A reply with the code, the result, the version fields and the four server entries filled.
inline Bytes LoginReply(const TServerContext& ctx, std::uint32_t user, std::uint8_t result) {
  namespace r = proto::login_reply;
  RecordWriter w(r::kSize);
  w.u32(0, proto::kLoginReply).u32(r::kUserCode, user).u8(r::kResult, result);
  w.i32(r::kLatestVersion, ctx.latest_version.load()).u8(r::kUpdateMode, ctx.update_mode.load());
  w.address(r::kHomeServer, ctx.HomeAnnounced());
  w.address(r::kLobbyServer, ctx.config.Announced(ctx.config.lobby));
  w.address(r::kUpdateServer, ctx.config.Announced(ctx.config.update));
  return w.take();
}

}  // namespace kiv::server
