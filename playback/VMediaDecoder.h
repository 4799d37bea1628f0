// Decodes picture packets of the two cameras (channel 0 front, 1 rear) and shows them on surfaces.
#pragma once

#include "playback/VideoSurface.h"

class VMediaDecoder {
 public:
  virtual bool Init() = 0;
  virtual void Release() = 0;
  // Decodes one picture packet of a channel and, with draw, shows it on the surface at the
  // surface's size. False for a channel other than 0 or 1 or no surface (nothing decoded), and for
  // a surface of no size (decoded, since later pictures need it, but not shown).
  virtual bool DecodeAndShow(int channel, VideoSurface* surface, const char* data, int length,
                             bool draw) = 0;
  // Shows the channel's last picture again at the surface's current size.
  virtual bool Redraw(int channel, VideoSurface* surface) = 0;
  // Channel arguments below 0 act as 0, above 0 as 1.
  virtual void SetContrast(int channel, int value) = 0;    // contrast = value / 10 + 1
  virtual void SetBrightness(int channel, int value) = 0;  // brightness = value / 10
  virtual void SetFlipMode(int channel, int mode) = 0;  // 0 none, 1 upside down, 2 both, 3 mirror
  // Saves the channel's last picture at its own size; the file type follows the name.
  virtual bool SavePicture(int channel, const char* path) = 0;

 protected:
  // Owners delete the concrete decoder, never through this interface.
  ~VMediaDecoder() = default;
};
