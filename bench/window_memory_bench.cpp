// SPDX-License-Identifier: GPL-3.0-or-later
// The viewer's memory while it plays: the player window, started the way roadeye starts it,
// plays a one-minute two-camera recording (1920x1080 front, 1280x720 rear, written by
// roadeye-mkcard) for 60 s with the map page drawing its tiles from a loopback tile server. Every
// second it reads the resident memory (VmRSS) of its own process and of WebKit's web and network
// processes, and reports the peak, the final value, how much the window process grew between
// 10 s and the end (nothing should grow with a recording's length), what it held before playing
// and where its memory is at the end (anonymous, files, shared memory).
//
//   xvfb-run -a -s "-screen 0 1280x1024x24" build/bin/roadeye-window_memory_bench [--gl]
//   [--seconds N] [--tiles N]
//
// Then the map page asks its tile scheme for N (default 2000) tiles it has not seen, one after
// another, and the window process's growth over them is reported: what a tile request leaves
// behind.
// --gl leaves GTK's and WebKit's OpenGL probes in the window process (the start before
// BeginLeanStart), for the comparison. Nothing reaches the internet: the tiles come from
// 127.0.0.1 and the tile cache is a scratch folder.
#include <dirent.h>
#include <unistd.h>
#include <wx/init.h>
#include <wx/listctrl.h>
#include <wx/webview.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "app/AppIds.h"
#include "app/ProcessMemory.h"
#include "bench/WindowBench.h"
#include "map/gui/CMapView.h"
#include "map/testing/LoopbackTileServer.h"
#include "support/Diag.h"

namespace fs = std::filesystem;

