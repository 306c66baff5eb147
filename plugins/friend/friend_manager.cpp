#include "friend_manager.h"

#include <QApplication>
#include <QInputDialog>
#include <QTimer>
#include <algorithm>
#include <fstream>
#include <iterator>

#include "base/files.h"
#include "declare/friend_wire.h"
#include "friend_cache.h"
#include "friend_windows.h"
#include "plugin/plugin_manager.h"
#include "udp_interface.h"

namespace kiv::friends {

TManager* Manager = nullptr;

namespace fw = friend_wire;

namespace {

constexpr const char* kMyFriends = "我的好友";
constexpr const char* kBlockList = "我的黑名单";
constexpr std::size_t kMaxGroups = 12;  // groups 1 and 3 included
constexpr int kDrawDelayMs = 500;
constexpr int kInvitationDelayMs = 100;
constexpr std::uint32_t kConnectTimeoutMs = 5000;

// Local messages.
constexpr std::uint32_t kMsgHint = 0x70001;
constexpr std::uint32_t kMsgOpenSearch = 0x70002;
constexpr std::uint32_t kMsgSendState = 0x70003;
constexpr std::uint32_t kMsgShowProfile = 0x70004;
constexpr std::uint32_t kMsgOpenChat = 0x70005;
constexpr std::uint32_t kMsgFriendChanged = 0x70006;
constexpr std::uint32_t kMsgChatRecord = 0x70007;
constexpr std::uint32_t kMsgAudio = 0x70010;
constexpr std::uint32_t kMsgFile = 0x70011;
constexpr std::uint32_t kMsgVideo = 0x70012;
constexpr std::uint32_t kMsgBeforeRefresh = 0x70013;
constexpr std::uint32_t kMsgSendStateAgain = 0x70019;
constexpr std::uint32_t kMsgInvite = 0x70040;
constexpr std::uint32_t kMsgChatListAdd = 0x70042;
constexpr std::uint32_t kMsgChatListRemove = 0x70043;

QString Q(const std::string& utf8) { return QString::fromStdString(utf8); }

std::string Who(const std::string& nickname, std::uint32_t code) {
  return nickname + "[" + std::to_string(code) + "]";
}

WireAddress Address(const ShortString<15>& ip, std::uint16_t port) { return {ip.str(), port}; }

bool Usable(const WireAddress& a) { return !a.ip.empty() && a.port != 0; }

std::optional<Bytes> ReadPhoto(const std::filesystem::path& file) {
  std::error_code ec;
  if (!std::filesystem::is_regular_file(file, ec)) return std::nullopt;
  auto size = std::filesystem::file_size(file, ec);
  if (ec || size == 0 || size > fw::photo::kMaxBytes) return std::nullopt;
  std::ifstream in(file, std::ios::binary);
  Bytes bytes(std::istreambuf_iterator<char>(in), {});
  if (bytes.size() != size) return std::nullopt;
  return bytes;
}

}  // namespace

std::optional<TSearchHit> TSearchHit::Read(const RecordReader& r, std::size_t at) {
  namespace h = fw::search_result;
  if (!r.has(at, h::kEntrySize)) return std::nullopt;
  TSearchHit hit;
  hit.code = r.u32(at + h::kUser);
  hit.nickname = r.text(at + h::kNickname, 40);
  hit.sex = r.u8(at + h::kSex);
  hit.age = r.u8(at + h::kAge);
  hit.face = r.u8(at + h::kFace);
  hit.online = r.u8(at + h::kOnline);
  hit.province = r.text(at + h::kProvince, 20);
  hit.city = r.text(at + h::kCity, 20);
  hit.camera = r.u8(at + h::kCamera);
  hit.verify_mode = r.u8(at + h::kVerifyMode);
  hit.server = r.address(at + h::kServer);
  return hit;
}

TManager::TManager() {
  RebuildGroups(true);
  if (!LoadFriendFile()) SendFriendListQuest();
  panel_ = new TFriendForm(*this, GlobalManager->PluginPanel);
  page_ = 1;
  QTimer::singleShot(kDrawDelayMs, this, [this] { ShowFriendList(); });
}

TManager::~TManager() {
  // The friends see the user go offline; then no connection thread outlives the plug-in's code.
  try {
    for (const auto& group : GlobalManager->FriendGroupList)
      for (const auto& member : group->members)
        if (member->state != kStateOffline) SendUserState(*member, kStateOffline, false);
  } catch (...) {
  }
  alive_->store(false);
  connect_threads_.clear();  // joins
  delete search_form_.data();
  for (auto& [code, form] : info_forms_) delete form.data();
  delete panel_.data();
  for (const auto& group : GlobalManager->FriendGroupList) group->members.clear();
  GlobalManager->FriendGroupList.clear();
}

std::uint32_t TManager::MyCode() const { return GlobalManager->Me ? GlobalManager->Me->UserCode() : 0; }
std::uint8_t TManager::MyState() const {
  return GlobalManager->Me ? GlobalManager->Me->state : kStateOffline;
}

bool TManager::FromHome(std::uint16_t remote) const {
  return GlobalManager->HomeServer != -1 && remote != 0 && remote == (GlobalManager->HomeServer & 0xFFFF);
}

bool TManager::Trusted(std::uint16_t remote, std::uint32_t code) const {
  if (FromHome(remote)) return true;
  auto link = links_.find(code);
  if (link == links_.end()) return false;
  if (link->second.dialled != 0 && link->second.dialled == remote) return true;
  char ip[32] = {};
  std::uint16_t port = 0;
  if (!Usable(link->second.reported) || !UDPGetRemoteAdd(remote, ip, sizeof ip - 1, &port)) return false;
  return link->second.reported == WireAddress{ip, port};
}

// ---- groups and friends ----------------------------------------------------------------------------

TFriendGroupInfo* TManager::FindGroup(std::uint32_t id) const {
  for (const auto& g : GlobalManager->FriendGroupList)
    if (g->id == id) return g.get();
  return nullptr;
}

TFriendGroupInfo& TManager::InsertGroup(std::uint32_t id) {
  auto& list = GlobalManager->FriendGroupList;
  auto group = std::make_unique<TFriendGroupInfo>();
  group->id = id;
  // Just before the block list, which stays last.
  auto at = list.empty() || list.back()->id != fw::kBlockGroup ? list.end() : list.end() - 1;
  return **list.insert(at, std::move(group));
}

void TManager::RebuildGroups(bool read_file) {
  auto& list = GlobalManager->FriendGroupList;
  for (const auto& g : list) g->members.clear();
  list.clear();
  auto add = [&](std::uint32_t id, const std::string& name, bool expanded) {
    auto g = std::make_unique<TFriendGroupInfo>();
    g->id = id;
    g->name = name;
    g->expanded = expanded ? 1 : 0;
    list.push_back(std::move(g));
  };
  add(fw::kDefaultGroup, kMyFriends, true);
  if (read_file) {
    if (auto groups = LoadGroupFile(GlobalManager->UserFolder() / "FriendGroupInfo.dat", MyCode()))
      for (const TCachedGroup& g : *groups)
        if (!FindGroup(g.id)) add(g.id, g.name, false);
  }
  add(fw::kBlockGroup, kBlockList, false);
}

void TManager::AddFriendToFriendGroup(std::unique_ptr<TFriend> person, std::uint32_t group_id) {
  TFriendGroupInfo* group = FindGroup(group_id);
  if (!group) group = FindGroup(fw::kDefaultGroup);  // an unknown group: the default group holds it
  person->group_id = group->id;
  group->members.push_back(std::move(person));
  std::stable_sort(group->members.begin(), group->members.end(),
                   [](const auto& a, const auto& b) { return a->user_type > b->user_type; });
}

std::unique_ptr<TFriend> TManager::TakeFriend(std::uint32_t code) {
  for (const auto& g : GlobalManager->FriendGroupList) {
    for (auto it = g->members.begin(); it != g->members.end(); ++it) {
      if ((*it)->UserCode() != code) continue;
      std::unique_ptr<TFriend> person = std::move(*it);
      g->members.erase(it);
      return person;
    }
  }
  return nullptr;
}

void TManager::SaveFriendFile() {
  std::vector<const TFriend*> all;
  for (const auto& g : GlobalManager->FriendGroupList)
    for (const auto& m : g->members) all.push_back(m.get());
  std::error_code ec;
  std::filesystem::create_directories(GlobalManager->UserFolder(), ec);
  friends::SaveFriendFile(GlobalManager->UserFolder() / "FriendInfo.dat", MyCode(), all);
}

void TManager::SaveGroupFile() {
  std::vector<TCachedGroup> groups;
  for (const auto& g : GlobalManager->FriendGroupList)
    if (g->id > fw::kBlockGroup) groups.push_back({g->id, g->name.str()});
  std::error_code ec;
  std::filesystem::create_directories(GlobalManager->UserFolder(), ec);
  friends::SaveGroupFile(GlobalManager->UserFolder() / "FriendGroupInfo.dat", MyCode(), groups);
}

bool TManager::LoadFriendFile() {
  auto friends = friends::LoadFriendFile(GlobalManager->UserFolder() / "FriendInfo.dat", MyCode());
  if (!friends) return false;
  for (TFriend& f : *friends) {
    if (f.UserCode() == 0 || GlobalManager->GetFriendInfo(f.UserCode())) continue;
    AddFriendToFriendGroup(std::make_unique<TFriend>(f), f.group_id);
  }
  return true;
}

void TManager::ShowFriendLineMsg(std::uint8_t state, TFriend& person, bool draw) {
  if (person.state == state) return;
  std::uint8_t old = person.state;
  person.state = state;
  bool quiet = (old == kStateOffline && state == kStateInvisible) ||
               (old == kStateInvisible && state == kStateOffline);
  if (!quiet) {
    const TSetupInfo& setup = GlobalManager->SetupInfo;
    if (state == kStateOnline && setup.FriendOnlineHint) PostHint(3, person);
    if (state != kStateOnline && setup.FriendOfflineHint) PostHint(4, person);
  }
  if (draw) ShowFriendList();
}

namespace {
void OnHintFormClick(std::uint32_t code) {
  if (Manager) Manager->StartChat(code);
}
}  // namespace

void TManager::PostHint(std::uint8_t kind, const TFriend& person) {
  THintInfo hint{};
  hint.kind = kind;
  const std::string name = person.nickname.str() + "(" + std::to_string(person.UserCode()) + ")";
  hint.title.SetText(kind == 3 ? "好友上线" : "好友下线");
  hint.text.SetText(kind == 3 ? "好友" + name + "上线了。" : "好友" + name + "下线了。");
  hint.sound.SetText(
      GlobalManager->SetupInfo.Sounds[kind == 3 ? kSoundFriendOnline : kSoundFriendOffline].Text());
  hint.picture = new QImage(GlobalManager->GetFriendPhoto(person));
  hint.tag = person.UserCode();
  hint.flag = 0;
  hint.click = kind == 3 ? &OnHintFormClick : nullptr;
  if (!PluginManager->DealMessage("KivHint", kMsgHint, &hint, sizeof hint)) delete hint.picture;
}

// ---- sending -------------------------------------------------------------------------------------

void TManager::SendToServer(std::span<const std::uint8_t> message) {
  if (GlobalManager->HomeServer == -1) return;
  UDPSendData(static_cast<std::uint16_t>(GlobalManager->HomeServer & 0xFFFF), message.data(),
              static_cast<std::uint32_t>(message.size()), 0, 0, 0);
}

void TManager::SendConnectionless(const WireAddress& server, std::span<const std::uint8_t> message) {
  if (!Usable(server)) return;
  std::uint32_t handle = UDPCreateTempRemote(server.ip.c_str(), server.port);
  if (handle == 0) return;
  UDPSendTempData(static_cast<std::uint16_t>(handle), message.data(),
                  static_cast<std::uint32_t>(message.size()));
}

void TManager::SendToFriend(const TFriend& person, std::span<const std::uint8_t> message) {
  if (person.remote != 0) {
    UDPSendData(static_cast<std::uint16_t>(person.remote), message.data(),
                static_cast<std::uint32_t>(message.size()), 0, 0, 0);
  } else {
    SendConnectionless(Address(person.server_ip, person.server_port), message);
  }
}

void TManager::SendUserState(const TFriend& person, std::uint8_t state, bool reply_wanted) {
  namespace st = fw::state;
  const TMe& me = *GlobalManager->Me;
  // The block list sees the user offline.
  if (person.group_id == fw::kBlockGroup) state = kStateOffline;
  RecordWriter w(st::kSize);
  w.u32(0, fw::kUserState).u32(st::kTarget, person.UserCode()).u8(st::kState, state);
  w.u8(st::kUserType, me.user_type).u8(st::kCamera, me.camera).u32(st::kSender, me.UserCode());
  w.text(st::kSignature, 255, GlobalManager->SetupInfo.Signature.Text()).u8(st::kReplyWanted, reply_wanted);
  w.i32(st::kPhotoSize, static_cast<std::int32_t>(GlobalManager->GetPhotoSize(me.UserCode())));
  w.address(st::kOwnAddress, Address(me.own_ip, me.own_port));
  w.address(st::kServer, {GlobalManager->HomeServerIP.str(), GlobalManager->HomeServerPort});
  SendToFriend(person, w.view());
}

void TManager::SendStateToAllFriend() {
  for (const auto& g : GlobalManager->FriendGroupList)
    for (const auto& m : g->members)
      if (m->state != kStateOffline) SendUserState(*m, MyState(), false);
}

void TManager::SendAddFriendMsg(std::uint8_t kind, std::uint32_t target, const std::string& text,
                                const WireAddress& via) {
  namespace a = fw::add;
  RecordWriter w(a::kSize);
  w.u32(0, fw::kAddFriend).u8(a::kKind, kind).u32(a::kTarget, target).u32(a::kSender, MyCode());
  w.address(a::kServer, {GlobalManager->HomeServerIP.str(), GlobalManager->HomeServerPort});
  w.text(a::kNickname, 40, GlobalManager->Me->nickname.str()).text(a::kText, 255, text);
  if (Usable(via))
    SendConnectionless(via, w.view());
  else
    SendToServer(w.view());
}

void TManager::SendConnectMsg(const TFriend& person) {
  namespace c = fw::connect;
  const TMe& me = *GlobalManager->Me;
  RecordWriter w(c::kSize);
  w.u32(0, fw::kConnect).u32(c::kTarget, person.UserCode()).u32(c::kSender, me.UserCode());
  w.address(c::kOwnAddress, Address(me.own_ip, me.own_port));
  w.address(c::kServer, {GlobalManager->HomeServerIP.str(), GlobalManager->HomeServerPort});
  w.u8(c::kState, person.group_id == fw::kBlockGroup ? kStateOffline : me.state);
  SendConnectionless(Address(person.server_ip, person.server_port), w.view());
}

void TManager::SendQuestUserInfo(std::uint32_t code, std::uint8_t purpose) {
  namespace p = fw::profile_request;
  RecordWriter w(p::kSize);
  w.u32(0, fw::kProfileRequest).u32(p::kSubject, code).u32(p::kRequester, MyCode()).u8(p::kPurpose, purpose);
  SendToServer(w.view());
}

void TManager::SendDealFriendGroup(std::uint8_t operation, std::uint32_t friend_code, const std::string& name,
                                   std::uint32_t group) {
  namespace g = fw::group_op;
  RecordWriter w(g::kSize);
  w.u32(0, fw::kGroupOperation).u32(g::kOwnCode, MyCode()).u8(g::kOperation, operation);
  w.u32(g::kFriend, friend_code).text(g::kName, 40, name).u32(g::kGroup, group);
  SendToServer(w.view());
}

void TManager::SendPluginMessage(const char* plugin, std::uint32_t code, std::uint32_t user) {
  PluginManager->DealMessage(plugin, code, &user, sizeof user);
}

void TManager::SendFriendListQuest() {
  std::uint8_t go_on = 1;
  PluginManager->DealMessage("KivChat", kMsgBeforeRefresh, &go_on, sizeof go_on);
  if (go_on == 0) return;
  RecordWriter w(fw::list_request::kSize);
  w.u32(0, fw::kListRequest).u32(fw::list_request::kOwnCode, MyCode());
  SendToServer(w.view());
}

// ---- direct connections --------------------------------------------------------------------------

void TManager::StartConnect(std::uint8_t kind, const WireAddress& address, std::uint32_t code) {
  TFriend* person = GlobalManager->GetFriendInfo(code);
  if (!person || person->group_id == fw::kBlockGroup) return;
  links_[code].reported = address;
  if (!Usable(address)) {
    if (kind == 1) SendConnectMsg(*person);
    return;
  }
  // Finished threads are joined on the way.
  std::erase_if(connect_threads_, [](std::jthread& t) { return !t.joinable(); });
  std::shared_ptr<std::atomic<bool>> alive = alive_;
  connect_threads_.emplace_back([this, alive, kind, address, code] {
    std::uint32_t handle = 0;
    try {
      handle = UDPConnect(address.ip.c_str(), address.port, kConnectTimeoutMs);
    } catch (...) {
    }
    if (!alive->load()) return;
    QMetaObject::invokeMethod(
        this,
        [this, kind, code, handle] { Connected(kind, code, static_cast<std::uint16_t>(handle & 0xFFFF)); },
        Qt::QueuedConnection);
  });
}

void TManager::Connected(std::uint8_t kind, std::uint32_t code, std::uint16_t handle) {
  try {
    TFriend* person = GlobalManager->GetFriendInfo(code);
    if (!person) return;
    person->remote = handle;
    links_[code].dialled = handle;
    if (kind == 1 && handle == 0) {
      SendConnectMsg(*person);
      return;
    }
    SendUserState(*person, MyState(), true);
  } catch (...) {
  }
}

void TManager::OnDisConnect(std::uint16_t remote) {
  if (remote == 0) return;
  for (auto& [code, link] : links_)
    if (link.dialled == remote) link.dialled = 0;
  if (TFriend* person = GlobalManager->GetFriendInfoByAddress(remote)) {
    person->remote = 0;  // the handle is free for the next peer
    ShowFriendLineMsg(kStateOffline, *person);
  }
}

// ---- receiving -----------------------------------------------------------------------------------

void TManager::OnDataRecive(std::uint16_t remote, const std::uint8_t* data, std::uint32_t size) {
  if (size < 4 || !GlobalManager->Me) return;
  RecordReader r(data, size);
  const std::uint32_t code = r.u32(0);
  const bool home = FromHome(remote);
  switch (code) {
    case fw::kAddFriend:
      if (size >= fw::add::kSize) DealAddFriendMsg(remote, r);
      break;
    case fw::kUserState:
      if (size >= fw::state::kSize) DealUserState(remote, r);
      break;
    case fw::kConnect:
      if (size >= fw::connect::kSize) DealConnectMsg(remote, r);
      break;
    case fw::kInvite:
      if (size >= fw::invite::kSize) DealPrayFriend(remote, r);
      break;
    case fw::kPhoto:
      if (size >= fw::photo::kHeaderSize) DealFriendPhoto(remote, r);
      break;
    case fw::kPhotoRequest:
      if (size >= fw::photo_request::kSize) DealQuestData(remote, r);
      break;
    case fw::kGroups:
      if (home && size >= fw::groups::kHeaderSize) DealFriendGroupMessage(r);
      break;
    case fw::kOnline:
      if (home && size >= fw::online::kHeaderSize) DealFriendMessage(r);
      break;
    case fw::kSearchResult:
      if (home && size >= fw::search_result::kHeaderSize) DealSearchUserMessage(r);
      break;
    case fw::kProfile:
      if (home && size >= fw::profile::kSize) DealReturnUserInfo(r);
      break;
    case fw::kList:
      if (home && size >= fw::list::kHeaderSize) DealReturnFriendList(r);
      break;
    case fw::kGroupResult:
      if (home && size >= fw::group_result::kSize) DealReturnFriendGroupInfo(r);
      break;
    default:
      break;  // 0x10001 is chat text, the chat plug-in's
  }
}

void TManager::DealAddFriendMsg(std::uint16_t remote, const RecordReader& r) {
  namespace a = fw::add;
  // Requests and answers are the server's word, never a peer's.
  if (!FromHome(remote) || r.u32(a::kTarget) != MyCode()) return;
  const std::uint32_t sender = r.u32(a::kSender);
  const std::string nick = r.text(a::kNickname, 40), text = r.text(a::kText, 255);
  TFriend* person = GlobalManager->GetFriendInfo(sender);
  if (person && person->group_id == fw::kBlockGroup && r.u8(a::kKind) != a::kDeleted) return;
  const std::string who = Who(nick, sender);
  switch (r.u8(a::kKind)) {
    case a::kRequest: {
      QString question = Q(text.empty() ? who + "想要和你成为朋友，是否同意？"
                                        : who + "想要和你成为朋友，验证信息:" + text + "。是否同意？");
      ShowAddFriendMessage(*this, a::kRequest, question, sender, nick, r.address(a::kServer));
      break;
    }
    case a::kAdded:
      ShowAddFriendMessage(*this, a::kAdded, Q(who + "已经成为了你的朋友。"), sender, nick, r.address(a::kServer));
      CreateFriend(sender, nick, r.address(a::kServer));
      break;
    case a::kRefused:
      ShowAddFriendMessage(*this, a::kRefused,
                           Q(who + "拒绝成为你的朋友。" + (text.empty() ? "" : "原因是：" + text)), sender, nick,
                           r.address(a::kServer));
      break;
    case a::kAlreadyFriends:
      ShowAddFriendMessage(*this, a::kAlreadyFriends, Q(who + "已经是你的好友。"), sender, nick,
                           r.address(a::kServer));
      break;
    case a::kDeleted: {
      if (!person) break;
      const std::string name = Who(person->nickname.str(), sender);
      if (person->state != kStateOffline) SendUserState(*person, kStateOffline, false);
      TakeFriend(sender);
      links_.erase(sender);
      SaveFriendFile();
      ShowFriendList();
      SendPluginMessage("KivChat", kMsgFriendChanged, sender);
      ShowAddFriendMessage(*this, a::kDeleted, Q(name + "已经从你的好友名单中删除。"), sender, nick,
                           r.address(a::kServer));
      break;
    }
    default:
      break;
  }
}

void TManager::AnswerFriendRequest(std::uint32_t code, const std::string& nickname, const WireAddress& server,
                                   bool agree, const std::string& reason) {
  (void)nickname;
  // Agreeing sends consent; the friend is created when the server confirms it.
  SendAddFriendMsg(agree ? fw::add::kAdded : fw::add::kRefused, code, agree ? std::string() : reason, server);
}

void TManager::DealUserState(std::uint16_t remote, const RecordReader& r) {
  namespace st = fw::state;
  if (r.u32(st::kTarget) != MyCode()) return;
  const std::uint32_t code = r.u32(st::kSender);
  TFriend* person = GlobalManager->GetFriendInfo(code);
  if (!person || person->group_id == fw::kBlockGroup) return;
  std::uint8_t state = r.u8(st::kState);
  if (state > kStateInvisible) return;
  if (!Trusted(remote, code)) {
    // Someone claims to be this friend: ask the server where the friend is and dial that address.
    if (state != kStateOffline) VerifyFriend(code);
    return;
  }
  person->user_type = r.u8(st::kUserType);
  if (state != kStateOffline) {
    person->remote = FromHome(remote) ? 0 : remote;
    WireAddress server = r.address(st::kServer);
    person->server_ip = server.ip;
    person->server_port = server.port;
    person->camera = r.u8(st::kCamera);
    ShortString<20> signature;
    signature = r.text(st::kSignature, 255);
    if (!(signature == person->signature)) person->signature = signature;
  } else {
    person->server_ip.clear();
    person->server_port = 0;
    person->camera = 0;
    person->remote = 0;
    links_[code].dialled = 0;
  }
  ShowFriendLineMsg(state, *person, false);
  if (person->remote != 0 && person->state == kStateOnline) {
    const std::int32_t reported = r.i32(st::kPhotoSize);
    const std::int64_t local = GlobalManager->GetPhotoSize(code);
    if (reported > 0 && reported <= static_cast<std::int32_t>(fw::photo::kMaxBytes) && local != reported) {
      namespace pq = fw::photo_request;
      RecordWriter w(pq::kSize);
      w.u32(0, fw::kPhotoRequest)
          .u32(pq::kTarget, code)
          .u32(pq::kRequester, MyCode())
          .u8(pq::kKind, pq::kCustomPhoto);
      UDPSendData(static_cast<std::uint16_t>(person->remote), w.view().data(), pq::kSize, 0, 0, 0);
    } else if (reported <= 0 && local > 0) {
      std::error_code ec;
      std::filesystem::remove(GlobalManager->PhotoPath(code), ec);
    }
  }
  if (r.u8(st::kReplyWanted) != 0) SendUserState(*person, MyState(), false);
  SendPluginMessage("KivChat", kMsgFriendChanged, code);
  ShowFriendList();
}

void TManager::DealConnectMsg(std::uint16_t remote, const RecordReader& r) {
  namespace c = fw::connect;
  const std::uint32_t code = r.u32(c::kSender);
  TFriend* person = GlobalManager->GetFriendInfo(code);
  if (!person || person->group_id == fw::kBlockGroup) return;
  if (!Trusted(remote, code)) {
    VerifyFriend(code);
    return;
  }
  WireAddress server = r.address(c::kServer);
  person->server_ip = server.ip;
  person->server_port = server.port;
  std::uint8_t state = r.u8(c::kState);
  if (state <= kStateInvisible) ShowFriendLineMsg(state, *person);
  StartConnect(2, r.address(c::kOwnAddress), code);
}

void TManager::VerifyFriend(std::uint32_t code) {
  if (!verifying_.insert(code).second) return;
  SendQuestUserInfo(code, fw::profile_request::kFriendAdded);
}

void TManager::DealFriendGroupMessage(const RecordReader& r) {
  namespace g = fw::groups;
  if (r.u32(g::kTarget) != MyCode()) return;
  const std::size_t count = r.u8(g::kCount);
  if (!r.has(g::kHeaderSize, count * g::kEntrySize)) return;
  RebuildGroups(false);
  for (std::size_t i = 0; i < count; ++i) {
    const std::size_t at = g::kHeaderSize + i * g::kEntrySize;
    const std::uint32_t id = r.u32(at + g::kId);
    if (id <= fw::kBlockGroup || id > 255) continue;
    TFriendGroupInfo* group = FindGroup(id);
    if (!group) group = &InsertGroup(id);
    group->name = r.text(at + g::kName, 40);
    group->expanded = 0;
  }
  SaveGroupFile();
  ShowFriendList();
}

void TManager::DealReturnFriendList(const RecordReader& r) {
  namespace l = fw::list;
  if (r.u32(l::kTarget) != MyCode()) return;
  const std::size_t count = r.u16(l::kCount);
  if (!r.has(l::kHeaderSize, count * l::kEntrySize)) return;
  for (std::size_t i = 0; i < count; ++i) {
    const std::size_t at = l::kHeaderSize + i * l::kEntrySize;
    const std::uint32_t code = r.u32(at + l::kUser);
    if (code == 0 || GlobalManager->GetFriendInfo(code)) continue;
    auto person = std::make_unique<TFriend>();
    person->SetUserCode(code);
    person->face = r.u8(at + l::kFace);
    person->nickname = r.text(at + l::kNickname, 40);
    person->state = std::min<std::uint8_t>(r.u8(at + l::kState), kStateInvisible);
    person->camera = r.u8(at + l::kCamera);
    person->user_type = r.u8(at + l::kUserType);
    WireAddress server = r.address(at + l::kServer);
    person->server_ip = server.ip;
    person->server_port = server.port;
    const std::uint8_t state = person->state;
    AddFriendToFriendGroup(std::move(person), r.u8(at + l::kGroup));
    links_[code].reported = r.address(at + l::kOwnAddress);
    if (state != kStateOffline) StartConnect(1, r.address(at + l::kOwnAddress), code);
  }
  ShowFriendList();
  SaveFriendFile();
}

void TManager::DealFriendMessage(const RecordReader& r) {
  namespace o = fw::online;
  const std::size_t count = r.u16(o::kCount);
  if (!r.has(o::kHeaderSize, count * o::kEntrySize)) return;
  for (std::size_t i = 0; i < count; ++i) {
    const std::size_t at = o::kHeaderSize + i * o::kEntrySize;
    const std::uint32_t code = r.u32(at + o::kUser);
    TFriend* person = GlobalManager->GetFriendInfo(code);
    if (!person) continue;
    const std::uint8_t state = r.u8(at + o::kState);
    if (state > kStateInvisible) continue;
    person->camera = r.u8(at + o::kCamera);
    person->user_type = r.u8(at + o::kUserType);
    WireAddress server = r.address(at + o::kServer);
    person->server_ip = server.ip;
    person->server_port = server.port;
    if (person->group_id != fw::kBlockGroup) ShowFriendLineMsg(state, *person, false);
    StartConnect(1, r.address(at + o::kOwnAddress), code);
  }
  ShowFriendList();
}

void TManager::DealReturnFriendGroupInfo(const RecordReader& r) {
  namespace res = fw::group_result;
  if (r.u32(res::kTarget) != MyCode()) return;
  const std::uint32_t id = r.u32(res::kGroup);
  switch (r.u8(res::kOperation)) {
    case fw::group_op::kSave: {
      if (id <= fw::kBlockGroup || id > 255) return;
      TFriendGroupInfo* group = FindGroup(id);
      if (!group) group = &InsertGroup(id);
      group->name = r.text(res::kName, 40);
      group->expanded = 1;
      break;
    }
    case fw::group_op::kDelete: {
      auto& list = GlobalManager->FriendGroupList;
      std::erase_if(
          list, [id](const auto& g) { return g->id == id && g->id > fw::kBlockGroup && g->members.empty(); });
      break;
    }
    case fw::group_op::kMove: {
      const std::uint32_t code = r.u32(res::kFriend);
      TFriend* person = GlobalManager->GetFriendInfo(code);
      TFriendGroupInfo* target = FindGroup(id);
      if (!person || !target) return;
      const bool from_block = person->group_id == fw::kBlockGroup;
      if (id == fw::kBlockGroup && person->state != kStateOffline) {
        SendUserState(*person, kStateOffline, false);
      }
      AddFriendToFriendGroup(TakeFriend(code), id);
      if (id == fw::kBlockGroup) {
        // Its presence is hidden from now on.
        if (person->remote != 0) UDPDisConnect(static_cast<std::uint16_t>(person->remote));
        person->remote = 0;
        person->state = kStateOffline;
      }
      if (from_block && id != fw::kBlockGroup) {
        SendUserState(*person, MyState(), true);
        SendConnectMsg(*person);
      }
      target->expanded = 1;
      SaveFriendFile();
      break;
    }
    default:
      return;
  }
  SaveGroupFile();
  ShowFriendList();
}

void TManager::DealSearchUserMessage(const RecordReader& r) {
  namespace h = fw::search_result;
  if (r.u32(h::kTarget) != MyCode() || !search_form_) return;
  const std::size_t count = r.u8(h::kCount);
  if (!r.has(h::kHeaderSize, count * h::kEntrySize)) return;
  for (std::size_t i = 0; i < count; ++i)
    if (auto hit = TSearchHit::Read(r, h::kHeaderSize + i * h::kEntrySize)) search_results_.push_back(*hit);
  const std::size_t first = static_cast<std::size_t>(page_ - 1) * 10;
  std::vector<TSearchHit> rows;
  for (std::size_t i = first; i < search_results_.size() && i < first + 10; ++i)
    rows.push_back(search_results_[i]);
  search_form_->ShowResults(rows, page_, search_results_.size() > 9, search_results_.size() >= first + 10,
                            r.u32(h::kOnlineUsers));
}

void TManager::DealReturnUserInfo(const RecordReader& r) {
  namespace p = fw::profile;
  if (r.u32(p::kTarget) != MyCode()) return;
  const std::uint8_t purpose = r.u8(p::kPurpose);
  if (purpose == 1) return;
  const std::uint32_t code = r.u32(p::kSubject);
  TFriend* person = GlobalManager->GetFriendInfo(code);
  std::unique_ptr<TFriend> detached;
  if (!person) {
    detached = std::make_unique<TFriend>();
    detached->SetUserCode(code);
    person = detached.get();
  }
  auto fill = [&](TUser& u) {
    u.nickname = r.text(p::kNickname, 40);
    u.sex = r.u8(p::kSex);
    u.age = r.u8(p::kAge);
    u.face = r.u8(p::kFace);
    u.email = r.text(p::kEmail, 40);
    u.telephone = r.text(p::kPhone, 20);
    u.occupation = r.text(p::kOccupation, 20);
    u.address = r.text(p::kAddress, 60);
    u.province = r.text(p::kProvince, 20);
    u.city = r.text(p::kCity, 20);
    u.camera = r.u8(p::kCamera);
    u.level_points = r.u32(p::kLevelPoints);
  };
  fill(*person);
  std::string intro = r.text(p::kIntroduction, 255);
  for (std::size_t at; (at = intro.find("#13#10")) != std::string::npos;) intro.replace(at, 6, "\r\n");
  person->introduction = intro;
  person->profile_loaded = 1;
  WireAddress server = r.address(p::kServer);
  if (Usable(server)) {
    person->server_ip = server.ip;
    person->server_port = server.port;
  }
  if (code == MyCode()) {
    TMe& me = *GlobalManager->Me;
    fill(me);
    me.current_exp = r.u32(p::kExperience);
    me.next_level_exp = r.u32(p::kNextExperience);
  }
  if (!detached) SaveFriendFile();
  verifying_.erase(code);
  if (purpose == fw::profile_request::kFriendAdded) {
    if (!detached) StartConnect(1, r.address(p::kOwnAddress), code);
    ShowFriendList();
    return;
  }
  QPointer<TUserInfoForm>& form = info_forms_[code];
  if (!form) form = new TUserInfoForm(code);
  form->Fill(*person);
  form->show();
  form->raise();
  SendPluginMessage("KivChat", kMsgFriendChanged, code);
}

void TManager::DealQuestData(std::uint16_t remote, const RecordReader& r) {
  namespace pq = fw::photo_request;
  const std::uint32_t requester = r.u32(pq::kRequester);
  TFriend* person = GlobalManager->GetFriendInfo(requester);
  if (r.u32(pq::kTarget) != MyCode() || r.u8(pq::kKind) != pq::kCustomPhoto || !person) return;
  // Only over the direct connection to that friend.
  if (person->remote == 0 || person->remote != remote || person->group_id == fw::kBlockGroup) return;
  if (GlobalManager->SetupInfo.UseCustomPhoto == 0) return;
  std::optional<Bytes> photo = ReadPhoto(GlobalManager->UserFolder() / "FriendFace" / "Me.pho");
  if (!photo) return;
  Bytes message(fw::photo::kHeaderSize + photo->size());
  RecordWriter(message.data(), fw::photo::kHeaderSize)
      .u32(0, fw::kPhoto)
      .u32(fw::photo::kTarget, requester)
      .u32(fw::photo::kSender, MyCode())
      .u32(fw::photo::kSizeField, static_cast<std::uint32_t>(photo->size()));
  std::copy(photo->begin(), photo->end(), message.begin() + fw::photo::kHeaderSize);
  UDPSendData(remote, message.data(), static_cast<std::uint32_t>(message.size()), fw::photo::kChannel, 0, 0);
}

void TManager::DealFriendPhoto(std::uint16_t remote, const RecordReader& r) {
  namespace ph = fw::photo;
  const std::uint32_t code = r.u32(ph::kSender);
  TFriend* person = GlobalManager->GetFriendInfo(code);
  if (r.u32(ph::kTarget) != MyCode() || !person || person->state != kStateOnline) return;
  if (person->remote == 0 || person->remote != remote) return;
  const std::uint32_t size = r.u32(ph::kSizeField);
  if (size == 0 || size > ph::kMaxBytes || !r.has(ph::kHeaderSize, size)) return;
  std::span<const std::uint8_t> bytes = r.bytes(ph::kHeaderSize, size);
  std::error_code ec;
  std::filesystem::create_directories(GlobalManager->UserFolder() / "FriendFace", ec);
  if (!WriteFileAtomic(GlobalManager->PhotoPath(code), bytes)) return;
  SendPluginMessage("KivChat", kMsgFriendChanged, code);
  ShowFriendList();
}

void TManager::DealPrayFriend(std::uint16_t remote, const RecordReader& r) {
  namespace iv = fw::invite;
  const std::uint32_t code = r.u32(iv::kSender);
  TFriend* person = GlobalManager->GetFriendInfo(code);
  if (r.u32(iv::kTarget) != MyCode() || !person || person->group_id == fw::kBlockGroup ||
      !Trusted(remote, code))
    return;
  last_invitation_ = Bytes(r.bytes(0, iv::kSize).begin(), r.bytes(0, iv::kSize).end());
  if (GlobalManager->SetupInfo.RefuseRoomInvite != 0) return;
  QTimer::singleShot(kInvitationDelayMs, this, [this] { ShowInvitation(); });
}

void TManager::ShowInvitation() {
  if (!last_invitation_) return;
  namespace iv = fw::invite;
  RecordReader r(*last_invitation_);
  const std::uint32_t code = r.u32(iv::kSender), room = r.u32(iv::kRoom);
  const std::uint8_t kind = r.u8(iv::kKind);
  last_invitation_.reset();
  TFriend* person = GlobalManager->GetFriendInfo(code);
  if (!person) return;
  const std::string nick = person->nickname.str();
  if (kind == iv::kInvite) {
    const bool yes = GlobalManager->ShowMessage(
                         Q("你的好友" + nick + "想要邀请你进入聊天室" + std::to_string(room) + ",是否同意？"),
                         kMessageQuestion) == 1;
    person = GlobalManager->GetFriendInfo(code);  // the question let other messages run
    if (!person) return;
    SendPrayFriend(*person, room, yes ? iv::kAccepted : iv::kRefused);
    if (!yes) return;
    PluginManager->StartPlugin("KivChatRoom");
    std::uint32_t room_id = room;
    if (!PluginManager->DealMessage("KivChatRoom", kMsgInvite, &room_id, sizeof room_id))
      GlobalManager->ShowMessage(QStringLiteral("系统检测到多人聊天室尚未加载，此操作无法继续。"));
  } else if (kind == iv::kRefused) {
    GlobalManager->ShowMessage(Q("好友" + nick + "拒绝了你的视频聊天室邀请。"));
  } else if (kind == iv::kAccepted) {
    GlobalManager->ShowMessage(Q("好友" + nick + "同意了你的视频聊天室邀请。"));
  }
}

void TManager::SendPrayFriend(const TFriend& person, std::uint32_t room, std::uint8_t kind) {
  if (person.state == kStateOffline) return;
  namespace iv = fw::invite;
  RecordWriter w(iv::kSize);
  w.u32(0, fw::kInvite).u32(iv::kTarget, person.UserCode()).u8(iv::kKind, kind).u32(iv::kRoom, room);
  w.u32(iv::kSender, MyCode());
  SendToFriend(person, w.view());
}

void TManager::PrayFriend(std::uint32_t room) {
  for (std::uint32_t code : TPrayFriendForm::Choose(room))
    if (TFriend* person = GlobalManager->GetFriendInfo(code)) SendPrayFriend(*person, room, fw::invite::kInvite);
}

// ---- operations of the windows -------------------------------------------------------------------

void TManager::CreateFriend(std::uint32_t code, const std::string& nickname, const WireAddress& server) {
  if (code == 0 || code == MyCode() || GlobalManager->GetFriendInfo(code)) return;
  auto person = std::make_unique<TFriend>();
  person->SetUserCode(code);
  person->nickname = nickname;
  person->server_ip = server.ip;
  person->server_port = server.port;
  TFriend& added = *person;
  AddFriendToFriendGroup(std::move(person), fw::kDefaultGroup);
  SaveFriendFile();
  SendQuestUserInfo(code, fw::profile_request::kFriendAdded);
  ShowFriendList();
  SendConnectMsg(added);
}

void TManager::AddNewFriend(const TSearchHit& hit, const std::string& verification) {
  if (hit.code == MyCode()) {
    GlobalManager->ShowMessage(QStringLiteral("不能添加你自己为好友。"));
    return;
  }
  if (GlobalManager->GetFriendInfo(hit.code)) {
    GlobalManager->ShowMessage(QStringLiteral("此用户已经在你的好友列表中。"));
    return;
  }
  if (hit.verify_mode == 0) {
    // The friend is created when the server confirms it.
    SendAddFriendMsg(fw::add::kAdded, hit.code, {}, hit.server);
  } else if (hit.verify_mode == 1) {
    SendAddFriendMsg(fw::add::kRequest, hit.code, verification, hit.server);
    ShowAddFriendMessage(*this, fw::add::kRequestSent, Q("你已经向" + Who(hit.nickname, hit.code) + "提出了好友请求。"),
                         hit.code, hit.nickname, hit.server);
  }
}

void TManager::DeleteFriendQuery(std::uint32_t code) {
  TFriend* person = GlobalManager->GetFriendInfo(code);
  if (!person || person->group_id == 2) return;
  const std::string nick = person->nickname.str();
  if (GlobalManager->ShowMessage(Q("你确定删除好友" + Who(nick, code) + "?"), kMessageQuestion) != 1) return;
  SendAddFriendMsg(fw::add::kDelete, code, {}, {});
}

namespace {
// Asks for a group name; nothing when cancelled or empty.
std::optional<std::string> AskGroupName(const QString& title, const QString& current) {
  QInputDialog dialog;
  dialog.setObjectName(QStringLiteral("GroupNameDialog"));
  dialog.setWindowTitle(title);
  dialog.setLabelText(QStringLiteral("请输入好友组名称"));
  dialog.setTextValue(current);
  GlobalManager->UpdateFormSkin(&dialog);
  if (dialog.exec() != QDialog::Accepted) return std::nullopt;
  std::string name = dialog.textValue().trimmed().toStdString();
  if (name.empty()) return std::nullopt;
  return name;
}
}  // namespace

void TManager::AddNewFriendGroup() {
  if (GlobalManager->FriendGroupList.size() >= kMaxGroups) {
    GlobalManager->ShowMessage(QStringLiteral("已经达到用户可建组最大数。"));
    return;
  }
  std::optional<std::string> name = AskGroupName(QStringLiteral("新建好友组"), {});
  if (!name) return;
  std::uint32_t id = fw::kBlockGroup;
  for (const auto& g : GlobalManager->FriendGroupList) id = std::max(id, g->id);
  if (id + 1 > 255) return;
  SendDealFriendGroup(fw::group_op::kSave, 0, *name, id + 1);
}

void TManager::ModifyFriendGroup(std::uint32_t id) {
  TFriendGroupInfo* group = FindGroup(id);
  if (!group || id <= fw::kBlockGroup) return;
  std::optional<std::string> name = AskGroupName(QStringLiteral("修改好友组"), Q(group->name.str()));
  if (name) SendDealFriendGroup(fw::group_op::kSave, 0, *name, id);
}

void TManager::DeleteFriendGroup(std::uint32_t id) {
  TFriendGroupInfo* group = FindGroup(id);
  if (!group || id <= fw::kBlockGroup) return;
  if (!group->members.empty()) {
    GlobalManager->ShowMessage(QStringLiteral("请转移或删除该组下所有用户再执行此操作。"));
    return;
  }
  if (GlobalManager->ShowMessage(QStringLiteral("你想要删除该用户组，是否确定？"), kMessageQuestion) == 1)
    SendDealFriendGroup(fw::group_op::kDelete, 0, {}, id);
}

void TManager::MoveFriend(std::uint32_t code, std::uint32_t group) {
  TFriend* person = GlobalManager->GetFriendInfo(code);
  if (!person || !FindGroup(group) || person->group_id == group) return;
  SendDealFriendGroup(fw::group_op::kMove, code, {}, group);
}

void TManager::CreateSearchFrom(std::uint32_t code) {
  if (!GlobalManager->CheckPermit(GlobalManager->Me->user_type, TPermitType::AddFriend)) {
    GlobalManager->ShowMessage(QStringLiteral("没有此操作权限。"));
    return;
  }
  if (!search_form_) search_form_ = new TSearchForm(*this);
  search_results_.clear();
  page_ = 1;
  search_form_->Clear();
  search_form_->show();
  search_form_->raise();
  if (code != 0) {
    TSearchQuery q;
    q.code = code;
    search_form_->SetQuery(q);
    SearchUser(q);
  }
}

void TManager::SearchUser(const TSearchQuery& query) {
  last_query_ = query;
  search_results_.clear();
  page_ = 1;
  SendSearchUserMessage();
}

void TManager::SendSearchUserMessage() {
  namespace q = fw::search;
  if (search_form_) search_form_->Lock();
  RecordWriter w(q::kSize);
  w.u32(0, fw::kSearch).u32(q::kUser, last_query_.code).text(q::kNickname, 40, last_query_.nickname);
  w.u32(q::kOwnCode, MyCode())
      .text(q::kCity, 20, last_query_.city)
      .u8(q::kCameraOnly, last_query_.camera_only);
  w.u8(q::kOnlineOnly, last_query_.online_only).u8(q::kSex, last_query_.sex);
  SendToServer(w.view());
}

void TManager::ShowPage(int page) {
  if (page < 1 || !search_form_) return;
  const std::size_t first = static_cast<std::size_t>(page - 1) * 10;
  page_ = page;
  if (first < search_results_.size()) {
    std::vector<TSearchHit> rows(
        search_results_.begin() + static_cast<std::ptrdiff_t>(first),
        search_results_.begin() + static_cast<std::ptrdiff_t>(std::min(first + 10, search_results_.size())));
    search_form_->ShowResults(rows, page_, search_results_.size() > 9, search_results_.size() >= first + 10,
                              -1);
  } else {
    SendSearchUserMessage();
  }
}

void TManager::ShowUserInfo(std::uint32_t code) {
  TFriend* person = GlobalManager->GetFriendInfo(code);
  if (person && person->profile_loaded) {
    QPointer<TUserInfoForm>& form = info_forms_[code];
    if (!form) form = new TUserInfoForm(code);
    form->Fill(*person);
    form->show();
    form->raise();
    return;
  }
  SendQuestUserInfo(code, fw::profile_request::kShow);
}

void TManager::RefreshUserInfo(std::uint32_t code) { SendQuestUserInfo(code, fw::profile_request::kShow); }

void TManager::StartChat(std::uint32_t code) { SendPluginMessage("KivChat", kMsgOpenChat, code); }
void TManager::ShowChatRecord(std::uint32_t code) { SendPluginMessage("KivChat", kMsgChatRecord, code); }
void TManager::StartAudio(std::uint32_t code) { SendPluginMessage("KivChat", kMsgAudio, code); }
void TManager::StartFile(std::uint32_t code) { SendPluginMessage("KivChat", kMsgFile, code); }
void TManager::StartVideo(std::uint32_t code) { SendPluginMessage("KivChat", kMsgVideo, code); }

void TManager::SetShowFaceSize() {
  GlobalManager->SetupInfo.SmallFace = GlobalManager->SetupInfo.SmallFace ? 0 : 1;
  GlobalManager->SaveSetupInfo();
  ShowFriendList();
}

void TManager::SetShowOnlineFriend() {
  GlobalManager->SetupInfo.OnlyShowOnline = GlobalManager->SetupInfo.OnlyShowOnline ? 0 : 1;
  GlobalManager->SaveSetupInfo();
  ShowFriendList();
}

void TManager::SetShowCustomPhoto() {
  GlobalManager->SetupInfo.ShowCustomPhotos = GlobalManager->SetupInfo.ShowCustomPhotos ? 0 : 1;
  GlobalManager->SaveSetupInfo();
  ShowFriendList();
}

void TManager::ShowFriendList() {
  if (panel_) panel_->Draw();
}

TFriendForm* TManager::Panel() const { return panel_.data(); }

void TManager::BringToFront() {
  if (!panel_) return;
  panel_->show();
  panel_->raise();
}

void TManager::DealMessage(std::uint32_t code, void* data, std::uint32_t size) {
  auto user = [&]() -> std::uint32_t {
    if (!data || size < 4) return 0;
    return RecordReader(data, size).u32(0);
  };
  switch (code) {
    case kMsgOpenSearch:
      CreateSearchFrom(user());
      break;
    case kMsgSendState:
    case kMsgSendStateAgain:
      SendStateToAllFriend();
      break;
    case kMsgShowProfile:
      if (user() != 0) ShowUserInfo(user());
      break;
    case kMsgInvite:
      PrayFriend(user());
      break;
    case kMsgChatListAdd:
      if (user() != 0) SendPluginMessage("KivChat", kMsgChatListAdd, user());
      break;
    case kMsgChatListRemove:
      if (user() != 0) SendPluginMessage("KivChat", kMsgChatListRemove, user());
      ShowFriendList();
      break;
    default:
      break;
  }
}

}  // namespace kiv::friends
