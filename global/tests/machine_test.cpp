#include <gtest/gtest.h>

#include <thread>

#include "base/files.h"
#include "base/machine_id.h"
#include "base/system_load.h"
#include "test_dir.h"

#include <fstream>

namespace kiv {
namespace {

TEST(MachineIdentifier, DiskSerialFirstThenFirstNonZeroAdapter) {
  AdapterAddress zero{}, first{0x00, 0x1a, 0x2b, 0x3c, 0x4d, 0x5e}, second{0x02, 0, 0, 0, 0, 1};
  struct {
    MachineFacts facts;
    std::string id;
  } cases[] = {
      {{"  WD-WCC4N1234567", {first}}, "  WD-WCC4N1234567"},  // padding kept
      {{"", {zero, first, second}}, "00-1a-2b-3c-4d-5e"},
      {{"", {zero}}, ""},
      {{"", {}}, ""},
  };
  for (const auto& c : cases) EXPECT_EQ(MachineIdentifier(c.facts), c.id);
}

// A /sys tree of the files the identifier reads.
class SysTree {
 public:
  void File(const std::filesystem::path& relative, const std::string& line) {
    std::filesystem::create_directories((root() / relative).parent_path());
    std::ofstream(root() / relative) << line << "\n";
  }
  void Adapter(const std::string& name, int index, const std::string& address,
               const std::string& type = "1") {
    File("class/net/" + name + "/ifindex", std::to_string(index));
    File("class/net/" + name + "/address", address);
    File("class/net/" + name + "/type", type);
  }
  std::filesystem::path root() const { return dir_.path() / "sys"; }
  std::filesystem::path dev() const { return dir_.path() / "dev"; }  // no devices: no identify ioctl

