#include "ma_download.h"

#include "base/ini.h"
#include "base/safe_name.h"
#include "controls/download.h"

namespace kiv {

namespace fs = std::filesystem;

namespace {

constexpr const char* kVersionSection = "VersionInfo";

struct TCatalogue {
  const char* key;         // in the version file
  fs::path folder;         // local folder
  const char* file;        // local catalogue file
  const char* remote;      // name on the web site
  const std::string* url;  // base URL of the catalogue and its pictures
  bool pictures;           // the thread fetches its pictures
};

}  // namespace

fs::path ResourceFolder(const fs::path& root, const char* preferred, const char* alternate) {
  std::error_code ec;
  if (!fs::is_directory(root / preferred, ec) && fs::is_directory(root / alternate, ec))
    return root / alternate;
  return root / preferred;
}

TDownloadThread::TDownloadThread(fs::path root, TResourceUrls urls, std::function<void(bool)> balloon)
    : root_(std::move(root)), urls_(std::move(urls)), balloon_(std::move(balloon)) {}

TDownloadThread::~TDownloadThread() { Stop(); }

void TDownloadThread::Start() {
  if (thread_.joinable()) return;
  stop_ = false;
  thread_ = std::thread([this] { Run(); });
}

void TDownloadThread::Stop() {
  stop_ = true;
  if (thread_.joinable()) thread_.join();
}

void TDownloadThread::Run() {
  const fs::path datas = ResourceFolder(root_, "Datas", "datas");
  const TCatalogue catalogues[] = {
      {"PresentVersion", root_ / "present", "PresentInfo.dat", "PresentInfo.txt", &urls_.presents, true},
      {"SkinVersion", ResourceFolder(root_, "skins", "Skins"), "SkinInfo.dat", "SkinInfo.txt", &urls_.skins,
       false},
      {"StampVersion", ResourceFolder(root_, "stamps", "Stamps"), "StampInfo.dat", "StampInfo.txt",
       &urls_.stamps, true},
  };
  std::error_code ec;
  fs::create_directories(datas, ec);
  for (const TCatalogue& c : catalogues) fs::create_directories(c.folder, ec);

  const fs::path version_file = datas / "Version.dat";
  const IniFile old_versions = IniFile::Load(version_file);
  const fs::path fetched_versions = datas / "Version.dat.new";
  if (FetchToFile(urls_.version, fetched_versions, kCatalogueLimit, &stop_) != TFetchResult::kOk) return;
  const IniFile new_versions = IniFile::Load(fetched_versions);
  fs::remove(fetched_versions, ec);

  auto changed = [&](const TCatalogue& c) {
    long long now = new_versions.GetInt(kVersionSection, c.key, 0);
    return now < 0 || now != old_versions.GetInt(kVersionSection, c.key, 0);
  };
  bool any_changed = false;
  for (const TCatalogue& c : catalogues) any_changed = any_changed || changed(c);
  if (any_changed && balloon_) balloon_(true);

  IniFile stored = old_versions;  // the numbers of the catalogues that are on disk
  for (const TCatalogue& c : catalogues) {
    if (stop_) break;
    const fs::path local = c.folder / c.file;
    const bool missing = !fs::exists(local, ec);
    bool ok = !c.url->empty();
    if (ok && (changed(c) || missing))
      ok = FetchToFile(*c.url + c.remote, local, kCatalogueLimit, &stop_) == TFetchResult::kOk;
    if (ok) stored.Set(kVersionSection, c.key, new_versions.Get(kVersionSection, c.key, "0"));
  }

  for (const TCatalogue& c : catalogues) {
    if (!c.pictures || c.url->empty()) continue;
    const IniFile catalogue = IniFile::Load(c.folder / c.file);
    for (const std::string& section : catalogue.Sections()) {
      if (stop_) break;
      const std::string image = catalogue.Get(section, "ImageName");
      if (!IsBareFileName(image)) continue;  // a hostile or empty name writes nothing
      DownloadFile(*c.url + image, c.folder.filename().string(), root_, kPictureLimit, &stop_);
    }
  }
  if (any_changed && balloon_) balloon_(false);
  if (!stop_) stored.Save(version_file);
}

}  // namespace kiv
