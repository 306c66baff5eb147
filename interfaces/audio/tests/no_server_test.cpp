// Without a working sound server every start fails, and none hangs: neither with no server at
// all nor with one that accepts the connection and never answers.
#include <gtest/gtest.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <QCoreApplication>
#include <cstdlib>

#include "kiv_audio.h"
#include "test_dir.h"

namespace kiv {
namespace {

void Ignore(void*, const void*, std::uint32_t, std::int32_t) {}

TEST(AudioEngineWithoutServer, StartsFail) {
  int argc = 1;
  char name[] = "kivaudio_tests";
  char* argv[] = {name, nullptr};
  QCoreApplication app(argc, argv);
  TestDir dir;
  // A socket that is listened on and never served: the server's handshake never comes.
  const std::string mute_path = (dir.path() / "mute").string();
  const int mute = ::socket(AF_UNIX, SOCK_STREAM, 0);
  sockaddr_un address{};
  address.sun_family = AF_UNIX;
  mute_path.copy(address.sun_path, sizeof address.sun_path - 1);
  ASSERT_EQ(::bind(mute, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
  ASSERT_EQ(::listen(mute, 4), 0);

  for (const std::string& server : {"unix:" + (dir.path() / "nothing").string(), "unix:" + mute_path}) {
    SCOPED_TRACE(server);
    ::setenv("PULSE_SERVER", server.c_str(), 1);
    EXPECT_EQ(StartAudioOut(0, nullptr), -1);
    EXPECT_FALSE(StartAudioIn(1, 0, nullptr, &Ignore, nullptr));
    EXPECT_FALSE(CheckAudioInDeviceWorking());
    const std::uint8_t block[] = {0x08, 0x00};
    EXPECT_EQ(PlayAudioData(1, 1, block, sizeof block), 0);
  }
  ::close(mute);
  ::unsetenv("PULSE_SERVER");
}

}  // namespace
}  // namespace kiv