namespace {

using bench::BenchApp;

// One line of /proc/PID/status in KiB ("VmRSS", "RssAnon"...); -1 when it cannot be read.
long StatusKb(int pid, const std::string& key) {
  std::ifstream in("/proc/" + std::to_string(pid) + "/status");
  std::string line;
  while (std::getline(in, line)) {
    if (line.compare(0, key.size() + 1, key + ":") == 0) {
      return std::strtol(line.c_str() + key.size() + 1, nullptr, 10);
    }
  }
  return -1;
}

std::string Comm(int pid) {
  std::ifstream in("/proc/" + std::to_string(pid) + "/comm");
  std::string name;
  std::getline(in, name);
  return name;
}

int ParentOf(int pid) {
  std::ifstream in("/proc/" + std::to_string(pid) + "/stat");
  std::string text((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  const std::size_t close = text.rfind(')');
  if (close == std::string::npos) return -1;
  std::istringstream rest(text.substr(close + 1));
  std::string state;
  int parent = -1;
  rest >> state >> parent;
  return parent;
}

// The first child of this process whose name starts with `prefix` (the kernel keeps 15
// characters: "WebKitWebProces"); 0 when there is none.
int ChildNamed(const std::string& prefix) {
  DIR* proc = opendir("/proc");
  if (proc == nullptr) return 0;
  int found = 0;
  while (dirent* entry = readdir(proc)) {
    const int pid = std::atoi(entry->d_name);
    if (pid <= 0 || ParentOf(pid) != getpid()) continue;
    if (Comm(pid).compare(0, prefix.size(), prefix) == 0) {
      found = pid;
      break;
    }
  }
  closedir(proc);
  return found;
}

struct Series {
  long peak = 0, last = 0, at10s = -1;
  void Add(long kb, int second) {
    if (kb < 0) return;
    peak = std::max(peak, kb);
    last = kb;
    if (second == 10) at10s = kb;
  }
};

double Mb(long kb) { return kb / 1024.0; }

bool Online() { return true; }

}  // namespace

wxIMPLEMENT_APP_NO_MAIN(BenchApp);

int main(int argc, char** argv) {
  bool keepGl = false;
  int seconds = 60;
  int churnTiles = 2000;
  for (int i = 1; i < argc; ++i) {
    const std::string arg = argv[i];
    if (arg == "--gl") keepGl = true;
    if (arg == "--seconds" && i + 1 < argc) seconds = std::clamp(std::atoi(argv[++i]), 12, 3600);
    if (arg == "--tiles" && i + 1 < argc) churnTiles = std::clamp(std::atoi(argv[++i]), 0, 100000);
  }
  setenv("SDL_AUDIODRIVER", "dummy", 0);
  const fs::path work = fs::temp_directory_path() / "roadeye-window-memory-bench";
  const fs::path card = work / "card";
  const std::string bin = fs::path(argv[0]).parent_path().string();
  if (!fs::exists(card / "VEX")) {
    const std::string cmd = bin + "/roadeye-mkcard '" + card.string() +
                            "' --front 1920x1080 --rear-size 1280x720 --rear yes --seconds 60"
                            " --count 1 --kinds REC --no-damaged > /dev/null";
    if (std::system(cmd.c_str()) != 0) return 1;
  }
  const fs::path cache = work / "cache";
  fs::remove_all(cache);
  fs::create_directories(cache);
  setenv("XDG_CACHE_HOME", cache.c_str(), 1);
  roadeye_test::LoopbackTileServer tiles;
  if (!tiles.ok()) return 1;
  setenv("ROADEYE_TILE_URL", tiles.UrlTemplate().c_str(), 1);

  if (!keepGl) BeginLeanStart();
  wxEntryStart(argc, argv);
  wxTheApp->CallOnInit();
  if (!keepGl) EndLeanStart();
  DiagSetOutput(nullptr);

  CSamplePlayerDlg* window = bench::ShowBenchWindow(card.string(), (work / "config.cfg").string());
  auto* map = dynamic_cast<CMapView*>(window->FindControl(kIdMapView));
  if (map == nullptr || map->Browser() == nullptr) {
    std::fprintf(stderr, "the window has no map\n");
    return 1;
  }
  map->SetNetworkCheck(&Online);
  map->NavigateMapPage();
  window->PollCard();
  if (!bench::PumpUntil([&] { return window->RecordingList()->GetItemCount() > 0; }, 10000)) {
    std::fprintf(stderr, "the card's recording was not listed\n");
    return 1;
  }
  // The window with its map page drawn, before the first picture: what playing adds is on top.
  bench::Pump(3000);
  const long idleKb = StatusKb(getpid(), "VmRSS");
  window->PlayNext();

  Series self, web, network;
  for (int second = 1; second <= seconds; ++second) {
    bench::Pump(1000);
    self.Add(StatusKb(getpid(), "VmRSS"), second);
    if (const int pid = ChildNamed("WebKitWebProces")) web.Add(StatusKb(pid, "VmRSS"), second);
    if (const int pid = ChildNamed("WebKitNetworkP")) network.Add(StatusKb(pid, "VmRSS"), second);
  }
  // Tile requests by the thousand, one after another, each a tile of its own (fetched from the
  // loopback server and then served from the cache): what one request leaves behind.
  const long beforeChurnKb = StatusKb(getpid(), "VmRSS");
  const int requestsBefore = tiles.Requests();
  if (churnTiles > 0) {
    const std::string script =
        "window.churnDone = 0; window.churnState = function () { return String(window.churnDone); "
        "}; (function next(i) { if (i >= " +
        std::to_string(churnTiles) +
        ") { window.churnDone = i; return; } var p = new Image(); p.onload = p.onerror = "
        "function () { next(i + 1); }; p.src = '" +
        map->TileScheme().utf8_string() +
        "://12/' + (i % 4096) + '/' + (1000 + Math.floor(i / 4096)) + '.png'; })(0); 'ok'";
    map->Browser()->RunScript(wxString::FromUTF8(script));
    // Read through the view's tagged calls: the browser's blocking call takes whichever answer
    // comes first, also one to a tile's reload.
    bench::PumpUntil(
        [&] {
          const wxString done = map->CallFunction("churnState", {});
          return !done.empty() && done != "0";
        },
        600000);
    bench::Pump(3000);  // the fetches' last answers
  }
  const long afterChurnKb = StatusKb(getpid(), "VmRSS");

  const int me = getpid();
  std::printf("1080p + 720p two-camera recording played %d s in the window, %s\n", seconds,
              keepGl ? "OpenGL probes kept (--gl)" : "lean start");
  std::printf(
      "window process   VmRSS peak %6.1f MB, final %6.1f MB, 10 s to end %+5.1f MB, "
      "VmHWM %6.1f MB\n",
      Mb(self.peak), Mb(self.last), Mb(self.last - self.at10s), Mb(StatusKb(me, "VmHWM")));
  std::printf("  before playing (window and map page shown): %.1f MB\n", Mb(idleKb));
  std::printf("  at the end: anonymous %.1f MB, files %.1f MB, shared memory %.1f MB\n",
              Mb(StatusKb(me, "RssAnon")), Mb(StatusKb(me, "RssFile")),
              Mb(StatusKb(me, "RssShmem")));
  std::printf("web process      VmRSS peak %6.1f MB, final %6.1f MB\n", Mb(web.peak), Mb(web.last));
  std::printf("network process  VmRSS peak %6.1f MB, final %6.1f MB\n", Mb(network.peak),
              Mb(network.last));
  std::printf("tile requests served by the loopback server while playing: %d\n", requestsBefore);
  if (churnTiles > 0) {
    std::printf(
        "%d more tile requests to the map's scheme (%d fetched): window process %+.1f MB "
        "(%+.1f KB a request)\n",
        churnTiles, tiles.Requests() - requestsBefore, Mb(afterChurnKb - beforeChurnKb),
        double(afterChurnKb - beforeChurnKb) / churnTiles);
  }

  window->Close(true);
  bench::Pump(500);
  tiles.Stop();
  wxTheApp->OnExit();
  wxEntryCleanup();
  return 0;
}
