// SPDX-License-Identifier: GPL-3.0-or-later
// What a card of another camera family hands the cards library: the input's first byte picks
// the reader. 0: lines of "folder/name" read as a card's files and grouped into recordings; 1: a
// Tesla event file; anything else: a recording file's container, read through libavformat as the
// listing describes it. Nothing may crash, hang or take memory by what the bytes say.
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "FuzzSupport.h"
#include "cards/CardListing.h"
#include "cards/CardNames.h"
#include "cards/ContainerProbe.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size == 0) return 0;
  const std::string_view text(reinterpret_cast<const char*>(data) + 1, size - 1);
  switch (data[0]) {
    case 0: {
      std::size_t start = 0;
      while (start < text.size()) {
        std::size_t end = text.find('\n', start);
        if (end == std::string_view::npos) end = text.size();
        const std::string_view line = text.substr(start, end - start);
        const std::size_t slash = line.rfind('/');
        cards::CardFile file;
        const std::string_view folder =
            slash == std::string_view::npos ? std::string_view() : line.substr(0, slash);
        const std::string_view name =
            slash == std::string_view::npos ? line : line.substr(slash + 1);
        if (cards::ReadCardFileName(folder, name, &file) && file.hasClock &&
            !cards::ClockIsValid(file.clock)) {
          __builtin_trap();
        }
        start = end + 1;
      }
      break;
    }
    case 1: {
      cards::ClipEvent event;
      if (cards::ParseClipEvent(text, &event) && event.hasPlace &&
          (event.latitude < -90 || event.latitude > 90)) {
        __builtin_trap();
      }
      break;
    }
    default: {
      const std::string path = fuzz::ScratchDir() + "/recording";
      if (!fuzz::WriteInput(path, data + 1, size - 1)) return 0;
      const cards::ContainerInfo info = cards::ProbeContainer(path);
      if (info.seconds < 0 || info.seconds > cards::kMaxRecordingSeconds) __builtin_trap();
      break;
    }
  }
  return 0;
}
