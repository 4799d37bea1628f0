// SPDX-License-Identifier: GPL-3.0-or-later
// Finding the moment in the real window, as a user would on an event recording: its jolt marked
// over the seek slider (seen on the screen), reached by Ctrl+PageDown, stepped through picture by
// picture with the time in tenths, the speed keys and their read-out, and a clip around the jolt
// exported with I and O and checked by outside readers (ffmpeg, sha256sum, gpsbabel).
#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>

#include "app/CPicturePane.h"
#include "app/tests/AppTestSupport.h"
#include "skin/CBitmapSlider.h"

namespace {

namespace fs = std::filesystem;
namespace st = screentest;
using apptest::Output;
using apptest::PumpUntil;
using apptest::TempDir;
using apptest::Window;

// Pixels of a mark's amber or the trigger's red in columns [x0, x1) of an image.
int MarkPixels(const wxImage& image, int x0, int x1) {
  int n = 0;
  for (int y = 0; y < image.GetHeight(); ++y) {
    for (int x = std::max(0, x0); x < std::min(x1, image.GetWidth()); ++x) {
      const int r = image.GetRed(x, y), g = image.GetGreen(x, y), b = image.GetBlue(x, y);
      if (r > 220 && b < 60 && (g < 60 || (g > 150 && g < 200))) ++n;
    }
  }
  return n;
}

class MomentTest : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    card_ = new TempDir("moment-card");
    // The camera's event recording: a jolt at its middle second, 10.
    made_ = apptest::MakeCard(card_->str(),
                              "--seconds 20 --count 1 --kinds EVENT --rear yes --no-damaged "
                              "--bitrate 2000");
  }
  static void TearDownTestSuite() {
    delete card_;
    card_ = nullptr;
  }
  void SetUp() override {
    ASSERT_TRUE(made_) << "roadeye-mkcard failed";
    window_ = std::make_unique<Window>(card_->str(), config_.str() + "/config.cfg");
    apptest::KeepMapOffline(W());
    W()->PollCard();
    apptest::Click(W(), kIdFilterEvent);
    ASSERT_EQ(W()->RecordingList()->GetItemCount(), 1);
  }
  CSamplePlayerDlg* W() { return window_->get(); }
  // Waits for the picture asked for to be on screen and the tick to show it.
  void WaitShown(int picture, int presentedBefore) {
    ASSERT_TRUE(PumpUntil([&] {
      return W()->Engine().GetShownPicture() == picture &&
             W()->Engine().GetRunState() == CNOVMediaPlayer::kIdle &&
             W()->FrontPane()->PresentedCount() > presentedBefore;
    })) << "picture "
        << picture;
    W()->OnPositionTick();
  }

  static inline TempDir* card_ = nullptr;
  static inline bool made_ = false;
  TempDir config_{"moment-config"};
  TempDir out_{"moment-out"};
  std::unique_ptr<Window> window_;
};

