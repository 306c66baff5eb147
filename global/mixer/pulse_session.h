// One connection to the sound server on its own PulseAudio threaded main loop.
//
// Both the audio engine and the recording-source mixer talk to the server through this class. It
// never autospawns a server and every wait has a deadline, so a machine without a sound server
// answers with a failure in bounded time instead of hanging.
//
// Threads: the loop runs its own thread, on which every PulseAudio callback runs with the loop lock
// held. Any other thread touches the context or its streams only while holding `Lock`. Callbacks
// must not wait for anything the caller of a `Wait…` holds except the loop lock itself.
#pragma once

#include <pulse/pulseaudio.h>

#include <chrono>
#include <memory>

namespace kiv {

class TPulseSession {
 public:
  // Starts a loop and connects to the server (PULSE_SERVER or the default) within `timeout`.
  // Nothing when no server answers in time.
  static std::unique_ptr<TPulseSession> Connect(const char* client_name, std::chrono::milliseconds timeout);
  // Disconnects and ends the loop's thread. Streams of this session must be gone by now.
  ~TPulseSession();
  TPulseSession(const TPulseSession&) = delete;
  TPulseSession& operator=(const TPulseSession&) = delete;

  // Holds the loop lock for its lifetime. Not recursive; never taken inside a callback.
  class Lock {
   public:
    explicit Lock(TPulseSession& session) : loop_(session.loop_) { pa_threaded_mainloop_lock(loop_); }
    ~Lock() { pa_threaded_mainloop_unlock(loop_); }
    Lock(const Lock&) = delete;
    Lock& operator=(const Lock&) = delete;

   private:
    pa_threaded_mainloop* loop_;
  };

  pa_threaded_mainloop* loop() const { return loop_; }
  pa_context* context() const { return context_; }
  // The connection is up (with the lock held).
  bool Ready() const;

  // With the lock held: waits until `op` is done or `timeout` passed (then cancels it), and drops
  // the reference. False on a missing operation or a time-out.
  bool Wait(pa_operation* op, std::chrono::milliseconds timeout);
  // With the lock held: waits until the stream is ready (true) or failed, or the time is up.
  bool WaitReady(pa_stream* stream, std::chrono::milliseconds timeout);

 private:
  TPulseSession() = default;
  // Gives the loop thread the lock for a moment, so its callbacks can run while we poll.
  void Pause();

  pa_threaded_mainloop* loop_ = nullptr;
  pa_context* context_ = nullptr;
};

}  // namespace kiv