 private:
  TestDir dir_;
};

TEST(MachineIdentifier, ReadsTheFactsOfASysTree) {
  {
    SysTree sys;  // the first disk in name order with a serial; virtual disks do not count
    sys.File("block/loop0/device/serial", "LOOPSERIAL");
    sys.File("block/nvme0n1/device/model", "no serial here");
    sys.File("block/sdb/device/serial", "SECOND");
    sys.File("block/sda/device/serial", "  WD-WCC4N1234567");
    sys.Adapter("eth0", 2, "00:1a:2b:3c:4d:5e");
    EXPECT_EQ(MachineIdentifier(ReadMachineFacts(sys.root(), sys.dev())), "  WD-WCC4N1234567");
  }
  {
    SysTree sys;  // no disk serial: the first adapter, in index order, that is not all zeros
    sys.File("block/sda/device/model", "QEMU HARDDISK");
    sys.Adapter("lo", 1, "00:00:00:00:00:00", "772");
    sys.Adapter("wlan0", 4, "02:00:00:00:00:01");
    sys.Adapter("eth1", 3, "00:1a:2b:3c:4d:5e");
    sys.Adapter("dummy0", 2, "00:00:00:00:00:00");
    sys.Adapter("tun0", 5, "");  // no hardware address
    const MachineFacts facts = ReadMachineFacts(sys.root(), sys.dev());
    EXPECT_EQ(facts.disk_serial, "");
    ASSERT_EQ(facts.adapters.size(), 3u);  // loopback and the adapter without an address left out
    EXPECT_EQ(MachineIdentifier(facts), "00-1a-2b-3c-4d-5e");
  }
  {
    SysTree sys;  // nothing at all
    EXPECT_EQ(MachineIdentifier(ReadMachineFacts(sys.root(), sys.dev())), "");
  }
}

TEST(ProcessCpuLoad, MeasuresOverIntervalsOfAtLeast700ms) {
  ProcessCpuState state;
  EXPECT_EQ(ProcessCpuLoad(state, 10'000, 0), 0);          // first call starts an interval
  EXPECT_EQ(ProcessCpuLoad(state, 10'500, 1'000'000), 0);  // 500 ms: too early
  // 1000 ms after the start, 0.7 s of process time since the previous call: 7e6 / 1000 / 100 / 2 = 35.
  EXPECT_EQ(ProcessCpuLoad(state, 11'000, 8'000'000), 35);
  EXPECT_EQ(state.interval_start_ms, 11'000u);             // a new interval started
  EXPECT_EQ(ProcessCpuLoad(state, 11'800, 8'000'000), 0);  // no process time used
}

TEST(SystemLoad, SystemCpuLoadAddsAHalfAndRoundsHalvesToEven) {
  struct {
    CpuTimes before, after;
    int load;
  } cases[] = {
      {{1000, 2000}, {1500, 3000}, 50},   // 50 + 0.5 = 50.5: halves go to the even 50
      {{1000, 2000}, {1250, 2400}, 38},   // idle 62.5 %: 37.5 + 0.5 = 38
      {{1000, 2000}, {1003, 2008}, 63},   // idle 37.5 %: 62.5 + 0.5 = 63
      {{1000, 2000}, {1990, 3000}, 2},    // 1 + 0.5 = 1.5: to the even 2
      {{1000, 2000}, {2000, 3000}, 0},    // 0 + 0.5: to the even 0
      {{1000, 2000}, {1000, 3000}, 100},  // 100.5: to the even 100
      {{0, 2000}, {500, 3000}, 0},        // no old idle time
      {{1000, 2000}, {1000, 2000}, 0},    // the total did not change
  };
  for (const auto& c : cases) {
    EXPECT_EQ(SystemCpuLoad(c.before, c.after), c.load) << c.after.idle << "/" << c.after.total;
  }
}

TEST(SystemLoad, ReadsPlausibleFigures) {
  int memory = GetSystemMemory();
  EXPECT_GT(memory, 0);
  EXPECT_LE(memory, 100);
  EXPECT_GT(GetProgressMemory(), 1 << 20);
  EXPECT_EQ(GetProgressCPU(), 0);  // first call
  EXPECT_TRUE(ClearMem());
  EXPECT_EQ(GetSystemType(), TOSVersion::osUnknown);
}

TEST(Files, FoldersAndSizes) {
  TestDir dir;
  auto nested = dir.path() / "a" / "b" / "c";
  ASSERT_TRUE(MakeDir(nested));
  std::ofstream(nested / "x.dat") << "12345";
  std::ofstream(dir.path() / "a" / "y.txt") << "1";
  EXPECT_EQ(GetFileSize(nested / "x.dat"), 5);
  EXPECT_EQ(GetFileSize(nested / "*.dat"), 5);
  EXPECT_EQ(GetFileSize(nested / "*.none"), 0);
  ASSERT_TRUE(CopyDir(dir.path() / "a", dir.path() / "copy"));
  EXPECT_EQ(GetFileSize(dir.path() / "copy" / "b" / "c" / "x.dat"), 5);
  EXPECT_FALSE(CopyDir(dir.path() / "missing", dir.path() / "copy2"));
  DeleteDir(dir.path() / "a");
  EXPECT_FALSE(std::filesystem::exists(dir.path() / "a"));
}

void WriteScript(const std::filesystem::path& path, const std::string& body) {
  std::ofstream(path) << "#!/bin/sh\n" << body << "\n";
  std::filesystem::permissions(path, std::filesystem::perms::owner_all);
}

std::vector<std::string> ReadLines(const std::filesystem::path& path) {
  std::ifstream in(path);
  std::vector<std::string> lines;
  for (std::string line; std::getline(in, line);) lines.push_back(line);
  return lines;
}

TEST(Files, FileExecuteWaitPassesArgumentsVerbatim) {
  TestDir dir;
  WriteScript(dir.path() / "args",
              "for a in \"$@\"; do printf '%s\\n' \"$a\"; done > args.txt; pwd > where.txt");
  const std::vector<std::string> arguments = {"$HOME", "~", "*", "$(touch pwned)", "two words", "'q'", ""};
  int pumped = 0;
  WaitHooks hooks{[&] { ++pumped; }, {}};
  ASSERT_EQ(FileExecuteWait(dir.path() / "args", arguments, dir.path(), TExecState::esNormal, hooks), 0);
  EXPECT_EQ(ReadLines(dir.path() / "args.txt"), arguments);
  EXPECT_FALSE(std::filesystem::exists(dir.path() / "pwned"));
  const auto where = ReadLines(dir.path() / "where.txt");
  ASSERT_EQ(where.size(), 1u);
  EXPECT_EQ(std::filesystem::canonical(where[0]), std::filesystem::canonical(dir.path()));
}

TEST(Files, FileExecuteWaitResolvesRelativeNamesInTheFolderOnly) {
  TestDir dir;
  // A program named like one on PATH: the folder's own runs.
  WriteScript(dir.path() / "ls", "exit 42");
  EXPECT_EQ(FileExecuteWait("ls", {}, dir.path(), TExecState::esNormal), 42);
  // A name that exists only on PATH is not found in the folder.
  EXPECT_EQ(FileExecuteWait("true", {}, dir.path(), TExecState::esNormal), -1);
  EXPECT_EQ(FileExecuteWait("no-such-program", {}, dir.path(), TExecState::esNormal), -1);
  EXPECT_EQ(FileExecuteWait("/bin/sh", {"-c", "exit 7"}, dir.path(), TExecState::esHidden), 7);
  EXPECT_EQ(FileExecuteWait("/bin/sh", {"-c", "kill -9 $$"}, dir.path(), TExecState::esHidden), 128 + 9);
  // A process still running when the application terminates gives 259.
  EXPECT_EQ(FileExecuteWait("/bin/sleep", {"1"}, dir.path(), TExecState::esNormal, {{}, [] { return true; }}),
            259);
}

TEST(Files, CheckModuleFindsThisProcess) {
  EXPECT_TRUE(CheckModule("KIVBASE_TESTS"));
  EXPECT_FALSE(CheckModule("no-such-program-running"));
}

}  // namespace
}  // namespace kiv
