// The published updates of the update role, kept under DATA/updates/.
//
// An update is a folder of files, a description and a key: a client version (the update every
// client older than it gets) or a game plug-in name. Publishing stores each file in the form it is
// sent (packed when that is smaller) and, when the server has an update signing key, a signed
// manifest as the first file. Each update lives in its own folder DATA/updates/<serial>/ with
// "update.ini" (kind, key, description, file names and sizes) and the files numbered as sent, so a
// name from the network is only ever a key of the in-memory index, never a path.
//
// Threads: Publish and Find may be called from any thread (one mutex).
#pragma once

#include <cstdint>
#include <filesystem>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "update_protocol.h"

namespace kiv::server {

struct TPublishedFile {
  std::string name;              // as sent ("\" between folders)
  std::filesystem::path stored;  // the file in the form it is sent
  std::uint32_t sent_size = 0;
};

struct TPublishedUpdate {
  bool plugin = false;
  std::string key;  // version (decimal) or plug-in name
  std::string description;
  std::vector<TPublishedFile> files;  // in sending order
};

class TUpdateCatalogue {
 public:
  explicit TUpdateCatalogue(std::filesystem::path folder);

  // Reads what earlier runs published.
  void Load();
  // Publishes `source` (a folder) under the version or plug-in name; replaces an older publication
  // of the same key. With `signing_key`, a signed manifest is sent first. False with `error`.
  bool Publish(bool plugin, const std::string& key, const std::filesystem::path& source,
               const std::string& description, const std::optional<update::TSecretKey>& signing_key,
               std::string* error);
  // The update for a request: for a version, the newest published version above it; for anything
  // else, the plug-in of that name. Null when there is none.
  std::shared_ptr<const TPublishedUpdate> Find(const std::string& requested) const;

 private:
  std::filesystem::path folder_;
  mutable std::mutex mutex_;
  std::map<std::int64_t, std::shared_ptr<const TPublishedUpdate>> versions_;
  std::map<std::string, std::shared_ptr<const TPublishedUpdate>> plugins_;
};

// The update signing key of DATA (update-signing.key, hex), when there is one.
std::optional<update::TSecretKey> LoadSigningKey(const std::filesystem::path& data_dir);
// Makes a new pair and stores the secret key (mode 0600); refuses to replace one unless `replace`.
// The public key in hex, or nothing with `error`.
std::optional<std::string> MakeSigningKey(const std::filesystem::path& data_dir, bool replace,
                                          std::string* error);

}  // namespace kiv::server
