// SPDX-License-Identifier: GPL-3.0-or-later
// The map page shown by the map view: an HTML text compiled into the program. It draws the map
// with Leaflet, loaded by relative name from the installed package (the page is loaded with its
// base URL set to that folder), and OpenStreetMap tiles.
//
// Page functions the program can call: initialize, DrawCurrent(lat, lng), addMarker, setAllMap,
// clearMarkers, showMarkers, deleteMarkers; setTrack(json) and clearTrack() for the recording's
// track; markerPosition() ("lat,lng" of the vehicle marker), trackInfo(), trackPointPixel(i) and
// echo(s) (its argument back as text) for checking the page from outside.
//
// The page talks back through the script message handler "roadeye" with short texts: "ready",
// "drawn N" and "seek LAT LNG" (a click on the track).
#pragma once

#include <string>
#include <string_view>

// The folder Leaflet is installed in, as the page's base URL.
extern const char kMapPageBaseUrl[];

// The start centre and zoom of the map.
inline constexpr double kMapStartLatitude = 37.5660483;
inline constexpr double kMapStartLongitude = 126.9779299;
inline constexpr int kMapStartZoom = 16;

// The complete page text, UTF-8, drawing tiles from `tile_url` (a Leaflet URL template; the map
// view gives its own tile scheme, "roadeye-tile-N://{z}/{x}/{y}.png").
std::string MapPageHtml(std::string_view tile_url);
