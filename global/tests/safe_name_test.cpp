#include "base/safe_name.h"

#include <gtest/gtest.h>

namespace kiv {

TEST(SafeName, RefusesEverythingThatIsNotABareName) {
  struct Case {
    std::string name;
    bool bare;
  } cases[] = {
      {"rose.png", true},
      {"天空.rar", true},
      {"a b.txt", true},
      {"", false},
      {".", false},
      {"..", false},
      {"../x", false},
      {"a/b", false},
      {"a\\b", false},
      {"/etc/passwd", false},
      {"C:evil", false},
      {"a\nb", false},
      {std::string("a\0b", 3), false},
      {"tab\t", false},
      {"del\x7f", false},
      {std::string(256, 'x'), false},
      {std::string(255, 'x'), true},
      {"...", true},
  };
  for (const Case& c : cases) EXPECT_EQ(IsBareFileName(c.name), c.bare) << c.name;
}

TEST(SafeName, PathStaysInsideItsFolder) {
  EXPECT_EQ(PathInFolder("/app/present", "rose.png"), std::filesystem::path("/app/present/rose.png"));
  EXPECT_FALSE(PathInFolder("/app/present", "../DBConfig.ini"));
  EXPECT_FALSE(PathInFolder("/app/present", "/tmp/x"));
}

}  // namespace kiv
