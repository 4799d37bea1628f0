// SPDX-License-Identifier: GPL-3.0-or-later
#include "skin/SkinBitmaps.h"

#include <wx/image.h>

namespace {

SkinBitmapLoader g_loader = nullptr;

}  // namespace

void SetSkinBitmapLoader(SkinBitmapLoader loader) { g_loader = loader; }

wxBitmap LoadSkinBitmapById(int id) {
  if (g_loader == nullptr || id == 0) return wxBitmap();
  return g_loader(id);
}

wxBitmap MakeKeyedBitmap(const wxBitmap& bitmap, const wxColour& key) {
  if (!bitmap.IsOk()) return wxBitmap();
  wxImage image = bitmap.ConvertToImage();
  const unsigned char r = key.Red();
  const unsigned char g = key.Green();
  const unsigned char b = key.Blue();
  // A picture that already has a mask keeps it, as alpha, so the key colour adds to it.
  if (image.HasMask()) image.InitAlpha();
  if (image.HasAlpha()) {
    // A picture with its own alpha keeps it; the key colour is made fully transparent on top.
    const int width = image.GetWidth();
    const int height = image.GetHeight();
    const unsigned char* rgb = image.GetData();
    unsigned char* alpha = image.GetAlpha();
    for (int i = 0; i < width * height; ++i) {
      if (rgb[3 * i] == r && rgb[3 * i + 1] == g && rgb[3 * i + 2] == b) alpha[i] = 0;
    }
  } else {
    image.SetMaskColour(r, g, b);
  }
  return wxBitmap(image);
}
