#include "base/files.h"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <fstream>
#include <string>

#include "file_size_limit.h"
#include "test_dir.h"

namespace kiv {
namespace {

namespace fs = std::filesystem;

std::string ReadText(const fs::path& path) {
  std::ifstream in(path, std::ios::binary);
  return {std::istreambuf_iterator<char>(in), {}};
}

// Only the target itself may be left in the folder: no temporary file survives, committed or not.
std::size_t FilesIn(const fs::path& folder) {
  return static_cast<std::size_t>(std::distance(fs::directory_iterator(folder), fs::directory_iterator()));
}

TEST(ReplacementFile, CommitReplacesTheFileAndKeepsItsPermissions) {
  TestDir dir;
  const fs::path target = dir.path() / "KivUpdate";
  std::ofstream(target) << "old program";
  ASSERT_EQ(::chmod(target.c_str(), 0751), 0);
  {
    ReplacementFile out(target);
    ASSERT_TRUE(out.Write(std::string_view("half")));
    ASSERT_TRUE(out.Restart());  // what was written so far is dropped
    ASSERT_TRUE(out.Write(std::string_view("new program")));
    EXPECT_EQ(ReadText(target), "old program");  // readers see the old file until the commit
    ASSERT_TRUE(out.Commit()) << out.error();
  }
  EXPECT_EQ(ReadText(target), "new program");
  struct stat info {};
  ASSERT_EQ(::stat(target.c_str(), &info), 0);
  EXPECT_EQ(info.st_mode & 07777, 0751u);
  EXPECT_EQ(FilesIn(dir.path()), 1u);
}

TEST(ReplacementFile, UncommittedOrFailedWritesLeaveTheOldFile) {
  TestDir dir;
  const fs::path target = dir.path() / "SystemInfo.dat";
  std::ofstream(target) << "the old record";
  {
    ReplacementFile abandoned(target);
    ASSERT_TRUE(abandoned.Write(std::string_view("never committed")));
  }
  EXPECT_EQ(ReadText(target), "the old record");
  EXPECT_EQ(FilesIn(dir.path()), 1u);

  {
    // A disk that fills up part-way through the write.
    FileSizeLimit full(16);
    std::string error;
    EXPECT_FALSE(WriteFileAtomic(target, std::string(4096, 'x'), &error));
    EXPECT_NE(error.find(target.string()), std::string::npos) << error;
  }
  EXPECT_EQ(ReadText(target), "the old record");
  EXPECT_EQ(FilesIn(dir.path()), 1u);

  // A folder that does not exist: no file appears anywhere, and the reason names the target.
  std::string error;
  EXPECT_FALSE(WriteFileAtomic(dir.path() / "missing" / "x.dat", std::string_view("x"), &error));
  EXPECT_NE(error.find("missing"), std::string::npos) << error;
  ReplacementFile orphan(dir.path() / "missing" / "y.dat");
  EXPECT_FALSE(orphan.ok());
  EXPECT_FALSE(orphan.Write(std::string_view("y")));
  EXPECT_FALSE(orphan.Commit());

  ASSERT_TRUE(WriteFileAtomic(target, std::string_view(""), &error)) << error;  // empty content is content
  EXPECT_EQ(ReadText(target), "");
}

}  // namespace
}  // namespace kiv
