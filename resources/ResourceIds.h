// SPDX-License-Identifier: GPL-3.0-or-later
// Resource ids of the player window's skin pictures and of the application icon. The pictures
// themselves are drawn in code (SkinImages.h); these numbers are how the windows ask for them.
#pragma once

// Window buttons of the top bar (25 x 25).
constexpr int kBmpMinimise = 451;
constexpr int kBmpMinimiseSelected = 452;
constexpr int kBmpClose = 434;
constexpr int kBmpCloseSelected = 435;
constexpr int kBmpFullScreen = 440;
constexpr int kBmpFullScreenSelected = 441;
constexpr int kBmpPreviousSize = 502;
constexpr int kBmpPreviousSizeSelected = 503;

// Transport buttons of the control strip.
constexpr int kBmpPre = 472;  // 31 x 17
constexpr int kBmpPreSelected = 473;
constexpr int kBmpPlay = 469;  // 15 x 17
constexpr int kBmpPlaySelected = 470;
constexpr int kBmpPause = 511;  // 15 x 17, no selected picture
constexpr int kBmpStop = 489;   // 17 x 16
constexpr int kBmpStopSelected = 490;
constexpr int kBmpNext = 460;  // 31 x 17
constexpr int kBmpNextSelected = 461;
constexpr int kBmpSecondsBack = 478;  // 25 x 16
constexpr int kBmpSecondsBackSelected = 479;
constexpr int kBmpSecondsForward = 481;  // 25 x 16
constexpr int kBmpSecondsForwardSelected = 482;
constexpr int kBmpOpen = 466;  // 19 x 17
constexpr int kBmpOpenSelected = 467;

// Tool buttons beside the transport buttons.
constexpr int kBmpZoom = 496;  // 21 x 21
constexpr int kBmpZoomSelected = 497;
constexpr int kBmpCapture = 425;  // 30 x 20
constexpr int kBmpCaptureSelected = 426;
constexpr int kBmpSettings = 484;  // 21 x 21
constexpr int kBmpSettingsSelected = 485;

// Map size button (161 x 24) with its dimmed disabled picture.
constexpr int kBmpMapSize = 428;
constexpr int kBmpMapSizeSelected = 429;
constexpr int kBmpMapSizeDisabled = 430;

// Recording kind filter buttons (65 x 24), left to right: Driving, Event, Parking, User, All.
constexpr int kBmpFilterDriving = 463;
constexpr int kBmpFilterDrivingSelected = 464;
constexpr int kBmpFilterEvent = 437;
constexpr int kBmpFilterEventSelected = 438;
constexpr int kBmpFilterParking = 457;
constexpr int kBmpFilterParkingSelected = 458;
constexpr int kBmpFilterUser = 445;
constexpr int kBmpFilterUserSelected = 446;
constexpr int kBmpFilterAll = 417;
constexpr int kBmpFilterAllSelected = 418;

// File download button (117 x 20).
constexpr int kBmpFileDownload = 505;
constexpr int kBmpFileDownloadSelected = 506;

// Brightness icon (24 x 25), shown on a disabled button.
constexpr int kBmpBrightness = 424;

// Mute check box (27 x 22): the normal picture and the one shown while ticked (muted).
constexpr int kBmpMute = 495;
constexpr int kBmpMuteDown = 494;

// Slider channels (seek 390 x 14, volume and brightness 81 x 14) and the thumb (14 x 14).
constexpr int kBmpSeekChannel = 443;
constexpr int kBmpSeekChannelActive = 444;
constexpr int kBmpLevelChannel = 422;
constexpr int kBmpLevelChannelActive = 423;
constexpr int kBmpThumb = 420;

// The normal layout's background (975 x 635).
constexpr int kBmpBackground = 421;

// The application icon.
constexpr int kIconApp = 143;
