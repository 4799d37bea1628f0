// SPDX-License-Identifier: GPL-3.0-or-later
// The viewer on a Wayland desktop: the real program under Weston's headless backend, run
// natively on Wayland and, in a session that offers XWayland, through XWayland (the backend it
// chooses then). It plays a recording, goes full screen and back, and draws its own screenshot;
// it must neither crash nor draw toolkit complaints, and the picture must show the window.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <fstream>
#include <regex>
#include <sstream>
#include <string>
#include <vector>

#include "AppTestSupport.h"
#include "app/Layout.h"
#include "resources/ResourceIds.h"
#include "resources/SkinImages.h"

using apptest::TempDir;
namespace fs = std::filesystem;

namespace {

std::string ReadFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::stringstream s;
  s << in.rdbuf();
  return s.str();
}

// Waits for a child, at most limitMs; -1 when it had to be killed.
int WaitForExit(pid_t pid, int limitMs) {
  int status = 0;
  for (int waited = 0; waited < limitMs; waited += 20) {
    if (waitpid(pid, &status, WNOHANG) == pid) {
      return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
    }
    usleep(20 * 1000);
  }
  kill(pid, SIGKILL);
  waitpid(pid, &status, 0);
  return -1;
}

// Weston with its headless backend (a screen in memory, no input devices), its socket in a
// runtime folder of its own; with xwayland, also an X server for X11 clients.
class Compositor {
 public:
  explicit Compositor(bool xwayland) : runtime_("weston-runtime") {
    chmod(runtime_.str().c_str(), 0700);
    log_ = runtime_.str() + "/weston.log";
    pid_ = fork();
    if (pid_ == 0) {
      setenv("XDG_RUNTIME_DIR", runtime_.str().c_str(), 1);
      if (std::freopen(log_.c_str(), "w", stderr) == nullptr) _exit(126);
      if (std::freopen("/dev/null", "w", stdout) == nullptr) _exit(126);
      std::vector<const char*> argv = {"weston",
                                       "--backend=headless-backend.so",
                                       "--socket=roadeye-test",
                                       "--idle-time=0",
                                       "--width=1280",
                                       "--height=1024"};
      if (xwayland) argv.push_back("--xwayland");
      argv.push_back(nullptr);
      execvp(argv[0], const_cast<char* const*>(argv.data()));
      _exit(127);
    }
    const std::string socket = runtime_.str() + "/roadeye-test";
    for (int i = 0; i < 500 && !fs::exists(socket); ++i) usleep(10 * 1000);
    ready_ = fs::exists(socket);
    if (xwayland) {
      // Weston names the X display it listens on in its log.
      const std::regex listening("xserver listening on display (:[0-9]+)");
      for (int i = 0; i < 500 && x11Display_.empty(); ++i) {
        std::smatch m;
        const std::string text = ReadFile(log_);
        if (std::regex_search(text, m, listening)) x11Display_ = m[1];
        usleep(10 * 1000);
      }
      ready_ = ready_ && !x11Display_.empty();
    }
  }
  ~Compositor() {
    if (pid_ > 0) {
      kill(pid_, SIGTERM);
      WaitForExit(pid_, 5000);
    }
  }
  bool Ready() const { return ready_; }
  std::string RuntimeDir() const { return runtime_.str(); }
  const std::string& X11Display() const { return x11Display_; }

 private:
  TempDir runtime_;
  std::string log_;
  std::string x11Display_;
  pid_t pid_ = -1;
  bool ready_ = false;
};

struct Session {
  const char* name;
  bool xwayland;
  const char* backend;  // what the viewer reports it chose
};

class WaylandTest : public ::testing::TestWithParam<Session> {
 protected:
  static void SetUpTestSuite() {
    card_ = new TempDir("wayland-card");
    made_ = apptest::MakeCard(card_->str(),
                              "--seconds 15 --count 1 --kinds REC --rear yes --no-damaged "
                              "--bitrate 4000");
  }
  static void TearDownTestSuite() {
    delete card_;
    card_ = nullptr;
  }
  static inline TempDir* card_ = nullptr;
  static inline bool made_ = false;
};

