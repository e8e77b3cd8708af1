#pragma once
// Preview painting: draws I420 pictures, scaled to the window, into a native
// X11 window given by its id, without going through Qt's painting.
//
// All four calls are made on the camera module's display thread.

#include <cstdint>

/// Opaque handle of one display device bound to a window.
typedef void *KxDisplayDevice;

/// Prepares the display environment (connects to the X server named by
/// DISPLAY). 0 on success, negative when no X server can be reached.
int InitDisplayDevEnv();

/// Creates a display device that paints into window (an X11 window id),
/// with the background colour 0x00BBGGRR around the picture. Null when no
/// device can be created (no X server, no such window).
KxDisplayDevice CreateVideoDeivce(uint32_t window, uint32_t background);

/// Paints one planar I420 picture (Y plane of width*height bytes followed by
/// the U and V planes of (width/2)*(height/2) bytes each), scaled to the
/// window's current size. 0 on success, negative on failure (bad arguments,
/// window gone).
int DisplayYv12Video(KxDisplayDevice device, const uint8_t *i420, int width, int height);

/// Releases the device; null is ignored.
void DestroyVideoDevice(KxDisplayDevice device);
