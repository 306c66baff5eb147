#include "update_receiver.h"

#include <algorithm>
#include <charconv>
#include <cstring>

#include "base/compress.h"
#include "base/files.h"
#include "base/safe_name.h"

namespace kiv::update {

namespace {

constexpr const char* kStagingFolder = "TempDownFile";

std::string Normalised(std::string name) {
  std::replace(name.begin(), name.end(), '\\', '/');
  return name;
}

std::string BareName(const std::string& name) {
  const std::size_t slash = name.find_last_of("/\\");
  return slash == std::string::npos ? name : name.substr(slash + 1);
}

bool IsNumber(std::string_view text, std::int64_t& value) {
  auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), value);
  return !text.empty() && ec == std::errc() && end == text.data() + text.size();
}

}  // namespace

// One file being received: decides from its first bytes whether it is packed, unpacks it as it
// arrives and writes the content to its staged file (or, for the manifest, to memory).
class TUpdateReceiver::TOpenFile {
 public:
  TOpenFile(std::string name, std::uint64_t limit) : name_(std::move(name)), limit_(limit) {}

  const std::string& Name() const { return name_; }
  std::uint64_t ContentSize() const { return content_size_; }
  TSha256 Digest() { return hash_.Final(); }

  // The staged file; null for a file held in memory.
  void StageTo(const std::filesystem::path& staged) { file_ = std::make_unique<ReplacementFile>(staged); }
  const std::string& Memory() const { return memory_; }

  bool Feed(std::span<const std::uint8_t> bytes, std::string& error) {
    if (mode_ == kUndecided) {
      const std::size_t take = std::min(kPackedHeadSize - head_.size(), bytes.size());
      head_.insert(head_.end(), bytes.begin(), bytes.begin() + static_cast<std::ptrdiff_t>(take));
      bytes = bytes.subspan(take);
      if (head_.size() < 4) return true;
      if (!StartsWithPackedMagic(head_)) {
        mode_ = kRaw;
        if (!Content(head_, error)) return false;
      } else {
        if (head_.size() < kPackedHeadSize) return true;
        declared_ = LoadU32(head_.data() + 4);
        if (declared_ > limit_) {
          error = name_ + ": unpacked size " + std::to_string(declared_) + " beyond the limit";
          return false;
        }
        mode_ = kPacked;
        inflater_ = std::make_unique<ZlibInflateStream>(declared_);
      }
    }
    if (bytes.empty()) return true;
    if (mode_ == kRaw) return Content(bytes, error);
    std::string why;
    if (inflater_->Feed(
            bytes, [&](std::span<const std::uint8_t> out) { return Content(out, error); }, &why))
      return true;
    if (error.empty()) error = name_ + ": " + why;
    return false;
  }

  // After the last piece: the content is complete and exactly as declared.
  bool Finish(std::string& error) {
    if (mode_ == kUndecided) {
      if (StartsWithPackedMagic(head_)) {
        error = name_ + ": packed file ends inside its head";
        return false;
      }
      mode_ = kRaw;
      if (!Content(head_, error)) return false;
    }
    if (mode_ == kPacked && (!inflater_->Finished() || inflater_->Produced() != declared_)) {
      error = name_ + ": unpacked to " + std::to_string(inflater_->Produced()) + " bytes instead of " +
              std::to_string(declared_) + (inflater_->Finished() ? "" : " (stream incomplete)");
      return false;
    }
    if (file_ && !file_->Commit()) {
      error = file_->error();
      return false;
    }
    return true;
  }

 private:
  bool Content(std::span<const std::uint8_t> bytes, std::string& error) {
    if (bytes.size() > limit_ - std::min(limit_, content_size_)) {
      error = name_ + ": content beyond " + std::to_string(limit_) + " bytes";
      return false;
    }
    content_size_ += bytes.size();
    hash_.Update(bytes);
    if (!file_) {
      memory_.append(reinterpret_cast<const char*>(bytes.data()), bytes.size());
      return true;
    }
    if (file_->Write(bytes)) return true;
    error = file_->error();
    return false;
  }

  enum { kUndecided, kRaw, kPacked } mode_ = kUndecided;
  std::string name_;
  std::uint64_t limit_;
  Bytes head_;
  std::uint32_t declared_ = 0;
  std::unique_ptr<ZlibInflateStream> inflater_;
  std::uint64_t content_size_ = 0;
  TSha256Stream hash_;
  std::unique_ptr<ReplacementFile> file_;
  std::string memory_;
};

TUpdateReceiver::TUpdateReceiver(TReceiverOptions options) : options_(std::move(options)) {}
TUpdateReceiver::~TUpdateReceiver() = default;

std::filesystem::path TUpdateReceiver::StagingFolder() const {
  return options_.program_folder / kStagingFolder;
}

TUpdateReceiver::TState TUpdateReceiver::OnMessage(std::span<const std::uint8_t> message) {
  if (message.size() < 4 || state_ == TState::kFailed || state_ == TState::kNothing) return state_;
  const std::uint32_t code = LoadU32(message.data());
  if (code == kCodeUpdate) {
    OnAnnouncement(message);
  } else if (code == kCodePiece) {
    OnPiece(message);
  }
  return state_;
}

