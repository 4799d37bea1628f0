// SPDX-License-Identifier: GPL-3.0-or-later
// Bytes the metadata readers' tests build: checksummed NMEA sentences and big-endian fields.
#pragma once

#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

namespace metadata::testing {

// `$BODY*HH` with the XOR checksum of BODY.
inline std::string Sentence(const std::string& body) {
  unsigned sum = 0;
  for (char c : body) sum ^= static_cast<unsigned char>(c);
  char hex[4];
  std::snprintf(hex, sizeof hex, "%02X", sum & 0xff);
  return "$" + body + "*" + hex;
}

inline void PutU16(std::vector<std::uint8_t>* out, std::uint32_t v) {
  out->push_back(std::uint8_t(v >> 8));
  out->push_back(std::uint8_t(v));
}

inline void PutU32(std::vector<std::uint8_t>* out, std::uint32_t v) {
  PutU16(out, v >> 16);
  PutU16(out, v & 0xffff);
}

inline void PutText(std::vector<std::uint8_t>* out, const std::string& text) {
  for (char c : text) out->push_back(static_cast<std::uint8_t>(c));
}

}  // namespace metadata::testing
