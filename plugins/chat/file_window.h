// TFileWindow: the file transfers of one chat window as the window shows them. It owns the window's
// TFileManager, gives it the friend's direct connection (TFileLink over the transport's flat
// interface) and turns its events into conversation lines, hot links ("file:<id>:<action>"), a
// progress line per transfer and the hint line. Offers come from the open dialog, from files
// dropped on the input and from Ctrl+V of copied files.
//
// Threads: main thread only, except that TFileLink::Send and Queued also run on the send threads
// (they call only the transport's thread-safe functions and read the connection handle captured
// at the start of the send).
#pragma once

#include <QObject>
#include <QTextCursor>
#include <QUrl>
#include <cstdint>
#include <map>
#include <memory>

#include "file_transfer.h"

class QMimeData;

namespace kiv::chat {

class TChatForm;

class TFileWindow : public QObject, public TFileLink, public TFileEvents {
 public:
  TFileWindow(TChatForm& form, std::uint32_t own_code);
  ~TFileWindow() override;

  TFileManager& Files() { return *files_; }

  // The open dialog "选择要发送的文件"; every chosen file is offered.
  void ChooseAndSend();
  // Offers every local file among `urls` (a drop, a paste); true when there was at least one.
  bool OfferUrls(const QList<QUrl>& urls);
  bool OfferMime(const QMimeData* mime);
  // The transport lost `remote`: the transfers end when it is the connection they used.
  void ConnectionLost(std::uint16_t remote);
  // A click on a hot link of a file operation; false when the link is not one.
  bool Link(const QUrl& link);

  // TFileLink
  std::uint16_t Remote() override;
  bool Send(std::uint16_t remote, std::uint8_t channel, std::span<const std::uint8_t> message) override;
  std::uint64_t Queued(std::uint16_t remote, std::uint8_t channel) override;
  // TFileEvents
  void Note(const TFileNote& note) override;
  void Progress(std::uint32_t operate_id, const std::string& line) override;
  TExistingFileAnswer AskExisting(const std::string& question) override;

 protected:
  bool eventFilter(QObject* watched, QEvent* event) override;

 private:
  void AddLinks(std::uint32_t id, std::initializer_list<std::pair<const char*, const char*>> links);
  void RemoveItems(std::uint32_t id);

  TChatForm& form_;
  std::uint16_t remote_seen_ = 0;  // the friend's connection as last handed to the manager
  std::map<std::uint32_t, QTextCursor> progress_;  // the progress line of each running transfer
  std::unique_ptr<TFileManager> files_;
};

}  // namespace kiv::chat
