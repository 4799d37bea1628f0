// SPDX-License-Identifier: GPL-3.0-or-later
// How a family of cameras lays out its card: the folders and the settings file, the names of the
// recording files, and how a recording's streams (RecordingStreams.h) go into one of them. Each
// family's layout is one file that implements CardLayout and hands out its instance; the card
// writer (CardWriter.cpp) asks the card's layout for everything it writes. A layout keeps no
// state, so any thread may use it, for several recordings at once.
#pragma once

#include <string>
#include <vector>

#include "tools/CardWriter.h"

namespace tools {

class CardLayout {
 public:
  virtual ~CardLayout() = default;

  // The family's name, lower case, as roadeye-mkcard --family takes it.
  virtual std::string Name() const = 0;
  // Whether the family has a folder for recordings of `kind` (REC, EVENT, PARKING or MANUAL).
  virtual bool HasKind(const std::string& kind) const = 0;
  // Whether its recordings can be written in `container`.
  virtual bool Takes(Container container) const = 0;

  // Creates the card's folders under `root` and writes its settings file from `settingsText`. On
  // failure fills *error and returns false.
  virtual bool PrepareCard(const std::string& root, const std::string& settingsText,
                           std::string* error) const = 0;

  // The name of the plan's recording file in its folder.
  virtual std::string FileName(const RecordingPlan& plan) const = 0;

  // Writes the plan's recording into its folder under `root` and fills *result. The plan's trip
  // offset is within 0..TripDrive::kMaxSeconds. On failure fills *error, removes the partial file
  // and returns false.
  virtual bool WriteRecording(const std::string& root, const CardOptions& options,
                              const RecordingPlan& plan, RecordingResult* result,
                              std::string* error) const = 0;
};

// The cards of the RE-2CH camera: VEX/ recordings and SETTING/blackbox.cfg (VexLayout.cpp).
const CardLayout& VexLayout();

// The cards of other makers' cameras, one file per camera of each recording in MP4, MOV or
// MPEG-TS (FamilyLayouts.cpp), in the order roadeye-mkcard lists them.
const std::vector<const CardLayout*>& FamilyLayouts();

}  // namespace tools
