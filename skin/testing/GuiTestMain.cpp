// SPDX-License-Identifier: GPL-3.0-or-later
// The window tests' main, shared by every folder's window tests: GoogleTest's flags first, then wx
// with its GTK display, the tests, and wx shut down again. Listing the tests starts no toolkit, so
// the build's test discovery works without a display. A failed wx assertion fails the running
// test instead of opening a dialog that nobody closes. Sound goes to SDL's dummy driver unless the
// caller chose one.
#include <gtest/gtest.h>
#include <wx/app.h>
#include <wx/image.h>
#include <wx/init.h>

#include <cstdio>
#include <cstdlib>

#include "skin/testing/Screen.h"

// The test program's application object: wx's GUI start-up runs through it.
class WindowTestApp : public wxApp {
 public:
  bool OnInit() override { return true; }
};

wxIMPLEMENT_APP_NO_MAIN(WindowTestApp);

namespace {

void FailOnAssert(const wxString& file, int line, const wxString& func, const wxString& cond,
                  const wxString& msg) {
  ADD_FAILURE() << "wx assertion " << cond << " (" << msg << ") in " << func << " at " << file
                << ":" << line;
}

}  // namespace

int main(int argc, char** argv) {
  ::testing::InitGoogleTest(&argc, argv);
  if (::testing::GTEST_FLAG(list_tests)) return RUN_ALL_TESTS();

  setenv("SDL_AUDIODRIVER", "dummy", 0);
  // A display of this test program's own: windows of tests running side by side never overlap.
  if (!screentest::StartPrivateDisplay()) {
    std::fprintf(stderr, "no Xvfb display could be started\n");
    return 1;
  }
  if (!wxInitialize(argc, argv)) {
    std::fprintf(stderr, "wx could not start (no display? run under xvfb-run)\n");
    return 1;
  }
  wxSetAssertHandler(FailOnAssert);
  wxInitAllImageHandlers();
  const int result = RUN_ALL_TESTS();
  wxUninitialize();
  return result;
}
