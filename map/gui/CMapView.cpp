// SPDX-License-Identifier: GPL-3.0-or-later
#include "map/gui/CMapView.h"

#include <gio/gio.h>
#include <wx/sizer.h>
#include <wx/webview.h>

#include <charconv>
#include <cstdio>
#include <utility>

#include "map/gui/MapPage.h"
#include "map/gui/TileScheme.h"
#include "support/Diag.h"
#include "telemetry/CGPSData.h"
#include "telemetry/Track.h"

namespace {

// How long a blocking script call waits for the page's answer.
constexpr guint kCallTimeoutMs = 5000;

constexpr std::string_view kScheme = "javascript:";
constexpr std::string_view kSeparators = " ,'\"\t();";
constexpr std::string_view kBlanks = " \t\r\n\v\f";

std::string_view Trim(std::string_view text) {
  const auto first = text.find_first_not_of(kBlanks);
  if (first == std::string_view::npos) return {};
  const auto last = text.find_last_not_of(kBlanks);
  return text.substr(first, last - first + 1);
}

bool IsIdentifier(std::string_view name) {
  if (name.empty()) return false;
  for (std::size_t i = 0; i < name.size(); ++i) {
    const unsigned char c = static_cast<unsigned char>(name[i]);
    const bool letter = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || c == '_' || c == '$';
    const bool digit = c >= '0' && c <= '9';
    if (!letter && !(digit && i > 0)) return false;
  }
  return true;
}

std::string Fixed6(double value) {
  char buffer[64];
  const auto result =
      std::to_chars(buffer, buffer + sizeof buffer, value, std::chars_format::fixed, 6);
  if (result.ec != std::errc()) return "0.000000";
  return std::string(buffer, result.ptr);
}

// A plain decimal number: an optional '-', digits, an optional '.' and digits; nothing else (no
// exponent, no "inf", no "nan", no hex).
bool ParseDecimal(std::string_view text, double* value) {
  if (text.empty() || text.size() > 24) return false;
  std::size_t i = text[0] == '-' ? 1 : 0;
  bool digits = false, point = false;
  for (; i < text.size(); ++i) {
    if (text[i] >= '0' && text[i] <= '9') {
      digits = true;
    } else if (text[i] == '.' && !point) {
      point = true;
    } else {
      return false;
    }
  }
  if (!digits) return false;
  const auto result = std::from_chars(text.data(), text.data() + text.size(), *value);
  return result.ec == std::errc() && result.ptr == text.data() + text.size();
}

std::string Fixed7(double value) {
  char buffer[64];
  const auto result =
      std::to_chars(buffer, buffer + sizeof buffer, value, std::chars_format::fixed, 7);
  if (result.ec != std::errc()) return "0";
  return std::string(buffer, result.ptr);
}

}  // namespace

PageMessage ParsePageMessage(std::string_view text) {
  PageMessage message;
  if (text.size() > 64) return message;
  if (text == "ready") {
    message.kind = PageMessage::kReady;
    return message;
  }
  constexpr std::string_view kDrawn = "drawn ";
  constexpr std::string_view kSeek = "seek ";
  if (text.substr(0, kDrawn.size()) == kDrawn) {
    const std::string_view number = text.substr(kDrawn.size());
    int count = -1;
    if (number.empty() || number.size() > 6 || number[0] == '-') return message;
    const auto result = std::from_chars(number.data(), number.data() + number.size(), count);
    if (result.ec != std::errc() || result.ptr != number.data() + number.size()) return message;
    if (count < 0 || count > kMaxTrackPoints) return message;
    message.kind = PageMessage::kDrawn;
    message.count = count;
    return message;
  }
  if (text.substr(0, kSeek.size()) == kSeek) {
    const std::string_view rest = text.substr(kSeek.size());
    const auto space = rest.find(' ');
    if (space == std::string_view::npos) return message;
    double lat = 0, lng = 0;
    if (!ParseDecimal(rest.substr(0, space), &lat) || !ParseDecimal(rest.substr(space + 1), &lng)) {
      return message;
    }
    if (!(lat >= -90 && lat <= 90 && lng >= -180 && lng <= 180)) return message;
    message.kind = PageMessage::kSeek;
    message.latitude = lat;
    message.longitude = lng;
  }
  return message;
}

