// SPDX-License-Identifier: GPL-3.0-or-later
#include "map/gui/MapPage.h"

#include <string_view>

const char kMapPageBaseUrl[] = "file:///usr/share/javascript/leaflet/";

namespace {

// The page with a placeholder for the tile URL. Every function swallows its own script errors
// (setAllMap is reached only through the wrapped functions), and window.onerror keeps anything
// else, such as Leaflet failing to load, from being reported.
constexpr std::string_view kPageTemplate = R"html(<!DOCTYPE html>
<html>
<head>
<meta charset="utf-8">
<title>Remove Markers</title>
<link rel="stylesheet" href="leaflet.css">
<style>
html, body, #map-canvas { height: 100%; width: 100%; margin: 0; padding: 0; }
#panel { position: absolute; top: 5px; left: 50%; margin-left: -180px; z-index: 5;
  background-color: #fff; padding: 5px; border: 1px solid #999; }
</style>
<script>
window.onerror = function () { return true; };
</script>
<script src="leaflet.js"></script>
<script>
var map;
var markers = [];
var marker;
var tileUrl = "@TILE_URL@";
var startCentre = [37.5660483, 126.9779299];
var startZoom = 16;

function initialize() {
  try {
    map = L.map('map-canvas').setView(startCentre, startZoom);
    createTileLayer(tileUrl).addTo(map);
    marker = L.marker(startCentre).addTo(map);
  } catch (e) {
  }
}

// ---- Map tiles ---------------------------------------------------------------------------------
// Tiles come from the viewer's own scheme, served at once from its disk cache. A tile not cached
// yet comes as a transparent picture over the plain light background, and the viewer calls
// tileArrived(z, x, y) once it has fetched it; tilesOffline() shows a small note while tiles
// cannot be fetched, and the next arrival takes it away.
var tileLayer = null;
var tilesShown = {};     // "z/x/y" -> the img elements showing that tile now
var tileReloads = 0;
var offlineNote = null;  // the note's element

function tileKeyOf(img) {
  var m = /:\/\/(\d+)\/(\d+)\/(\d+)\.png/.exec(img.src);
  return m ? m[1] + '/' + m[2] + '/' + m[3] : '';
}

function createTileLayer(url) {
  map.getContainer().style.background = '#f2efe9';
  tileLayer = L.tileLayer(url, {maxZoom: 19, attribution: '&copy; OpenStreetMap contributors'});
  tileLayer.on('tileloadstart', function (e) {
    var key = tileKeyOf(e.tile);
    if (key) (tilesShown[key] = tilesShown[key] || []).push(e.tile);
  });
  tileLayer.on('tileunload', function (e) {
    var key = tileKeyOf(e.tile);
    var list = tilesShown[key] || [];
    var at = list.indexOf(e.tile);
    if (at >= 0) list.splice(at, 1);
    if (list.length === 0) delete tilesShown[key];
  });
  var Note = L.Control.extend({
    options: {position: 'bottomleft'},
    onAdd: function () {
      offlineNote = L.DomUtil.create('div', 'roadeye-offline');
      offlineNote.textContent = 'offline';
      offlineNote.style.cssText = 'display: none; background: #fff; color: #333; ' +
          'padding: 1px 6px; border: 1px solid #999; border-radius: 3px; font: 12px sans-serif;';
      return offlineNote;
    }
  });
  new Note().addTo(map);
  return tileLayer;
}

function setOfflineNote(shown) {
  if (offlineNote) offlineNote.style.display = shown ? 'block' : 'none';
}

// Loads the tile again (with a new query, so the browser asks the viewer instead of its memory);
// how many pictures showed it.
function tileArrived(z, x, y) {
  try {
    setOfflineNote(false);
    var list = tilesShown[parseInt(z, 10) + '/' + parseInt(x, 10) + '/' + parseInt(y, 10)] || [];
    for (var i = 0; i < list.length; i++) {
      list[i].src = list[i].src.split('?')[0] + '?' + (++tileReloads);
    }
    return String(list.length);
  } catch (e) {
    return '';
  }
}

function tilesOffline() {
  try {
    setOfflineNote(true);
  } catch (e) {
  }
}

// "shown" while the offline note is up, else "hidden".
function offlineNoteState() {
  return offlineNote && offlineNote.style.display !== 'none' ? 'shown' : 'hidden';
}

// x latitude, y longitude, as numbers or decimal text. The zoom stays as it is.
function DrawCurrent(x, y) {
  try {
    var position = L.latLng(parseFloat(x), parseFloat(y));
    marker.setLatLng(position);
    // Over a drawn track the map stays where the track put it until the marker nears its edge.
    if (!track || !map.getBounds().pad(-0.1).contains(position)) {
      map.panTo(position);
    }
  } catch (e) {
  }
}

// A location as a Leaflet position or [lat, lng], or as two values (latitude, longitude).
function addMarker(location, longitude) {
  try {
    var where = (longitude === undefined) ? location
                                          : L.latLng(parseFloat(location), parseFloat(longitude));
    var added = L.marker(where);
    added.addTo(map);
    markers.push(added);
  } catch (e) {
  }
}

// Puts every marker of markers on the given map; null takes them off.
function setAllMap(target) {
  for (var i = 0; i < markers.length; i++) {
    if (target) {
      markers[i].addTo(target);
    } else {
      markers[i].remove();
    }
  }
}

function clearMarkers() {
  try {
    setAllMap(null);
  } catch (e) {
  }
}

function showMarkers() {
  try {
    setAllMap(map);
  } catch (e) {
  }
}

function deleteMarkers() {
  try {
    clearMarkers();
    markers = [];
  } catch (e) {
  }
}

// "lat,lng" of the vehicle marker, seven decimals; empty text when there is none.
function markerPosition() {
  try {
    var p = marker.getLatLng();
    return p.lat.toFixed(7) + ',' + p.lng.toFixed(7);
  } catch (e) {
    return '';
  }
}

// Its argument back, as text.
function echo(s) {
  try {
    return String(s);
  } catch (e) {
    return '';
  }
}

// ---- The recording's track -------------------------------------------------------------------
// The viewer hears of the page through one message handler; every message is a short text:
// "ready" once the map exists, "drawn N" after a track of N points was drawn, "seek LAT LNG" when
// the track was clicked there.
var track = null;       // the drawn line, or null
var trackHit = null;    // a wider invisible line over it that takes the clicks
var trackPoints = [];   // every drawn point in order

function postToViewer(text) {
  try {
    if (window.webkit && window.webkit.messageHandlers && window.webkit.messageHandlers.roadeye) {
      window.webkit.messageHandlers.roadeye.postMessage(text);
    } else if (window.roadeye && window.roadeye.postMessage) {
      window.roadeye.postMessage(text);
    }
  } catch (e) {
  }
}

function clearTrack() {
  try {
    if (track) track.remove();
    if (trackHit) trackHit.remove();
  } catch (e) {
  }
  track = null;
  trackHit = null;
  trackPoints = [];
}

var lastTrackClick = 0;  // when the last click was passed on, ms

function onTrackClick(e) {
  try {
    // WebKit's pointer and mouse events may both reach Leaflet as a click: one seek a click.
    var now = Date.now();
    if (now - lastTrackClick < 300) return;
    lastTrackClick = now;
    postToViewer('seek ' + e.latlng.lat.toFixed(7) + ' ' + e.latlng.lng.toFixed(7));
    L.DomEvent.stopPropagation(e);
  } catch (err) {
  }
}

// Fits the map to the drawn track: when it is drawn, and again when the map changes size.
function refitTrack() {
  try {
    if (track) map.fitBounds(track.getBounds(), {padding: [20, 20], maxZoom: 17, animate: false});
  } catch (e) {
  }
}

// Draws the track given as JSON text, [[[lat, lng], ...], ...] (one array a segment), and fits
// the map to it once.
function setTrack(text) {
  var count = 0;
  try {
    clearTrack();
    var data = JSON.parse(text);
    var segments = [];
    for (var s = 0; Array.isArray(data) && s < data.length; s++) {
      var segment = [];
      for (var i = 0; Array.isArray(data[s]) && i < data[s].length; i++) {
        var p = data[s][i];
        if (Array.isArray(p) && isFinite(p[0]) && isFinite(p[1])) {
          segment.push(L.latLng(p[0], p[1]));
        }
      }
      if (segment.length > 0) {
        segments.push(segment);
        trackPoints = trackPoints.concat(segment);
        count += segment.length;
      }
    }
    if (count > 0) {
      track = L.polyline(segments, {color: '#1565c0', weight: 5, opacity: 0.85,
                                    interactive: false}).addTo(map);
      trackHit = L.polyline(segments, {color: '#000', weight: 18, opacity: 0}).addTo(map);
      trackHit.on('click', onTrackClick);
      refitTrack();
    }
  } catch (e) {
    count = 0;
  }
  postToViewer('drawn ' + count);
  return String(count);
}

// "count;firstLat,firstLng;lastLat,lastLng" of the drawn track, seven decimals; "0" for none.
function trackInfo() {
  try {
    if (trackPoints.length === 0) return '0';
    var a = trackPoints[0], b = trackPoints[trackPoints.length - 1];
    return trackPoints.length + ';' + a.lat.toFixed(7) + ',' + a.lng.toFixed(7) + ';' +
           b.lat.toFixed(7) + ',' + b.lng.toFixed(7);
  } catch (e) {
    return '';
  }
}

// "x,y": where drawn point i lies in the page, in CSS pixels from its top-left corner.
function trackPointPixel(i) {
  try {
    var p = map.latLngToContainerPoint(trackPoints[parseInt(i, 10)]);
    return Math.round(p.x) + ',' + Math.round(p.y);
  } catch (e) {
    return '';
  }
}

try {
  window.addEventListener('load', initialize);
  window.addEventListener('load', function () {
    try {
      map.on('resize', refitTrack);
    } catch (e) {
    }
    postToViewer('ready');
  });
} catch (e) {
}
</script>
</head>
<body>
<div id="map-canvas"></div>
</body>
</html>
)html";

// The tile URL as the inside of a double-quoted script string.
std::string ScriptStringBody(std::string_view text) {
  std::string out;
  for (const char c : text) {
    switch (c) {
      case '\\':
        out += "\\\\";
        break;
      case '"':
        out += "\\\"";
        break;
      case '<':
        out += "\\x3C";
        break;
      case '\n':
        out += "\\n";
        break;
      case '\r':
        out += "\\r";
        break;
      default:
        out += c;
        break;
    }
  }
  return out;
}

}  // namespace

std::string MapPageHtml(std::string_view tile_url) {
  constexpr std::string_view kPlaceholder = "@TILE_URL@";
  std::string page(kPageTemplate);
  const auto at = page.find(kPlaceholder);
  if (at != std::string::npos) page.replace(at, kPlaceholder.size(), ScriptStringBody(tile_url));
  return page;
}
