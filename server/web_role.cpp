#include "web_role.h"

#include <fcntl.h>
#include <httplib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cctype>
#include <charconv>
#include <chrono>
#include <ctime>
#include <fstream>
#include <iterator>
#include <thread>

#include "base/gbk.h"
#include "base/ini.h"
#include "base/md5.h"
#include "base/safe_name.h"
#include "base/text_checks.h"

namespace kiv::server {

namespace {

namespace fs = std::filesystem;

// The largest file the content folder serves (a skin package is the largest kind).
constexpr std::uintmax_t kMaxContentFile = 32u << 20;
constexpr std::int64_t kMaxTopUp = 100000;
constexpr std::size_t kLedgerRowsShown = 50;

constexpr std::size_t kRankRowsShown = 10;

// The folders of the content tree that are served as files (mall/image holds the mall's pictures).
constexpr const char* kContentFolders[] = {"Download", "present", "stamp", "skins", "mall/image"};

// The catalogue name the admin command uses, and its key in the version file.
struct TCatalogueKey {
  const char* name;
  const char* key;
};
constexpr TCatalogueKey kCatalogues[] = {
    {"present", "PresentVersion"}, {"skin", "SkinVersion"}, {"stamp", "StampVersion"}};

std::string Escape(std::string_view text) {
  std::string out;
  out.reserve(text.size());
  for (char c : text) {
    switch (c) {
      case '&':
        out += "&amp;";
        break;
      case '<':
        out += "&lt;";
        break;
      case '>':
        out += "&gt;";
        break;
      case '"':
        out += "&quot;";
        break;
      case '\'':
        out += "&#39;";
        break;
      default:
        out += c;
    }
  }
  return out;
}

bool ParseInt(const std::string& text, std::int64_t& out) {
  auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), out);
  return ec == std::errc() && end == text.data() + text.size() && !text.empty();
}