std::string TrackJson(const Track& track) {
  std::string json = "[";
  int points = 0;
  for (const auto& segment : track.segments) {
    if (points >= kMaxTrackPoints) break;
    if (json.size() > 1) json += ',';
    json += '[';
    bool first = true;
    for (const auto& p : segment) {
      if (points >= kMaxTrackPoints) break;
      if (!first) json += ',';
      first = false;
      json += '[' + Fixed7(p.latitude) + ',' + Fixed7(p.longitude) + ']';
      ++points;
    }
    json += ']';
  }
  json += ']';
  return json;
}

JsCommand ParseJsCommand(std::string_view command) {
  JsCommand call;
  if (command.empty()) return call;
  if (const auto at = command.find(kScheme); at != std::string_view::npos) {
    command.remove_prefix(at + kScheme.size());
  }
  std::string_view arguments = command;
  if (const auto paren = command.find('('); paren != std::string_view::npos) {
    call.name = std::string(Trim(command.substr(0, paren)));
    arguments = command.substr(paren + 1);
  }
  std::size_t pos = 0;
  while (pos < arguments.size()) {
    const auto start = arguments.find_first_not_of(kSeparators, pos);
    if (start == std::string_view::npos) break;
    auto end = arguments.find_first_of(kSeparators, start);
    if (end == std::string_view::npos) end = arguments.size();
    call.args.emplace_back(arguments.substr(start, end - start));
    pos = end;
  }
  return call;
}

std::string JsStringLiteral(std::string_view text) {
  std::string out = "\"";
  out.reserve(text.size() + 2);
  for (std::size_t i = 0; i < text.size(); ++i) {
    const unsigned char c = static_cast<unsigned char>(text[i]);
    switch (c) {
      case '\\':
        out += "\\\\";
        continue;
      case '"':
        out += "\\\"";
        continue;
      case '\'':
        out += "\\'";
        continue;
      case '\n':
        out += "\\n";
        continue;
      case '\r':
        out += "\\r";
        continue;
      case '\t':
        out += "\\t";
        continue;
      case '<':
        // The script reads the same character, but no "</script>" or "<!--" appears in the text.
        out += "\\x3C";
        continue;
      default:
        break;
    }
    if (c < 0x20 || c == 0x7F) {
      char escape[8];
      std::snprintf(escape, sizeof escape, "\\x%02X", c);
      out += escape;
      continue;
    }
    // U+2028 and U+2029 (E2 80 A8 / E2 80 A9) end a line in older script parsers.
    if (c == 0xE2 && i + 2 < text.size() && static_cast<unsigned char>(text[i + 1]) == 0x80 &&
        (static_cast<unsigned char>(text[i + 2]) == 0xA8 ||
         static_cast<unsigned char>(text[i + 2]) == 0xA9)) {
      out += static_cast<unsigned char>(text[i + 2]) == 0xA8 ? "\\u2028" : "\\u2029";
      i += 2;
      continue;
    }
    out += static_cast<char>(c);
  }
  out += '"';
  return out;
}

std::string JsCallScript(std::string_view name, const std::vector<std::string>& args) {
  if (!IsIdentifier(name)) return {};
  std::string list;
  for (const auto& arg : args) {
    if (!list.empty()) list += ", ";
    list += JsStringLiteral(arg);
  }
  // The function is looked up as a property of the page's window, so only names the page (or the
  // browser) defines as functions are ever called.
  return "(function () { try { var f = window[" + JsStringLiteral(name) +
         "]; if (typeof f !== 'function') return ''; var r = f(" + list +
         "); return (r === undefined || r === null) ? '' : String(r); } catch (e) { return ''; } "
         "})()";
}

std::string PositionCommand(const CGPSData& fix) {
  return "javascript:DrawCurrent('" + Fixed6(fix.GetLatitude()) + "', '" +
         Fixed6(fix.GetLongitude()) + "')";
}

