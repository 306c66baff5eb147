// The SQLite account store: one database file (WAL), schema created on first open and brought up to
// date by numbered migrations recorded in PRAGMA user_version. One connection, guarded by a mutex:
// the server's roles are few threads and every statement is short.
#pragma once

#include <filesystem>
#include <mutex>

#include "store.h"

struct sqlite3;

namespace kiv::server {

class TSqliteStore final : public IAccountStore {
 public:
  // ":memory:" opens a private in-memory database. Throws std::runtime_error on failure.
  explicit TSqliteStore(const std::string& path);
  ~TSqliteStore() override;

  int SchemaVersion();

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
  // One process: there is no other node to hear an event.
  void Publish(const TNodeEvent&) override {}
  void Listen(std::function<void(const TNodeEvent&)>) override {}

 private:
  void Migrate();

  std::mutex mutex_;
  sqlite3* db_ = nullptr;
};

}  // namespace kiv::server
