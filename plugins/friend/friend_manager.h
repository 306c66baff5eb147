// Friend_manager: the friends plug-in's manager. It keeps the signed-in user's friend groups and
// friends (held by the global manager), their states and direct connections, the cache files, and
// runs adding, answering, deleting, searching, group operations, profiles, photos and room
// invitations. The windows only call it.
//
// Trust: who sent a message is the connection. Server answers are taken only from the home-server
// connection; a friend's state or connect request changes that friend's connection only when it
// comes from the home server, from a connection this client dialled to that friend, or from the
// address the server reported for that friend.
//
// Threads: everything runs on the main thread, except the connection threads, which only run the
// blocking handshake with a user code in hand and post the handle back to the main thread. The
// destructor waits for them.
#pragma once

#include <QObject>
#include <QPointer>
#include <atomic>
#include <cstdint>
#include <map>
#include <memory>
#include <optional>
#include <set>
#include <thread>
#include <vector>

#include "base/wire.h"
#include "manager/global_manager.h"

namespace kiv::friends {

class TFriendForm;
class TSearchForm;
class TUserInfoForm;

// One search hit as the server sent it (a TSearch_FriendInfo record).
struct TSearchHit {
  std::uint32_t code = 0;
  std::string nickname, province, city;
  std::uint8_t sex = 0, age = 0, face = 0, online = 0, camera = 0, verify_mode = 0;
  WireAddress server;
  static std::optional<TSearchHit> Read(const RecordReader& r, std::size_t offset);
};

// What the user asks a search for.
struct TSearchQuery {
  std::uint32_t code = 0;
  std::string nickname, city;
  bool camera_only = false, online_only = false;
  std::uint8_t sex = 0;
};

class TManager : public QObject {
  Q_OBJECT

 public:
  TManager();
  ~TManager() override;

  // Transport callbacks of the plug-in (main thread).
  void OnDataRecive(std::uint16_t remote, const std::uint8_t* data, std::uint32_t size);
  void OnDisConnect(std::uint16_t remote);
  // Local messages to this plug-in.
  void DealMessage(std::uint32_t code, void* data, std::uint32_t size);
  void BringToFront();

  // Operations of the windows.
  void AddNewFriend(const TSearchHit& hit, const std::string& verification);
  void AnswerFriendRequest(std::uint32_t code, const std::string& nickname, const WireAddress& server,
                           bool agree, const std::string& reason);
  void AddNewFriendGroup();
  void ModifyFriendGroup(std::uint32_t id);
  void DeleteFriendGroup(std::uint32_t id);
  void MoveFriend(std::uint32_t code, std::uint32_t group);
  void DeleteFriendQuery(std::uint32_t code);
  void CreateSearchFrom(std::uint32_t code);
  void SearchUser(const TSearchQuery& query);
  void ShowPage(int page);
  void ShowUserInfo(std::uint32_t code);
  // Asks the server for the profile again (the profile window's "刷新").
  void RefreshUserInfo(std::uint32_t code);
  void StartChat(std::uint32_t code);
  void ShowChatRecord(std::uint32_t code);
  void StartAudio(std::uint32_t code);
  void StartFile(std::uint32_t code);
  void StartVideo(std::uint32_t code);
  void PrayFriend(std::uint32_t room);
  void SendPrayFriend(const TFriend& person, std::uint32_t room, std::uint8_t kind);
  void SendFriendListQuest();
  void SetShowFaceSize();
  void SetShowOnlineFriend();
  void SetShowCustomPhoto();
  void CreateFriend(std::uint32_t code, const std::string& nickname, const WireAddress& server);
  void ShowFriendList();
  void SendStateToAllFriend();

  const std::vector<TSearchHit>& SearchResults() const { return search_results_; }
  int CurrentPage() const { return page_; }
  TFriendForm* Panel() const;

