// SPDX-License-Identifier: GPL-3.0-or-later
// SHA-256 checksums of files, and the lines of a checksum list as `sha256sum` writes them, so that
// `sha256sum -c LIST` run in the list's folder checks every file named in it.
//
// A file is read in chunks of a fixed size (never whole into memory), so a recording of gigabytes
// costs no more memory than a small one. Runs on any thread; nothing is shared.
#pragma once

#include <atomic>
#include <string>

enum class DigestResult {
  kOk,
  kStopped,     // *busy became 0 between chunks
  kReadFailed,  // the file could not be opened or read to its end (errno in *systemError)
};

// The SHA-256 of the file at path as 64 lower-case hex digits in *hex. busy (may be null) is
// looked at before every chunk; systemError (may be null) receives the errno of a failure, 0
// otherwise.
DigestResult Sha256OfFile(const std::string& path, std::string* hex,
                          const std::atomic<int>* busy = nullptr, int* systemError = nullptr);

// The SHA-256 of bytes in memory, as Sha256OfFile gives it.
std::string Sha256OfText(const std::string& bytes);

// One line of a checksum list for `name` (a plain name, read beside the list, or an absolute
// path): "<hex>  <name>\n". A name holding a backslash or a line break is written in the escaped
// form sha256sum uses (the line starts with a backslash; "\\" and "\n" stand for them).
std::string Sha256ListLine(const std::string& hex, const std::string& name);
