// The account store: one interface, two implementations (SQLite for one process, PostgreSQL for
// several server processes sharing accounts). All text is UTF-8; secrets are stored only as the
// hashes TPasswordHasher makes. Every method may be called from any thread; each implementation
// serialises or pools its connections itself.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace kiv::server {

struct TAccount {
  std::uint32_t code = 0;
  std::string password_hash;
  std::string pay_hash;  // empty: no pay password set
  std::string nickname;
  std::uint8_t sex = 1, age = 0, face = 0;
  std::string email, phone, occupation, address, province, city, introduction;
  std::uint8_t verify_mode = 0;
  bool bind = false;
  std::string bind_machine;  // MD5 form 4 of the machine the account is bound to
  std::uint8_t user_type = 0;
  std::uint16_t extra = 0;
  std::int64_t money = 0;
  std::uint32_t level_points = 0, experience = 0, next_experience = 100;
  bool protection = false;
  std::string question, answer_hash, id_hash;
};

// The profile fields a profile change writes; the optional parts only when present.
struct TProfileUpdate {
  std::string nickname;
  std::uint8_t sex = 1, age = 0, face = 0;
  std::string email, phone, occupation, address, province, city, introduction;
  std::uint8_t verify_mode = 0;
  bool bind = false;
  std::string bind_machine;
  std::optional<std::string> password_hash;
  std::optional<std::string> pay_hash;
  struct Protection {
    std::string question, answer_hash, id_hash;
  };
  std::optional<Protection> protection;
};

// One row of the money ledger. `from` 0 is the service itself (a top-up on the web site).
// One line of the web site's ranking.
struct TRankRow {
  std::uint32_t code = 0;
  std::string nickname;
  std::int64_t money = 0;
};

struct TLedgerRow {
  std::int64_t at = 0;  // seconds since the epoch
  std::uint32_t from = 0, to = 0;
  std::int64_t amount = 0, fee = 0;
};

struct TLookup {
  enum Status : std::uint8_t { kFound, kMissing, kFailed } status = kFailed;
  TAccount account;  // kFound only
};

enum class TTransferOutcome { kDone, kNoSender, kNoRecipient, kInsufficient, kError };
struct TTransferResult {
  TTransferOutcome outcome = TTransferOutcome::kError;
  std::int64_t sender_balance = 0, recipient_balance = 0;
};

enum class TCreditOutcome { kDone, kReplayed, kNoAccount, kError };
struct TCreditResult {
  TCreditOutcome outcome = TCreditOutcome::kError;
  std::int64_t balance = 0;  // the new balance (kDone)
};

// Points inside a transfer where a test may ask the process to die (see SetFaultPoint).
inline constexpr const char* kFaultAfterDebit = "transfer.after-debit";
inline constexpr const char* kFaultAfterCredit = "transfer.after-credit";

// An event between home nodes: a user signed in on `node`, or a user's balance changed. With one
// process (SQLite) events reach only that process; with PostgreSQL every node hears them.
struct TNodeEvent {
  enum Kind : std::uint8_t {
    kSignedIn = 1,
    kBalance = 2,
    kLevelUp = 3,
    kKick = 4,
    kChatWaiting = 5,
    // Local only, never sent: the events of the other nodes reach this one again after a loss of
    // the database, and those sent meanwhile are lost; each role re-announces what it holds.
    kBusRestored = 6,
  } kind = kSignedIn;
  std::uint32_t user = 0;
  std::string node;        // the node that sent it
  std::int64_t value = 0;  // new balance (kBalance), kick kind (kKick)
  // kChatWaiting: a text message was kept for `user`, who is signed in on another node.
  std::string Encode() const;
  static std::optional<TNodeEvent> Decode(const std::string& text);
};

class IAccountStore {
 public:
  virtual ~IAccountStore() = default;

