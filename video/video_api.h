// Visibility of the video engine's interface in libKivVideo.so.
#pragma once

#define KIVVIDEO_API __attribute__((visibility("default")))
