#include "telemetry/gui/CMapView.h"

#include <gio/gio.h>
#include <wx/sizer.h>
#include <wx/webview.h>

#include <charconv>
#include <cstdio>
#include <utility>

#include "telemetry/CGPSData.h"
#include "telemetry/gui/MapPage.h"

namespace {

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

}  // namespace

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
  wxString output;
  if (!browser_->RunScript(wxString::FromUTF8(script), &output)) return {};
  return output;
}

CMapView::CMapView(wxWindow* parent, wxWindowID id, const wxPoint& pos, const wxSize& size)
    : CExplorerMapViewWnd(parent, id, pos, size), tile_url_(kMapTileUrl) {
  if (browser_ != nullptr) {
    browser_->Bind(wxEVT_WEBVIEW_SCRIPT_RESULT, &CMapView::OnScriptResult, this);
  }
}

CMapView::~CMapView() = default;

bool CMapView::SystemNetworkAvailable() {
  GNetworkMonitor* monitor = g_network_monitor_get_default();
  return monitor != nullptr && g_network_monitor_get_network_available(monitor);
}

void CMapView::SetNetworkCheck(NetworkCheck check) {
  network_check_ = check != nullptr ? check : &CMapView::SystemNetworkAvailable;
}

void CMapView::SetTileUrl(std::string tile_url) {
  tile_url_ = tile_url.empty() ? std::string(kMapTileUrl) : std::move(tile_url);
}

bool CMapView::NavigateMapPage() {
  if (browser_ == nullptr || !network_check_()) return false;
  browser_->SetPage(wxString::FromUTF8(MapPageHtml(tile_url_)),
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
  if (script.empty()) return;
  ++pendingScripts_;
  browser_->RunScriptAsync(wxString::FromUTF8(script));
}

void CMapView::OnScriptResult(wxWebViewEvent& event) {
  if (pendingScripts_ > 0) --pendingScripts_;
  event.Skip();
}