// Lines of the toolkit's complaints (criticals and warnings) from the viewer's own process. A
// headless compositor offers no seat, so the toolkit's own start (and the map's browser) finds no
// keyboard: those lines are the test bench's, not the viewer's.
std::vector<std::string> Complaints(const std::string& err, pid_t viewer) {
  std::vector<std::string> found;
  std::istringstream lines(err);
  std::string line;
  const std::string ours = "(roadeye:" + std::to_string(viewer) + ")";
  bool fromViewer = false;
  while (std::getline(lines, line)) {
    if (line.rfind("(", 0) == 0) fromViewer = line.rfind(ours, 0) == 0;
    const bool complaint = line.find("-CRITICAL") != std::string::npos ||
                           line.find("-WARNING") != std::string::npos ||
                           line.find("Error flushing display") != std::string::npos;
    if (!complaint) continue;
    if (line.find("GDK_IS_SEAT (seat)") != std::string::npos) continue;
    if (fromViewer || line.find("Error flushing display") != std::string::npos) {
      found.push_back(line);
    }
  }
  return found;
}

}  // namespace

TEST_P(WaylandTest, TheViewerPlaysGoesFullScreenAndBackAndDrawsItsPicture) {
  ASSERT_TRUE(made_) << "roadeye-mkcard failed";
  const Session session = GetParam();
  Compositor weston(session.xwayland);
  ASSERT_TRUE(weston.Ready()) << "weston did not start (Debian: weston, xwayland)";
  TempDir config("wayland-config");
  const std::string shot = config.str() + "/shot.png";
  const std::string out = config.str() + "/out.txt";
  const std::string err = config.str() + "/err.txt";
  const std::string bin = std::string(ROADEYE_BIN_DIR) + "/roadeye";

  const pid_t viewer = fork();
  ASSERT_GE(viewer, 0);
  if (viewer == 0) {
    setenv("XDG_RUNTIME_DIR", weston.RuntimeDir().c_str(), 1);
    setenv("WAYLAND_DISPLAY", "roadeye-test", 1);
    unsetenv("GDK_BACKEND");
    if (session.xwayland) {
      setenv("DISPLAY", weston.X11Display().c_str(), 1);
    } else {
      unsetenv("DISPLAY");
    }
    setenv("SDL_AUDIODRIVER", "dummy", 1);
    if (std::freopen(out.c_str(), "w", stdout) == nullptr) _exit(126);
    if (std::freopen(err.c_str(), "w", stderr) == nullptr) _exit(126);
    // Ten seconds of playing, full screen, back to the window, and the window's picture.
    execl(bin.c_str(), bin.c_str(), "--card", card_->str().c_str(), "--config-dir",
          config.str().c_str(), "--play", "--full-screen-at", "10000", "--back-at", "11000",
          "--screenshot", shot.c_str(), "--after", "12500", static_cast<char*>(nullptr));
    _exit(127);
  }
  EXPECT_EQ(WaitForExit(viewer, 60000), 0) << ReadFile(err);

  const std::string said = ReadFile(out);
  EXPECT_NE(said.find(std::string("Display: ") + session.backend), std::string::npos) << said;
  for (const std::string& line : Complaints(ReadFile(err), viewer)) ADD_FAILURE() << line;

  // The picture: the window back at its own size, its skin, and a picture playing in the large
  // place (not the skin's empty frame, not black).
  wxImage picture;
  ASSERT_TRUE(picture.LoadFile(shot, wxBITMAP_TYPE_PNG)) << "no screenshot";
  ASSERT_EQ(picture.GetSize(), wxSize(kNormalWidth, kNormalHeight));
  const wxImage skin = LoadSkinBitmap(kBmpBackground).ConvertToImage();
  const wxRect bare(650, 242, 320, 24);  // skin with no control on it
  EXPECT_LT(apptest::MeanDifference(picture.GetSubImage(bare), skin.GetSubImage(bare)), 6);
  const wxRect large(kLargePlace.x, kLargePlace.y, kLargePlace.w, kLargePlace.h);
  const wxImage shown = picture.GetSubImage(large);
  EXPECT_GT(apptest::MeanDifference(shown, skin.GetSubImage(large)), 30) << "no picture shown";
  EXPECT_GT(apptest::MeanLevel(shown), 40) << "a black box, not a picture";
  // The sky of the card's road scene fills the picture's top.
  const wxImage sky = shown.GetSubImage(wxRect(100, 20, 400, 60));
  EXPECT_GT(apptest::MeanLevel(sky), 90);
}

INSTANTIATE_TEST_SUITE_P(Sessions, WaylandTest,
                         ::testing::Values(Session{"Native", false, "Wayland"},
                                           Session{"XWayland", true, "X11"}),
                         [](const ::testing::TestParamInfo<Session>& info) {
                           return std::string(info.param.name);
                         });
