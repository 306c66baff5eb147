#include "update_catalogue.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include <algorithm>
#include <charconv>
#include <fstream>
#include <sstream>

#include "base/files.h"
#include "base/gbk.h"
#include "base/ini.h"

namespace kiv::server {

namespace fs = std::filesystem;

namespace {

bool ParseVersion(const std::string& text, std::int64_t& out) {
  auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), out);
  return !text.empty() && ec == std::errc() && end == text.data() + text.size();
}

bool ReadAll(const fs::path& path, Bytes& out) {
  std::ifstream in(path, std::ios::binary);
  if (!in) return false;
  out.assign(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
  return !in.bad();
}

std::string ReadText(const fs::path& path) {
  std::ifstream in(path, std::ios::binary);
  std::stringstream all;
  all << in.rdbuf();
  return all.str();
}

}  // namespace

TUpdateCatalogue::TUpdateCatalogue(fs::path folder) : folder_(std::move(folder)) {}

void TUpdateCatalogue::Load() {
  std::error_code ec;
  std::vector<fs::path> folders;
  for (const fs::directory_entry& entry : fs::directory_iterator(folder_, ec))
    if (entry.is_directory()) folders.push_back(entry.path());
  std::sort(folders.begin(), folders.end());  // serials: later publications win
  std::lock_guard lock(mutex_);
  for (const fs::path& dir : folders) {
    IniFile ini = IniFile::Load(dir / "update.ini");
    if (!ini.Find("update", "key")) continue;
    auto update = std::make_shared<TPublishedUpdate>();
    update->plugin = ini.GetInt("update", "plugin", 0) != 0;
    update->key = ini.Get("update", "key");
    update->description = ReadText(dir / "description.txt");
    const long long count = ini.GetInt("update", "files", 0);
    bool complete = true;
    for (long long i = 0; i < count && complete; ++i) {
      TPublishedFile f;
      f.name = ini.Get("files", "name" + std::to_string(i));
      f.stored = dir / std::to_string(i);
      std::error_code size_ec;
      const auto size = fs::file_size(f.stored, size_ec);
      complete = !f.name.empty() && !size_ec && size <= 0xFFFFFFFFu;
      f.sent_size = static_cast<std::uint32_t>(size);
      update->files.push_back(std::move(f));
    }
    if (!complete) continue;
    std::int64_t version = 0;
    if (update->plugin) {
      plugins_[update->key] = std::move(update);
    } else if (ParseVersion(update->key, version)) {
      versions_[version] = std::move(update);
    }
  }
}

