// The PostgreSQL account store, for several server processes (home nodes) sharing one database.
// Queries go through one connection guarded by a mutex (opened again when the database restarts);
// node events travel on the process's node bus under the topic "home". Migrations run under an
// advisory lock, so nodes starting together migrate once.
#pragma once

#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "pg_result.h"
#include "store.h"

namespace kiv::server {

class TPgStore final : public IAccountStore {
 public:
  // Throws std::runtime_error when the database cannot be reached or migrated.
  explicit TPgStore(const std::string& url);
  ~TPgStore() override;

  TLookup Lookup(std::uint32_t code) override;
  std::uint32_t Create(const TAccount& account) override;
  bool UpdateProfile(std::uint32_t code, const TProfileUpdate& update) override;
  bool SetPassword(std::uint32_t code, const std::string& hash, bool clear_pay) override;
  bool SetBalance(std::uint32_t code, std::int64_t money) override;
  bool AddLevel(std::uint32_t code) override;
  bool DeleteAccount(std::uint32_t code) override;
  TTransferResult Transfer(std::uint32_t from, std::uint32_t to, std::int64_t amount,
                           std::int64_t fee) override;
  std::int64_t LedgerRows() override;
  TCreditResult Credit(std::uint32_t code, std::int64_t amount, const std::string& request_id) override;
  std::vector<TLedgerRow> LedgerOf(std::uint32_t code, std::size_t limit) override;
  std::vector<TRankRow> Richest(std::size_t limit) override;
  std::uint32_t IssueGuest(const std::string& machine, std::int64_t now_s) override;
  bool ClaimGuest(std::uint32_t code, const std::string& machine, std::int64_t now_s) override;
  void SetPresence(std::uint32_t user, const std::string& node, bool signed_in) override;
  std::optional<std::string> PresenceOf(std::uint32_t user) override;
  void ClearNode(const std::string& node) override;
  void Publish(const TNodeEvent& event) override;
  void Listen(std::function<void(const TNodeEvent&)> handler) override;

 private:
  TPgResult Exec(const char* sql, const std::vector<std::string>& params = {});
  void ExecOrThrow(const char* sql, const std::vector<std::string>& params = {});
  void Migrate();

  std::mutex mutex_;
  std::unique_ptr<TPgConnection> db_;
  std::shared_ptr<TPgNodeBus> bus_;
  std::mutex listen_mutex_;
  std::uint64_t subscription_ = 0;
};

}  // namespace kiv::server
