// SPDX-License-Identifier: GPL-3.0-or-later
// Writing a file as a whole: the text goes into a new temporary file beside the target, is
// flushed to the disk and renamed into place, so that a crash or a card pulled half-way leaves the
// old file or the new one, never a mix, and no temporary file is left behind on failure.
#pragma once

#include <string>
#include <string_view>

enum class WholeFileMode {
  kReplace,    // an existing file is replaced
  kCreateNew,  // the write fails when anything already lives at the path
};

// Writes text to path. permissions (>= 0): the new file's permission bits; otherwise the
// defaults of a newly created file. False when the file could not be written, with errno telling
// why.
bool WriteWholeFile(const std::string& path, std::string_view text, WholeFileMode mode,
                    int permissions = -1);

// For files written by other means and renamed into place the same way:
// makes a new empty file in the folder (empty: the current one) named after `name` with a part of
// its own (".<name>.<pid>-<serial>"), created as any new file is (0666 less the user's umask);
// its path, or empty with errno set.
std::string MakeTemporaryFile(const std::string& folder, const std::string& name);
// Sends a file's data (or, with O_DIRECTORY in flags, a folder's names) to the disk; false with
// errno set.
bool SyncPath(const std::string& path, int flags);
