// SPDX-License-Identifier: GPL-3.0-or-later
// The window opens its decoders as the command line's --decoder asked and says on its diagnostic
// output which decoder runs.
#include <gtest/gtest.h>
#include <unistd.h>
#include <wx/weakref.h>

#include <cstdio>
#include <string>

#include "AppTestSupport.h"

using apptest::Pump;
using apptest::PumpUntil;
using apptest::TempDir;

namespace {

// The diagnostic lines a window wrote between its opening and its closing.
std::string DiagnosticsOfAWindow(DecoderChoice choice) {
  TempDir dir("decoder-choice");
  const std::string path = dir / "diag.txt";
  std::FILE* out = std::fopen(path.c_str(), "w");
  if (out == nullptr) return "(cannot write " + path + ")";
  DiagSetOutput(out);
  {
    CSamplePlayerDlg::Options options;
    options.configPath = dir / "config.cfg";
    options.startCardPoll = false;
    options.watchMounts = false;
    options.decoder = choice;
    CSamplePlayerDlg* window = new CSamplePlayerDlg(options);
    wxWeakRef<CSamplePlayerDlg> ref(window);
    window->SetMessageBox([](const wxString&, const wxString&, long) { return int(wxID_NO); });
    window->Show();
    Pump(100);
    window->Close(true);
    PumpUntil([&] { return !ref; }, 10000);
  }
  DiagSetOutput(stdout);
  std::fclose(out);
  return apptest::ReadFile(path);
}

bool MachineHasGraphicsDevice() {
  for (int i = 128; i < 192; ++i) {
    if (access(("/dev/dri/renderD" + std::to_string(i)).c_str(), F_OK) == 0) return true;
  }
  return access("/proc/driver/nvidia/version", F_OK) == 0;
}

TEST(DecoderChoiceWindow, SoftwareIsSaidOnce) {
  const std::string said = DiagnosticsOfAWindow(DecoderChoice::kSoftware);
  const std::size_t at = said.find("Decoder: software\n");
  EXPECT_NE(at, std::string::npos) << said;
  EXPECT_EQ(said.find("Decoder: ", at + 1), std::string::npos) << said;
}

TEST(DecoderChoiceWindow, AutoSaysWhatRunsAndWhyNotTheDevice) {
  const std::string said = DiagnosticsOfAWindow(DecoderChoice::kAuto);
  if (MachineHasGraphicsDevice()) {
    EXPECT_NE(said.find("Decoder: "), std::string::npos) << said;
  } else {
    EXPECT_NE(said.find("Decoder: software (VA-API: no render node in /dev/dri; CUDA: no NVIDIA "
                        "driver loaded)\n"),
              std::string::npos)
        << said;
  }
}

}  // namespace