CExplorerMapViewWnd::CExplorerMapViewWnd(wxWindow* parent, wxWindowID id, const wxPoint& pos,
                                         const wxSize& size)
    : wxPanel(parent, id, pos, size) {
  if (wxWebView::IsBackendAvailable(wxWebViewBackendDefault)) {
    browser_ = wxWebView::New(this, wxID_ANY);
  }
  if (browser_ != nullptr) {
    browser_->Bind(wxEVT_WEBVIEW_SCRIPT_RESULT, &CExplorerMapViewWnd::OnScriptResult, this);
    auto* sizer = new wxBoxSizer(wxVERTICAL);
    sizer->Add(browser_, 1, wxEXPAND);
    SetSizer(sizer);
  }
}

CExplorerMapViewWnd::~CExplorerMapViewWnd() = default;

wxString CExplorerMapViewWnd::CallJScript(const wxString& command) {
  if (command.empty()) return {};
  const JsCommand call = ParseJsCommand(command.utf8_string());
  return CallFunction(call.name, call.args);
}

wxString CExplorerMapViewWnd::CallFunction(std::string_view name,
                                           const std::vector<std::string>& args) {
  if (browser_ == nullptr) return {};
  const std::string script = JsCallScript(name, args);
  if (script.empty()) return {};
  // The answer is told apart from those of scripts run without waiting by the call's own tag:
  // the browser's blocking call takes whichever answer comes first.
  WaitingCall call;
  call.tag = ++lastCallTag_;
  call.outer = waiting_;
  waiting_ = &call;
  browser_->RunScriptAsync(wxString::FromUTF8(script), reinterpret_cast<void*>(call.tag));
  // The window's events run meanwhile, as in the browser's own blocking call; a page that never
  // answers gives up after five seconds.
  bool expired = false;
  const guint deadline = g_timeout_add(
      kCallTimeoutMs,
      [](gpointer flag) {
        *static_cast<bool*>(flag) = true;
        return gboolean(G_SOURCE_REMOVE);
      },
      &expired);
  while (!call.done && !expired) g_main_context_iteration(nullptr, TRUE);
  if (!expired) g_source_remove(deadline);
  waiting_ = call.outer;
  // An answer still to come finds no call waiting and is counted as a script run without
  // waiting.
  if (!call.done) ++pendingScripts_;
  return call.ok ? call.output : wxString();
}

void CExplorerMapViewWnd::RunWithoutWaiting(const std::string& script) {
  if (browser_ == nullptr || script.empty()) return;
  ++pendingScripts_;
  browser_->RunScriptAsync(wxString::FromUTF8(script));
}

void CExplorerMapViewWnd::OnScriptResult(wxWebViewEvent& event) {
  for (WaitingCall* call = waiting_; call != nullptr; call = call->outer) {
    if (event.GetClientData() == reinterpret_cast<void*>(call->tag)) {
      call->done = true;
      call->ok = !event.IsError();
      call->output = event.GetString();
      return;
    }
  }
  if (pendingScripts_ > 0) --pendingScripts_;
  event.Skip();
}

CMapView::CMapView(wxWindow* parent, wxWindowID id, const wxPoint& pos, const wxSize& size)
    : CExplorerMapViewWnd(parent, id, pos, size), tile_url_(DefaultTileUrl()) {
  if (browser_ != nullptr) {
    // A scheme of this view's own: WebKit keeps the first handler registered for a scheme.
    tiles_ = std::make_shared<MapTileSource>(this);
    tiles_->SetUrlTemplate(tile_url_);
    tiles_->SetNetworkCheck(network_check_);
    tileScheme_ = NewTileScheme();
    if (!RegisterTileScheme(browser_, tileScheme_, tiles_)) {
      DiagPrintf("Map: tile scheme %s not registered\n", tileScheme_.utf8_str().data());
    }
    Bind(EVT_MAP_TILE, &CMapView::OnMapTile, this);
    // The page's messages (a click on the track) arrive through this handler; it must exist
    // before a page is loaded.
    if (browser_->AddScriptMessageHandler("roadeye")) {
      browser_->Bind(wxEVT_WEBVIEW_SCRIPT_MESSAGE_RECEIVED, &CMapView::OnScriptMessage, this);
    }
  }
}

