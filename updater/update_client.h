// TUpdateClient: the updater's connection to the update server. It runs the updater's own build of
// the transport engine (its constants: 20 s keep-alive and ageing, 5 s handshake window) in mode 0
// on the Qt main thread, sends the request and feeds the answers to a TUpdateReceiver. Each message
// is handed over from the transport callback to the event loop first, so nothing long or modal runs
// inside the callback.
//
// A server that disconnects, or sends nothing for `inactivity_ms` while the update runs, ends it
// with ServerLost; nothing in the program folder has changed at that point. Once every announced
// file is staged, Staged comes only after `settle_ms` without further messages: a server that sends
// more files than it announced is refused rather than half installed.
//
// Threads: main thread only.
#pragma once

#include <QObject>
#include <QString>
#include <QTimer>
#include <memory>
#include <string>

#include "update_receiver.h"

namespace kiv {
class TKivUDP;
class TQtMainThread;
}  // namespace kiv

namespace kiv::update {

// Every interval of the updater, so tests can run it in seconds.
struct TUpdateTimings {
  int start_delay_ms = 5000;        // from the window's creation to connecting
  int connect_timeout_ms = 5000;    // handshake with the server
  int progress_ms = 1000;           // progress display refresh
  int close_delay_ms = 1000;        // closing after success when the client is left alone
  int inactivity_ms = 30000;        // silence of the server that ends a running update
  int client_close_wait_ms = 1000;  // wait after sending "Close" to the client
  int settle_ms = 300;              // quiet time after the last file before installing
  int first_port = 9005;            // the local UDP port is the first free one from here
};

class TUpdateClient : public QObject {
  Q_OBJECT

 public:
  TUpdateClient(TReceiverOptions options, TUpdateTimings timings, QObject* parent = nullptr);
  ~TUpdateClient() override;

  // Starts the engine, connects (letting events run while it waits) and sends the request for the
  // requested version. False when the server cannot be reached.
  bool Start(const std::string& address, std::uint16_t port);
  // Tells the server and stops the engine. Safe to call twice.
  void Stop();

  const TUpdateReceiver& Receiver() const { return receiver_; }

 signals:
  void Announced();
  void NothingToGive();
  void Staged();
  void Progressed();  // a piece arrived
  void Failed(const QString& error);
  void ServerLost();

 private:
  void OnMessage(const Bytes& message);
  void OnLost();
  bool Running() const;

  std::string requested_;
  TUpdateReceiver receiver_;
  TUpdateTimings timings_;
  std::unique_ptr<TQtMainThread> main_thread_;
  std::unique_ptr<TKivUDP> udp_;
  std::uint16_t server_ = 0;
  QTimer inactivity_;
  QTimer settle_;
  bool done_ = false;  // staged, refused or lost: later messages are ignored
};

}  // namespace kiv::update
