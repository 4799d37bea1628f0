// SPDX-License-Identifier: GPL-3.0-or-later
// Small text helpers shared by the readers of names and settings.
#pragma once

#include <string_view>

// True when a and b are the same text with ASCII letters compared without regard to case (card
// names and settings keys are ASCII; other bytes must match exactly).
inline bool EqualsIgnoringCase(std::string_view a, std::string_view b) {
  if (a.size() != b.size()) return false;
  for (std::size_t i = 0; i < a.size(); ++i) {
    unsigned char x = static_cast<unsigned char>(a[i]);
    unsigned char y = static_cast<unsigned char>(b[i]);
    if (x >= 'A' && x <= 'Z') x = static_cast<unsigned char>(x - 'A' + 'a');
    if (y >= 'A' && y <= 'Z') y = static_cast<unsigned char>(y - 'A' + 'a');
    if (x != y) return false;
  }
  return true;
}