CMapView::~CMapView() {
  // The fetcher's worker stops before the view goes; the handler the browser holds serves no more
  // fetches.
  if (tiles_) tiles_->Detach();
}

bool CMapView::SystemNetworkAvailable() {
  GNetworkMonitor* monitor = g_network_monitor_get_default();
  return monitor != nullptr && g_network_monitor_get_network_available(monitor);
}

void CMapView::SetNetworkCheck(NetworkCheck check) {
  network_check_ = check != nullptr ? check : &CMapView::SystemNetworkAvailable;
  if (tiles_) tiles_->SetNetworkCheck(network_check_);
}

void CMapView::SetTileUrl(std::string tile_url) {
  tile_url_ = tile_url.empty() ? DefaultTileUrl() : std::move(tile_url);
  if (tiles_) tiles_->SetUrlTemplate(tile_url_);
}

void CMapView::SetTileCacheFolder(std::string folder) {
  if (tiles_) tiles_->SetCacheFolder(std::move(folder));
}

void CMapView::OnMapTile(MapTileEvent& event) {
  if (browser_ == nullptr) return;
  const TileKey& key = event.Key();
  std::string script;
  if (event.News() == MapTileNews::kArrived) {
    tilesOfflineShown_ = false;
    script = "tileArrived(" + std::to_string(key.z) + ", " + std::to_string(key.x) + ", " +
             std::to_string(key.y) + ")";
  } else if (!tilesOfflineShown_) {
    tilesOfflineShown_ = true;
    script = "tilesOffline()";
  }
  RunWithoutWaiting(script);
}

bool CMapView::NavigateMapPage() {
  if (browser_ == nullptr || !network_check_()) return false;
  pageReady_ = false;
  trackSent_ = false;
  drawnPoints_ = -1;
  tilesOfflineShown_ = false;
  // The page always draws from the view's scheme; the tile server is the fetcher's business.
  const std::string page_tiles = (tileScheme_ + "://{z}/{x}/{y}.png").utf8_string();
  browser_->SetPage(wxString::FromUTF8(MapPageHtml(page_tiles)),
                    wxString::FromUTF8(kMapPageBaseUrl));
  return true;
}

void CMapView::ShowPosition(const CGPSData& fix) {
  if (!fix.valid || browser_ == nullptr) return;
  // Run without waiting for the page's answer: a synchronous script call spins the window's
  // event loop until the page answers, and the playback tick that moves the marker would run
  // again inside it.
  const JsCommand call = ParseJsCommand(PositionCommand(fix));
  const std::string script = JsCallScript(call.name, call.args);
  RunWithoutWaiting(script);
}

void CMapView::SetTrack(const Track& track) {
  trackJson_ = track.Empty() ? std::string() : TrackJson(track);
  trackSent_ = false;
  SendTrack();
}

void CMapView::ClearTrack() {
  trackJson_.clear();
  trackSent_ = false;
  drawnPoints_ = -1;
  SendTrack();
}

void CMapView::SendTrack() {
  if (browser_ == nullptr || !pageReady_ || trackSent_) return;
  trackSent_ = true;
  // A page without a line needs no call (nor its answer in the way of other scripts').
  if (trackJson_.empty() && !pageHasTrack_) return;
  pageHasTrack_ = !trackJson_.empty();
  const std::string script =
      trackJson_.empty() ? JsCallScript("clearTrack", {}) : JsCallScript("setTrack", {trackJson_});
  RunWithoutWaiting(script);
}

void CMapView::OnScriptMessage(wxWebViewEvent& event) {
  // Only the page's own short texts are acted on; anything else is dropped unread.
  const wxString& body = event.GetString();
  if (body.length() > 64) return;
  const PageMessage message = ParsePageMessage(body.utf8_string());
  switch (message.kind) {
    case PageMessage::kReady:
      pageReady_ = true;
      pageHasTrack_ = false;
      trackSent_ = false;
      SendTrack();
      break;
    case PageMessage::kDrawn:
      drawnPoints_ = message.count;
      if (drawnObserver_) drawnObserver_(message.count);
      break;
    case PageMessage::kSeek:
      if (trackClick_) trackClick_(message.latitude, message.longitude);
      break;
    case PageMessage::kNone:
      break;
  }
}