// One page of the site in the look of the client's default skin.
std::string Page(std::string_view title, std::string_view body) {
  std::string html;
  html += "<!DOCTYPE html>\n<html lang=\"zh-CN\"><head><meta charset=\"utf-8\"><title>";
  html += Escape(title);
  html +=
      R"(</title><style>
body{margin:0;font-family:"WenQuanYi Micro Hei","Microsoft YaHei",sans-serif;font-size:14px;color:#1f3a5a;
background:linear-gradient(#bfe3ff,#eef8ff 240px) no-repeat #eef8ff;}
header{background:linear-gradient(#2f8cff,#1762c9);color:#fff;padding:10px 18px;font-size:18px;font-weight:bold;}
header a{color:#fff;text-decoration:none;}
nav{background:#cce6ff;padding:6px 18px;border-bottom:1px solid #8ab8e0;}
nav a{color:#1762c9;margin-right:14px;text-decoration:none;}
main{max-width:620px;margin:16px auto;background:#fff;border:1px solid #8ab8e0;border-radius:6px;padding:16px 22px;}
h1{font-size:18px;margin:0 0 12px;color:#1762c9;}
h2{font-size:15px;margin:18px 0 6px;color:#1f3a5a;}
label{display:inline-block;width:84px;}
input,select{border:1px solid #8ab8e0;border-radius:4px;padding:4px 6px;margin:4px 0;font:inherit;}
button{background:linear-gradient(#8fc8ff,#2f8cff);border:1px solid #1762c9;color:#fff;border-radius:4px;
padding:5px 18px;font:inherit;cursor:pointer;}
table{border-collapse:collapse;width:100%;table-layout:fixed;}
table.catalogue th:first-child,table.catalogue td:first-child{width:64px;}
th,td{border-bottom:1px solid #cce6ff;padding:5px;text-align:left;}
th{background:#eef8ff;}
.ok{color:#1f7a3a;font-weight:bold;} .err{color:#c62828;font-weight:bold;}
.big{font-size:22px;color:#1762c9;font-weight:bold;}
img.item{max-width:56px;max-height:40px;vertical-align:middle;}
</style></head><body><header><a href="/">Kivora</a></header><nav><a href="/register.php">申请账号</a>)"
      R"(<a href="/goto.php?kind=1">道具商城</a><a href="/TOP10">排行榜</a><a href="/goto.php?kind=3">在线客服</a><a href="/help.php">新手帮助</a></nav><main>)";
  html += body;
  html += "</main></body></html>\n";
  return html;
}

void SendPage(httplib::Response& res, std::string_view title, std::string_view body, int status = 200) {
  res.status = status;
  res.set_header("Cache-Control", "no-store");
  res.set_content(Page(title, body), "text/html; charset=utf-8");
}

std::string TimeText(std::int64_t seconds) {
  std::time_t t = static_cast<std::time_t>(seconds);
  std::tm tm{};
  localtime_r(&t, &tm);
  char buffer[32];
  std::strftime(buffer, sizeof buffer, "%Y-%m-%d %H:%M", &tm);
  return buffer;
}

const char* ContentType(const fs::path& path) {
  std::string ext = path.extension().string();
  for (char& c : ext) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  if (ext == ".png") return "image/png";
  if (ext == ".jpg" || ext == ".jpeg") return "image/jpeg";
  if (ext == ".gif") return "image/gif";
  if (ext == ".bmp") return "image/bmp";
  if (ext == ".txt") return "text/plain; charset=gbk";
  return "application/octet-stream";
}

std::string Md5Tag(const std::string& data) {
  auto state = TMd5Digest::Digest(data.data(), data.size());
  std::string etag = "\"";
  for (std::uint32_t word : state) etag += TMd5Digest::rHex(word);
  etag += "\"";
  return etag;
}

// Answers with `etag` and honours If-None-Match.
void SendTagged(const httplib::Request& req, httplib::Response& res, std::string data, const char* type,
                const std::string& etag) {
  res.set_header("ETag", etag);
  res.set_header("Cache-Control", "no-cache");
  if (req.get_header_value("If-None-Match") == etag) {
    res.status = 304;
    return;
  }
  res.status = 200;
  res.set_content(std::move(data), type);
}

// Answers generated content with a strong ETag (the MD5 of its bytes).
void SendFile(const httplib::Request& req, httplib::Response& res, std::string data, const char* type) {
  const std::string etag = Md5Tag(data);
  SendTagged(req, res, std::move(data), type, etag);
}

void SendNotFound(httplib::Response& res) {
  SendPage(res, "找不到页面", "<h1>找不到页面</h1><p>您要的文件不存在。</p>", 404);
}

// A path as a log line may show it: no control characters (a decoded %0D%0A would start a forged
// line), and not longer than a line should be.
std::string LoggedPath(const std::string& path) {
  constexpr std::size_t kMax = 200;
  std::string out;
  for (char c : path.substr(0, kMax)) out += static_cast<unsigned char>(c) < 0x20 || c == 0x7F ? '?' : c;
  if (path.size() > kMax) out += "...";
  return out;
}

// The Chinese text of a money movement in one user's record.
std::string LedgerText(const TLedgerRow& row, std::uint32_t user) {
  if (row.from == 0) return "网站充值";
  if (row.from == user) return "转出给 " + std::to_string(row.to);
  return "收到 " + std::to_string(row.from) + " 的转账";
}

std::string CatalogueTable(const fs::path& file, const std::string& image_base, bool stamps) {
  IniFile ini = IniFile::Load(file);
  std::string rows;
  for (const std::string& section : ini.Sections()) {
    std::string name = ini.Get(section, "Name");
    std::string image = ini.Get(section, "ImageName");
    if (name.empty()) continue;
    rows += "<tr><td>";
    if (IsBareFileName(image))
      rows += "<img class=\"item\" alt=\"\" src=\"" + Escape(image_base + image) + "\">";
    rows +=
        "</td><td>" + Escape(name) + "</td><td>" + std::to_string(ini.GetInt(section, "Price")) + " 币</td>";
    if (stamps) rows += "<td>" + std::to_string(ini.GetInt(section, "Time")) + " 分钟</td>";
    rows += "</tr>";
  }
  if (rows.empty()) return "<p>暂无商品。</p>";
  return std::string("<table class=\"catalogue\"><tr><th></th><th>名称</th><th>价格</th>") + (stamps ? "<th>时效</th>" : "") +
         "</tr>" + rows + "</table>";
}

}  // namespace

TWebRole::TWebRole(TServerContext& ctx, fs::path content, fs::path versions, IFriendStore* presence)
    : ctx_(ctx), presence_(presence), content_(std::move(content)), versions_(std::move(versions)) {}

std::string TWebRole::SignedInFrom(std::uint32_t user) const {
  if (std::optional<TSession> s = ctx_.sessions.ByUser(user)) return s->peer.ip;
  if (presence_)
    if (std::optional<TPresenceRow> row = presence_->Presence(user)) return row->peer.ip;
  return {};
}

TWebRole::~TWebRole() { Stop(); }

bool TWebRole::Start(const std::string& address, std::uint16_t port, std::string* error) {
  http_ = std::make_unique<httplib::Server>();
  http_->set_payload_max_length(64 * 1024);
  http_->set_read_timeout(10, 0);
  http_->set_write_timeout(30, 0);
  http_->set_keep_alive_max_count(20);
  // Headers and body go out in separate writes: without this each answer waits for the delayed
  // acknowledgement of the first.
  http_->set_tcp_nodelay(true);
  Route();
  int bound = port == 0 ? http_->bind_to_any_port(address) : (http_->bind_to_port(address, port) ? port : -1);
  if (bound <= 0) {
    if (error) *error = "cannot bind the web port " + std::to_string(port);
    http_.reset();
    return false;
  }
  port_ = static_cast<std::uint16_t>(bound);
  thread_ = std::thread([this] { http_->listen_after_bind(); });
  // The library's stop() does nothing until the listening loop runs, and a server stopped before
  // that would keep listening and never be joined: return only once it runs.
  for (int waited_ms = 0; !http_->is_running() && waited_ms < 10000; ++waited_ms)
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  return true;
}

void TWebRole::Stop() {
  if (!http_) return;
  http_->stop();
  if (thread_.joinable()) thread_.join();
  http_.reset();
}

std::uint64_t TWebRole::Requests(const std::string& path) const {
  std::lock_guard lock(mutex_);
  auto it = requests_.find(path);
  return it == requests_.end() ? 0 : it->second;
}

std::size_t TWebRole::CountedPaths() const {
  std::lock_guard lock(mutex_);
  return requests_.size();
}

std::optional<std::string> TWebRole::CachedTag(const std::string& path, const TFileStamp& stamp) const {
  std::lock_guard lock(tags_mutex_);
  auto it = tags_.find(path);
  if (it == tags_.end() || !(it->second.stamp == stamp)) return std::nullopt;
  return it->second.etag;
}

void TWebRole::KeepTag(const std::string& path, const TFileStamp& stamp, const std::string& etag) {
  std::lock_guard lock(tags_mutex_);
  if (tags_.size() >= kMaxCachedTags && !tags_.contains(path)) tags_.clear();
  tags_[path] = {stamp, etag};
}

namespace {

// An open content file, closed when the last answer that streams it is gone.
struct TOpenContent {
  int fd = -1;
  ~TOpenContent() {
    if (fd >= 0) ::close(fd);
  }
};

constexpr std::size_t kContentChunk = 64 * 1024;

}  // namespace

void TWebRole::ServeContentFile(const fs::path& path, const httplib::Request& req, httplib::Response& res) {
  auto stamp_of = [](const struct stat& st) {
    return TFileStamp{static_cast<std::uint64_t>(st.st_dev), static_cast<std::uint64_t>(st.st_ino),
                      static_cast<std::uint64_t>(st.st_size),
                      static_cast<std::int64_t>(st.st_mtim.tv_sec) * 1000000000 + st.st_mtim.tv_nsec};
  };
  const std::string key = path.string();
  const std::string wanted = req.get_header_value("If-None-Match");
  auto not_modified = [&](const std::string& etag) {
    res.set_header("ETag", etag);
    res.set_header("Cache-Control", "no-cache");
    res.status = 304;
  };
  // A conditional request for a file whose stamp is known costs one stat.
  struct stat st {};
  if (::stat(path.c_str(), &st) != 0 || !S_ISREG(st.st_mode)) return SendNotFound(res);
  if (!wanted.empty()) {
    if (std::optional<std::string> etag = CachedTag(key, stamp_of(st)); etag && *etag == wanted)
      return not_modified(*etag);
  }

  // Otherwise the file is opened once: hashed from it when its tag is not known, and its body
  // streamed from it in pieces, so no request holds a whole file in memory. What was opened is
  // what is described, even when the name is replaced meanwhile.
  auto file = std::make_shared<TOpenContent>();
  file->fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK);
  if (file->fd < 0 || ::fstat(file->fd, &st) != 0 || !S_ISREG(st.st_mode) ||
      static_cast<std::uintmax_t>(st.st_size) > kMaxContentFile)
    return SendNotFound(res);
  const TFileStamp stamp = stamp_of(st);
  ++content_reads_;
  std::optional<std::string> etag = CachedTag(key, stamp);
  if (!etag) {
    Md5Context md5;
    std::vector<char> buffer(kContentChunk);
    std::uint64_t total = 0;
    for (;;) {
      const ssize_t n = ::pread(file->fd, buffer.data(), buffer.size(), static_cast<off_t>(total));
      if (n < 0) return SendNotFound(res);
      if (n == 0 || total + static_cast<std::uint64_t>(n) > stamp.size) break;
      md5.Update(buffer.data(), static_cast<std::size_t>(n));
      total += static_cast<std::uint64_t>(n);
    }
    // Written to while it was read: its bytes are of no one version. Let the client come again.
    if (total != stamp.size || ::fstat(file->fd, &st) != 0 || !(stamp_of(st) == stamp)) {
      res.set_header("Retry-After", "1");
      SendPage(res, "请稍后再试", "<h1>请稍后再试</h1><p>文件正在更新。</p>", 503);
      return;
    }
    std::string text = "\"";
    for (std::uint32_t word : md5.Finish()) text += TMd5Digest::rHex(word);
    etag = text + "\"";
    KeepTag(key, stamp, *etag);
  }
  if (wanted == *etag) return not_modified(*etag);
  res.set_header("ETag", *etag);
  res.set_header("Cache-Control", "no-cache");
  res.status = 200;
  if (stamp.size == 0) return res.set_content("", ContentType(path));
  auto provide = [file](std::size_t offset, std::size_t length, httplib::DataSink& sink) {
    std::vector<char> buffer(std::min(length, kContentChunk));
    const ssize_t n = ::pread(file->fd, buffer.data(), buffer.size(), static_cast<off_t>(offset));
    // Shorter than it was (cut meanwhile): end the connection rather than send a wrong length.
    if (n <= 0) return false;
    return sink.write(buffer.data(), static_cast<std::size_t>(n));
  };
  res.set_content_provider(static_cast<std::size_t>(stamp.size), ContentType(path), provide);
}

std::string TWebRole::VersionFile() const {
  IniFile file = IniFile::Load(content_ / "Download" / "Version.txt");
  std::lock_guard lock(mutex_);
  IniFile bumped = IniFile::Load(versions_);
  for (const TCatalogueKey& c : kCatalogues) {
    if (auto v = bumped.Find("VersionInfo", c.key)) file.Set("VersionInfo", c.key, *v);
  }
  std::string text;
  for (const std::string& section : file.Sections()) {
    text += "[" + section + "]\r\n";
    for (const std::string& key : file.Keys(section)) text += key + "=" + file.Get(section, key) + "\r\n";
  }
  return text;
}

int TWebRole::BumpVersion(const std::string& catalogue) {
  for (const TCatalogueKey& c : kCatalogues) {
    if (catalogue != c.name) continue;
    IniFile served = IniFile::Parse(VersionFile());
    std::lock_guard lock(mutex_);
    IniFile bumped = IniFile::Load(versions_);
    long long next = served.GetInt("VersionInfo", c.key, 0) + 1;
    bumped.Set("VersionInfo", c.key, std::to_string(next));
    if (!bumped.Save(versions_)) return -1;
    ctx_.log.Line(std::string("web ") + c.key + " now " + std::to_string(next));
    return static_cast<int>(next);
  }
  return -1;
}

void TWebRole::Route() {
  httplib::Server& http = *http_;
  // Counted before the answer is written (the logger runs after it), so a client that has its
  // answer finds it counted.
  http.set_post_routing_handler([this](const httplib::Request& req, httplib::Response& res) {
    // A path that is not the site's (404, or refused before routing) is not counted by name: any
    // client could grow the table with names of its own.
    const bool known = res.status != 404 && res.status != 400 && res.status != 414;
    std::lock_guard lock(mutex_);
    auto it = known ? requests_.find(req.path) : requests_.end();
    if (it != requests_.end()) {
      ++it->second;
    } else if (known && requests_.size() < kMaxCountedPaths) {
      requests_.emplace(req.path, 1);
    } else {
      ++requests_[kOtherPaths];
    }
  });
  http.set_logger([this](const httplib::Request& req, const httplib::Response& res) {
    ctx_.log.Outside("web " + LoggedPath(req.method) + " " + LoggedPath(req.path) + " " +
                  std::to_string(res.status) + " " + req.remote_addr);
  });

  http.Get("/Download/Version.txt", [this](const httplib::Request& req, httplib::Response& res) {
    SendFile(req, res, VersionFile(), "text/plain; charset=gbk");
  });
  for (const char* folder : kContentFolders) {
    std::string pattern = std::string("/") + folder + "/([^/]+)";
    std::string name = folder;
    http.Get(pattern, [this, name](const httplib::Request& req, httplib::Response& res) {
      auto path = PathInFolder(content_ / name, req.matches[1].str());
      if (!path) return SendNotFound(res);
      ServeContentFile(*path, req, res);
    });
  }

  http.Get("/", [](const httplib::Request&, httplib::Response& res) {
    SendPage(res, "Kivora",
             "<h1>欢迎来到 Kivora</h1><p>在这里您可以申请账号、为账号充值、查看交易记录，"
             "浏览道具商城或联系在线客服。</p><p><a href=\"/register.php\">申请账号</a> · "
             "<a href=\"/help.php\">新手帮助</a></p>");
  });

  // Registration: a new account with the next free code.
  auto register_form = [](std::string_view message, std::string_view nickname) {
    std::string body = "<h1>申请账号</h1>";
    if (!message.empty()) body += "<p class=\"err\">" + Escape(message) + "</p>";
    body +=
        "<form method=\"post\" action=\"/register.php\">"
        "<div><label>昵称：</label><input name=\"nickname\" maxlength=\"20\" value=\"" +
        Escape(nickname) +
        "\"></div><div><label>密码：</label><input type=\"password\" name=\"password\" "
        "maxlength=\"16\"></div>"
        "<div><label>确认密码：</label><input type=\"password\" name=\"password2\" maxlength=\"16\"></div>"
        "<div><label></label><button type=\"submit\">注册</button></div></form>";
    return body;
  };
  http.Get("/register.php", [register_form](const httplib::Request&, httplib::Response& res) {
    SendPage(res, "申请账号", register_form("", ""));
  });
  http.Post("/register.php", [this, register_form](const httplib::Request& req, httplib::Response& res) {
    std::string nickname = req.get_param_value("nickname");
    std::string password = req.get_param_value("password");
    std::string gbk_nickname = Utf8ToGbk(nickname);
    std::string gbk_password = Utf8ToGbk(password);
    std::string problem;
    if (gbk_nickname.empty() || gbk_nickname.size() > 20 || !CheckInputString(nickname))
      problem = "昵称不能为空，最多 20 个字节，且不能含有特殊符号。";
    else if (gbk_password.empty() || gbk_password.size() > 16)
      problem = "密码不能为空，最多 16 个字节。";
    else if (password != req.get_param_value("password2"))
      problem = "两次输入的密码不一致。";
    if (!problem.empty()) {
      SendPage(res, "申请账号", register_form(problem, nickname), 400);
      return;
    }
    TAccount account;
    account.password_hash = ctx_.hasher.Hash(MD5(gbk_password, 2));
    account.nickname = nickname;
    std::uint32_t code = account.password_hash.empty() ? 0 : ctx_.store.Create(account);
    if (!code) {
      SendPage(res, "申请账号", register_form("注册失败，请稍后再试。", nickname), 500);
      return;
    }
    ctx_.log.Line("web registered " + std::to_string(code));
    SendPage(res, "申请账号",
             "<h1>注册成功</h1><p class=\"ok\">您的号码是：</p><p class=\"big\" id=\"code\">" +
                 std::to_string(code) + "</p><p>请牢记您的号码和密码，用它们登录 Kivora。</p>");
  });

  // Top-up. With the demo payments the user confirms with the password and the page credits
  // currency itself; otherwise it only says how to pay. Every form carries a request id, so a
  // POST sent twice credits once.
  auto pay_form = [](std::string_view message, std::string_view code) {
    std::string body = "<h1>账号充值</h1><p>这是演示充值，不收取任何费用。</p>";
    if (!message.empty()) body += "<p class=\"err\">" + Escape(message) + "</p>";
    body +=
        "<form method=\"post\" action=\"/pay/add.php\"><input type=\"hidden\" name=\"request\" value=\"" +
        NewRequestId() +
        "\"><div><label>号码：</label><input name=\"code\" "
        "value=\"" +
        Escape(code) +
        "\"></div><div><label>密码：</label><input type=\"password\" name=\"password\" "
        "maxlength=\"16\"></div>"
        "<div><label>金额：</label><select name=\"amount\"><option>10</option><option selected>100</option>"
        "<option>500</option><option>1000</option></select> 币</div>"
        "<div><label></label><button type=\"submit\">充值</button></div></form>";
    return body;
  };
  auto operator_page = [](httplib::Response& res, int status) {
    SendPage(res, "账号充值",
             "<h1>账号充值</h1><p>本站不在网上收款。充值请联系运营方，款项到账后由运营方为您的号码充值，"
             "客户端会随即显示新的余额。</p><p>联系方式见<a href=\"/goto.php?kind=3\">在线客服</a>。</p>",
             status);
  };
  http.Get("/pay/add.php", [this, pay_form, operator_page](const httplib::Request& req, httplib::Response& res) {
    if (!ctx_.config.demo_payments) return operator_page(res, 200);
    std::int64_t code = 0;
    std::string given = req.get_param_value("code");
    SendPage(res, "账号充值", pay_form("", ParseInt(given, code) ? given : ""));
  });
  http.Post("/pay/add.php", [this, pay_form, operator_page](const httplib::Request& req, httplib::Response& res) {
    if (!ctx_.config.demo_payments) return operator_page(res, 403);
    std::string given = req.get_param_value("code");
    const std::string request_id = req.get_param_value("request");
    std::int64_t code = 0, amount = 0;
    if (!IsRequestId(request_id)) {
      SendPage(res, "账号充值", pay_form("请从充值页面重新提交。", given), 400);
      return;
    }
    // A wrong password and an unknown code cost the same and read the same.
    const std::int64_t now = ctx_.NowSeconds();
    if (!ctx_.credentials.Allow(req.remote_addr, now)) {
      SendPage(res, "账号充值", pay_form("请求过于频繁，请稍后再试。", given), 503);
      return;
    }
    std::optional<TAccount> account;
    if (ParseInt(given, code) && code > 0 && code <= UINT32_MAX)
      account = ctx_.store.Find(static_cast<std::uint32_t>(code));
    if (!account) ctx_.credentials.Unknown(req.remote_addr, now);
    if (!account ||
        !ctx_.credentials.Check(*account, MD5(Utf8ToGbk(req.get_param_value("password")), 2), req.remote_addr, now)) {
      SendPage(res, "账号充值", pay_form("号码或密码错误。", given), 403);
      return;
    }
    if (!ParseInt(req.get_param_value("amount"), amount) || amount <= 0 || amount > kMaxTopUp) {
      SendPage(res, "账号充值", pay_form("金额必须是 1 到 100000 之间的整数。", given), 400);
      return;
    }
    TCreditResult credit = ctx_.store.Credit(account->code, amount, "web-" + request_id);
    if (credit.outcome == TCreditOutcome::kReplayed) {
      SendPage(res, "账号充值", "<h1>账号充值</h1><p class=\"ok\">这笔充值已经处理过了，没有重复充值。</p>");
      return;
    }
    if (credit.outcome != TCreditOutcome::kDone) {
      SendPage(res, "账号充值", pay_form("充值失败，请稍后再试。", given), 500);
      return;
    }
    ctx_.log.Line("web top-up " + std::to_string(account->code) + " " + std::to_string(amount));
    SendPage(res, "账号充值",
             "<h1>充值成功</h1><p class=\"ok\">已为 " + std::to_string(account->code) + " 充值 " +
                 std::to_string(amount) + " 币。</p><p>当前余额：<span class=\"big\" id=\"balance\">" +
                 std::to_string(credit.balance) + "</span> 币</p><p>关闭本页后，客户端会刷新您的余额。</p>");
  });

  http.Get("/goto.php", [this](const httplib::Request& req, httplib::Response& res) {
    const std::string kind = req.get_param_value("kind");
    if (kind == "1") {
      SendPage(
          res, "道具商城",
          "<h1>道具商城</h1><h2>礼物</h2>" +
              CatalogueTable(content_ / "present" / "PresentInfo.txt", "/present/", false) + "<h2>印章</h2>" +
              CatalogueTable(content_ / "stamp" / "StampInfo.txt", "/stamp/", true) + "<h2>交通工具</h2>" +
              CatalogueTable(content_ / "mall" / "MallInfo.txt", "/mall/image/", false) +
              "<p>礼物和印章在聊天室中赠送，交通工具可以停入聊天室的车位，费用从您的账号余额中扣除。</p>");
      return;
    }
    if (kind == "2") {
      std::int64_t code = 0;
      std::optional<TAccount> account;
      if (ParseInt(req.get_param_value("usercode"), code) && code > 0 && code <= UINT32_MAX)
        account = ctx_.store.Find(static_cast<std::uint32_t>(code));
      // The page opens from the signed-in client with the password digest in its address. The
      // digest alone is not enough (an address is easily seen and kept): the account must also
      // have a session from the address the page is asked from. Every refusal reads the same.
      const std::int64_t now = ctx_.NowSeconds();
      if (!ctx_.credentials.Allow(req.remote_addr, now)) {
        SendPage(res, "交易记录", "<h1>交易记录</h1><p class=\"err\">请求过于频繁，请稍后再试。</p>", 503);
        return;
      }
      if (!account) ctx_.credentials.Unknown(req.remote_addr, now);
      bool allowed = account && ctx_.credentials.Check(*account, req.get_param_value("password"), req.remote_addr, now);
      if (allowed) {
        const std::string from = SignedInFrom(account->code);
        allowed = !from.empty() && from == req.remote_addr;
      }
      if (!allowed) {
        SendPage(res, "交易记录", "<h1>交易记录</h1><p class=\"err\">号码或密码错误，请重新登录客户端。</p>",
                 403);
        return;
      }
      std::string body = "<h1>交易记录</h1><p>号码 " + std::to_string(account->code) + "，当前余额 " +
                         std::to_string(account->money) + " 币。</p>";
      std::vector<TLedgerRow> rows = ctx_.store.LedgerOf(account->code, kLedgerRowsShown);
      if (rows.empty()) {
        body += "<p>暂无交易记录。</p>";
      } else {
        body += "<table><tr><th>时间</th><th>内容</th><th>金额</th><th>手续费</th></tr>";
        for (const TLedgerRow& row : rows) {
          bool out = row.from == account->code;
          body += "<tr><td>" + TimeText(row.at) + "</td><td>" + Escape(LedgerText(row, account->code)) +
                  "</td><td>" + (out ? "-" : "+") + std::to_string(row.amount) + "</td><td>" +
                  (out ? std::to_string(row.fee) : std::string("0")) + "</td></tr>";
        }
        body += "</table>";
      }
      SendPage(res, "交易记录", body);
      return;
    }
    if (kind == "3") {
      SendPage(res, "在线客服",
               "<h1>在线客服</h1><p>遇到问题？我们的客服每天 9:00 到 22:00 在线。</p>"
               "<table><tr><th>方式</th><th>联系</th></tr><tr><td>电子邮件</td><td>support@kivora.example</"
               "td></tr>"
               "<tr><td>客服号码</td><td>10000（在客户端中添加为好友）</td></tr></table>"
               "<p>忘记密码时，请在登录窗口点击“找回密码”。</p>");
      return;
    }
    SendPage(res, "找不到页面", "<h1>找不到页面</h1><p>您要的页面不存在。</p>", 404);
  });

  // The room lobby's first tab and its ranking tab.
  http.Get("/chatroom.php", [](const httplib::Request&, httplib::Response& res) {
    SendPage(res, "聊天室",
             "<h1>欢迎来到聊天室大厅</h1><p>在左侧的分类中选择一个聊天室，双击即可进入。</p>"
             "<h2>在聊天室里</h2><ul><li>排麦发言，和大家语音、视频聊天；</li>"
             "<li>公聊或私聊，发送广播；</li><li>赠送礼物、盖章，把交通工具停进车位。</li></ul>"
             "<p>礼物、印章和交通工具的价格见<a href=\"/goto.php?kind=1\">道具商城</a>，"
             "余额不足时请<a href=\"/pay/add.php\">充值</a>。</p>");
  });
  http.Get("/TOP10", [this](const httplib::Request&, httplib::Response& res) {
    std::vector<TRankRow> rows = ctx_.store.Richest(kRankRowsShown);
    std::string body = "<h1>财富排行榜</h1>";
    if (rows.empty()) {
      body += "<p>暂无排名。</p>";
    } else {
      body += "<table><tr><th>名次</th><th>昵称</th><th>号码</th><th>余额</th></tr>";
      for (std::size_t i = 0; i < rows.size(); ++i)
        body += "<tr><td>" + std::to_string(i + 1) + "</td><td>" + Escape(rows[i].nickname) + "</td><td>" +
                std::to_string(rows[i].code) + "</td><td>" + std::to_string(rows[i].money) + " 币</td></tr>";
      body += "</table>";
    }
    SendPage(res, "排行榜", body);
  });

  http.Get("/help.php", [](const httplib::Request&, httplib::Response& res) {
    SendPage(res, "新手帮助",
             "<h1>新手帮助</h1><h2>开始使用</h2><ol><li>在本网站<a href=\"/register.php\">申请账号</a>，"
             "记下分配给您的号码。</li><li>在客户端的登录窗口输入号码和密码登录。</li>"
             "<li>在好友列表中添加好友，或进入聊天室与大家聊天。</li></ol><h2>充值与交易</h2>"
             "<p>在主窗口点击“充值”为账号充值，在“交易记录”中查看每一笔收支。</p><h2>更改外观</h2>"
             "<p>在系统菜单中打开“更改外观”，可以调整色彩、饱和度，或点击下载新的皮肤。</p>");
  });

  http.set_error_handler([](const httplib::Request&, httplib::Response& res) {
    if (res.body.empty() && res.status == 404)
      SendPage(res, "找不到页面", "<h1>找不到页面</h1><p>您要的页面不存在。</p>", 404);
  });
}

}  // namespace kiv::server
