#include "base/safe_name.h"

#include <gtest/gtest.h>

#include <fstream>

#include "test_dir.h"

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

TEST(SafeChildPath, RefusesEveryNameThatCouldLeaveTheFolder) {
  TestDir dir;
  std::filesystem::create_directories(dir.path() / "real");
  std::filesystem::create_directory_symlink("/tmp", dir.path() / "link");
  std::ofstream(dir.path() / "plain") << "x";
  const char* refused[] = {"",      "/etc/passwd", "\\etc\\passwd", "..\\x",   "a/../../x",
                           "C:\\x", "c:x",         "a\x01",         "a//b",    "./a",
                           "a/",    "link/x",      "link",          "plain/x", "real"};
  for (const char* name : refused) EXPECT_FALSE(SafeChildPath(dir.path(), name)) << name;
  EXPECT_EQ(SafeChildPath(dir.path(), "real\\sub\\f.so"), dir.path() / "real" / "sub" / "f.so");
  EXPECT_EQ(SafeChildPath(dir.path(), "新文件.txt"), dir.path() / "新文件.txt");
  EXPECT_FALSE(SafeChildPath(dir.path(), "real/" + std::string(256, 'x')));
}

TEST(SafeName, OfferedNamesAreReducedToTheirLastComponent) {
  struct Case {
    std::string offered;
    std::optional<std::string> bare;
  } cases[] = {
      {"report.pdf", "report.pdf"},
      {"../../x", "x"},
      {"C:\\Users\\a\\报告.doc", "报告.doc"},
      {"/etc/passwd", "passwd"},
      {"dir/", std::nullopt},
      {"a/..", std::nullopt},
      {"..\\.", std::nullopt},
      {"", std::nullopt},
      {"\x01\x02", std::nullopt},
      {"a\tb\nc", "abc"},
      {"c:x", "c_x"},
      {std::string(300, 'y'), std::string(255, 'y')},
  };
  for (const Case& c : cases) EXPECT_EQ(ReduceToBareFileName(c.offered), c.bare) << c.offered;
  // 254 ASCII bytes and a three-byte character: the character does not fit and is dropped whole.
  std::string long_name = std::string(254, 'z') + "文";
  EXPECT_EQ(ReduceToBareFileName(long_name), std::string(254, 'z'));
}

}  // namespace kiv
