// TDownloadThread: at every start, fetches the web site's version file and, for each catalogue
// (gifts, skins, stamps) whose version changed or whose local copy is missing, the catalogue; then
// every gift and stamp picture that is not on disk yet.
//
// Local files under the application folder: Datas/Version.dat, present/PresentInfo.dat,
// stamps/StampInfo.dat, skins/SkinInfo.dat and the pictures beside them. ("datas", "Stamps" and
// "Skins" are read too when only that spelling exists.) The version file is written last, and keeps
// the old number of a catalogue that could not be stored, so a failed fetch is retried next start.
//
// Threads: Start runs the work on its own thread; Stop (also the destructor) cancels a running
// download and joins. `balloon` is called on the worker thread; the owner passes it on to the main
// thread (queued call), since the tray belongs there.
#pragma once

#include <atomic>
#include <filesystem>
#include <functional>
#include <string>
#include <thread>

namespace kiv {

struct TResourceUrls {
  std::string version;   // HOMEPAGE + "/Download/Version.txt"
  std::string presents;  // PRESENTIMGURL
  std::string stamps;    // STAMPIMGURL
  std::string skins;     // SKINIMGURL (may be empty: the brand has no skins)
};

class TDownloadThread {
 public:
  // `balloon(true)` asks for the tray balloon "正在下载系统所需资源...", `balloon(false)` hides it.
  TDownloadThread(std::filesystem::path root, TResourceUrls urls, std::function<void(bool)> balloon);
  ~TDownloadThread();
  TDownloadThread(const TDownloadThread&) = delete;
  TDownloadThread& operator=(const TDownloadThread&) = delete;

  void Start();
  void Stop();
  // Runs the whole procedure on the calling thread (tests; Start uses it too).
  void Run();

 private:
  const std::filesystem::path root_;
  const TResourceUrls urls_;
  const std::function<void(bool)> balloon_;
  std::atomic<bool> stop_{false};
  std::thread thread_;
};

// The folder `preferred` under `root`, or `alternate` when only that spelling exists there.
std::filesystem::path ResourceFolder(const std::filesystem::path& root, const char* preferred,
                                     const char* alternate);

}  // namespace kiv
