// SPDX-License-Identifier: GPL-3.0-or-later
// The skinned controls name their pictures by resource id and fetch them through one process-wide
// loader, so that this library does not depend on where the pictures come from: the program
// installs the loader of its resources at start, tests install one that hands out test pictures.
//
// Threads: the window thread only, like every wx object.
#pragma once

#include <wx/bitmap.h>
#include <wx/colour.h>

// Returns the bitmap of a resource id, or an invalid bitmap for an unknown id.
using SkinBitmapLoader = wxBitmap (*)(int id);

// Installs the loader used by every skinned control from now on (null: none).
void SetSkinBitmapLoader(SkinBitmapLoader loader);

// The bitmap of `id` through the installed loader. Invalid when no loader is installed, for id 0
// and for ids the loader does not know.
wxBitmap LoadSkinBitmapById(int id);

// A copy of `bitmap` in which every pixel of exactly the colour `key` is transparent (the other
// pixels keep their colour and opacity). Invalid when `bitmap` is.
wxBitmap MakeKeyedBitmap(const wxBitmap& bitmap, const wxColour& key);