 private:
  struct FriendLink {
    std::uint16_t dialled = 0;  // a connection this client made to the friend
    WireAddress reported;       // the friend's own address as the server reported it
  };

  // Receiving.
  void DealAddFriendMsg(std::uint16_t remote, const RecordReader& r);
  void DealUserState(std::uint16_t remote, const RecordReader& r);
  void DealConnectMsg(std::uint16_t remote, const RecordReader& r);
  void DealPrayFriend(std::uint16_t remote, const RecordReader& r);
  void DealFriendPhoto(std::uint16_t remote, const RecordReader& r);
  void DealFriendGroupMessage(const RecordReader& r);
  void DealFriendMessage(const RecordReader& r);
  void DealSearchUserMessage(const RecordReader& r);
  void DealReturnUserInfo(const RecordReader& r);
  void DealReturnFriendList(const RecordReader& r);
  void DealQuestData(std::uint16_t remote, const RecordReader& r);
  void DealReturnFriendGroupInfo(const RecordReader& r);
  void ShowInvitation();

  // Sending.
  void SendToServer(std::span<const std::uint8_t> message);
  void SendToFriend(const TFriend& person, std::span<const std::uint8_t> message);
  // Connectionless to a server; nothing for an empty address or port 0.
  void SendConnectionless(const WireAddress& server, std::span<const std::uint8_t> message);
  void SendUserState(const TFriend& person, std::uint8_t state, bool reply_wanted);
  void SendAddFriendMsg(std::uint8_t kind, std::uint32_t target, const std::string& text,
                        const WireAddress& via);
  void SendConnectMsg(const TFriend& person);
  void SendQuestUserInfo(std::uint32_t code, std::uint8_t purpose);
  void SendDealFriendGroup(std::uint8_t operation, std::uint32_t friend_code, const std::string& name,
                           std::uint32_t group);
  void SendSearchUserMessage();
  void SendPluginMessage(const char* plugin, std::uint32_t code, std::uint32_t user);

  // Direct connections.
  void StartConnect(std::uint8_t kind, const WireAddress& address, std::uint32_t code);
  void Connected(std::uint8_t kind, std::uint32_t code, std::uint16_t handle);
  bool Trusted(std::uint16_t remote, std::uint32_t code) const;
  bool FromHome(std::uint16_t remote) const;
  // Asks the server for the friend's address (a profile of purpose 3), which is then dialled.
  void VerifyFriend(std::uint32_t code);

  // Groups and friends.
  void RebuildGroups(bool read_file);
  TFriendGroupInfo* FindGroup(std::uint32_t id) const;
  TFriendGroupInfo& InsertGroup(std::uint32_t id);
  void AddFriendToFriendGroup(std::unique_ptr<TFriend> person, std::uint32_t group);
  std::unique_ptr<TFriend> TakeFriend(std::uint32_t code);
  // `draw` false: the caller redraws the list once when it has applied every change.
  void ShowFriendLineMsg(std::uint8_t state, TFriend& person, bool draw = true);
  void PostHint(std::uint8_t kind, const TFriend& person);
  void SaveFriendFile();
  void SaveGroupFile();
  bool LoadFriendFile();

  std::uint32_t MyCode() const;
  std::uint8_t MyState() const;

  QPointer<TFriendForm> panel_;
  QPointer<TSearchForm> search_form_;
  std::map<std::uint32_t, QPointer<TUserInfoForm>> info_forms_;
  std::map<std::uint32_t, FriendLink> links_;
  std::set<std::uint32_t> verifying_;
  std::vector<TSearchHit> search_results_;
  TSearchQuery last_query_;
  int page_ = 1;
  std::optional<Bytes> last_invitation_;
  std::vector<std::jthread> connect_threads_;
  std::shared_ptr<std::atomic<bool>> alive_ = std::make_shared<std::atomic<bool>>(true);
};

// The manager while the plug-in runs; null otherwise.
extern TManager* Manager;

}  // namespace kiv::friends