TEST_F(MomentTest, TheJoltIsMarkedReachedSteppedThroughAndExportedAsAClip) {
  W()->PlayRow(0);
  ASSERT_TRUE(PumpUntil([&] { return W()->Trip().TracksRead() == 1; }, 20000));
  EXPECT_EQ(W()->Moment().Marks().markSeconds, std::vector<int>{10});
  EXPECT_EQ(W()->Moment().Marks().triggerSecond, 10);

  // The trigger's tick is on the screen over the slider at second 10 of 20, and nowhere else.
  auto* seek = dynamic_cast<CBitmapSlider*>(W()->FindControl(kIdSeekSlider));
  ASSERT_NE(seek, nullptr);
  W()->OnPauseCommand();
  st::Pump(300);
  const wxRect slider(seek->GetScreenPosition(), seek->GetSize());
  const wxImage bar = st::Grab(slider);
  const int tickX = slider.width / 2;
  EXPECT_GT(MarkPixels(bar, tickX - 12, tickX + 12), 6) << "no tick at the jolt";
  EXPECT_EQ(MarkPixels(bar, 0, tickX - 20) + MarkPixels(bar, tickX + 20, slider.width), 0);

  // Ctrl+PageDown goes to the mark: the jolt's second, its own picture, time in tenths.
  int presented = W()->FrontPane()->PresentedCount();
  ASSERT_TRUE(W()->HandleKey(WXK_PAGEDOWN, false, wxMOD_CONTROL));
  WaitShown(300, presented);
  EXPECT_EQ(W()->CurrentTimeText(), "00:00:10.0");
  // Picture by picture, forwards and back across the block's start.
  struct Step {
    int key, picture;
    const char* time;
  };
  for (const Step& step :
       {Step{'.', 301, "00:00:10.0"}, Step{'.', 302, "00:00:10.0"}, Step{',', 301, "00:00:10.0"},
        Step{',', 300, "00:00:10.0"}, Step{',', 299, "00:00:09.9"}, Step{',', 298, "00:00:09.9"}}) {
    const wxImage before = W()->FrontPane()->LastPicture();
    presented = W()->FrontPane()->PresentedCount();
    ASSERT_TRUE(W()->HandleKey(step.key, false));
    WaitShown(step.picture, presented);
    EXPECT_EQ(W()->CurrentTimeText(), step.time) << step.picture;
  }
  // Ctrl+PageUp from before the mark finds none earlier; from after it, goes back to it.
  ASSERT_TRUE(W()->HandleKey(WXK_PAGEUP, false, wxMOD_CONTROL));
  EXPECT_EQ(W()->Engine().GetShownPicture(), 298);
  W()->Engine().ShowPicture(420);
  WaitShown(420, W()->FrontPane()->PresentedCount() - 1);
  presented = W()->FrontPane()->PresentedCount();
  ASSERT_TRUE(W()->HandleKey(WXK_PAGEUP, false, wxMOD_CONTROL));
  WaitShown(300, presented);

  // The speed keys and their read-out.
  const std::pair<int, const char*> speeds[] = {
      {']', "2×"},  {']', "4×"},   {']', "8×"},   {']', "16×"},  {']', "16×"},
      {'\\', "1×"}, {'[', "1/2×"}, {'[', "1/4×"}, {'[', "1/4×"}, {'\\', "1×"}};
  for (const auto& [key, text] : speeds) {
    ASSERT_TRUE(W()->HandleKey(key, false));
    EXPECT_EQ(W()->Moment().PlaySpeedText(), wxString::FromUTF8(text));
  }

  // A ten-second clip around the jolt: in at 5.3 s, out at 15.3 s, written whole blocks.
  W()->Engine().ShowPicture(159);
  WaitShown(159, W()->FrontPane()->PresentedCount() - 1);
  ASSERT_TRUE(W()->HandleKey('I', false));
  W()->Engine().ShowPicture(459);
  WaitShown(459, W()->FrontPane()->PresentedCount() - 1);
  W()->SetFolderDialogRunner([&](const wxString&, const wxString&, wxString* folder) {
    *folder = wxString::FromUTF8(out_.str());
    return true;
  });
  bool ended = false, ok = false;
  W()->Moment().SetClipObserver([&](bool success, const std::string&) {
    ended = true;
    ok = success;
  });
  ASSERT_TRUE(W()->HandleKey('O', false));
  ASSERT_TRUE(PumpUntil([&] { return ended; }));
  ASSERT_TRUE(ok) << window_->messages.texts.back();
  const std::string stem = fs::path(W()->RecordingList()->GetItemText(0, 1).utf8_string())
                               .replace_extension("")
                               .string() +
                           "_0005-0016";
  for (const char* ext : {".avi", ".gpx", ".txt", ".sha256"}) {
    EXPECT_TRUE(fs::exists(out_.str() + "/" + stem + ext)) << ext;
  }
  const std::string avi = out_.str() + "/" + stem + ".avi";
  EXPECT_EQ(Output("ffmpeg -v error -i '" + avi + "' -f null - 2>&1"), "");
  EXPECT_EQ(Output("ffprobe -v error -count_packets -select_streams v:0 -show_entries "
                   "stream=nb_read_packets -of csv=p=0 '" +
                   avi + "'"),
            "330\n");
  EXPECT_EQ(std::system(("cd '" + out_.str() + "' && sha256sum --quiet -c '" + stem +
                         ".sha256' >/dev/null 2>&1")
                            .c_str()),
            0);
  // One fix a second of the span, 5 s to 16 s.
  const std::string csv =
      Output("gpsbabel -i gpx -f '" + out_.str() + "/" + stem + ".gpx' -o csv -F -");
  EXPECT_EQ(std::count(csv.begin(), csv.end(), '\n'), 11) << csv;
}

}  // namespace
