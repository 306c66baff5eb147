// TKivSocket: the transport's one UDP socket (IPv4, POSIX), its counters and the SOCKS5 relay.
//
// Modes, fixed at Start:
//   0  no thread of its own. Start hands the descriptor to the TSocketReadiness hook; the hook's
//      owner (the Qt adapter, on the main thread) calls ReadData() whenever the socket is readable.
//   1, 2  a read thread of the socket's own receives and calls DataRecive on that thread.
// The receive handler DataRecive is virtual; the engine derives from TKivSocket and supplies it.
// It gets every datagram as read (up to kReceiveBufferSize bytes), relay head included; the engine
// runs OpenReceived (udp_datagram.h) on it. Exceptions thrown by the handler are swallowed.
//
// Threads:
//   Start, Stop, SetReadiness: the owning thread (the main thread in the client), never from
//     inside DataRecive; Stop called on the read thread returns false.
//   ReadData: mode 0 only, on the thread that called Start and drives the readiness hook
//     (asserted in debug builds).
//   SendUDPData, SetProxy/ClearProxy, counters, LocalAddress: any thread. SendUDPData takes no lock;
//     the engine stops its sending threads before calling Stop.
// Ownership: the socket owns its descriptor and its read thread; the readiness hook is not owned
// and must outlive the time the socket is started. A class deriving from TKivSocket must call
// Stop() in its own destructor, because the read thread calls the derived DataRecive.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <mutex>
#include <span>
#include <string>
#include <thread>

#include "udp_declare.h"

struct sockaddr_in;

namespace kiv {

// Mode 0: how the socket tells its driver which descriptor to watch.
class TSocketReadiness {
 public:
  virtual ~TSocketReadiness() = default;
  // The socket `fd` is open: call TKivSocket::ReadData whenever it becomes readable.
  virtual void SocketOpened(int fd) = 0;
  // The socket `fd` is about to be closed: stop watching it.
  virtual void SocketClosing(int fd) = 0;
};

struct TSocketCounters {
  std::uint32_t RecvDatagrams = 0;
  std::uint32_t RecvBytes = 0;
  std::uint32_t SentDatagrams = 0;
  std::uint32_t SentBytes = 0;
  bool operator==(const TSocketCounters&) const = default;
};

class TKivSocket {
 public:
  // Datagrams ReadData reads at most per call, so one call never holds the main thread for long.
  static constexpr int kReadBatch = 64;
  // Datagrams the read thread takes from the system in one call.
  static constexpr int kReadVector = 16;
  // Send and receive buffer size asked of the system.
  static constexpr int kSocketBufferSize = 0x100000;

  TKivSocket();
  virtual ~TKivSocket();
  TKivSocket(const TKivSocket&) = delete;
  TKivSocket& operator=(const TKivSocket&) = delete;

  // Opens the socket on `port` of all local addresses (0: any free port) in `mode` 0, 1 or 2 and
  // clears the counters. False when already started, the mode is unknown or a step fails.
  virtual bool Start(std::uint16_t port, std::uint8_t mode);
  // Ends the read thread (mode 1, 2), tells the readiness hook (mode 0) and closes the socket.
  // False when not started or when called on the read thread.
  virtual bool Stop();
  // Sends one datagram of `length` bytes to address:port (dotted IPv4 text); through the relay,
  // with the relay head in front, when one is set. True when the whole datagram was accepted;
  // false when not started, the address is not IPv4 text, length exceeds kMaxDatagram or the
  // system takes less than the whole datagram.
  virtual bool SendUDPData(const std::string& address, std::uint16_t port, const std::uint8_t* data,
                           std::size_t length);
  // One datagram of a batch for SendUDPBatch; the pointed-to data lives for the call.
  struct TOutgoing {
    const std::string* address;
    std::uint16_t port;
    const std::uint8_t* data;
    std::size_t length;
  };
  // Sends the datagrams as SendUDPData would, in order, with as few system calls as it can.
  // Returns how many were sent.
  std::size_t SendUDPBatch(std::span<const TOutgoing> datagrams);
  // Mode 0: reads what is waiting (at most kReadBatch datagrams) and hands each to DataRecive.
  // Returns the number read.
  int ReadData();

