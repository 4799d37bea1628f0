// SPDX-License-Identifier: GPL-3.0-or-later
#include "skin/testing/Screen.h"

#include <X11/Xatom.h>
#include <X11/Xlib.h>
#include <X11/Xutil.h>
#include <X11/extensions/XTest.h>
#include <fcntl.h>
#include <gdk/gdk.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>
#include <wx/app.h>
#include <wx/utils.h>
#include <wx/window.h>

#include <chrono>
#include <cstdlib>
#include <cstring>
#include <string>

namespace screentest {

namespace {

// A helper program started for this process; killed when the process ends.
struct Child {
  pid_t pid = -1;
  ~Child() {
    if (pid > 0) {
      kill(pid, SIGTERM);
      waitpid(pid, nullptr, 0);
    }
  }
};

Child gServer, gManager;

// Starts argv[0] with its standard output and error thrown away; it dies with us (a test that
// crashes leaves no server behind). keepFd stays open in the child.
pid_t Spawn(const char* const argv[], int keepFd) {
  const pid_t parent = getpid();
  const pid_t pid = fork();
  if (pid != 0) return pid;
  prctl(PR_SET_PDEATHSIG, SIGTERM);
  if (getppid() != parent) _exit(1);
  const int null = open("/dev/null", O_RDWR);
  if (null >= 0) {
    dup2(null, 0);
    dup2(null, 1);
    dup2(null, 2);
  }
  for (int fd = 3; fd < 1024; ++fd) {
    if (fd != keepFd) close(fd);
  }
  execvp(argv[0], const_cast<char* const*>(argv));
  _exit(127);
}

// Our own connection to the display, for reading the screen and sending input.
Display* Connection() {
  static Display* display = XOpenDisplay(nullptr);
  return display;
}

// Waits until the toolkit has handed the server everything it drew, and the server has done it.
void Settle() {
  if (wxTheApp != nullptr) {
    for (int i = 0; i < 3; ++i) {
      wxTheApp->Yield(true);
      wxTheApp->ProcessIdle();
    }
  }
  if (GdkDisplay* gdk = gdk_display_get_default()) gdk_display_sync(gdk);
  if (Display* d = Connection()) XSync(d, False);
}

bool WindowManagerRuns(Display* d) {
  const Atom check = XInternAtom(d, "_NET_SUPPORTING_WM_CHECK", False);
  Atom type = None;
  int format = 0;
  unsigned long items = 0, after = 0;
  unsigned char* data = nullptr;
  const bool found = XGetWindowProperty(d, DefaultRootWindow(d), check, 0, 1, False, XA_WINDOW,
                                        &type, &format, &items, &after, &data) == Success &&
                     items == 1;
  if (data != nullptr) XFree(data);
  return found;
}

}  // namespace

bool StartPrivateDisplay() {
  const char* choice = std::getenv("ROADEYE_TEST_DISPLAY");
  if (choice != nullptr && std::string(choice) == "shared") return true;
  int fds[2];
  if (pipe(fds) != 0) return false;
  const std::string fd = std::to_string(fds[1]);
  const char* argv[] = {"Xvfb",         "-displayfd", fd.c_str(), "-screen",  "0",
                        "1280x1024x24", "-nolisten",  "tcp",      "-noreset", nullptr};
  gServer.pid = Spawn(argv, fds[1]);
  close(fds[1]);
  // The server writes its display number once it accepts connections.
  std::string number;
  char c = 0;
  while (read(fds[0], &c, 1) == 1 && c != '\n') number += c;
  close(fds[0]);
  if (gServer.pid < 0 || number.empty()) return false;
  setenv("DISPLAY", (":" + number).c_str(), 1);
  // Window tests talk to this server only.
  unsetenv("WAYLAND_DISPLAY");
  setenv("GDK_BACKEND", "x11", 1);
  return true;
}

bool StartWindowManager() {
  Display* d = Connection();
  if (d == nullptr) return false;
  if (WindowManagerRuns(d)) return true;
  const char* argv[] = {"openbox", "--sm-disable", nullptr};
  gManager.pid = Spawn(argv, -1);
  for (int i = 0; i < 500; ++i) {
    if (WindowManagerRuns(d)) return true;
    wxMilliSleep(10);
  }
  return false;
}

void StopWindowManager() {
  if (gManager.pid <= 0) return;
  kill(gManager.pid, SIGTERM);
  waitpid(gManager.pid, nullptr, 0);
  gManager.pid = -1;
  Pump(200);
}

wxImage Grab(const wxRect& rect) {
  Settle();
  Display* d = Connection();
  if (d == nullptr || rect.width <= 0 || rect.height <= 0) return wxImage();
  XImage* x = XGetImage(d, DefaultRootWindow(d), rect.x, rect.y, unsigned(rect.width),
                        unsigned(rect.height), AllPlanes, ZPixmap);
  if (x == nullptr) return wxImage();
  wxImage image(rect.width, rect.height, false);
  unsigned char* out = image.GetData();
  for (int y = 0; y < rect.height; ++y) {
    for (int px = 0; px < rect.width; ++px, out += 3) {
      const unsigned long pixel = XGetPixel(x, px, y);
      out[0] = static_cast<unsigned char>((pixel & x->red_mask) >> 16);
      out[1] = static_cast<unsigned char>((pixel & x->green_mask) >> 8);
      out[2] = static_cast<unsigned char>(pixel & x->blue_mask);
    }
  }
  XDestroyImage(x);
  return image;
}

wxImage GrabClient(const wxWindow* window) {
  const wxSize size = window->GetClientSize();
  return Grab(wxRect(window->ClientToScreen(wxPoint(0, 0)), size));
}

bool PumpUntil(const std::function<bool()>& done, long ms) {
  const auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);
  while (!done()) {
    if (std::chrono::steady_clock::now() > end) return false;
    if (wxTheApp != nullptr) wxTheApp->Yield(true);
    wxMilliSleep(5);
  }
  return true;
}

