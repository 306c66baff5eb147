// The exported functions: each one hands over to the engine and never lets an exception out.
#include "kiv_audio.h"

#include "audio_engine.h"

namespace {

template <typename Fn, typename Result>
Result Guarded(Fn fn, Result failure) {
  try {
    return fn();
  } catch (...) {
    return failure;
  }
}

template <typename Fn>
void Guarded(Fn fn) {
  try {
    fn();
  } catch (...) {
    // Nothing to report: the call did nothing.
  }
}

kiv::TAudioEngine& Engine() { return kiv::TAudioEngine::Instance(); }

}  // namespace

extern "C" {

bool CheckAudioInDeviceWorking(void) {
  return Guarded([] { return Engine().CaptureRunning(); }, false);
}

bool StartAudioIn(uint8_t quality, int32_t, TAudioOwner* owner, TAudioDataProc callback, void* object) {
  return Guarded([&] { return Engine().StartCapture(quality, owner, callback, object); }, false);
}

void StopAudioIn(void) {
  Guarded([] { Engine().StopCapture(); });
}

int32_t StartAudioOut(int32_t, TAudioOwner*) {
  return Guarded([] { return Engine().StartOutput(); }, int32_t{-1});
}

void StopAudioOut(int32_t handle) {
  Guarded([&] { Engine().StopOutput(handle); });
}

int32_t PlayAudioData(int32_t handle, uint8_t quality, const void* data, uint32_t size) {
  return Guarded([&] { return Engine().Play(handle, quality, data, size); }, int32_t{0});
}

int32_t GetAudioOutVolume(void) {
  return Guarded([] { return Engine().Volume(); }, int32_t{0});
}

void SetAudioOutVolume(int32_t volume) {
  Guarded([&] { Engine().SetVolume(volume); });
}

}  // extern "C"
