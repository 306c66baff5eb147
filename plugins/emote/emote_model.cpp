#include "emote_model.h"
#include "system/path_text.h"

#include <QImage>
#include <algorithm>
#include <array>
#include <chrono>
#include <fstream>
#include <optional>

#include "base/files.h"
#include "base/gbk.h"
#include "base/wire.h"

namespace kiv::emote {

namespace {

// Lists of a few thousand records, pictures of a few megabytes: anything larger is not ours.
constexpr std::uintmax_t kMaxListFileSize = 16u * 1024 * 1024;
constexpr std::uintmax_t kMaxPictureFileSize = 8u * 1024 * 1024;
constexpr std::uintmax_t kMaxPackageFileSize = 64u * 1024 * 1024;

// Package entry: name and hot key as a length byte and 49 characters, the extension as a length byte
// and 9 characters, then the picture's size.
constexpr std::size_t kPackageTextField = 50;
constexpr std::size_t kPackageExtensionField = 10;
constexpr std::size_t kPackageEntryHeader = 2 * kPackageTextField + kPackageExtensionField + 4;

constexpr std::array<std::string_view, 5> kPictureExtensions = {".gif", ".jpg", ".jpeg", ".bmp", ".png"};

std::optional<std::vector<std::uint8_t>> ReadFile(const std::filesystem::path& path,
                                                  std::uintmax_t max_size) {
  std::error_code error;
  if (!std::filesystem::is_regular_file(path, error)) return std::nullopt;
  const std::uintmax_t size = std::filesystem::file_size(path, error);
  if (error || size > max_size) return std::nullopt;
  std::ifstream in(path, std::ios::binary);
  std::vector<std::uint8_t> bytes(static_cast<std::size_t>(size));
  if (!in ||
      (size > 0 && !in.read(reinterpret_cast<char*>(bytes.data()), static_cast<std::streamsize>(size)))) {
    return std::nullopt;
  }
  return bytes;
}

std::string Lower(std::string text) {
  std::transform(text.begin(), text.end(), text.begin(),
                 [](unsigned char c) { return static_cast<char>(c >= 'A' && c <= 'Z' ? c + 32 : c); });
  return text;
}

bool KnownExtension(const std::string& extension) {
  return std::find(kPictureExtensions.begin(), kPictureExtensions.end(), Lower(extension)) !=
         kPictureExtensions.end();
}

bool Decodes(const QByteArray& picture) { return !QImage::fromData(picture).isNull(); }

QByteArray ToByteArray(const std::vector<std::uint8_t>& bytes) {
  return QByteArray(reinterpret_cast<const char*>(bytes.data()), static_cast<qsizetype>(bytes.size()));
}

// A picture file the user chose: its bytes when it is a picture we can store.
std::optional<QByteArray> ReadPicture(const std::filesystem::path& file) {
  if (!KnownExtension(file.extension().string())) return std::nullopt;
  const auto bytes = ReadFile(file, kMaxPictureFileSize);
  if (!bytes) return std::nullopt;
  QByteArray picture = ToByteArray(*bytes);
  if (!Decodes(picture)) return std::nullopt;
  return picture;
}

bool SamePath(const std::filesystem::path& a, const std::filesystem::path& b) {
  std::error_code error;
  return std::filesystem::equivalent(a, b, error);
}

}  // namespace

std::optional<std::vector<TPackageEntry>> ParseEmotePackage(std::span<const std::uint8_t> bytes,
                                                            QString* error) {
  auto fail = [error]() -> std::optional<std::vector<TPackageEntry>> {
    if (error) *error = text::kWrongPackage;
    return std::nullopt;
  };
  const RecordReader file(bytes);
  if (!file.has(0, 4) || file.u32(0) != kEmotePackageMagic) return fail();
  std::vector<TPackageEntry> entries;
  std::size_t at = 4;
  while (at < bytes.size()) {
    if (!file.has(at, kPackageEntryHeader)) return fail();
    const std::size_t name_length = file.u8(at);
    const std::size_t key_length = file.u8(at + kPackageTextField);
    const std::size_t extension_length = file.u8(at + 2 * kPackageTextField);
    if (name_length >= kPackageTextField || key_length >= kPackageTextField ||
        extension_length >= kPackageExtensionField) {
      return fail();
    }
    TPackageEntry entry;
    entry.name = file.text(at, kPackageTextField - 1);
    entry.hot_key = file.text(at + kPackageTextField, kPackageTextField - 1);
    entry.extension = Lower(file.text(at + 2 * kPackageTextField, kPackageExtensionField - 1));
    const std::uint32_t size = file.u32(at + 2 * kPackageTextField + kPackageExtensionField);
    at += kPackageEntryHeader;
    if (!KnownExtension(entry.extension) || size == 0 || !file.has(at, size)) return fail();
    const auto picture = file.bytes(at, size);
    entry.picture = QByteArray(reinterpret_cast<const char*>(picture.data()), static_cast<qsizetype>(size));
    if (!Decodes(entry.picture)) return fail();
    at += size;
    entries.push_back(std::move(entry));
  }
  if (entries.empty()) return fail();
  return entries;
}

std::vector<std::uint8_t> EncodeEmotePackage(std::span<const TPackageEntry> entries) {
  std::vector<std::uint8_t> out(4);
  RecordWriter(out).u32(0, kEmotePackageMagic);
  for (const TPackageEntry& entry : entries) {
    RecordWriter header(kPackageEntryHeader);
    header.text(0, kPackageTextField - 1, entry.name)
        .text(kPackageTextField, kPackageTextField - 1, entry.hot_key)
        .text(2 * kPackageTextField, kPackageExtensionField - 1, entry.extension)
        .u32(2 * kPackageTextField + kPackageExtensionField,
             static_cast<std::uint32_t>(entry.picture.size()));
    const auto bytes = header.view();
    out.insert(out.end(), bytes.begin(), bytes.end());
    out.insert(out.end(), entry.picture.begin(), entry.picture.end());
  }
  return out;
}

bool TEmoteModel::Sync(const std::filesystem::path& app_folder, std::uint32_t user_code) {
  const std::filesystem::path folder = app_folder.lexically_normal();
  if (loaded_ && folder == app_folder_ && user_code == user_code_) return false;
  app_folder_ = folder;
  emote_folder_ = app_folder_ / "EmoteInfo";
  user_code_ = user_code;
  Reload();
  return true;
}

void TEmoteModel::Reload() {
  items_.clear();
  LoadBuiltIn();
  LoadCustom();
  loaded_ = true;
}

void TEmoteModel::LoadBuiltIn() {
  built_in_on_disk_ = ReadFile(BuiltInListPath(), kMaxListFileSize).value_or(std::vector<std::uint8_t>{});
  for (TEmoteInfo& info : DecodeEmoteRecords(built_in_on_disk_)) {
    if (info.category == kEmoteSet1 || info.category == kEmoteSet2) items_.push_back(std::move(info));
  }
}

void TEmoteModel::LoadCustom() {
  if (user_code_ == 0) return;
  const auto bytes = ReadFile(CustomListPath(), kMaxListFileSize);
  if (!bytes) return;
  for (TEmoteInfo& info : DecodeEmoteRecords(*bytes)) {
    // Whatever the file says, these are the user's own and are saved back to the user's list.
    info.category = kEmoteCustom;
    items_.push_back(std::move(info));
  }
}

std::filesystem::path TEmoteModel::CustomListPath() const {
  return app_folder_ / std::to_string(user_code_) / "EmoteInfo.dat";
}

std::filesystem::path TEmoteModel::PicturePath(const TEmoteInfo& info) const {
  return emote_folder_ / std::filesystem::u8path(info.file.str());
}

QStringList TEmoteModel::HotKeys() const {
  QStringList keys;
  keys.reserve(static_cast<qsizetype>(items_.size()));
  for (const TEmoteInfo& info : items_) keys.append(QString::fromStdString(info.hot_key.str()));
  return keys;
}

const TEmoteInfo* TEmoteModel::FindByHotKey(std::string_view hot_key) const {
  if (hot_key.empty()) return nullptr;
  for (const TEmoteInfo& info : items_) {
    if (info.hot_key.str() == hot_key) return &info;
  }
  return nullptr;
}

std::vector<std::size_t> TEmoteModel::IndexesOf(std::uint8_t category) const {
  std::vector<std::size_t> indexes;
  for (std::size_t i = 0; i < items_.size(); ++i) {
    if (items_[i].category == category) indexes.push_back(i);
  }
  return indexes;
}

bool TEmoteModel::HotKeyTaken(std::string_view hot_key, std::ptrdiff_t except) const {
  if (hot_key.empty()) return false;
  for (std::size_t i = 0; i < items_.size(); ++i) {
    if (static_cast<std::ptrdiff_t>(i) != except && items_[i].hot_key.str() == hot_key) return true;
  }
  return false;
}

bool TEmoteModel::SaveEMoteInfo(std::string* error) {
  if (!MakeDir(emote_folder_)) {
    if (error) *error = "Cannot create " + Utf8OfPath(emote_folder_);
    return false;
  }
  std::vector<TEmoteInfo> built_in;
  for (const TEmoteInfo& info : items_) {
    if (!info.IsCustom()) built_in.push_back(info);
  }
  // The built-in list belongs to the installation: it is rewritten only when it changed.
  std::vector<std::uint8_t> bytes = EncodeEmoteRecords(built_in);
  if (bytes != built_in_on_disk_) {
    if (!WriteFileAtomic(BuiltInListPath(), bytes, error)) return false;
    built_in_on_disk_ = std::move(bytes);
  }
  return SaveCustomList(error);
}

bool TEmoteModel::SaveCustomList(std::string* error) {
  if (user_code_ == 0) {
    if (error) *error = "Nobody is signed in";
    return false;
  }
  const std::filesystem::path path = CustomListPath();
  if (!MakeDir(path.parent_path())) {
    if (error) *error = "Cannot create " + Utf8OfPath(path.parent_path());
    return false;
  }
  std::vector<TEmoteInfo> custom;
  for (const TEmoteInfo& info : items_) {
    if (info.IsCustom()) custom.push_back(info);
  }
  return WriteFileAtomic(path, EncodeEmoteRecords(custom), error);
}

std::string TEmoteModel::NewPictureName(const std::string& extension) const {
  auto tick = static_cast<std::uint64_t>(std::chrono::duration_cast<std::chrono::milliseconds>(
                                             std::chrono::steady_clock::now().time_since_epoch())
                                             .count());
  std::error_code error;
  while (true) {
    std::string name = "Emote" + std::to_string(tick) + extension;
    if (!std::filesystem::exists(emote_folder_ / name, error)) return name;
    ++tick;
  }
}

std::string TEmoteModel::StorePicture(const QByteArray& picture, const std::string& extension) {
  if (!MakeDir(emote_folder_)) return {};
  std::string name = NewPictureName(Lower(extension));
  const std::string_view data(picture.constData(), static_cast<std::size_t>(picture.size()));
  return WriteFileAtomic(emote_folder_ / name, data) ? name : std::string();
}

QString TEmoteModel::AddStoredPicture(const std::string& file_name) {
  if (user_code_ == 0) return text::kSignInFirst;
  // A bare file name of the emoticon folder, nothing that leads elsewhere.
  const std::filesystem::path name = std::filesystem::u8path(file_name);
  if (file_name.empty() || name.has_parent_path() || file_name == "." || file_name == ".." ||
      file_name.find('/') != std::string::npos) {
    return text::kNoFile;
  }
  std::error_code error;
  if (!std::filesystem::is_regular_file(emote_folder_ / name, error)) return text::kNoFile;
  TEmoteInfo info;
  info.category = kEmoteCustom;
  info.file = file_name;
  info.name = file_name;
  info.hot_key = "/" + file_name;
  items_.push_back(std::move(info));
  if (!SaveEMoteInfo()) {
    items_.pop_back();
    return text::kNotSaved;
  }
  return {};
}

QString TEmoteModel::AddFiles(const std::vector<std::filesystem::path>& files, const std::string& name,
                              const std::string& hot_key) {
  if (user_code_ == 0) return text::kSignInFirst;
  if (files.empty()) return text::kNoPath;
  std::error_code error;
  std::vector<QByteArray> pictures;
  for (const auto& file : files) {
    if (!std::filesystem::is_regular_file(file, error)) return text::kNoFile;
    auto picture = ReadPicture(file);
    if (!picture) return text::kBadPicture;
    pictures.push_back(std::move(*picture));
  }
  if (files.size() == 1 && HotKeyTaken(hot_key)) return text::kDuplicateHotKey;

  const std::size_t old_size = items_.size();
  std::vector<std::string> stored;
  bool ok = true;
  for (std::size_t i = 0; i < files.size() && ok; ++i) {
    std::string file = StorePicture(pictures[i], files[i].extension().string());
    ok = !file.empty();
    if (!ok) break;
    stored.push_back(file);
    TEmoteInfo info;
    info.category = kEmoteCustom;
    info.file = file;
    if (files.size() == 1) {
      info.name = name;
      info.hot_key = hot_key;
    } else {
      const std::string stem = Utf8OfPath(files[i].stem());
      info.name = stem;
      // A derived hot key that another emoticon has already stays empty: it would never convert.
      const ShortString<50> derived("/" + stem);
      if (!HotKeyTaken(derived.str())) info.hot_key = derived.str();
    }
    items_.push_back(std::move(info));
  }
  if (ok && SaveEMoteInfo()) return {};
  items_.resize(old_size);
  for (const std::string& file : stored) std::filesystem::remove(emote_folder_ / file, error);
  return text::kNotSaved;
}

QString TEmoteModel::Modify(std::ptrdiff_t index, const std::vector<std::filesystem::path>& files,
                            const std::string& name, const std::string& hot_key) {
  if (index < 0 || static_cast<std::size_t>(index) >= items_.size() || !items_[index].IsCustom()) {
    return text::kSelectToModify;
  }
  if (files.size() > 1) return text::kModifyOneOnly;
  if (files.empty()) return text::kModifyNoPath;
  std::error_code error;
  if (!std::filesystem::is_regular_file(files.front(), error)) return text::kModifyNoFile;
  if (HotKeyTaken(hot_key, index)) return text::kDuplicateHotKey;

  const TEmoteInfo old = items_[index];
  TEmoteInfo& info = items_[index];
  std::string stored;
  if (!SamePath(files.front(), PicturePath(old))) {
    const auto picture = ReadPicture(files.front());
    if (!picture) return text::kBadPicture;
    stored = StorePicture(*picture, files.front().extension().string());
    if (stored.empty()) return text::kNotSaved;
    info.file = stored;
  }
  info.name = name;
  info.hot_key = hot_key;
  if (SaveEMoteInfo()) return {};
  items_[index] = old;
  if (!stored.empty()) std::filesystem::remove(emote_folder_ / stored, error);
  return text::kNotSaved;
}

QString TEmoteModel::Remove(std::ptrdiff_t index) {
  if (index < 0 || static_cast<std::size_t>(index) >= items_.size() || !items_[index].IsCustom()) {
    return text::kSelectToDelete;
  }
  const TEmoteInfo old = items_[index];
  items_.erase(items_.begin() + index);
  if (SaveEMoteInfo()) return {};
  items_.insert(items_.begin() + index, old);
  return text::kNotSaved;
}

bool TEmoteModel::MoveBefore(std::size_t from, std::size_t to) {
  if (from >= items_.size() || to >= items_.size() || from == to) return false;
  if (!items_[from].IsCustom() || !items_[to].IsCustom()) return false;
  const std::vector<TEmoteInfo> old = items_;
  TEmoteInfo moved = items_[from];
  items_.erase(items_.begin() + static_cast<std::ptrdiff_t>(from));
  const std::size_t target = from < to ? to - 1 : to;
  items_.insert(items_.begin() + static_cast<std::ptrdiff_t>(target), std::move(moved));
  if (SaveEMoteInfo()) return true;
  items_ = old;
  return false;
}

QString TEmoteModel::InstallPackage(const std::filesystem::path& package) {
  if (user_code_ == 0) return text::kSignInFirst;
  const auto bytes = ReadFile(package, kMaxPackageFileSize);
  if (!bytes) return text::kWrongPackage;
  QString error;
  const auto entries = ParseEmotePackage(*bytes, &error);
  if (!entries) return error;

  const std::size_t old_size = items_.size();
  std::vector<std::string> stored;
  bool ok = true;
  for (const TPackageEntry& entry : *entries) {
    std::string file = StorePicture(entry.picture, entry.extension);
    if (file.empty()) {
      ok = false;
      break;
    }
    stored.push_back(file);
    TEmoteInfo info;
    info.category = kEmoteCustom;
    info.file = file;
    info.name = entry.name;
    info.hot_key = entry.hot_key;
    items_.push_back(std::move(info));
  }
  if (ok && SaveCustomList(nullptr)) return {};
  items_.resize(old_size);
  std::error_code ignored;
  for (const std::string& file : stored) std::filesystem::remove(emote_folder_ / file, ignored);
  return text::kPackageNotWritten;
}

}  // namespace kiv::emote
