// SPDX-License-Identifier: GPL-3.0-or-later
// The lean start (label gui): roadeye plays a two-camera recording with the map page drawing its
// tiles from a loopback server, and
//  - the X server's pixels show the tiles (the web process draws the map: the environment the
//    viewer changed for itself was given back before that process started),
//  - the viewer's own process has none of Mesa's OpenGL drivers nor LLVM mapped, while its web
//    process has the environment the viewer was started with.
#include <dirent.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>
#include <wx/display.h>

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <iterator>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include "app/tests/AppTestSupport.h"
#include "map/testing/LoopbackTileServer.h"
#include "skin/testing/Screen.h"
#include "support/testing/TempDir.h"

namespace {

using roadeye_test::LoopbackTileServer;
using roadeye_test::Rgb;
using roadeye_test::TempDir;

std::string ReadAll(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

int ParentOf(int pid) {
  const std::string text = ReadAll("/proc/" + std::to_string(pid) + "/stat");
  const std::size_t close = text.rfind(')');
  if (close == std::string::npos) return -1;
  std::istringstream rest(text.substr(close + 1));
  std::string state;
  int parent = -1;
  rest >> state >> parent;
  return parent;
}

// A child of `parent` whose name starts with `prefix`; 0 when there is none.
int ChildNamed(int parent, const std::string& prefix) {
  DIR* proc = opendir("/proc");
  if (proc == nullptr) return 0;
  int found = 0;
  while (dirent* entry = readdir(proc)) {
    const int pid = std::atoi(entry->d_name);
    if (pid <= 0 || ParentOf(pid) != parent) continue;
    if (ReadAll("/proc/" + std::to_string(pid) + "/comm").compare(0, prefix.size(), prefix) == 0) {
      found = pid;
      break;
    }
  }
  closedir(proc);
  return found;
}

// The names of the environment of process `pid`.
std::set<std::string> EnvironmentNames(int pid) {
  const std::string text = ReadAll("/proc/" + std::to_string(pid) + "/environ");
  std::set<std::string> names;
  std::size_t start = 0;
  while (start < text.size()) {
    std::size_t end = text.find('\0', start);
    if (end == std::string::npos) end = text.size();
    const std::string entry = text.substr(start, end - start);
    names.insert(entry.substr(0, entry.find('=')));
    start = end + 1;
  }
  return names;
}

// Screen pixels that are the colour of one of the tiles the server sent.
int TilePixels(const wxImage& screen, const std::vector<std::string>& paths) {
  std::vector<Rgb> colours;
  for (const std::string& path : paths) {
    int z = 0, x = 0, y = 0;
    if (std::sscanf(path.c_str(), "/%d/%d/%d.png", &z, &x, &y) == 3) {
      colours.push_back(roadeye_test::TileColour(z, x, y));
    }
  }
  int count = 0;
  const unsigned char* p = screen.GetData();
  for (long i = 0; i < long(screen.GetWidth()) * screen.GetHeight(); ++i, p += 3) {
    for (const Rgb& c : colours) {
      if (std::abs(p[0] - c.r) <= 3 && std::abs(p[1] - c.g) <= 3 && std::abs(p[2] - c.b) <= 3) {
        ++count;
        break;
      }
    }
  }
  return count;
}

TEST(LeanStart, TheViewerPlaysWithoutOpenGlInItsProcessAndTheWebProcessDrawsTheMap) {
  // The viewer loads its map page only when the system says it has a network.
  if (!CMapView::SystemNetworkAvailable()) GTEST_SKIP() << "no network: the map page stays empty";
  TempDir card("lean-card"), config("lean-config"), cache("lean-cache");
  ASSERT_TRUE(apptest::MakeCard(
      card.str(), "--seconds 20 --count 1 --kinds REC --rear yes --no-damaged --bitrate 2000"));
  LoopbackTileServer server;
  ASSERT_TRUE(server.ok());
  const std::string bin = std::string(ROADEYE_BIN_DIR) + "/roadeye";
  const std::string url = server.UrlTemplate();
  const std::string err = config.str() + "/err.txt";
  const pid_t pid = fork();
  ASSERT_GE(pid, 0);
  if (pid == 0) {
    if (std::freopen("/dev/null", "w", stdout) == nullptr) _exit(126);
    if (std::freopen(err.c_str(), "w", stderr) == nullptr) _exit(126);
    setenv("XDG_CACHE_HOME", cache.str().c_str(), 1);
    setenv("ROADEYE_TILE_URL", url.c_str(), 1);
    setenv("SDL_AUDIODRIVER", "dummy", 1);
    unsetenv("GDK_GL");
    unsetenv("__EGL_VENDOR_LIBRARY_FILENAMES");
    setenv("ROADEYE_LEAN_TEST_MARK", "1", 1);  // seen in the web process's environment
    execl(bin.c_str(), bin.c_str(), "--card", card.str().c_str(), "--config-dir",
          config.str().c_str(), "--play", static_cast<char*>(nullptr));
    _exit(127);
  }

  // The map's tiles on the screen: the web process started and draws with them.
  const wxSize display = wxDisplay().GetGeometry().GetSize();
  int tilePixels = 0;
  screentest::PumpUntil(
      [&] {
        const std::vector<std::string> served = server.Paths();
        if (served.empty()) return false;
        tilePixels = TilePixels(screentest::Grab(wxRect(wxPoint(0, 0), display)), served);
        return tilePixels > 4000;
      },
      30000);
  EXPECT_GT(tilePixels, 4000) << "the map's tiles are not on the screen; the viewer said: "
                              << ReadAll(err);

  const std::string maps = ReadAll("/proc/" + std::to_string(pid) + "/maps");
  EXPECT_FALSE(maps.empty());
  for (const char* library : {"libLLVM", "swrast_dri", "libEGL_mesa", "libGLX_mesa"}) {
    EXPECT_EQ(maps.find(library), std::string::npos) << library << " in the viewer's process";
  }
  const int web = ChildNamed(pid, "WebKitWebProces");
  EXPECT_NE(web, 0) << "no web process";
  if (web != 0) {
    const std::set<std::string> names = EnvironmentNames(web);
    EXPECT_EQ(names.count("ROADEYE_LEAN_TEST_MARK"), 1u);
    EXPECT_EQ(names.count("GDK_GL"), 0u);
    EXPECT_EQ(names.count("__EGL_VENDOR_LIBRARY_FILENAMES"), 0u);
  }

  kill(pid, SIGTERM);
  int status = 0;
  pid_t ended = 0;
  for (int i = 0; i < 1000 && ended == 0; ++i) {
    ended = waitpid(pid, &status, WNOHANG);
    if (ended == 0) wxMilliSleep(10);
  }
  if (ended == 0) {
    kill(pid, SIGKILL);
    waitpid(pid, &status, 0);
    ADD_FAILURE() << "the viewer did not end";
  } else {
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
  }
}

}  // namespace
