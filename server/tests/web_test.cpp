// The web role over loopback HTTP: the content folder, the version bump and the account pages.
#include <httplib.h>

#include <chrono>
#include <fstream>
#include <iterator>
#include <thread>

#include "base/ini.h"
#include "base/md5.h"
#include "server_fixture.h"

namespace kiv::server {
namespace {

using kiv::testing::PasswordDigest;
using kiv::testing::TProtocolClient;

std::string ContentFile(const std::string& relative) {
  std::ifstream in(std::string(KIV_BIN_DIR) + "/web/" + relative, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

class WebTest : public ServerFixture {
 protected:
  void SetUp() override {
    TServerOptions options;
    options.update_port = 0;  // tests run side by side: any free port
    options.web_port = 0;
    options.web_content = std::string(KIV_BIN_DIR) + "/web";
    StartServer(options);
    ASSERT_NE(server_->WebPort(), 0);
    http_ = std::make_unique<httplib::Client>("127.0.0.1", server_->WebPort());
    http_->set_read_timeout(10, 0);
  }
  httplib::Result Get(const std::string& path) { return http_->Get(path); }
  httplib::Result Post(const std::string& path, const httplib::Params& params) {
    return http_->Post(path, params);
  }

  // The request id of a fresh top-up form ("" when the page has no form).
  std::string RequestId(const std::string& code = "10001") {
    auto form = Get("/pay/add.php?code=" + code);
    const std::string marker = "name=\"request\" value=\"";
    const auto at = form ? form->body.find(marker) : std::string::npos;
    if (at == std::string::npos) return {};
    return form->body.substr(at + marker.size(), form->body.find('"', at + marker.size()) - at - marker.size());
  }
  // A top-up as the browser sends it, from a fresh form.
  httplib::Result TopUp(const std::string& code, const std::string& password, const std::string& amount) {
    return Post("/pay/add.php", {{"request", RequestId(code)}, {"code", code}, {"password", password}, {"amount", amount}});
  }

  std::unique_ptr<httplib::Client> http_;
};

TEST_F(WebTest, ServesTheContentFolderWithETagAndLength) {
  ASSERT_FALSE(ContentFile("present/PresentInfo.txt").empty()) << "the asset tool has not written web/";
  for (const char* path : {"/present/PresentInfo.txt", "/stamp/StampInfo.txt", "/skins/SkinInfo.txt",
                           "/present/rose.png", "/skins/skin1.png", "/mall/image/car1.png"}) {
    auto res = Get(path);
    ASSERT_TRUE(res) << path;
    EXPECT_EQ(res->status, 200) << path;
    EXPECT_EQ(res->body, ContentFile(std::string(path).substr(1))) << path;
    EXPECT_EQ(res->get_header_value("Content-Length"), std::to_string(res->body.size())) << path;
    std::string etag = res->get_header_value("ETag");
    ASSERT_EQ(etag.size(), 34u) << path;
    auto again = http_->Get(path, {{"If-None-Match", etag}});
    ASSERT_TRUE(again);
    EXPECT_EQ(again->status, 304) << path;
    EXPECT_TRUE(again->body.empty());
  }
  EXPECT_EQ(server_->Web()->Requests("/present/rose.png"), 2u);
}

TEST_F(WebTest, RefusesNamesOutsideTheContentFolders) {
  for (const char* path : {"/present/..%2F..%2Fkivora.db", "/present/%2e%2e", "/present/a%5C..%5Cb",
                           "/present/", "/kivora.db", "/web-versions.ini", "/present/nothing.png"}) {
    auto res = Get(path);
    ASSERT_TRUE(res) << path;
    EXPECT_EQ(res->status, 404) << path;
  }
}

TEST_F(WebTest, OnlyThePathsOfTheSiteAreCountedByNameAndLoggedPathsCannotForgeLines) {
  // Before the flood below, which spends the log's budget for lines caused from outside.
  ASSERT_TRUE(Get("/x%0D%0Aforged%20login%2010001"));
  // The line is written once the answer is out: read the log until it is there.
  std::vector<std::string> lines;
  bool seen = false;
  for (int i = 0; i < 1000 && !seen; ++i) {
    if (i) std::this_thread::sleep_for(std::chrono::milliseconds(10));
    std::ifstream log(dir_.path() / "data" / "server.log");
    lines.clear();
    for (std::string line; std::getline(log, line);) {
      lines.push_back(line);
      seen |= line.find("forged login") != std::string::npos;
    }
  }
  EXPECT_TRUE(seen);
  for (const std::string& line : lines) EXPECT_NE(line.rfind("forged", 0), 0u) << line;

  const std::size_t before = server_->Web()->CountedPaths();
  for (int i = 0; i < 300; ++i) {
    const std::string n = std::to_string(i);
    for (const std::string& path : {"/nothing-" + n, "/present/none-" + n + ".png", "/goto.php/" + n})
      ASSERT_EQ(Get(path)->status, 404) << path;
  }
  ASSERT_TRUE(Post("/unknown-page", {{"a", "b"}}));
  // Every one of them counts, under one name.
  EXPECT_LE(server_->Web()->CountedPaths(), before + 1);
  EXPECT_EQ(server_->Web()->Requests("/nothing-1"), 0u);
  EXPECT_GE(server_->Web()->Requests(TWebRole::kOtherPaths), 901u);
  ASSERT_EQ(Get("/help.php")->status, 200);
  ASSERT_EQ(Get("/help.php")->status, 200);
  EXPECT_EQ(server_->Web()->Requests("/help.php"), 2u);

}

// A content folder of the test's own, so that its files can change.
class WebContentTest : public ServerFixture {
 protected:
  void SetUp() override {
    content_ = dir_.path() / "web";
    std::filesystem::create_directories(content_ / "present");
    Write("present/rose.png", "first picture");
    TServerOptions options;
    options.web_port = 0;
    options.web_content = content_;
    StartServer(options);
    http_ = std::make_unique<httplib::Client>("127.0.0.1", server_->WebPort());
  }
  void Write(const std::string& name, const std::string& text) {
    std::ofstream(content_ / name, std::ios::binary | std::ios::trunc) << text;
  }
  httplib::Result GetIf(const std::string& etag) {
    return http_->Get("/present/rose.png", {{"If-None-Match", etag}});
  }
  std::filesystem::path content_;
  std::unique_ptr<httplib::Client> http_;
};

TEST_F(WebContentTest, FilesOfAnySizeAreStreamedWhole) {
  std::string big(3 * 64 * 1024 + 17, '\0');
  for (std::size_t i = 0; i < big.size(); ++i) big[i] = static_cast<char>(i * 7 + i / 251);
  const std::pair<const char*, std::string> files[] = {{"empty.png", ""}, {"big.png", big}, {"one.png", "1"}};
  for (const auto& [name, content] : files) {
    Write(std::string("present/") + name, content);
    auto res = http_->Get(std::string("/present/") + name);
    ASSERT_TRUE(res) << name;
    EXPECT_EQ(res->status, 200) << name;
    EXPECT_EQ(res->body, content) << name;
    EXPECT_EQ(res->get_header_value("Content-Length"), std::to_string(content.size())) << name;
    std::string tag = "\"";
    for (std::uint32_t word : TMd5Digest::Digest(content.data(), content.size()))
      tag += TMd5Digest::rHex(word);
    EXPECT_EQ(res->get_header_value("ETag"), tag + "\"") << name;
  }
}

TEST_F(WebContentTest, AConditionalRequestForAnUnchangedFileReadsNothingAndAChangedFileGetsANewTag) {
  TWebRole& web = *server_->Web();
  auto first = http_->Get("/present/rose.png");
  ASSERT_TRUE(first);
  ASSERT_EQ(first->status, 200);
  const std::string etag = first->get_header_value("ETag");
  EXPECT_EQ(web.ContentReads(), 1u);
  for (int i = 0; i < 5; ++i) {
    auto again = GetIf(etag);
    ASSERT_TRUE(again);
    EXPECT_EQ(again->status, 304);
    EXPECT_EQ(again->get_header_value("ETag"), etag);
  }
  EXPECT_EQ(web.ContentReads(), 1u);
  // A request without the tag reads the file and answers the same tag.
  auto plain = http_->Get("/present/rose.png");
  ASSERT_TRUE(plain);
  EXPECT_EQ(plain->get_header_value("ETag"), etag);

  // Rewritten in place to the same size, with a later time: the old tag no longer matches.
  const auto path = content_ / "present" / "rose.png";
  const auto written = std::filesystem::last_write_time(path);
  Write("present/rose.png", "other picture");
  std::filesystem::last_write_time(path, written + std::chrono::seconds(2));
  auto changed = GetIf(etag);
  ASSERT_TRUE(changed);
  EXPECT_EQ(changed->status, 200);
  EXPECT_EQ(changed->body, "other picture");
  const std::string new_tag = changed->get_header_value("ETag");
  EXPECT_NE(new_tag, etag);
  EXPECT_EQ(GetIf(new_tag)->status, 304);
  // Gone: not found, whatever the tag.
  std::filesystem::remove(path);
  EXPECT_EQ(GetIf(new_tag)->status, 404);
}

TEST_F(WebTest, BumpingOneCatalogueChangesOnlyItsVersionAndSurvivesARestart) {
  auto before = IniFile::Parse(Get("/Download/Version.txt")->body);
  EXPECT_EQ(server_->Admin({"bump-catalogue", "skin"}), "skin version 2\n");
  EXPECT_EQ(server_->Admin({"bump-catalogue", "wallpaper"}).rfind("error", 0), 0u);
  auto after = IniFile::Parse(Get("/Download/Version.txt")->body);
  EXPECT_EQ(after.GetInt("VersionInfo", "SkinVersion"), before.GetInt("VersionInfo", "SkinVersion") + 1);
  EXPECT_EQ(after.GetInt("VersionInfo", "PresentVersion"), before.GetInt("VersionInfo", "PresentVersion"));
  EXPECT_EQ(after.GetInt("VersionInfo", "StampVersion"), before.GetInt("VersionInfo", "StampVersion"));

  SetUp();  // a new process on the same data folder
  EXPECT_EQ(IniFile::Parse(Get("/Download/Version.txt")->body).GetInt("VersionInfo", "SkinVersion"),
            after.GetInt("VersionInfo", "SkinVersion"));
}

TEST_F(WebTest, RegistrationCreatesAnAccountThatSignsIn) {
  auto bad = Post("/register.php", {{"nickname", "小王"}, {"password", "abc"}, {"password2", "abd"}});
  ASSERT_TRUE(bad);
  EXPECT_EQ(bad->status, 400);
  EXPECT_NE(bad->body.find("两次输入的密码不一致"), std::string::npos);

  auto res = Post("/register.php", {{"nickname", "小王"}, {"password", "secret"}, {"password2", "secret"}});
  ASSERT_TRUE(res);
  ASSERT_EQ(res->status, 200);
  auto at = res->body.find("id=\"code\">");
  ASSERT_NE(at, std::string::npos);
  std::uint32_t code = static_cast<std::uint32_t>(std::stoul(res->body.substr(at + 10)));
  auto account = server_->Store().Find(code);
  ASSERT_TRUE(account);
  EXPECT_EQ(account->nickname, "小王");

  TProtocolClient client;
  EXPECT_TRUE(SignIn(client, code, "secret").ok());
}

TEST_F(WebTest, TopUpNeedsThePasswordAndShowsInTheOwnRecordOnly) {
  auto wrong = TopUp("10001", "nope", "100");
  ASSERT_TRUE(wrong);
  EXPECT_EQ(wrong->status, 403);
  EXPECT_EQ(Balance(10001), kDemoMoney);
  for (const char* amount : {"0", "-5", "x", "100001"}) {
    auto res = TopUp("10001", kDemoPassword, amount);
    ASSERT_TRUE(res);
    EXPECT_EQ(res->status, 400) << amount;
  }
  EXPECT_EQ(Balance(10001), kDemoMoney);

  auto ok = TopUp("10001", kDemoPassword, "100");
  ASSERT_TRUE(ok);
  EXPECT_EQ(ok->status, 200);
  EXPECT_EQ(Balance(10001), kDemoMoney + 100);
  EXPECT_EQ(server_->Store().LedgerRows(), 1);

  // The record opens from the signed-in client.
  TProtocolClient client;
  ASSERT_TRUE(SignIn(client, 10001).ok());
  const std::string digest = PasswordDigest(kDemoPassword);
  auto own = Get("/goto.php?kind=2&usercode=10001&password=" + digest);
  ASSERT_TRUE(own);
  EXPECT_EQ(own->status, 200);
  EXPECT_NE(own->body.find("网站充值"), std::string::npos);
  EXPECT_NE(own->body.find("+100"), std::string::npos);

  auto other = Get("/goto.php?kind=2&usercode=10002&password=" + digest);
  ASSERT_TRUE(other);
  EXPECT_EQ(other->body.find("网站充值"), std::string::npos);
  for (const std::string& query : {"usercode=10001&password=" + digest.substr(1),
                                   std::string("usercode=10001"), "usercode=99999&password=" + digest}) {
    auto res = Get("/goto.php?kind=2&" + query);
    ASSERT_TRUE(res);
    EXPECT_EQ(res->status, 403) << query;
    EXPECT_EQ(res->body.find("网站充值"), std::string::npos) << query;
  }
}

// The digest in the record's address is no key by itself: the account must be signed in from
// the address that asks, and only while it is.
TEST_F(WebTest, TheRecordNeedsASessionFromTheAskingAddress) {
  const std::string page = "/goto.php?kind=2&usercode=10001&password=" + PasswordDigest(kDemoPassword);
  EXPECT_EQ(Get(page)->status, 403);
  {
    TProtocolClient client;
    auto s = SignIn(client, 10001);
    ASSERT_TRUE(s.ok());
    EXPECT_EQ(Get(page)->status, 200);
    client.Disconnect(s.home);
    for (int i = 0; i < 500 && server_->Context().sessions.Count() != 0; ++i)
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
    ASSERT_EQ(server_->Context().sessions.Count(), 0u);
  }
  auto after = Get(page);
  EXPECT_EQ(after->status, 403);
  EXPECT_EQ(after->body.find("当前余额"), std::string::npos);
}

// Both account pages take wrong passwords against the sign-in's limit, and a wrong password
// reads as an unknown code does.
TEST_F(WebTest, PasswordGuessingOnTheAccountPagesIsLimited) {
  auto unknown = TopUp("55555", "nope", "100");
  auto wrong = TopUp("10001", "nope", "100");
  ASSERT_TRUE(unknown && wrong);
  EXPECT_EQ(unknown->status, wrong->status);
  const auto error_of = [](const std::string& body) { return body.substr(body.find("class=\"err\"")).substr(0, 60); };
  EXPECT_EQ(error_of(unknown->body), error_of(wrong->body));
  for (int i = 1; i < TCredentialCheck::kMaxWrong; ++i) EXPECT_EQ(TopUp("10001", "guess", "100")->status, 403);
  EXPECT_EQ(TopUp("10001", kDemoPassword, "100")->status, 403);  // locked for this address
  EXPECT_EQ(Balance(10001), kDemoMoney);

  TProtocolClient client;
  ASSERT_TRUE(SignIn(client, 10002).ok());
  for (int i = 0; i < TCredentialCheck::kMaxWrong; ++i)
    EXPECT_EQ(Get("/goto.php?kind=2&usercode=10002&password=" + PasswordDigest("guess"))->status, 403);
  auto right = Get("/goto.php?kind=2&usercode=10002&password=" + PasswordDigest(kDemoPassword));
  EXPECT_EQ(right->status, 403);
  EXPECT_EQ(right->body.find("当前余额"), std::string::npos);
}

TEST_F(WebTest, AReplayedTopUpCreditsNothing) {
  const std::string request = RequestId();
  ASSERT_FALSE(request.empty());
  const httplib::Params payment{{"request", request}, {"code", "10001"}, {"password", kDemoPassword}, {"amount", "100"}};
  ASSERT_EQ(Post("/pay/add.php", payment)->status, 200);
  auto again = Post("/pay/add.php", payment);
  ASSERT_TRUE(again);
  EXPECT_EQ(again->status, 200);
  EXPECT_NE(again->body.find("已经处理过"), std::string::npos);
  EXPECT_EQ(Balance(10001), kDemoMoney + 100);
  // A post without an id, or with one no form could have made, credits nothing either.
  for (const std::string& id : {std::string(), std::string("a b"), std::string(65, 'a')}) {
    auto res = Post("/pay/add.php", {{"request", id}, {"code", "10001"}, {"password", kDemoPassword}, {"amount", "100"}});
    EXPECT_EQ(res->status, 400) << id;
  }
  EXPECT_EQ(Balance(10001), kDemoMoney + 100);
  EXPECT_EQ(server_->Store().LedgerRows(), 1);
}

// Without the demo payments the page credits nothing and sends the user to the operator, who
// credits with the admin command.
TEST_F(WebTest, WithoutDemoPaymentsTheOperatorCredits) {
  server_.reset();
  TServerOptions options;
  options.update_port = 0;
  options.web_port = 0;
  options.web_content = std::string(KIV_BIN_DIR) + "/web";
  options.demo_payments = false;
  StartServer(options);
  http_ = std::make_unique<httplib::Client>("127.0.0.1", server_->WebPort());
  auto page = Get("/pay/add.php?code=10001");
  ASSERT_TRUE(page);
  EXPECT_EQ(page->status, 200);
  EXPECT_EQ(page->body.find("<form"), std::string::npos);
  EXPECT_NE(page->body.find("运营方"), std::string::npos);
  auto paid = Post("/pay/add.php", {{"request", "r1"}, {"code", "10001"}, {"password", kDemoPassword}, {"amount", "100"}});
  ASSERT_TRUE(paid);
  EXPECT_EQ(paid->status, 403);
  EXPECT_EQ(Balance(10001), kDemoMoney);
  EXPECT_TRUE(server_->Admin({"credit", "10001", "100", "r1"}).starts_with("credited 100"));
  EXPECT_EQ(Balance(10001), kDemoMoney + 100);
}

// Text from a request never starts a line of its own in the log.
TEST_F(WebTest, RequestTextCannotForgeLogLines) {
  auto res = Get("/present/x%0D%0Aforged%20line%0Aalso");
  ASSERT_TRUE(res);
  EXPECT_EQ(res->status, 404);
  ASSERT_EQ(Get("/")->status, 200);  // written after the first one
  const std::filesystem::path log = server_->Context().log.File();
  server_.reset();
  std::ifstream in(log, std::ios::binary);
  const std::string text((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  ASSERT_NE(text.find("web GET / 200"), std::string::npos);
  EXPECT_NE(text.find("forged"), std::string::npos);
  for (const char* forged : {"\nforged", "\rforged", "\nalso", "\ralso"})
    EXPECT_EQ(text.find(forged), std::string::npos) << forged;
}

TEST_F(WebTest, TheOtherPagesAnswerInChinese) {
  struct Case {
    const char* path;
    const char* text;
  } cases[] = {{"/goto.php?kind=1", "玫瑰"},
               {"/goto.php?kind=1", "/present/rose.png"},
               {"/goto.php?kind=3", "在线客服"},
               {"/help.php", "新手帮助"},
               {"/register.php", "申请账号"},
               {"/pay/add.php?code=10001", "value=\"10001\""},
               {"/goto.php?kind=1", "/mall/image/car1.png"},
               {"/chatroom.php", "聊天室大厅"}};
  for (const Case& c : cases) {
    auto res = Get(c.path);
    ASSERT_TRUE(res) << c.path;
    EXPECT_EQ(res->status, 200) << c.path;
    EXPECT_EQ(res->get_header_value("Content-Type"), "text/html; charset=utf-8");
    EXPECT_NE(res->body.find(c.text), std::string::npos) << c.path;
  }
  auto missing = Get("/goto.php?kind=9");
  ASSERT_TRUE(missing);
  EXPECT_EQ(missing->status, 404);
}

TEST_F(WebTest, TheRankingListsTheRichestAccountsFirst) {
  ASSERT_EQ(TopUp("10002", kDemoPassword, "500")->status, 200);
  auto res = Get("/TOP10");
  ASSERT_TRUE(res);
  ASSERT_EQ(res->status, 200);
  const std::string& page = res->body;
  const auto first = page.find("<td>10002</td>"), second = page.find("<td>10001</td>");
  ASSERT_NE(first, std::string::npos);
  ASSERT_NE(second, std::string::npos);
  EXPECT_LT(first, second);
  EXPECT_NE(page.find(std::to_string(kDemoMoney + 500) + " 币"), std::string::npos);
}

}  // namespace
}  // namespace kiv::server
