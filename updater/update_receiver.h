// TUpdateReceiver: what the updater does with the server's messages, without windows, timers or
// sockets. It reads the announcement and the file pieces, unpacks packed files as they arrive and
// stages every file in "TempDownFile/" under the program folder; nothing in the program folder
// itself changes here (TUpdateInstaller does that once every file is staged).
//
// It refuses, and then ignores everything after: a piece before the announcement, a piece for
// another file than the open one, more files than announced, an unsafe file name, lengths beyond
// the message, content beyond kMaxUnpackedSize or other than the declared unpacked size, and write
// errors. With a public key, the first file must be the signed manifest, and every file must match
// its entry.
//
// Threads: one thread at a time (the updater's main thread).
#pragma once

#include <cstdint>
#include <filesystem>
#include <memory>
#include <optional>
#include <set>
#include <span>
#include <string>
#include <vector>

#include "update_protocol.h"

namespace kiv::update {

// A file received and unpacked into the staging folder, waiting to be installed.
struct TStagedFile {
  std::string name;              // as sent
  std::filesystem::path staged;  // under TempDownFile/
  std::filesystem::path target;  // under the program folder
};

struct TReceiverOptions {
  std::filesystem::path program_folder;
  // What the updater asked for: the client version or a plug-in name.
  std::string requested;
  // Set: the update must carry a manifest signed with this key.
  std::optional<TPublicKey> public_key;
  std::uint64_t max_unpacked = kMaxUnpackedSize;
};

class TUpdateReceiver {
 public:
  enum class TState {
    kWaiting,    // no announcement yet
    kNothing,    // the server has no update for us (status 2)
    kReceiving,  // announced; files coming
    kStaged,     // every announced file is staged and verified
    kFailed,     // refused; see Error()
  };

  explicit TUpdateReceiver(TReceiverOptions options);
  ~TUpdateReceiver();
  TUpdateReceiver(const TUpdateReceiver&) = delete;
  TUpdateReceiver& operator=(const TUpdateReceiver&) = delete;

  // Handles one message of the server. Messages of other codes are ignored. Returns the state.
  TState OnMessage(std::span<const std::uint8_t> message);

  // Ends the update from outside (the server went away): drops what was staged.
  void Abandon(std::string why) { Fail(std::move(why)); }

  TState State() const { return state_; }
  const std::string& Error() const { return error_; }
  const std::string& Description() const { return description_; }
  std::uint32_t Announced() const { return announced_; }
  std::uint32_t Finished() const { return finished_; }
  // The file being received: its bare name, whole size as sent and the bytes of it received.
  const std::string& CurrentName() const { return current_name_; }
  std::uint32_t CurrentWholeSize() const { return current_whole_; }
  std::uint64_t CurrentReceived() const { return current_received_; }
  bool Signed() const { return manifest_.has_value(); }
  // The files to install, in the order received (the manifest is not among them).
  const std::vector<TStagedFile>& Staged() const { return staged_; }
  std::filesystem::path StagingFolder() const;

 private:
  class TOpenFile;
  void OnAnnouncement(std::span<const std::uint8_t> message);
  void OnPiece(std::span<const std::uint8_t> message);
  bool OpenFile(const std::string& name);
  bool FinishFile();
  bool FinishManifest();
  void CheckComplete();
  void Fail(std::string why);

  TReceiverOptions options_;
  TState state_ = TState::kWaiting;
  std::string error_;
  std::string description_;
  std::uint32_t announced_ = 0, finished_ = 0;
  std::string current_name_;
  std::uint32_t current_whole_ = 0;
  std::uint64_t current_received_ = 0;
  std::unique_ptr<TOpenFile> open_;
  std::set<std::string> seen_;  // names received, as safe relative paths
  std::optional<TManifest> manifest_;
  std::vector<TStagedFile> staged_;
};

}  // namespace kiv::update
