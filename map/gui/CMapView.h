// SPDX-License-Identifier: GPL-3.0-or-later
// The map view: an embedded browser (wxWebView) showing the map page, driven by calling the page's
// script functions with text arguments.
//
// CExplorerMapViewWnd hosts the browser and runs command texts such as
// "javascript:DrawCurrent('37.552057', '126.991234')" as calls of page functions. CMapView adds
// loading the map page (only when the network is up) and moving the vehicle marker to a GPS fix.
// Everything here belongs to the GUI thread.
#pragma once

#include <wx/panel.h>
#include <wx/string.h>

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

class CGPSData;
struct Track;
class wxWebView;
class wxWebViewEvent;
class MapTileEvent;
class MapTileSource;

// A command text taken apart: the function name and its text arguments.
struct JsCommand {
  std::string name;
  std::vector<std::string> args;
};

// Takes a command text apart: anything up to and including "javascript:" is dropped; the name is
// the text before the first "(", trimmed (empty when there is no "("); the arguments are the text
// after it (the whole text when there is none) split at spaces, commas, quotes, tabs, parentheses
// and semicolons, with empty pieces dropped.
JsCommand ParseJsCommand(std::string_view command);

// `text` (UTF-8) as a double-quoted JavaScript string literal that also stays inert inside an HTML
// script element: backslashes, quotes, control characters, U+2028/U+2029 and "</" are escaped.
std::string JsStringLiteral(std::string_view text);

// The script that calls page function `name` with the arguments as strings and yields its result
// as text (empty when the page has no such function, it returned nothing, or it threw). Empty
// when `name` is not a plain identifier.
std::string JsCallScript(std::string_view name, const std::vector<std::string>& args);

// A message from the map page, taken apart. Anything that is not exactly one of the page's
// messages is kNone: what arrives from the page is untrusted.
struct PageMessage {
  enum Kind { kNone, kReady, kDrawn, kSeek } kind = kNone;
  int count = 0;         // kDrawn: points drawn, 0..kMaxTrackPoints
  double latitude = 0;   // kSeek: finite, -90..90
  double longitude = 0;  // kSeek: finite, -180..180
};

// Most points a track sent to the page may hold (ten hours at one fix a second).
inline constexpr int kMaxTrackPoints = 36000;

// Reads "ready", "drawn N" or "seek LAT LNG" (plain decimal numbers, one space apart, at most 64
// characters in all); kNone for anything else.
PageMessage ParsePageMessage(std::string_view text);

// The track as the page's setTrack takes it: [[[lat,lng],...],...], seven decimals, at most
// kMaxTrackPoints points (the rest left out).
std::string TrackJson(const Track& track);

// The browser host.
class CExplorerMapViewWnd : public wxPanel {
 public:
  CExplorerMapViewWnd(wxWindow* parent, wxWindowID id, const wxPoint& pos = wxDefaultPosition,
                      const wxSize& size = wxDefaultSize);
  ~CExplorerMapViewWnd() override;
  CExplorerMapViewWnd(const CExplorerMapViewWnd&) = delete;
  CExplorerMapViewWnd& operator=(const CExplorerMapViewWnd&) = delete;

  // Runs the page function a command text names with its text arguments and returns the function's
  // result as text. Empty text when the command names no function, the page does not define it,
  // the call fails or it returns nothing.
  wxString CallJScript(const wxString& command);

  // Calls page function `name` with the given UTF-8 arguments, unsplit (see CallJScript).
  wxString CallFunction(std::string_view name, const std::vector<std::string>& args);

  // The browser; null when no browser backend could be created.
  wxWebView* Browser() const { return browser_; }

  // Scripts run without waiting whose answer has not come back yet. The browser must outlive
  // them: its answer to a script of a browser already gone reaches freed memory.
  int PendingScripts() const { return pendingScripts_; }

 protected:
  // Runs a script without waiting for its answer.
  void RunWithoutWaiting(const std::string& script);

  wxWebView* browser_ = nullptr;

