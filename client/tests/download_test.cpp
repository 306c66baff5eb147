// The resource download against the real web role on loopback, and against small HTTP servers that
// misbehave: one that drops the connection mid-file, one that serves hostile names and error pages.
#include <httplib.h>

#include <fstream>
#include <iterator>
#include <mutex>
#include <thread>

#include "base/ini.h"
#include "controls/download.h"
#include "ma_download.h"
#include "manager/qt_app.h"
#include "server.h"
#include "test_dir.h"

namespace kiv {
namespace {

namespace fs = std::filesystem;

const auto* const kQtEnvironment = ::testing::AddGlobalTestEnvironment(new QtApplicationEnvironment);

std::string Read(const fs::path& path) {
  std::ifstream in(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

// Files in `folder` whose names are not in `expected` (temporary files left behind, strays).
std::vector<std::string> Strays(const fs::path& folder, std::initializer_list<const char*> expected) {
  std::vector<std::string> strays;
  std::error_code ec;
  for (const auto& entry : fs::recursive_directory_iterator(folder, ec)) {
    if (!entry.is_regular_file()) continue;
    std::string name = entry.path().filename().string();
    if (std::find(expected.begin(), expected.end(), name) == expected.end()) strays.push_back(name);
  }
  return strays;
}

// An HTTP server on a free loopback port, served on its own thread.
class TestHttpServer {
 public:
  TestHttpServer() = default;
  ~TestHttpServer() {
    http.stop();
    if (thread_.joinable()) thread_.join();
  }
  void Run() {
    port = http.bind_to_any_port("127.0.0.1");
    thread_ = std::thread([this] { http.listen_after_bind(); });
  }
  std::string Url(const std::string& path) const { return "http://127.0.0.1:" + std::to_string(port) + path; }

  httplib::Server http;
  int port = 0;

 private:
  std::thread thread_;
};

class DownloadTest : public ::testing::Test {
 protected:
  void SetUp() override {
    server::TServerOptions options;
    options.update_port = 0;  // tests run side by side: any free port
    options.data_dir = dir_.path() / "server";
    options.login_port = 0;
    options.home_port = 0;
    options.web_port = 0;
    options.web_content = std::string(KIV_BIN_DIR) + "/web";
    options.hash_cost = "min";
    options.log_to_stderr = false;
    server_ = std::make_unique<server::TServer>(options);
    std::string error;
    ASSERT_TRUE(server_->Start(&error)) << error;
    ASSERT_FALSE(Read(std::string(KIV_BIN_DIR) + "/web/present/PresentInfo.txt").empty());
  }

  TResourceUrls WebUrls() const {
    std::string site = "http://127.0.0.1:" + std::to_string(server_->WebPort());
    return {site + "/Download/Version.txt", site + "/present/", site + "/stamp/", site + "/skins/"};
  }
  std::uint64_t Requests(const std::string& path) { return server_->Web()->Requests(path); }
  fs::path root() const { return dir_.path() / "app"; }

  TestDir dir_;
  std::unique_ptr<server::TServer> server_;
};

TEST_F(DownloadTest, FreshInstallFetchesEverythingAndEqualVersionsFetchNoCatalogue) {
  std::vector<bool> balloon;
  TDownloadThread thread(root(), WebUrls(), [&](bool show) { balloon.push_back(show); });
  thread.Run();
  EXPECT_EQ(balloon, (std::vector<bool>{true, false}));
  for (const char* file : {"Datas/Version.dat", "present/PresentInfo.dat", "stamps/StampInfo.dat",
                           "skins/SkinInfo.dat", "present/rose.png", "present/crown.png", "stamps/good.png"})
    EXPECT_TRUE(fs::exists(root() / file)) << file;
  EXPECT_EQ(Read(root() / "present/PresentInfo.dat"),
            Read(std::string(KIV_BIN_DIR) + "/web/present/PresentInfo.txt"));
  EXPECT_EQ(Read(root() / "present/rose.png"), Read(std::string(KIV_BIN_DIR) + "/web/present/rose.png"));
  EXPECT_EQ(IniFile::Load(root() / "Datas/Version.dat").GetInt("VersionInfo", "SkinVersion"), 1);
  EXPECT_EQ(Strays(root() / "present", {"PresentInfo.dat", "rose.png", "heart.png", "star.png", "cake.png",
                                        "diamond.png", "crown.png"}),
            std::vector<std::string>{});

  // Second start, equal versions: no catalogue, no picture, no balloon.
  TDownloadThread again(root(), WebUrls(), [&](bool show) { balloon.push_back(show); });
  again.Run();
  EXPECT_EQ(balloon.size(), 2u);
  EXPECT_EQ(Requests("/Download/Version.txt"), 2u);
  for (const char* path :
       {"/present/PresentInfo.txt", "/stamp/StampInfo.txt", "/skins/SkinInfo.txt", "/present/rose.png"})
    EXPECT_EQ(Requests(path), 1u) << path;

  // Only the skin catalogue's version rises: only it is fetched again.
  ASSERT_EQ(server_->Admin({"bump-catalogue", "skin"}), "skin version 2\n");
  TDownloadThread bumped(root(), WebUrls(), [&](bool show) { balloon.push_back(show); });
  bumped.Run();
  EXPECT_EQ(balloon, (std::vector<bool>{true, false, true, false}));
  EXPECT_EQ(Requests("/skins/SkinInfo.txt"), 2u);
  EXPECT_EQ(Requests("/present/PresentInfo.txt"), 1u);
  EXPECT_EQ(Requests("/stamp/StampInfo.txt"), 1u);
  EXPECT_EQ(IniFile::Load(root() / "Datas/Version.dat").GetInt("VersionInfo", "SkinVersion"), 2);

  // A deleted catalogue comes back although the versions are equal; a deleted picture too.
  fs::remove(root() / "present/PresentInfo.dat");
  fs::remove(root() / "stamps/good.png");
  TDownloadThread missing(root(), WebUrls(), nullptr);
  missing.Run();
  EXPECT_EQ(Requests("/present/PresentInfo.txt"), 2u);
  EXPECT_EQ(Requests("/stamp/good.png"), 2u);
  EXPECT_EQ(Requests("/stamp/StampInfo.txt"), 1u);
}

TEST_F(DownloadTest, ADroppedConnectionKeepsTheOldCatalogueAndIsRetriedNextStart) {
  TDownloadThread(root(), WebUrls(), nullptr).Run();
  const std::string old_catalogue = Read(root() / "present/PresentInfo.dat");
  ASSERT_FALSE(old_catalogue.empty());

  // A site that announces a new gift catalogue and then drops the connection in its middle.
  const std::string new_catalogue =
      "[Present1]\r\nID=9\r\nName=NewGift\r\nImageName=rose.png\r\n" + std::string(4000, ';');
  std::atomic<bool> healthy{false};
  TestHttpServer site;
  site.http.Get("/Download/Version.txt", [](const httplib::Request&, httplib::Response& res) {
    res.set_content("[VersionInfo]\r\nPresentVersion=2\r\nSkinVersion=1\r\nStampVersion=1\r\n", "text/plain");
  });
  site.http.Get("/present/PresentInfo.txt", [&](const httplib::Request&, httplib::Response& res) {
    if (healthy) {
      res.set_content(new_catalogue, "text/plain");
      return;
    }
    res.set_content_provider(new_catalogue.size(), "text/plain",
                             [&](std::size_t offset, std::size_t, httplib::DataSink& sink) {
                               if (offset > 0) return false;  // drop after the first part
                               sink.write(new_catalogue.data(), 1000);
                               return true;
                             });
  });
  site.http.Get("/present/rose.png",
                [](const httplib::Request&, httplib::Response& res) { res.set_content("png", "image/png"); });
  site.Run();
  TResourceUrls urls = WebUrls();
  urls.version = site.Url("/Download/Version.txt");
  urls.presents = site.Url("/present/");

  TDownloadThread(root(), urls, nullptr).Run();
  EXPECT_EQ(Read(root() / "present/PresentInfo.dat"), old_catalogue);
  EXPECT_EQ(IniFile::Load(root() / "Datas/Version.dat").GetInt("VersionInfo", "PresentVersion"), 1);
  EXPECT_EQ(Strays(root() / "present", {"PresentInfo.dat", "rose.png", "heart.png", "star.png", "cake.png",
                                        "diamond.png", "crown.png"}),
            std::vector<std::string>{});

  healthy = true;
  TDownloadThread(root(), urls, nullptr).Run();
  EXPECT_EQ(Read(root() / "present/PresentInfo.dat"), new_catalogue);
  EXPECT_EQ(IniFile::Load(root() / "Datas/Version.dat").GetInt("VersionInfo", "PresentVersion"), 2);
}

TEST_F(DownloadTest, HostileNamesErrorPagesAndOversizeFilesWriteNothing) {
  TestHttpServer site;
  std::atomic<int> picture_requests{0};
  site.http.Get("/Download/Version.txt", [](const httplib::Request&, httplib::Response& res) {
    res.set_content("[VersionInfo]\r\nPresentVersion=1\r\nSkinVersion=1\r\nStampVersion=1\r\n", "text/plain");
  });
  site.http.Get("/present/PresentInfo.txt", [](const httplib::Request&, httplib::Response& res) {
    res.set_content(
        "[a]\r\nImageName=../escape.png\r\n[b]\r\nImageName=/tmp/"
        "kivora-absolute.png\r\n[c]\r\nImageName=a\\b.png\r\n"
        "[d]\r\nImageName=..\r\n[e]\r\nImageName=missing.png\r\n[f]\r\nImageName=huge.png\r\n[g]"
        "\r\nImageName=ok.png\r\n",
        "text/plain");
  });
  site.http.Get(R"(/present/(.+))", [&](const httplib::Request& req, httplib::Response& res) {
    ++picture_requests;
    if (req.matches[1] == "ok.png") return res.set_content("fine", "image/png");
    if (req.matches[1] == "huge.png")
      return res.set_content(std::string(kPictureLimit + 1, 'x'), "image/png");
    res.status = 404;
    res.set_content("<html>not found</html>", "text/html");
  });
  site.http.Get("/stamp/StampInfo.txt", [](const httplib::Request&, httplib::Response& res) {
    res.status = 500;
    res.set_content("<html>error</html>", "text/html");
  });
  site.Run();
  TResourceUrls urls{site.Url("/Download/Version.txt"), site.Url("/present/"), site.Url("/stamp/"), ""};

  TDownloadThread(root(), urls, nullptr).Run();
  EXPECT_EQ(Read(root() / "present/ok.png"), "fine");
  EXPECT_EQ(Strays(root(), {"PresentInfo.dat", "ok.png", "Version.dat"}), std::vector<std::string>{});
  EXPECT_FALSE(fs::exists("/tmp/kivora-absolute.png"));
  EXPECT_FALSE(fs::exists(root() / "escape.png"));
  EXPECT_EQ(picture_requests.load(), 3);  // missing, huge, ok: the hostile names were never asked for
  // The stamp catalogue failed: its version stays unknown, so the next start asks again.
  EXPECT_FALSE(IniFile::Load(root() / "Datas/Version.dat").Find("VersionInfo", "StampVersion"));
}

TEST(DownloadThreadTest, StopCancelsADownloadInFlightAndWritesNothing) {
  TestDir dir;
  TestHttpServer site;
  std::atomic<bool> asked{false}, release{false};
  site.http.Get("/Download/Version.txt", [&](const httplib::Request&, httplib::Response& res) {
    asked = true;
    for (int i = 0; i < 1000 && !release; ++i) std::this_thread::sleep_for(std::chrono::milliseconds(10));
    res.set_content("[VersionInfo]\r\nPresentVersion=1\r\n", "text/plain");
  });
  site.Run();
  TDownloadThread thread(dir.path(), {site.Url("/Download/Version.txt"), site.Url("/present/"), "", ""},
                         nullptr);
  thread.Start();
  for (int i = 0; i < 1000 && !asked; ++i) std::this_thread::sleep_for(std::chrono::milliseconds(10));
  ASSERT_TRUE(asked.load());
  thread.Stop();
  EXPECT_FALSE(release.load());  // Stop returned while the answer was still held back
  release = true;
  EXPECT_FALSE(fs::exists(dir.path() / "Datas" / "Version.dat"));
  EXPECT_EQ(Strays(dir.path(), {}), std::vector<std::string>{});
}

TEST(GetFileNameTest, TakesTheLastNonEmptyPart) {
  struct Case {
    const char* url;
    const char* name;
  } cases[] = {{"http://h/room/12.jpg", "12.jpg"},
               {"http://h/room/12.jpg?x=1", "12.jpg"},
               {"http://h/skins/", "skins"},
               {"", ""},
               {"rose.png", "rose.png"}};
  for (const Case& c : cases) EXPECT_EQ(GetFileName(c.url), c.name) << c.url;
}

TEST(DownloadFileTest, CachesOncePerWholeUrl) {
  TestDir dir;
  TestHttpServer site;
  std::atomic<int> requests{0};
  site.http.Get(R"(/(a|b)/12.jpg)", [&](const httplib::Request& req, httplib::Response& res) {
    ++requests;
    res.set_content("picture " + req.matches[1].str(), "image/jpeg");
  });
  site.Run();
  fs::path a = DownloadFile(site.Url("/a/12.jpg  "), "download", dir.path());
  fs::path b = DownloadFile(site.Url("/b/12.jpg"), "download", dir.path());
  EXPECT_NE(a, b);
  EXPECT_EQ(Read(a), "picture a");
  EXPECT_EQ(Read(b), "picture b");
  EXPECT_EQ(DownloadFile(site.Url("/a/12.jpg"), "download", dir.path()), a);
  EXPECT_EQ(requests.load(), 2);

  fs::path named = DownloadFile(site.Url("/a/12.jpg"), "present", dir.path());
  EXPECT_EQ(named, dir.path() / "present" / "12.jpg");
  EXPECT_EQ(Read(named), "picture a");
  EXPECT_TRUE(DownloadFile(site.Url("/a/.."), "present", dir.path()).empty());
}

}  // namespace
}  // namespace kiv
