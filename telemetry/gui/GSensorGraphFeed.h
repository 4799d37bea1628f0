// SPDX-License-Identifier: GPL-3.0-or-later
// Feeding the G-sensor samples of the telemetry store into the graph under the video: one series
// per axis, X blue, Y yellow, Z red, resting at 3/4, 1/2 and 1/4 of the height.
//
// Threads: the window thread only (the graph is a window). The store is read through its own
// lock, by copy.
#pragma once

#include <cstdint>

#include "telemetry/CTextData.h"
#include "telemetry/gui/CGraphStatic.h"

struct GSensorGraph {
  CGraphStatic* graph = nullptr;
  CGraphStatic::Series* x = nullptr;
  CGraphStatic::Series* y = nullptr;
  CGraphStatic::Series* z = nullptr;
  // The number of samples shown by the last feed; 0 after a reset.
  int shown = 0;
};

// Offsets added to each axis so that, with a range of 200, every axis has +-50 of headroom.
inline constexpr int kGraphOffsetX = 150;
inline constexpr int kGraphOffsetY = 100;
inline constexpr int kGraphOffsetZ = 50;

// Sets the graph up the way the player window shows it: range 200 with a grid line every 50
// (4 rows), 13 pixels per value, grid on, then the three axis series with pen width 1.
GSensorGraph SetUpGSensorGraph(CGraphStatic& graph);

// The playback tick's feed. With no G-sensor sample in the store nothing changes (the graph keeps
// what it shows). Otherwise n = min(position in whole seconds, sample count); when n equals the
// last feed's n nothing changes; else the three series are emptied and samples 0 .. n-1 added,
// each axis plus its offset, and the graph redrawn and repainted once. Returns true when the graph
// was fed.
bool UpdateGSensorGraph(GSensorGraph& g, const CTextData& store, std::int64_t positionSeconds);

// A recording is opened or the card removed: n forgotten, the three series emptied (no repaint;
// the caller repaints when it wants the empty graph shown at once).
void ResetGSensorGraph(GSensorGraph& g);

// Playback stopped: as ResetGSensorGraph, then one value per axis (150, 100, 50) so that the
// rest positions show.
void RestGSensorGraph(GSensorGraph& g);
