// SPDX-License-Identifier: GPL-3.0-or-later
// Diagnostic lines, printf-style, whole lines kept together across threads. They go to standard
// output unless a program sends them elsewhere.
#pragma once

#include <cstdio>

void DiagPrintf(const char* format, ...) __attribute__((format(printf, 1, 2)));

// Where the lines go from now on: a stream the caller keeps open, or null to drop them (a
// command-line tool whose own output is its report).
void DiagSetOutput(std::FILE* out);
