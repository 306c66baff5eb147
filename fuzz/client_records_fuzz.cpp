// The main program's readers of server messages: any bytes, any length, never read past the end.
#include <cstddef>
#include <cstdint>

#include "base/text_checks.h"
#include "base/wire.h"
#include "ma_records.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  using namespace kiv;
  const TLoginReply reply = ReadLoginReply(data, size);
  (void)LoginFailureText(reply.result);
  for (std::uint32_t code : {kMsgServerParams, kMsgKickOut, kMsgOwnProfile, kMsgProfileChangeResult,
                             kMsgBroadcast, kMsgBalance, kMsgLevelUp, kMsgTransferResult}) {
    const TReceivedRecord record(data, size, DeclaredLength(code));
    (void)record->u32(record->size() - 4);
    if (code == kMsgBroadcast) {
      TWebPageNotice page;
      (void)ParseWebPageNotice(CheckStr2(record->text(9, 255)), page);
    }
    if (code == kMsgOwnProfile) (void)IntroductionFromWire(record->text(275, 255));
  }
  return 0;
}