void Pump(int ms) {
  const auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);
  do {
    if (wxTheApp != nullptr) {
      wxTheApp->Yield(true);
      wxTheApp->ProcessIdle();
    }
    wxMilliSleep(5);
  } while (std::chrono::steady_clock::now() < end);
}

void MoveMouse(int x, int y) {
  Display* d = Connection();
  if (d == nullptr) return;
  XTestFakeMotionEvent(d, -1, x, y, CurrentTime);
  XSync(d, False);
  Pump(30);
}

namespace {

void Button(bool down) {
  Display* d = Connection();
  if (d == nullptr) return;
  XTestFakeButtonEvent(d, 1, down ? True : False, CurrentTime);
  XSync(d, False);
}

}  // namespace

void Click(int x, int y) {
  MoveMouse(x, y);
  Button(true);
  Pump(20);
  Button(false);
  Pump(80);
}

void DoubleClick(int x, int y) {
  MoveMouse(x, y);
  for (int i = 0; i < 2; ++i) {
    Button(true);
    Pump(10);
    Button(false);
    Pump(10);
  }
  Pump(80);
}

void Drag(const wxPoint& from, const wxPoint& to) {
  MoveMouse(from.x, from.y);
  Button(true);
  Pump(30);
  constexpr int kSteps = 10;
  for (int i = 1; i <= kSteps; ++i) {
    MoveMouse(from.x + (to.x - from.x) * i / kSteps, from.y + (to.y - from.y) * i / kSteps);
  }
  Button(false);
  Pump(100);
}

void PressKey(const std::string& keysym) {
  Display* d = Connection();
  if (d == nullptr) return;
  const KeyCode code = XKeysymToKeycode(d, XStringToKeysym(keysym.c_str()));
  if (code == 0) return;
  XTestFakeKeyEvent(d, code, True, CurrentTime);
  XSync(d, False);
  Pump(20);
  XTestFakeKeyEvent(d, code, False, CurrentTime);
  XSync(d, False);
  Pump(100);
}

double MeanDifference(const wxImage& a, const wxImage& b) {
  if (!a.IsOk() || !b.IsOk() || a.GetSize() != b.GetSize()) return 255;
  const unsigned char* p = a.GetData();
  const unsigned char* q = b.GetData();
  const std::size_t n = static_cast<std::size_t>(a.GetWidth()) * a.GetHeight() * 3;
  double sum = 0;
  for (std::size_t i = 0; i < n; ++i) sum += std::abs(int(p[i]) - int(q[i]));
  return n == 0 ? 0 : sum / static_cast<double>(n);
}

double MeanLevel(const wxImage& image) {
  if (!image.IsOk()) return 0;
  const unsigned char* p = image.GetData();
  const std::size_t n = static_cast<std::size_t>(image.GetWidth()) * image.GetHeight() * 3;
  double sum = 0;
  for (std::size_t i = 0; i < n; ++i) sum += p[i];
  return n == 0 ? 0 : sum / static_cast<double>(n);
}

wxImage Crop(const wxImage& image, const wxRect& rect) {
  const wxRect inside = rect.Intersect(wxRect(image.GetSize()));
  if (!image.IsOk() || inside.IsEmpty()) return wxImage();
  return image.GetSubImage(inside);
}

}  // namespace screentest
