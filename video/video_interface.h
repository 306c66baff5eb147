/* Video_interface: the flat interface of libKivVideo.so, through which the main program and the chat
 * and room plug-ins run the process's one camera, compress its frames and show received frames.
 *
 * Threads: every function is called on the main thread, whose event loop runs the frame timer.
 * Ownership: data passed in belongs to the caller and is read during the call only. CompressData's
 * result points into the engine's buffer, valid until the next CompressData or StopVideo. The list of
 * GetVideoDeviceList belongs to the caller. Nothing raises errors: failures return false (1 for
 * GetPlayFormat).
 *
 * Sizes: a picture size is accepted only when both sides are even and width × height × 3 is at most
 * 304128 (352 × 288); frames are bottom-up BGR24 bitmaps of exactly that many bytes.
 */
#pragma once

#include <QLabel>
#include <QObject>
#include <QStringList>
#include <cstdint>

#include "video_api.h"
#include "video_manager.h"

extern "C" {

/* Opens capture device `device` (an index into GetVideoDeviceList) for width × height pictures and
 * delivers `frame_rate` frames a second to `callback` on the main thread (none for 0). `window` is the
 * owner window of the device's settings window. False when the camera already runs (which it then
 * keeps), for a size not accepted, or when the device or the encoder cannot be started. */
KIVVIDEO_API bool StartVideo(QObject* window, std::int32_t device, std::int32_t width, std::int32_t height,
                             kiv::video::TVideoFrameCallback callback, std::uint8_t frame_rate);
/* Stops the camera; false when it was not running. No frame is delivered after it returns. Called from
 * inside the frame callback, the camera stops at once and is freed when the callback returns. */
KIVVIDEO_API bool StopVideo();
/* True; the camera keeps running as it is. */
KIVVIDEO_API bool RestartVideo();
/* Whether a camera is attached. */
KIVVIDEO_API bool CheckDevice();
KIVVIDEO_API bool CheckDeviceExists();
/* Whether the camera runs. */
KIVVIDEO_API bool CheckDeviceWorking();
/* Compresses the frame of `size` bytes at `data`; on success `data` and `size` describe the H.264
 * frame and `key_frame` tells a key frame. False when the camera is not running or the frame is not
 * produced (encoder failure, a frame the encoder skips or one over 102400 bytes). */
KIVVIDEO_API bool CompressData(const void** data, std::uint32_t* size, bool* key_frame);
/* The running camera's picture size, or 0 and 0. */
KIVVIDEO_API void GetVideoFormat(std::int32_t* width, std::int32_t* height);
/* The names of the capture devices, in the order StartVideo numbers them; the caller deletes it. */
KIVVIDEO_API QStringList* GetVideoDeviceList();
/* Shows the running camera's settings window. */
KIVVIDEO_API void ShowVideoPropertyPage();
/* Prepares `picture` to show received frames. Always false. */
KIVVIDEO_API bool StartPlayVideoData(QLabel* picture);
/* Decodes a received frame for a width × height picture and shows it in `picture`; false when
 * `picture` has no player. Damaged, over-long or wrongly sized frames are dropped. */
KIVVIDEO_API bool PlayVideoData(const void* data, std::int32_t length, QLabel* picture, std::int32_t width,
                                std::int32_t height);
/* Removes the players of `picture`. */
KIVVIDEO_API bool StopPlayVideoData(QLabel* picture);
/* 1 for a picture shown 160 pixels wide (or not shown), 2 for any other width. */
KIVVIDEO_API std::uint8_t GetPlayFormat(QLabel* picture);

}  // extern "C"
