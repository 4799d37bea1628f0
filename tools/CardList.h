// SPDX-License-Identifier: GPL-3.0-or-later
// roadeye-convert --list: the recordings of a card of any family (or of one recording file), for
// people or, with json, one JSON object a line for scripts.
#pragma once

#include <string>

namespace tools {

// Lists the card folder or the file at `path` on standard output, oldest first; returns the
// program's exit status (2 for a path that is neither a readable folder nor a file).
int ListCardRecordings(const std::string& path, bool json);

}  // namespace tools
