// SPDX-License-Identifier: GPL-3.0-or-later
// Converting recordings into AVI files in a folder on the computer, the way the viewer's download
// runs (other camera families' recordings are copied as they are instead, FamilyDownload.h): each
// file is written under a temporary name beside its place and renamed into place only once it is
// complete, so a failed conversion never leaves a file that looks whole nor destroys an earlier
// file of the same name. Every recording's outcome is kept for the report.
#pragma once

#include <algorithm>
#include <atomic>
#include <cstdint>
#include <string>
#include <vector>

#include "export/ConvertRecording.h"
#include "media/VMediaParser.h"

// What became of one recording.
struct DownloadOutcome {
  std::string name;  // the recording, as the card lists it
  std::string path;  // the file made (the first, when a recording has several); empty when none
  std::vector<std::string> files;  // every file made, in camera order
  ConvertResult result = kConvertOpenFailed;
  std::string reason;   // why it failed, in words; empty when it did not
  int systemError = 0;  // the system's reason (an errno value) behind the failure; 0 for none
  bool Made() const {
    return (result == kConvertDone || result == kConvertStopped) && !path.empty();
  }
};

// Called on the download's thread.
class VDownloadProgress {
 public:
  // Recording index of count (from 0) is about to be converted.
  virtual void OnRecordingStart(int index, int count, const std::string& name) = 0;
  // Before front picture index (from 0) of total is written; false stops the run.
  virtual bool OnPicture(int index, int total) = 0;
  // While a recording is copied: done of its total bytes are in the folder; false stops the run.
  // Unless overridden, told as thousandths through OnPicture.
  virtual bool OnBytes(std::uint64_t done, std::uint64_t total) {
    const std::uint64_t whole = total > 0 ? total : 1;
    return OnPicture(int(std::min<std::uint64_t>(done, whole) * 1000 / whole), 1000);
  }

 protected:
  ~VDownloadProgress() = default;
};

// Converts the recording `name` into folder/name. A done or stopped conversion is flushed to the
// disk and renamed into place (replacing a file of that name); any other leaves nothing behind.
DownloadOutcome ConvertToFolder(VMediaParser* parser, const std::string& folder,
                                const std::string& name, ConvertProgressFn progress, void* arg,
                                std::atomic<int>* busy);

// Converts the names in order while *busy is non-zero; a progress that answers false clears it,
// which ends the run after the recording being converted (kept, shorter and complete). Returns the
// outcome of every recording that was begun.
std::vector<DownloadOutcome> DownloadToFolder(VMediaParser* parser, const std::string& folder,
                                              const std::vector<std::string>& names,
                                              VDownloadProgress* progress, std::atomic<int>* busy);
