#include "friend_cache.h"

#include <fstream>
#include <iterator>

#include "base/files.h"
#include "base/gbk.h"
#include "base/wire.h"
#include "declare/declare.h"

namespace kiv::friends {

namespace {

constexpr std::size_t kHeaderSize = 8;

// The offsets and widths of the record's fields.
namespace rec {
constexpr std::size_t kCode = 0, kNickname = 4, kFace = 44, kSex = 45, kAge = 46, kEmail = 47, kProvince = 87,
                      kCity = 107, kTelephone = 127, kAddress = 147, kOccupation = 207, kIntroduction = 227,
                      kLevel = 482, kGroup = 486, kUserType = 490, kLoaded = 491;
}  // namespace rec

// A field of `width` bytes: the length byte and at most width - 1 GBK bytes.
void PutText(RecordWriter& w, std::size_t offset, std::size_t width, const std::string& utf8) {
  w.gbk(offset, width - 1, GbkTruncate(Utf8ToGbk(utf8), width - 1));
}
std::string GetText(const RecordReader& r, std::size_t offset, std::size_t width) {
  return r.text(offset, width - 1);
}

std::optional<Bytes> ReadAll(const std::filesystem::path& file) {
  std::error_code ec;
  if (!std::filesystem::is_regular_file(file, ec)) return std::nullopt;
  std::ifstream in(file, std::ios::binary);
  if (!in) return std::nullopt;
  return Bytes(std::istreambuf_iterator<char>(in), {});
}

}  // namespace

bool SaveFriendFile(const std::filesystem::path& file, std::uint32_t owner,
                    const std::vector<const TFriend*>& friends) {
  Bytes file_bytes(kHeaderSize + friends.size() * kFriendRecordSize);
  RecordWriter(file_bytes.data(), kHeaderSize).i32(0, FriendFileVersion).u32(4, owner);
  for (std::size_t i = 0; i < friends.size(); ++i) {
    const TFriend& f = *friends[i];
    RecordWriter r(file_bytes.data() + kHeaderSize + i * kFriendRecordSize, kFriendRecordSize);
    bool cut = false;
    auto text = [&](std::size_t offset, std::size_t width, const std::string& utf8) {
      if (Utf8ToGbk(utf8).size() > width - 1) cut = true;
      PutText(r, offset, width, utf8);
    };
    r.u32(rec::kCode, f.UserCode()).u8(rec::kFace, f.face).u8(rec::kSex, f.sex).u8(rec::kAge, f.age);
    text(rec::kNickname, 40, f.nickname.str());
    text(rec::kEmail, 40, f.email.str());
    text(rec::kProvince, 20, f.province.str());
    text(rec::kCity, 20, f.city.str());
    text(rec::kTelephone, 20, f.telephone.str());
    text(rec::kAddress, 60, f.address.str());
    text(rec::kOccupation, 20, f.occupation.str());
    text(rec::kIntroduction, 255, f.introduction.str());
    r.u32(rec::kLevel, f.level_points).u32(rec::kGroup, f.group_id).u8(rec::kUserType, f.user_type);
    // A field that did not fit is fetched again with the profile the next time it is shown.
    r.u8(rec::kLoaded, cut ? 0 : f.profile_loaded);
  }
  return WriteFileAtomic(file, file_bytes);
}

std::optional<std::vector<TFriend>> LoadFriendFile(const std::filesystem::path& file, std::uint32_t owner) {
  std::optional<Bytes> data = ReadAll(file);
  if (!data || data->size() < kHeaderSize) return std::nullopt;
  RecordReader head(*data);
  if (head.i32(0) != FriendFileVersion || head.u32(4) != owner) return std::nullopt;
  if ((data->size() - kHeaderSize) % kFriendRecordSize != 0) return std::nullopt;
  std::vector<TFriend> friends;
  for (std::size_t at = kHeaderSize; at < data->size(); at += kFriendRecordSize) {
    RecordReader r(data->data() + at, kFriendRecordSize);
    TFriend& f = friends.emplace_back();
    f.SetUserCode(r.u32(rec::kCode));
    f.nickname = GetText(r, rec::kNickname, 40);
    f.face = r.u8(rec::kFace);
    f.sex = r.u8(rec::kSex);
    f.age = r.u8(rec::kAge);
    f.email = GetText(r, rec::kEmail, 40);
    f.province = GetText(r, rec::kProvince, 20);
    f.city = GetText(r, rec::kCity, 20);
    f.telephone = GetText(r, rec::kTelephone, 20);
    f.address = GetText(r, rec::kAddress, 60);
    f.occupation = GetText(r, rec::kOccupation, 20);
    f.introduction = GetText(r, rec::kIntroduction, 255);
    f.level_points = r.u32(rec::kLevel);
    f.group_id = r.u32(rec::kGroup);
    f.user_type = r.u8(rec::kUserType);
    f.profile_loaded = r.u8(rec::kLoaded) == 1 ? 1 : 0;
  }
  return friends;
}

bool SaveGroupFile(const std::filesystem::path& file, std::uint32_t owner,
                   const std::vector<TCachedGroup>& groups) {
  RecordWriter w(4 + groups.size() * kGroupRecordSize);
  w.u32(0, owner);
  for (std::size_t i = 0; i < groups.size(); ++i) {
    std::size_t at = 4 + i * kGroupRecordSize;
    w.u32(at, groups[i].id).text(at + 4, 40, groups[i].name);
  }
  return WriteFileAtomic(file, w.view());
}

std::optional<std::vector<TCachedGroup>> LoadGroupFile(const std::filesystem::path& file,
                                                       std::uint32_t owner) {
  std::optional<Bytes> data = ReadAll(file);
  if (!data || data->size() < 4 || RecordReader(*data).u32(0) != owner) return std::nullopt;
  std::vector<TCachedGroup> groups;
  for (std::size_t at = 4; at + kGroupRecordSize <= data->size(); at += kGroupRecordSize) {
    RecordReader r(data->data() + at, kGroupRecordSize);
    std::uint32_t id = r.u32(0);
    if (id <= 3 || id > 255) continue;
    groups.push_back({id, r.text(4, 40)});
  }
  return groups;
}

}  // namespace kiv::friends