  // The account, or why there is none: a failing store is never "no such account", so that a
  // sign-in while the database is away is told "busy", not "wrong password".
  virtual TLookup Lookup(std::uint32_t code) = 0;
  // The account; nothing when there is none or the store failed.
  std::optional<TAccount> Find(std::uint32_t code) {
    TLookup l = Lookup(code);
    if (l.status != TLookup::kFound) return std::nullopt;
    return std::move(l.account);
  }
  // Creates an account; `account.code` 0 takes the next code, which no account has had before.
  // The new code, 0 when the code exists or was an account's that was deleted, or the store fails.
  virtual std::uint32_t Create(const TAccount& account) = 0;
  virtual bool UpdateProfile(std::uint32_t code, const TProfileUpdate& update) = 0;
  // Sets the password hash; with `clear_pay` also removes the pay password.
  virtual bool SetPassword(std::uint32_t code, const std::string& hash, bool clear_pay) = 0;
  virtual bool SetBalance(std::uint32_t code, std::int64_t money) = 0;
  virtual bool AddLevel(std::uint32_t code) = 0;
  // Deletes the account's rows (see kUserCodeColumns) in one transaction and retires its code;
  // then tells the deletion listener. False when there is no such account or the store fails.
  virtual bool DeleteAccount(std::uint32_t code) = 0;
  // Told after an account was deleted, on the deleting thread (the server ends its session). Set
  // before the store is in use.
  void SetDeletionListener(std::function<void(std::uint32_t)> listener) { deleted_ = std::move(listener); }
  // Moves amount from `from` to `to` and keeps the fee, in one transaction with a ledger row; never
  // takes more than the sender has.
  virtual TTransferResult Transfer(std::uint32_t from, std::uint32_t to, std::int64_t amount,
                                   std::int64_t fee) = 0;
  // Rows in the ledger (tests and the admin command).
  virtual std::int64_t LedgerRows() = 0;
  // Credits `amount` (> 0) to `code` in one transaction with a ledger row from 0 and the row of
  // `request_id` (not empty), so one request credits once: a request id already used credits
  // nothing again (kReplayed, whatever account and amount it names now).
  virtual TCreditResult Credit(std::uint32_t code, std::int64_t amount, const std::string& request_id) = 0;
  // The newest `limit` ledger rows that move money from or to `code`, newest first.
  virtual std::vector<TLedgerRow> LedgerOf(std::uint32_t code, std::size_t limit) = 0;
  // The `limit` accounts with the highest balance, highest first (equal balances by code).
  virtual std::vector<TRankRow> Richest(std::size_t limit) = 0;

  // Guest codes handed out by the login role and claimed by a home node.
  virtual std::uint32_t IssueGuest(const std::string& machine, std::int64_t now_s) = 0;
  virtual bool ClaimGuest(std::uint32_t code, const std::string& machine, std::int64_t now_s) = 0;

  // Presence: who is signed in on which node.
  virtual void SetPresence(std::uint32_t user, const std::string& node, bool signed_in) = 0;
  virtual std::optional<std::string> PresenceOf(std::uint32_t user) = 0;
  // Forgets every presence row of `node` (its start after a crash).
  virtual void ClearNode(const std::string& node) = 0;

  // Node events (see TNodeEvent). Listen installs the one handler (nullptr removes it and waits
  // for a running call to end); it runs on a thread of the store.
  virtual void Publish(const TNodeEvent& event) = 0;
  virtual void Listen(std::function<void(const TNodeEvent&)> handler) = 0;

  // Test hook: when set, the process ends at once (_exit) on reaching that point.
  void SetFaultPoint(std::string point) { fault_point_ = std::move(point); }

 protected:
  void Reach(const char* point) const;
  void Deleted(std::uint32_t code) const {
    if (deleted_) deleted_(code);
  }

 private:
  std::string fault_point_;
  std::function<void(std::uint32_t)> deleted_;
};

// "sqlite:" paths, a plain file path, or "postgresql://…". Throws std::runtime_error on failure.
std::unique_ptr<IAccountStore> OpenStore(const std::string& location);

}  // namespace kiv::server
