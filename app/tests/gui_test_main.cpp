// The window tests' main: GoogleTest's flags first, then wx with its GTK display, the tests, and
// wx shut down again. Listing the tests starts no toolkit, so discovery works without a display.
// Sound goes to SDL's dummy driver unless the caller chose one.
#include <gtest/gtest.h>
#include <wx/app.h>
#include <wx/image.h>
#include <wx/init.h>

#include <cstdio>
#include <cstdlib>

class AppTestApp : public wxApp {
 public:
  bool OnInit() override { return true; }
};

wxIMPLEMENT_APP_NO_MAIN(AppTestApp);

int main(int argc, char** argv) {
  ::testing::InitGoogleTest(&argc, argv);
  if (::testing::GTEST_FLAG(list_tests)) return RUN_ALL_TESTS();
  setenv("SDL_AUDIODRIVER", "dummy", 0);
  if (!wxInitialize(argc, argv)) {
    std::fprintf(stderr, "wx could not start (no display? run under xvfb-run)\n");
    return 1;
  }
  wxInitAllImageHandlers();
  const int result = RUN_ALL_TESTS();
  wxUninitialize();
  return result;
}
