// SPDX-License-Identifier: GPL-3.0-or-later
#include "export/FolderDownload.h"

#include <fcntl.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstring>
#include <string>

#include "platform/WholeFile.h"

namespace {

std::string SystemReason(int error) { return error != 0 ? std::strerror(error) : std::string(); }

// The result's words, with the system's reason after them when there is one.
std::string Describe(ConvertResult result, int error) {
  std::string text = ConvertResultText(result);
  if (error != 0) text += " (" + SystemReason(error) + ")";
  return text;
}

struct PictureRelay {
  VDownloadProgress* progress;
};

bool RelayPicture(void* arg, int index, int total) {
  auto* relay = static_cast<PictureRelay*>(arg);
  return relay->progress == nullptr || relay->progress->OnPicture(index, total);
}

}  // namespace

DownloadOutcome ConvertToFolder(VMediaParser* parser, const std::string& folder,
                                const std::string& name, ConvertProgressFn progress, void* arg,
                                std::atomic<int>* busy) {
  DownloadOutcome outcome;
  outcome.name = name;
  std::string destination;
  if (!MakeDestinationPath(folder, name, &destination)) {
    outcome.result = kConvertBadName;
    outcome.reason = ConvertResultText(outcome.result);
    return outcome;
  }
  // The temporary name is the longer one: "." and ".<pid>-<serial>" around the name.
  if (destination.size() + 24 >= PATH_MAX) {
    outcome.result = kConvertPathTooLong;
    outcome.reason = ConvertResultText(outcome.result);
    return outcome;
  }
  const std::string temporary = MakeTemporaryFile(folder, name);
  if (temporary.empty()) {
    outcome.result = kConvertCreateFailed;
    outcome.systemError = errno;
    outcome.reason = Describe(outcome.result, outcome.systemError);
    return outcome;
  }
  int error = 0;
  ConvertResult result =
      ConvertRecording(parser, name.c_str(), temporary.c_str(), progress, arg, busy, &error);
  if (result == kConvertDone || result == kConvertStopped) {
    // Complete on the disk before it takes the name, so that a crash or a power cut leaves either
    // the earlier file or the new one.
    if (!SyncPath(temporary, O_RDONLY) ||
        std::rename(temporary.c_str(), destination.c_str()) != 0) {
      error = errno;
      result = kConvertCloseFailed;
    } else {
      SyncPath(folder.empty() ? std::string(".") : folder, O_RDONLY | O_DIRECTORY);
      outcome.path = destination;
      outcome.files.push_back(destination);
    }
  }
  if (outcome.path.empty()) std::remove(temporary.c_str());
  outcome.result = result;
  if (!outcome.Made()) {
    outcome.systemError = error;
    outcome.reason = Describe(result, error);
  }
  return outcome;
}

std::vector<DownloadOutcome> DownloadToFolder(VMediaParser* parser, const std::string& folder,
                                              const std::vector<std::string>& names,
                                              VDownloadProgress* progress, std::atomic<int>* busy) {
  std::vector<DownloadOutcome> outcomes;
  PictureRelay relay{progress};
  const int count = int(names.size());
  for (int i = 0; i < count && busy->load() != 0; ++i) {
    if (progress != nullptr) progress->OnRecordingStart(i, count, names[std::size_t(i)]);
    outcomes.push_back(
        ConvertToFolder(parser, folder, names[std::size_t(i)], &RelayPicture, &relay, busy));
  }
  return outcomes;
}
