// The bounded tables behind the limit on password guesses, and the log's cleaning and budget.
#include <gtest/gtest.h>

#include "credential_check.h"
#include "server_log.h"

namespace kiv::server {
namespace {

TEST(WindowCounterTest, CountsWithinTheWindowAndFailsClosedWhenFull) {
  TWindowCounter c(3, 2, 10);
  EXPECT_FALSE(c.Full("a", 0));
  EXPECT_TRUE(c.Count("a", 0));
  EXPECT_FALSE(c.Full("a", 1));
  EXPECT_TRUE(c.Count("a", 1));
  EXPECT_TRUE(c.Full("a", 9));    // the limit, within a's window (it began at 0)
  EXPECT_FALSE(c.Full("a", 10));  // the window has passed
  EXPECT_EQ(c.Size(), 0u);        // a went with it

  // Three live keys fill the table: a fourth is refused, never left untracked.
  EXPECT_TRUE(c.Count("b", 20));
  EXPECT_TRUE(c.Count("c", 21));
  EXPECT_TRUE(c.Count("d", 22));
  EXPECT_FALSE(c.Count("e", 23));
  EXPECT_TRUE(c.Full("e", 23));
  EXPECT_FALSE(c.Full("b", 23));  // known keys go on as before
  EXPECT_EQ(c.Size(), 3u);
  // Once the oldest window has passed, its room is taken again.
  EXPECT_FALSE(c.Full("e", 30));
  EXPECT_TRUE(c.Count("e", 30));
  EXPECT_EQ(c.Size(), 3u);
  c.Forget("e");
  EXPECT_EQ(c.Size(), 2u);
}

TEST(WindowCounterTest, AManyTimesRestartedKeyStaysOneEntry) {
  TWindowCounter c(2, 5, 10);
  for (std::int64_t t = 0; t < 1000; t += 11) ASSERT_TRUE(c.Count("a", t));
  EXPECT_EQ(c.Size(), 1u);
  EXPECT_TRUE(c.Count("b", 995));
  EXPECT_FALSE(c.Count("c", 995));
}

TEST(RateLimitTest, ABurstThenTheRatePerKeyWithinBoundedMemory) {
  TRateLimit r(2, 3, 1);
  for (int i = 0; i < 3; ++i) EXPECT_TRUE(r.Take("a", 100));
  EXPECT_FALSE(r.Take("a", 100));
  EXPECT_TRUE(r.Take("a", 101));  // one more a second
  EXPECT_FALSE(r.Take("a", 101));
  EXPECT_TRUE(r.Take("b", 101));
  // Both keys are busy: a third finds no room and is refused.
  EXPECT_FALSE(r.Take("c", 101));
  EXPECT_EQ(r.Size(), 2u);
  // Once a's bucket has refilled it gives its room up.
  EXPECT_TRUE(r.Take("c", 110));
  EXPECT_EQ(r.Size(), 2u);
}

TEST(RequestIdTest, FreshIdsAreWellFormedAndDistinct) {
  const std::string a = NewRequestId(), b = NewRequestId();
  EXPECT_EQ(a.size(), 32u);
  EXPECT_NE(a, b);
  EXPECT_TRUE(IsRequestId(a));
  for (const char* bad : {"", "a b", "a/b", "x\r\ny"}) EXPECT_FALSE(IsRequestId(bad)) << bad;
  EXPECT_FALSE(IsRequestId(std::string(65, 'a')));
}

TEST(ServerLogTest, ControlCharactersCannotStartALine) {
  struct Case {
    const char* in;
    const char* out;
  } cases[] = {{"plain text 中文", "plain text 中文"},
               {"a\r\nforged", "a\\x0D\\x0Aforged"},
               {"tab\tbell\x07", "tab\\x09bell\\x07"},
               {"not\\x0Aan escape", "not\\x5Cx0Aan escape"}};
  for (const Case& c : cases) EXPECT_EQ(TServerLog::Clean(c.in), c.out) << c.in;
  EXPECT_LE(TServerLog::Clean(std::string(100000, 'x')).size(), TServerLog::kMaxLine + 3);
}

TEST(ServerLogTest, OutsideLinesHaveABudget) {
  TServerLog log({}, false);
  for (std::int64_t i = 0; i < TServerLog::kBurst; ++i) log.Outside("refused");
  EXPECT_EQ(log.LeftOut(), 0u);
  // Past the budget lines are counted, not written (the refill is per second: a few may fit).
  for (std::int64_t i = 0; i < 10 * TServerLog::kPerSecond; ++i) log.Outside("refused");
  EXPECT_GT(log.LeftOut(), 0u);
  const std::uint64_t left_out = log.LeftOut();
  log.Line("the server's own line");
  EXPECT_EQ(log.LeftOut(), left_out);
}

}  // namespace
}  // namespace kiv::server