 private:
  // A blocking call waiting for its answer; calls made while one waits nest.
  struct WaitingCall {
    std::uintptr_t tag = 0;
    bool done = false;
    bool ok = false;
    wxString output;
    WaitingCall* outer = nullptr;
  };
  void OnScriptResult(wxWebViewEvent& event);
  WaitingCall* waiting_ = nullptr;
  std::uintptr_t lastCallTag_ = 0;
  int pendingScripts_ = 0;
};

// The player window's map.
class CMapView : public CExplorerMapViewWnd {
 public:
  // Whether the computer has a network connection.
  using NetworkCheck = bool (*)();

  CMapView(wxWindow* parent, wxWindowID id, const wxPoint& pos = wxDefaultPosition,
           const wxSize& size = wxDefaultSize);
  ~CMapView() override;

  // GIO's answer (GNetworkMonitor's network-available); the default check.
  static bool SystemNetworkAvailable();

  // Replaces the connectivity check; null restores the default.
  void SetNetworkCheck(NetworkCheck check);

  // Replaces the tile server that missing tiles are fetched from (a URL template with {z}, {x},
  // {y}; http or https only); empty text restores the default, DefaultTileUrl().
  void SetTileUrl(std::string tile_url);

  // Loads the map page when the check reports a network; otherwise leaves the browser's document as
  // it is. Returns whether loading started.
  bool NavigateMapPage();

  // Moves the vehicle marker (and the map) to a valid fix; an invalid fix does nothing.
  void ShowPosition(const CGPSData& fix);

  // Draws a recording's track on the page (now, or as soon as the page is ready) and fits the
  // map to it; an empty track takes any drawn one away.
  void SetTrack(const Track& track);
  void ClearTrack();
  // Points of the last track the page reported drawn; -1 until it has reported one.
  int DrawnTrackPoints() const { return drawnPoints_; }
  // Called with the position of a click on the track (checked: finite, in range).
  using TrackClickHandler = std::function<void(double latitude, double longitude)>;
  void SetTrackClickHandler(TrackClickHandler handler) { trackClick_ = std::move(handler); }
  // Called when the page reports a track drawn, with its point count (tests, benchmarks).
  void SetTrackDrawnObserver(std::function<void(int)> observer) {
    drawnObserver_ = std::move(observer);
  }

  // ---- Map tiles ----
  // The page draws its tiles from this view's own scheme (TileScheme(), "roadeye-tile-N"), served
  // at once from the disk cache; a missing or expired tile is fetched in the background when the
  // network check says online, and the page is told to load it again when it lands. While tiles
  // cannot be fetched, the page shows an "offline" note over its plain background.
  // The cache folder; empty restores the default ($XDG_CACHE_HOME/roadeye/tiles).
  void SetTileCacheFolder(std::string folder);
  const wxString& TileScheme() const { return tileScheme_; }
  // The view's tiles (tests read its counters); null when there is no browser.
  MapTileSource* Tiles() const { return tiles_.get(); }

 private:
  void OnMapTile(MapTileEvent& event);
  std::shared_ptr<MapTileSource> tiles_;  // the browser's tile scheme holds it weakly
  wxString tileScheme_;
  bool tilesOfflineShown_ = false;  // the page was told tiles cannot be fetched

  void OnScriptMessage(wxWebViewEvent& event);
  void SendTrack();
  bool pageReady_ = false;     // the page loaded since the last NavigateMapPage
  std::string trackJson_;      // the track to show; empty: none
  bool trackSent_ = false;     // trackJson_ has been handed to the page
  bool pageHasTrack_ = false;  // the page was last given a track, not a clearing
  int drawnPoints_ = -1;
  TrackClickHandler trackClick_;
  std::function<void(int)> drawnObserver_;
  NetworkCheck network_check_ = &CMapView::SystemNetworkAvailable;
  std::string tile_url_;
};

// The command ShowPosition runs for a fix: "javascript:DrawCurrent('lat', 'lng')" with six
// decimals each, whatever the locale.
std::string PositionCommand(const CGPSData& fix);