void TUpdateReceiver::OnAnnouncement(std::span<const std::uint8_t> message) {
  if (state_ != TState::kWaiting) return Fail("a second announcement");
  std::string error;
  std::optional<TAnnouncement> a = ParseAnnouncement(message, &error);
  if (!a) return Fail(error);
  if (a->status == kStatusNothing) {
    state_ = TState::kNothing;
    return;
  }
  DeleteDir(StagingFolder());  // what an interrupted earlier run left
  announced_ = a->file_count;
  description_ = std::move(a->description);
  state_ = TState::kReceiving;
  CheckComplete();
}

void TUpdateReceiver::OnPiece(std::span<const std::uint8_t> message) {
  if (state_ == TState::kWaiting) return Fail("a file piece before the announcement");
  if (state_ != TState::kReceiving) return Fail("more files than announced");
  std::string error;
  std::optional<TPiece> piece = ParsePiece(message, &error);
  if (!piece) return Fail(error);
  if (!open_) {
    if (!OpenFile(piece->name)) return;
  } else if (piece->name != open_->Name()) {
    return Fail("a piece of " + piece->name + " while " + open_->Name() + " is open");
  }
  current_whole_ = piece->whole_size;
  current_received_ += piece->bytes.size();
  if (!open_->Feed(piece->bytes, error)) return Fail(error);
  if (!piece->last) return;
  const bool ok = open_->Name() == kManifestName ? FinishManifest() : FinishFile();
  open_.reset();
  if (!ok) return;
  ++finished_;
  CheckComplete();
}

bool TUpdateReceiver::OpenFile(const std::string& name) {
  if (finished_ >= announced_) {
    Fail("more files than announced");
    return false;
  }
  const std::string relative = Normalised(name);
  current_name_ = BareName(relative);
  current_received_ = 0;
  if (name == kManifestName) {
    if (finished_ != 0 || manifest_) {
      Fail("the manifest is not the first file");
      return false;
    }
    open_ = std::make_unique<TOpenFile>(name, kMaxManifestBytes);
    return true;
  }
  if (options_.public_key && !manifest_) {
    Fail("the update is not signed");
    return false;
  }
  if (manifest_ && std::none_of(manifest_->files.begin(), manifest_->files.end(),
                                [&](const TManifestEntry& e) { return Normalised(e.name) == relative; })) {
    Fail(name + " is not in the signed manifest");
    return false;
  }
  std::string error;
  std::optional<std::filesystem::path> target = SafeChildPath(options_.program_folder, name, &error);
  std::optional<std::filesystem::path> staged =
      target ? SafeChildPath(options_.program_folder, std::string(kStagingFolder) + "/" + relative, &error)
             : std::nullopt;
  if (!target || !staged) {
    Fail(error);
    return false;
  }
  if (relative.starts_with(std::string(kStagingFolder) + "/")) {
    Fail(name + " lies in the staging folder");
    return false;
  }
  if (!seen_.insert(relative).second) {
    Fail(name + " sent twice");
    return false;
  }
  if (!MakeDir(staged->parent_path())) {
    Fail("cannot create " + staged->parent_path().string());
    return false;
  }
  open_ = std::make_unique<TOpenFile>(name, options_.max_unpacked);
  open_->StageTo(*staged);
  staged_.push_back({name, *staged, *target});
  return true;
}

bool TUpdateReceiver::FinishFile() {
  std::string error;
  if (!open_->Finish(error)) {
    Fail(error);
    return false;
  }
  if (!manifest_) return true;
  const std::string relative = Normalised(open_->Name());
  auto entry = std::find_if(manifest_->files.begin(), manifest_->files.end(),
                            [&](const TManifestEntry& e) { return Normalised(e.name) == relative; });
  if (entry->size != open_->ContentSize() || entry->sha256 != open_->Digest()) {
    Fail(open_->Name() + " does not match the signed manifest");
    return false;
  }
  return true;
}

bool TUpdateReceiver::FinishManifest() {
  std::string error;
  if (!open_->Finish(error)) {
    Fail(error);
    return false;
  }
  if (!options_.public_key) return true;  // nothing to check it with: an ordinary unsigned update
  std::optional<TManifest> manifest = VerifyManifest(open_->Memory(), *options_.public_key, &error);
  if (!manifest) {
    Fail(error);
    return false;
  }
  std::int64_t requested = 0, target = 0;
  const bool fits = IsNumber(options_.requested, requested)
                        ? IsNumber(manifest->target, target) && target > requested
                        : manifest->target == options_.requested;
  if (!fits) {
    Fail("the signed manifest is for " + manifest->target + ", not for " + options_.requested);
    return false;
  }
  std::set<std::string> names;
  for (const TManifestEntry& e : manifest->files) names.insert(Normalised(e.name));
  if (names.size() != manifest->files.size() || manifest->files.size() + 1 != announced_) {
    Fail("the signed manifest does not list the announced files");
    return false;
  }
  manifest_ = std::move(manifest);
  return true;
}

void TUpdateReceiver::CheckComplete() {
  if (state_ == TState::kReceiving && finished_ == announced_) state_ = TState::kStaged;
}

void TUpdateReceiver::Fail(std::string why) {
  state_ = TState::kFailed;
  error_ = std::move(why);
  open_.reset();  // drops the half-written staged file
  staged_.clear();
  DeleteDir(StagingFolder());
}

}  // namespace kiv::update
