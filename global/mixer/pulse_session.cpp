#include "mixer/pulse_session.h"

#include <thread>

namespace kiv {
namespace {

using Clock = std::chrono::steady_clock;

// Polling keeps the waits simple and bounded; 1 ms is far below anything a user notices and far
// above what costs CPU.
constexpr auto kPollInterval = std::chrono::milliseconds(1);

bool ContextSettled(pa_context_state_t state) {
  return state == PA_CONTEXT_READY || !PA_CONTEXT_IS_GOOD(state);
}

}  // namespace

std::unique_ptr<TPulseSession> TPulseSession::Connect(const char* client_name,
                                                      std::chrono::milliseconds timeout) {
  std::unique_ptr<TPulseSession> session(new TPulseSession);
  session->loop_ = pa_threaded_mainloop_new();
  if (!session->loop_) return nullptr;
  session->context_ = pa_context_new(pa_threaded_mainloop_get_api(session->loop_), client_name);
  if (!session->context_ || pa_threaded_mainloop_start(session->loop_) < 0) return nullptr;
  Lock lock(*session);
  if (pa_context_connect(session->context_, nullptr, PA_CONTEXT_NOAUTOSPAWN, nullptr) < 0) return nullptr;
  const auto deadline = Clock::now() + timeout;
  while (!ContextSettled(pa_context_get_state(session->context_)) && Clock::now() < deadline)
    session->Pause();
  if (pa_context_get_state(session->context_) != PA_CONTEXT_READY) return nullptr;
  return session;
}

TPulseSession::~TPulseSession() {
  if (context_) {
    if (loop_) pa_threaded_mainloop_lock(loop_);
    pa_context_disconnect(context_);
    pa_context_unref(context_);
    if (loop_) pa_threaded_mainloop_unlock(loop_);
  }
  if (loop_) {
    pa_threaded_mainloop_stop(loop_);
    pa_threaded_mainloop_free(loop_);
  }
}

bool TPulseSession::Ready() const { return pa_context_get_state(context_) == PA_CONTEXT_READY; }

void TPulseSession::Pause() {
  pa_threaded_mainloop_unlock(loop_);
  std::this_thread::sleep_for(kPollInterval);
  pa_threaded_mainloop_lock(loop_);
}

bool TPulseSession::Wait(pa_operation* op, std::chrono::milliseconds timeout) {
  if (!op) return false;
  const auto deadline = Clock::now() + timeout;
  while (pa_operation_get_state(op) == PA_OPERATION_RUNNING && Clock::now() < deadline && Ready()) Pause();
  const bool done = pa_operation_get_state(op) == PA_OPERATION_DONE;
  if (!done) pa_operation_cancel(op);
  pa_operation_unref(op);
  return done;
}

bool TPulseSession::WaitReady(pa_stream* stream, std::chrono::milliseconds timeout) {
  const auto deadline = Clock::now() + timeout;
  while (pa_stream_get_state(stream) == PA_STREAM_CREATING && Clock::now() < deadline) Pause();
  return pa_stream_get_state(stream) == PA_STREAM_READY;
}

}  // namespace kiv
