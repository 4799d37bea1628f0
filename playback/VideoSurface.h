// SPDX-License-Identifier: GPL-3.0-or-later
// A place pictures are shown: a picture pane of the viewer's window, or a recorder in tests. The
// engine and the decoder draw through it from the engine's worker thread.
#pragma once

class VideoSurface {
 public:
  virtual ~VideoSurface() = default;
  // The surface's current size in pixels; 0 by 0 while it is hidden. May be called from any
  // thread: implementations keep it safe to read while the window changes it.
  virtual void GetSize(int* width, int* height) const = 0;
  // Shows a 24-bit RGB picture (red first, as wx images and most toolkits keep them) of width x
  // height pixels whose rows lie `stride` bytes apart. The surface copies what it keeps before
  // returning; the pixels belong to the caller.
  virtual void Present(const unsigned char* rgb, int width, int height, int stride) = 0;
};
