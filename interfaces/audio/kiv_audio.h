/* The flat interface of libKivAudio.so: voice capture, coding and playback for calls and rooms.
 *
 * Capture and playback go through the sound server (PulseAudio, or PipeWire's PulseAudio service);
 * the device used is the server's default source and sink, which the recording-source choice of
 * the shared runtime (ListAudioInDevice / SetDeviceVolume) sets. The device index arguments are
 * accepted for the callers' sake and select nothing. Without a sound server every start fails
 * within 3 s.
 *
 * Blocks: one encoded block per 20 ms of sound, at most 1275 bytes (the callers' 204800-byte
 * buffers hold any of them). A block made at a quality plays through PlayAudioData with that
 * quality. Levels are the block's peak |sample|, 0 to 32768: silence stays below 100.
 *
 * Threads: call every function from the main thread (the one running the Qt event loop). The
 * capture callback runs there too, queued to the owner object; it is never called after
 * StopAudioIn has returned, nor after the owner is destroyed. Data handed to the callback lives
 * for the call only; data passed to PlayAudioData belongs to the caller and is not kept.
 */
#ifndef KIVORA_KIV_AUDIO_H
#define KIVORA_KIV_AUDIO_H

#include <stdbool.h>
#include <stdint.h>

#ifdef __cplusplus
class QObject;
typedef QObject TAudioOwner;
extern "C" {
#else
typedef struct TAudioOwner TAudioOwner;
#endif

#define KIVAUDIO_EXPORT __attribute__((visibility("default")))

/* One encoded block of the running capture, for the callback object `object`. */
typedef void (*TAudioDataProc)(void* object, const void* data, uint32_t size, int32_t level);

/* True while capture runs. */
KIVAUDIO_EXPORT bool CheckAudioInDeviceWorking(void);
/* Starts capture at `quality` (1 normal, 2 high); from then on `callback(object, …)` is called once
 * per block, queued to `owner`'s thread (the application object when `owner` is NULL). False, and
 * nothing started, for another quality, a missing callback, no Qt application, capture already
 * running, or a sound server that does not answer. */
KIVAUDIO_EXPORT bool StartAudioIn(uint8_t quality, int32_t device, TAudioOwner* owner,
                                  TAudioDataProc callback, void* object);
/* Stops capture; blocks of it still on their way are dropped. */
KIVAUDIO_EXPORT void StopAudioIn(void);
/* Opens one playback stream (one per remote speaker). Its handle (1 and up), −1 on failure. */
KIVAUDIO_EXPORT int32_t StartAudioOut(int32_t device, TAudioOwner* owner);
/* Stops and frees the stream; an unknown handle is ignored. */
KIVAUDIO_EXPORT void StopAudioOut(int32_t handle);
/* Decodes the block and queues it on the handle's stream; returns its level. 0, and nothing
 * played, for an unknown handle, a quality other than 1 or 2, a size of 0 or above 1275 bytes, or
 * data that is not a block. */
KIVAUDIO_EXPORT int32_t PlayAudioData(int32_t handle, uint8_t quality, const void* data, uint32_t size);
/* The volume of all playback streams of this process, 0 to 255 (255 at start). */
KIVAUDIO_EXPORT int32_t GetAudioOutVolume(void);
/* Sets it; values outside 0 to 255 are clamped. */
KIVAUDIO_EXPORT void SetAudioOutVolume(int32_t volume);

#ifdef __cplusplus
}
#endif

#endif