  void SetReadiness(TSocketReadiness* readiness) { readiness_ = readiness; }

  // Modes 1 and 2: makes the read thread call ReaderWoken() soon (any thread; several calls before
  // it runs may make one call). Nothing happens in mode 0 or when not started.
  void WakeReader();
  // True on the socket's read thread.
  bool OnReadThread() const { return std::this_thread::get_id() == read_thread_id_.load(); }
  // Mode 0: true on the thread that started the socket, the one reader of its datagrams.
  bool OnOwnerThread() const { return std::this_thread::get_id() == owner_thread_; }

  // Sets the relay (dotted IPv4 text). False, relay unchanged, when `host` is not IPv4 text.
  bool SetProxy(const std::string& host, std::uint16_t port);
  void ClearProxy() { relay_.store(0, std::memory_order_release); }
  bool ProxyFlag() const { return (relay_.load(std::memory_order_acquire) & kRelaySet) != 0; }

  bool Started() const { return started_.load(std::memory_order_acquire); }
  std::uint8_t Mode() const { return mode_; }
  std::uint16_t LocalPort() const { return local_port_; }
  int Handle() const { return fd_.load(std::memory_order_acquire); }
  std::string LocalAddress() const;
  void SetLocalAddress(std::string address);

  // Totals since Start (or since the last TakeSecondSnapshot).
  TSocketCounters Counters() const;
  // The totals as the last TakeSecondSnapshot found them.
  TSocketCounters PerSecond() const;
  // Called once a second by the diagnostics: keeps the totals as PerSecond() and zeroes them.
  void TakeSecondSnapshot();

 protected:
  // The receive handler: one datagram as read from the socket, from address:port. `data` may be
  // changed in place. The default drops it.
  virtual void DataRecive(const std::string& address, std::uint16_t port, std::uint8_t* data,
                          std::size_t length);
  // Runs on the read thread after WakeReader(). The default does nothing.
  virtual void ReaderWoken() {}
  // Runs on the read thread after it handed a batch of datagrams to DataRecive (modes 1 and 2).
  // The default does nothing.
  virtual void ReadBatchDone() {}

 private:
  static constexpr std::uint64_t kRelaySet = 1ull << 63;

  // Reads one datagram if one is waiting; false when none is.
  bool ReadOne(std::uint8_t* buffer);
  // Hands one received datagram to DataRecive and counts it.
  void Received(const sockaddr_in& from, std::uint8_t* buffer, std::size_t length);
  void ReadLoop();

  std::atomic<int> fd_{-1};
  int wake_fd_ = -1;  // eventfd that ends the read thread's wait
  std::thread read_thread_;
  std::atomic<std::thread::id> read_thread_id_{};
  std::thread::id owner_thread_;  // the thread that called Start
  std::atomic<bool> stopping_{false};
  TSocketReadiness* readiness_ = nullptr;
  std::uint16_t local_port_ = 0;
  std::uint8_t mode_ = 0;
  std::atomic<bool> started_{false};
  // Relay: kRelaySet | port << 32 | IPv4 address in network order; 0 when none.
  std::atomic<std::uint64_t> relay_{0};

  std::atomic<std::uint32_t> recv_datagrams_{0}, recv_bytes_{0}, sent_datagrams_{0}, sent_bytes_{0};
  std::atomic<std::uint32_t> second_recv_datagrams_{0}, second_recv_bytes_{0}, second_sent_datagrams_{0},
      second_sent_bytes_{0};

  mutable std::mutex address_mutex_;
  std::string local_address_;
};

}  // namespace kiv
