// SPDX-License-Identifier: GPL-3.0-or-later
// Playback benchmarks on a real sound server: a private PulseAudio server with a null sink
// (support/testing/PulseServer.h) that SDL's pulseaudio driver plays into, and a recording of the
// sink's monitor (support/testing/PulseMonitor.h) that says when each beep was heard. The includer
// links libpulse.
//
// The media clock takes the server's latency off SDL's play position; ROADEYE_LATENCY_CORRECTION=0
// (set by SetCorrection(false)) leaves it off, so that the same build measures before and after.
#pragma once

#include <cstdlib>
#include <string>
#include <vector>

#include "support/testing/PulseMonitor.h"
#include "support/testing/PulseServer.h"

namespace bench {

class PulseSound {
 public:
  // A beep's first sample is louder than this; beeps are a second apart, so a burst after this
  // much quiet (ms) is a new one.
  static constexpr int kBeepLevel = 6000;
  static constexpr double kBeepQuietMs = 500;

  // Whether the clock takes the server's latency off; before the sound device first opens.
  static void SetCorrection(bool on) {
    if (on) {
      ::unsetenv("ROADEYE_LATENCY_CORRECTION");
    } else {
      ::setenv("ROADEYE_LATENCY_CORRECTION", "0", 1);
    }
  }

  // Starts the server, points this process's SDL at it and starts recording its sink; before
  // SDL's audio starts. With an address ("unix:/run/user/1000/pulse/native"), uses that server
  // instead (a desktop's own, PipeWire's Pulse server included) and records its default sink.
  // False (with why()) when the server or the recording would not start.
  bool Start(const std::string& address = "") {
    std::string monitor = "@DEFAULT_MONITOR@";
    if (address.empty()) {
      if (!server_.Start()) {
        why_ = server_.why();
        return false;
      }
      server_.UseInThisProcess();
      monitor = server_.Monitor();
    } else {
      ::setenv("PULSE_SERVER", address.c_str(), 1);
      ::setenv("SDL_AUDIODRIVER", "pulseaudio", 1);
    }
    if (!monitor_.Start(monitor)) {
      why_ = "the sink's monitor could not be recorded";
      return false;
    }
    return true;
  }

  // Ends the recording: when each beep was heard, in ms on the steady clock.
  std::vector<double> StopAndFindBeeps() {
    monitor_.Stop();
    return monitor_.OnsetsMs(kBeepLevel, kBeepQuietMs);
  }

  const std::string& why() const { return why_; }

 private:
  roadeye_test::PulseServer server_;
  roadeye_test::PulseMonitor monitor_;
  std::string why_;
};

}  // namespace bench
