// SPDX-License-Identifier: GPL-3.0-or-later
// Decodes picture packets of the two cameras (channel 0 front, 1 rear) and shows them on surfaces.
#pragma once

#include "media/MediaTypes.h"
#include "playback/VideoSurface.h"
#include "support/SnapshotExif.h"

class VMediaDecoder {
 public:
  virtual bool Init() = 0;
  virtual void Release() = 0;
  // Decodes one picture packet of a channel and, with draw, shows it on the surface at the
  // surface's size. False for a channel other than 0 or 1 or no surface (nothing decoded), and for
  // a surface of no size (decoded, since later pictures need it, but not shown).
  virtual bool DecodeAndShow(int channel, VideoSurface* surface, const char* data, int length,
                             bool draw) = 0;
  // Decodes a picture packet that only leads up to a picture to be shown (the pictures before an
  // exact seek's): a decoder that decodes pictures in parallel need not finish it now.
  virtual bool DecodeUnseen(int channel, VideoSurface* surface, const char* data, int length) {
    return DecodeAndShow(channel, surface, data, length, false);
  }
  // Names the channel's packet that follows the one the next DecodeAndShow is given: a decoder
  // that decodes pictures in parallel starts on it, so that the next picture is not held back.
  virtual void DecodeAhead(int channel, const char* data, int length) {
    (void)channel, (void)data, (void)length;
  }
  // Forgets both channels' last pictures and whatever was being decoded: a new recording starts,
  // and until its first good picture of a camera that camera has none to show, save or copy.
  virtual void ResetPictures() {}
  // The coding of the channel's pictures from the next one on (a recording opened); H.264 until
  // told otherwise.
  virtual void SetCodec(int channel, VideoCodec codec) { (void)channel, (void)codec; }
  // Shows the channel's last picture again at the surface's current size.
  virtual bool Redraw(int channel, VideoSurface* surface) = 0;
  // Channel arguments below 0 act as 0, above 0 as 1.
  virtual void SetContrast(int channel, int value) = 0;    // contrast = value / 10 + 1
  virtual void SetBrightness(int channel, int value) = 0;  // brightness = value / 10
  virtual void SetFlipMode(int channel, int mode) = 0;  // 0 none, 1 upside down, 2 both, 3 mirror
  // Saves the channel's last picture at its own size; the file type follows the name (a JPEG
  // name: another is refused with errno EINVAL).
  virtual bool SavePicture(int channel, const char* path) = 0;
  // Saves it as a JPEG file carrying the evidence as EXIF tags (none when evidence is null). The
  // file appears whole or not at all. False with errno telling why: ENODATA when the channel has
  // no picture yet, else the system's reason the file could not be written.
  virtual bool SavePicture(int channel, const char* path, const SnapshotEvidence* evidence) {
    (void)evidence;
    return SavePicture(channel, path);
  }
  // Size of the channel's last picture; false (0 by 0) before one.
  virtual bool PictureSize(int channel, int* width, int* height) {
    (void)channel;
    *width = *height = 0;
    return false;
  }
  // A part of the channel's last picture, (x, y, w x h) in its own pixels, scaled to width x
  // height RGB pixels into dst (rows stride bytes apart). False when there is none.
  virtual bool CopyRegion(int channel, int x, int y, int w, int h, unsigned char* dst, int stride,
                          int width, int height) {
    (void)channel, (void)x, (void)y, (void)w, (void)h, (void)dst, (void)stride, (void)width,
        (void)height;
    return false;
  }

 protected:
  // Owners delete the concrete decoder, never through this interface.
  ~VMediaDecoder() = default;
};