bool TUpdateCatalogue::Publish(bool plugin, const std::string& key, const fs::path& source,
                               const std::string& description,
                               const std::optional<update::TSecretKey>& signing_key, std::string* error) {
  auto fail = [&](const std::string& why) {
    if (error) *error = why;
    return false;
  };
  std::int64_t version = 0;
  if (!plugin && !ParseVersion(key, version)) return fail("the version must be a number");
  if (plugin && (key.empty() || Utf8ToGbk(key).size() > update::kVersionBytes || ParseVersion(key, version)))
    return fail("a plug-in name is 1 to 20 bytes and not a number");
  if (!fs::is_directory(source)) return fail("no folder " + source.string());

  // The files, in a stable order, each with its name as sent.
  std::vector<std::pair<std::string, fs::path>> files;
  std::error_code ec;
  for (auto it = fs::recursive_directory_iterator(source, ec);
       !ec && it != fs::recursive_directory_iterator(); it.increment(ec)) {
    if (it->is_symlink() || !it->is_regular_file()) continue;
    std::string name = fs::relative(it->path(), source).generic_string();
    std::replace(name.begin(), name.end(), '/', '\\');
    if (Utf8ToGbk(name).size() > update::kNameBytes) return fail("file name longer than 42 bytes: " + name);
    if (name == update::kManifestName) return fail(name + " is a reserved name");
    files.emplace_back(std::move(name), it->path());
  }
  if (ec) return fail("cannot list " + source.string() + ": " + ec.message());
  std::sort(files.begin(), files.end());

  const std::string serial = std::to_string(std::chrono::duration_cast<std::chrono::microseconds>(
                                                std::chrono::system_clock::now().time_since_epoch())
                                                .count());
  const fs::path dir = folder_ / serial;
  if (!MakeDir(dir)) return fail("cannot create " + dir.string());
  auto update = std::make_shared<TPublishedUpdate>();
  update->plugin = plugin;
  update->key = key;
  update->description = description;
  update::TManifest manifest;
  manifest.target = key;
  std::vector<TPublishedFile> stored;
  for (const auto& [name, path] : files) {
    Bytes content;
    if (!ReadAll(path, content)) return fail("cannot read " + path.string());
    update::TSha256Stream hash;
    hash.Update(content);
    manifest.files.push_back({name, content.size(), hash.Final()});
    Bytes sent = update::PackForSending(content);
    TPublishedFile f{name, dir / std::to_string(stored.size() + (signing_key ? 1 : 0)),
                     static_cast<std::uint32_t>(sent.size())};
    std::string write_error;
    if (!WriteFileAtomic(f.stored, sent, &write_error)) return fail(write_error);
    stored.push_back(std::move(f));
  }
  if (signing_key) {
    const std::string text = update::SignManifest(manifest, *signing_key);
    const Bytes sent =
        update::PackForSending(std::span(reinterpret_cast<const std::uint8_t*>(text.data()), text.size()));
    TPublishedFile f{update::kManifestName, dir / "0", static_cast<std::uint32_t>(sent.size())};
    std::string write_error;
    if (!WriteFileAtomic(f.stored, sent, &write_error)) return fail(write_error);
    update->files.push_back(std::move(f));
  }
  for (TPublishedFile& f : stored) update->files.push_back(std::move(f));

  IniFile ini;
  ini.Set("update", "plugin", plugin ? "1" : "0");
  ini.Set("update", "key", key);
  ini.Set("update", "files", std::to_string(update->files.size()));
  for (std::size_t i = 0; i < update->files.size(); ++i)
    ini.Set("files", "name" + std::to_string(i), update->files[i].name);
  std::string write_error;
  if (!WriteFileAtomic(dir / "description.txt", description, &write_error)) return fail(write_error);
  if (!ini.Save(dir / "update.ini")) return fail("cannot write " + (dir / "update.ini").string());

  std::lock_guard lock(mutex_);
  if (plugin) {
    plugins_[key] = std::move(update);
  } else {
    versions_[version] = std::move(update);
  }
  return true;
}

std::shared_ptr<const TPublishedUpdate> TUpdateCatalogue::Find(const std::string& requested) const {
  std::lock_guard lock(mutex_);
  std::int64_t version = 0;
  if (ParseVersion(requested, version)) {
    if (versions_.empty() || versions_.rbegin()->first <= version) return nullptr;
    return versions_.rbegin()->second;
  }
  auto it = plugins_.find(requested);
  return it == plugins_.end() ? nullptr : it->second;
}

std::optional<update::TSecretKey> LoadSigningKey(const fs::path& data_dir) {
  const std::string text = ReadText(data_dir / "update-signing.key");
  std::optional<Bytes> bytes = update::FromHex(text, 64);
  if (!bytes) return std::nullopt;
  update::TSecretKey key{};
  std::copy(bytes->begin(), bytes->end(), key.begin());
  return key;
}

std::optional<std::string> MakeSigningKey(const fs::path& data_dir, bool replace, std::string* error) {
  const fs::path path = data_dir / "update-signing.key";
  if (!replace && fs::exists(path)) {
    if (error) *error = path.string() + " exists; give --replace to make a new one";
    return std::nullopt;
  }
  update::TKeyPair pair = update::GenerateKeyPair();
  // The secret key is private from the first byte: the file is created with mode 0600.
  const fs::path temp = data_dir / "update-signing.key.new";
  ::unlink(temp.c_str());
  const std::string text = update::ToHex(pair.secret_key) + "\n";
  const int fd = ::open(temp.c_str(), O_CREAT | O_EXCL | O_WRONLY | O_CLOEXEC, 0600);
  bool ok = fd >= 0 && ::write(fd, text.data(), text.size()) == static_cast<ssize_t>(text.size());
  ok = fd >= 0 && ::fsync(fd) == 0 && ok;
  if (fd >= 0) ok = ::close(fd) == 0 && ok;
  if (!ok || ::rename(temp.c_str(), path.c_str()) != 0) {
    if (error) *error = "cannot store " + path.string() + ": " + std::strerror(errno);
    ::unlink(temp.c_str());
    return std::nullopt;
  }
  return update::ToHex(pair.public_key);
}

}  // namespace kiv::server
