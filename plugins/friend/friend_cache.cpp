#include "friend_cache.h"

#include <fstream>
#include <iterator>

#include "base/files.h"
#include "base/gbk.h"
#include "base/wire.h"

namespace kiv::friends {

namespace {

constexpr std::size_t kHeaderSize = 8;

// One record layout: where each field sits and how many GBK bytes its strings keep.
struct TRecordLayout {
  std::size_t size;
  std::size_t text_extra;  // 1: a field for N characters has N + 1 bytes; 0: it has N bytes
  std::size_t Width(std::size_t characters) const { return characters + text_extra; }
};
constexpr TRecordLayout kFullLayout{kFriendRecordSize, 1};
constexpr TRecordLayout kShortLayout{kShortFriendRecordSize, 0};

// The string fields in record order, by their declared number of characters.
constexpr std::size_t kNickname = 40, kEmail = 40, kProvince = 20, kCity = 20, kTelephone = 20, kAddress = 60,
                      kOccupation = 20, kIntroduction = 255;

// Walks a record field by field, for reading and writing alike.
class TCursor {
 public:
  explicit TCursor(const TRecordLayout& layout) : layout_(layout) {}
  std::size_t Fixed(std::size_t width) { return Advance(width); }
  // The offset of a string field and its width in bytes.
  std::pair<std::size_t, std::size_t> Text(std::size_t characters) {
    std::size_t width = layout_.Width(characters);
    return {Advance(width), width};
  }

 private:
  std::size_t Advance(std::size_t width) {
    std::size_t at = at_;
    at_ += width;
    return at;
  }
  const TRecordLayout& layout_;
  std::size_t at_ = 0;
};

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
  const TRecordLayout& layout = kFullLayout;
  Bytes file_bytes(kHeaderSize + friends.size() * layout.size);
  RecordWriter(file_bytes.data(), kHeaderSize).i32(0, kFriendFileVersion).u32(4, owner);
  for (std::size_t i = 0; i < friends.size(); ++i) {
    const TFriend& f = *friends[i];
    RecordWriter r(file_bytes.data() + kHeaderSize + i * layout.size, layout.size);
    TCursor c(layout);
    // The length byte and the GBK bytes; a ShortString<N> holds at most N of them, whole characters.
    auto text = [&](std::size_t characters, const std::string& utf8) {
      auto [at, width] = c.Text(characters);
      r.gbk(at, width - 1, GbkTruncate(Utf8ToGbk(utf8), width - 1));
    };
    r.u32(c.Fixed(4), f.UserCode());
    text(kNickname, f.nickname.str());
    r.u8(c.Fixed(1), f.face).u8(c.Fixed(1), f.sex).u8(c.Fixed(1), f.age);
    text(kEmail, f.email.str());
    text(kProvince, f.province.str());
    text(kCity, f.city.str());
    text(kTelephone, f.telephone.str());
    text(kAddress, f.address.str());
    text(kOccupation, f.occupation.str());
    text(kIntroduction, f.introduction.str());
    r.u32(c.Fixed(4), f.level_points).u32(c.Fixed(4), f.group_id).u8(c.Fixed(1), f.user_type);
    r.u8(c.Fixed(1), f.profile_loaded);
  }
  return WriteFileAtomic(file, file_bytes);
}

std::optional<std::vector<TFriend>> LoadFriendFile(const std::filesystem::path& file, std::uint32_t owner) {
  std::optional<Bytes> data = ReadAll(file);
  if (!data || data->size() < kHeaderSize) return std::nullopt;
  RecordReader head(*data);
  const std::int32_t version = head.i32(0);
  if (version != kFriendFileVersion && version != kFriendFileVersionShort) return std::nullopt;
  if (head.u32(4) != owner) return std::nullopt;
  const TRecordLayout& layout = version == kFriendFileVersion ? kFullLayout : kShortLayout;
  if ((data->size() - kHeaderSize) % layout.size != 0) return std::nullopt;
  std::vector<TFriend> friends;
  for (std::size_t at = kHeaderSize; at < data->size(); at += layout.size) {
    RecordReader r(data->data() + at, layout.size);
    TCursor c(layout);
    auto text = [&](std::size_t characters) {
      auto [offset, width] = c.Text(characters);
      return r.text(offset, width - 1);
    };
    TFriend& f = friends.emplace_back();
    f.SetUserCode(r.u32(c.Fixed(4)));
    f.nickname = text(kNickname);
    f.face = r.u8(c.Fixed(1));
    f.sex = r.u8(c.Fixed(1));
    f.age = r.u8(c.Fixed(1));
    f.email = text(kEmail);
    f.province = text(kProvince);
    f.city = text(kCity);
    f.telephone = text(kTelephone);
    f.address = text(kAddress);
    f.occupation = text(kOccupation);
    f.introduction = text(kIntroduction);
    f.level_points = r.u32(c.Fixed(4));
    f.group_id = r.u32(c.Fixed(4));
    f.user_type = r.u8(c.Fixed(1));
    f.profile_loaded = r.u8(c.Fixed(1)) == 1 ? 1 : 0;
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
