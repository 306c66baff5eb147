// The emoticon plug-in's list: the built-in emoticons and the signed-in user's own, their hot keys
// and pictures, and the edits of the management tab and of package installation.
//
// Files: the emoticon folder is the application folder + "EmoteInfo/" and holds every picture and
// the built-in list "EmoteInfo.dat" (categories 1 and 2); each user's own list is the application
// folder + "<user code>/EmoteInfo.dat" (category 3). Both are plain sequences of 363-byte records
// (emote/emote_record.h), written to a replacement file and renamed over the old one.
//
// In memory: one list, the built-in records first, then the user's, in file order; the hot-key
// table other modules see is this list's hot keys in the same order. The list follows the
// application folder and the user it was loaded for: Sync() reloads when either changes, so after a
// sign-out and another user's sign-in only the new user's own emoticons are listed.
//
// No windows here: edits answer with the text to show the user (empty on success). Main thread only.
#pragma once

#include <QByteArray>
#include <QString>
#include <QStringList>
#include <cstdint>
#include <filesystem>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "emote/emote_record.h"

namespace kiv::emote {

// One emoticon of a package file.
struct TPackageEntry {
  std::string name;       // UTF-8
  std::string hot_key;    // UTF-8
  std::string extension;  // with the dot, lower case
  QByteArray picture;
};

// The package's entries when the whole file is sound: magic 37507, then entries up to the end, each
// with lengths inside their fields, a known picture extension, a size inside the file and a picture
// that decodes. Nothing (and `error` set) otherwise; a package without entries is not sound either.
std::optional<std::vector<TPackageEntry>> ParseEmotePackage(std::span<const std::uint8_t> bytes,
                                                            QString* error = nullptr);
// The bytes of a package holding `entries` (what an emoticon author's tool writes).
std::vector<std::uint8_t> EncodeEmotePackage(std::span<const TPackageEntry> entries);

inline constexpr std::uint32_t kEmotePackageMagic = 37507;
// Custom emoticons per picker tab ("自定义1", then "自定义2").
inline constexpr std::size_t kCustomPerTab = 60;

class TEmoteModel {
 public:
  TEmoteModel() = default;

  // Loads the lists for this application folder and user (0: nobody signed in, no own list) when
  // they differ from the ones loaded. True when it reloaded.
  bool Sync(const std::filesystem::path& app_folder, std::uint32_t user_code);
  // Loads both lists again.
  void Reload();

  const std::vector<TEmoteInfo>& Items() const { return items_; }
  std::uint32_t UserCode() const { return user_code_; }
  const std::filesystem::path& EmoteFolder() const { return emote_folder_; }
  std::filesystem::path CustomListPath() const;
  std::filesystem::path BuiltInListPath() const { return emote_folder_ / "EmoteInfo.dat"; }
  std::filesystem::path PicturePath(const TEmoteInfo& info) const;

  // Hot keys of every record, in list order (empty ones included).
  QStringList HotKeys() const;
  // The first record whose hot key is exactly `hot_key`; null when none (or `hot_key` is empty).
  const TEmoteInfo* FindByHotKey(std::string_view hot_key) const;
  // Indexes into Items() of the records of one category, in list order.
  std::vector<std::size_t> IndexesOf(std::uint8_t category) const;
  // Whether another record than `except` (an index into Items(), or -1) has this hot key.
  bool HotKeyTaken(std::string_view hot_key, std::ptrdiff_t except = -1) const;

  // Rewrites both lists. False with the reason in `error` on failure.
  bool SaveEMoteInfo(std::string* error = nullptr);

  // 0x70009: a picture already stored in the emoticon folder becomes a custom emoticon named after
  // its file, hot key "/" + file name. Empty on success, else the reason.
  QString AddStoredPicture(const std::string& file_name);
  // The management tab's "添加": one file with its name and hot key, or several files named after
  // themselves (hot key "/" + name, empty when taken).
  QString AddFiles(const std::vector<std::filesystem::path>& files, const std::string& name,
                   const std::string& hot_key);
  // "修改" of the custom emoticon at Items()[index].
  QString Modify(std::ptrdiff_t index, const std::vector<std::filesystem::path>& files,
                 const std::string& name, const std::string& hot_key);
  // "删除": the picture file stays.
  QString Remove(std::ptrdiff_t index);
  // Drags a custom emoticon before another (indexes into Items()); saves.
  bool MoveBefore(std::size_t from, std::size_t to);

  // RunEmoFile: installs a package into the user's own list. Empty on success, else the reason.
  // A package that is not sound as a whole writes nothing.
  QString InstallPackage(const std::filesystem::path& package);

 private:
  // Copies a picture into the emoticon folder as "Emote<tick><extension>"; the new file name, or
  // empty on failure.
  std::string StorePicture(const QByteArray& picture, const std::string& extension);
  std::string NewPictureName(const std::string& extension) const;
  bool SaveCustomList(std::string* error);
  void LoadBuiltIn();
  void LoadCustom();

  std::filesystem::path app_folder_;
  std::filesystem::path emote_folder_;
  std::uint32_t user_code_ = 0;
  bool loaded_ = false;
  std::vector<TEmoteInfo> items_;
  std::vector<std::uint8_t> built_in_on_disk_;
};

// Texts shown to the user.
namespace text {
inline const QString kWrongPackage = QStringLiteral("表情文件类型不正确。");
inline const QString kPackageInstalled = QStringLiteral("表情文件安装成功。");
inline const QString kPackageNotWritten = QStringLiteral("表情文件安装失败，请检查磁盘空间和权限。");
inline const QString kSignInFirst = QStringLiteral("请登录后再添加表情。");
inline const QString kNoPath = QStringLiteral("请选择图释文件存放地址。");
inline const QString kNoFile = QStringLiteral("图释文件不存在。");
inline const QString kDuplicateHotKey = QStringLiteral("图释快捷键重复，请重新输入。");
inline const QString kBadPicture = QStringLiteral("图片格式不正确。");
inline const QString kModifyOneOnly = QStringLiteral("只能选择一个图释文件进行修改操作。");
inline const QString kSelectToModify = QStringLiteral("请在列表中选择需要修改的表情。");
inline const QString kModifyNoPath = QStringLiteral("请选择表情图片存放地址。");
inline const QString kModifyNoFile = QStringLiteral("表情图片不存在。");
inline const QString kSelectToDelete = QStringLiteral("请在列表中选择需要删除的表情。");
inline const QString kNotSaved = QStringLiteral("表情列表保存失败，请检查磁盘空间和权限。");
}  // namespace text

}  // namespace kiv::emote
