// SPDX-License-Identifier: GPL-3.0-or-later
// The file download of another camera family's recordings: every camera file of each recording is
// copied into the folder as the camera wrote it, byte for byte, under its own file name. Where two
// files of one download would take the same name (Tesla's clip folders hold files of the same
// names), each of them goes into a subfolder named after the folder it came from on the card, so
// that a user sees where it came from.
//
// A recording's files are copied under temporary names beside their places, in chunks of a fixed
// size, flushed, and renamed into place only once all of them are complete; a stop or a failure
// removes whatever of that recording had been written, so a recording is in the folder whole or
// not at all. Runs on the caller's thread (the window's download worker, roadeye-convert).
#pragma once

#include <atomic>
#include <string>
#include <vector>

#include "cards/CardListing.h"
#include "export/FolderDownload.h"

// Where each file of the recordings goes, relative to the download's folder: recordings[i]'s
// files[k] at result[i][k]. A file name is its own unless another file of the recordings has it
// too; then it goes under its card folder's name ("2024-06-12_08-15-08/front.mp4"), or, when that
// is shared as well, under the whole card folder with "_" for "/"
// ("TeslaCam_SavedClips_2024-06-12_08-15-08/front.mp4").
std::vector<std::vector<std::string>> PlanFamilyNames(
    const std::vector<cards::CardRecording>& recordings);

// Copies the files of `recording` (on the card at root) into folder at the places `names` gives
// (one a file, as PlanFamilyNames makes them), making subfolders as needed. progress (may be null)
// hears the bytes copied; busy is checked before every chunk, and cleared when the progress says
// stop. A stopped copy leaves nothing and its outcome is kConvertStopped without a path.
DownloadOutcome CopyRecordingToFolder(const std::string& root,
                                      const cards::CardRecording& recording,
                                      const std::vector<std::string>& names,
                                      const std::string& folder, VDownloadProgress* progress,
                                      std::atomic<int>* busy);

// Copies the recordings in order while *busy is non-zero, as DownloadToFolder converts VEX ones;
// the outcome of every recording begun.
std::vector<DownloadOutcome> CopyFamilyToFolder(const std::string& root,
                                                const std::vector<cards::CardRecording>& recordings,
                                                const std::string& folder,
                                                VDownloadProgress* progress,
                                                std::atomic<int>* busy);
