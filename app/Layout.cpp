// SPDX-License-Identifier: GPL-3.0-or-later
#include "app/Layout.h"

#include <cstdio>

#include "app/AppIds.h"

const std::vector<ControlPlace>& NormalControlPlaces() {
  static const std::vector<ControlPlace> places = [] {
    std::vector<ControlPlace> p = {
        {kIdZoom, {431, 471, 21, 21}},
        {kIdSettings, {546, 471, 21, 21}},
        {kIdCapture, {484, 472, 30, 20}},
        {kIdFullScreen, {922, 5, 25, 25}},
        {kIdMinimise, {898, 5, 25, 25}},
        {kIdClose, {946, 5, 25, 25}},
        {kIdMapSize, {485, 38, 161, 24}},
        {kIdFileDownload, {825, 218, 117, 20}},
        {kIdSelectAll, {650, 218, 96, 20}},
        {kIdTrips, {748, 218, 72, 20}},
        {kIdOpen, {28, 473, 19, 17}},
        {kIdStop, {87, 474, 15, 17}},
        {kIdPre, {137, 473, 31, 17}},
        {kIdSecondsBack, {198, 473, 25, 16}},
        {kIdPlay, {261, 473, 15, 17}},
        {kIdPause, {261, 473, 15, 17}},
        {kIdSecondsForward, {313, 473, 25, 16}},
        {kIdNext, {368, 473, 31, 17}},
        {kIdSeekSlider, {92, 432, 410, 14}},
        {kIdVolumeSlider, {715, 474, 81, 14}},
        {kIdBrightnessSlider, {864, 474, 81, 14}},
        {kIdBrightnessIcon, {832, 472, 24, 25}},
        {kIdMute, {684, 472, 27, 22}},
        // Wide enough for the tenths shown while paused.
        {kIdCurrentTime, {20, 433, 68, 14}},
        {kIdTotalTime, {495, 433, 56, 14}},
        {kIdSpeed, {580, 433, 56, 14}},
        {kIdPlaySpeed, {580, 474, 56, 16}},
        // On the caption row, right of "MAIN VIEW" and left of the map's button.
        {kIdVehicle, {260, 42, 220, 14}},
    };
    // The five kind filters, left to right: driving, event, parking, manual, all.
    const int filters[] = {kIdFilterDriving, kIdFilterEvent, kIdFilterParking, kIdFilterManual,
                           kIdFilterAll};
    for (int i = 0; i < 5; ++i) p.push_back({filters[i], {650 + 64 * i, 38, 65, 24}});
    return p;
  }();
  return places;
}

std::vector<ControlPlace> FullScreenControlPlaces(int w, int h) {
  return {
      {kIdClose, {w - 45, 5, 25, 25}},
      {kIdPreviousSize, {w - 69, 5, 25, 25}},
      {kIdMinimise, {w - 93, 5, 25, 25}},
      {kIdOpen, {w - 51, h - 43, 19, 17}},
      {kIdNext, {w - 112, h - 43, 31, 17}},
      {kIdSecondsForward, {w - 163, h - 43, 25, 16}},
      {kIdPlay, {w - 204, h - 43, 15, 17}},
      {kIdPause, {w - 204, h - 43, 15, 17}},
      {kIdSecondsBack, {w - 265, h - 43, 25, 16}},
      {kIdPre, {w - 316, h - 43, 31, 17}},
      {kIdStop, {w - 367, h - 43, 15, 17}},
      {kIdSeekSlider, {55, h - 50, 390, 14}},
      {kIdBrightnessSlider, {w - 165, h - 80, 81, 14}},
      {kIdBrightnessIcon, {w - 199, h - 85, 24, 25}},
      {kIdVolumeSlider, {w - 298, h - 80, 81, 14}},
      {kIdMute, {w - 337, h - 85, 27, 22}},
      {kIdCurrentTime, {50, h - 25, 72, 12}},
      {kIdTotalTime, {370, h - 25, 60, 12}},
      {kIdSpeed, {470, h - 25, 60, 12}},
      {kIdPlaySpeed, {535, h - 25, 60, 12}},
      {kIdVehicle, {600, h - 25, 240, 12}},
  };
}

Place FullScreenPicturePlace(int w, int h) {
  if (w < 1280 || h < 829) return Place{0, 40, w, h - 169};
  return Place{(w - 1280) / 2, (h - 829) / 2 + 29, 1280, 720};
}

PaneStates ToggleMapSize(PaneStates s, int channels) {
  if (channels != 2) {
    if (s.map != kPaneLarge) {
      s.front = kPaneSmall;
      s.map = kPaneLarge;
      s.rear = kPaneHidden;
    } else {
      s.front = kPaneLarge;
      s.map = kPaneSmall;
    }
    return s;
  }
  if (s.map == kPaneLarge) {
    s.map = kPaneSmall;
    if (s.front == kPaneSmall) {
      s.front = kPaneLarge;
      s.rear = kPaneHidden;
    } else if (s.rear == kPaneSmall) {
      s.rear = kPaneLarge;
      s.front = kPaneHidden;
    }
  } else {
    s.map = kPaneLarge;
    if (s.front == kPaneLarge) {
      s.front = kPaneSmall;
      s.rear = kPaneHidden;
    } else if (s.rear == kPaneLarge) {
      s.rear = kPaneSmall;
      s.front = kPaneHidden;
    }
  }
  return s;
}

void FormatClock(int seconds, char out[16]) {
  if (seconds < 0) seconds = 0;
  std::snprintf(out, 16, "%02d:%02d:%02d", seconds / 3600, seconds % 3600 / 60, seconds % 60);
}
