// SPDX-License-Identifier: GPL-3.0-or-later
// The player window's numbers in one place: control ids (kept as the wx window ids), timer ids
// and the numbers of the window's private messages.
#pragma once

enum ControlId : int {
  kIdMinimise = 1000,
  kIdClose = 1001,
  kIdSeekSlider = 1002,
  kIdVolumeSlider = 1004,
  kIdPre = 1005,
  kIdPlay = 1006,
  kIdStop = 1007,
  kIdNext = 1008,
  kIdSecondsBack = 1009,
  kIdSecondsForward = 1010,
  kIdOpen = 1012,
  kIdRecordingList = 1013,
  kIdCurrentTime = 1014,
  kIdTotalTime = 1015,
  kIdSettings = 1016,
  kIdCapture = 1017,
  kIdFullScreen = 1018,
  kIdMute = 1023,
  kIdPreviousSize = 1025,
  kIdMapSize = 1101,
  kIdMapView = 1106,
  kIdBrightnessSlider = 1112,
  kIdPause = 1120,
  kIdZoom = 1121,
  kIdSelectAll = 1136,
  kIdTrips = 1137,
  kIdFileDownload = 1143,
  kIdFilterEvent = 1150,
  kIdFilterParking = 1151,
  kIdFilterDriving = 1152,
  kIdFilterManual = 1153,
  kIdFilterAll = 1154,
  kIdGraph = 1156,
  kIdBrightnessIcon = 1237,
  kIdFrontPane = 1238,
  kIdRearPane = 1239,
  kIdSpeed = 1240,
  // The playback speed's read-out beside the times.
  kIdPlaySpeed = 1241,
  // A car's own state (gear, blinkers, brake, autopilot) with its speed, while it has one.
  kIdVehicle = 1242,
  // The recording list's context menu: export the tracks of the ticked (or clicked) recordings.
  kIdExportTrack = 1300,
  // The same menu's cameras of the playing recording, for the second pane: kIdSecondCamera + the
  // camera's place among the recording's files (1 to 15).
  kIdSecondCamera = 1310,
};

// Timers: the playback tick and the card poll.
constexpr int kTimerPlaybackTick = 100;
constexpr int kTimerCardPoll = 101;
constexpr int kPlaybackTickMs = 100;
constexpr int kCardPollMs = 500;

// Private messages, posted as wx events (the numbers are kept for logs): the recording ended.
constexpr int kMsgRecordingEnded = 2024;  // 0x07E8
// The bitmap slider's two notifications (skin/SkinEvents.h) are 0x28D1 and 0x28D2; the skin
// button's group message is 0x500.
