// SPDX-License-Identifier: GPL-3.0-or-later
// What every Roadeye program says about itself in the GNU way: `--version` prints the program's
// name, the package and the version, then the copyright and licence lines; `--help` ends with
// where to report bugs.
#pragma once

#include <cstdio>

#ifndef ROADEYE_VERSION
#define ROADEYE_VERSION "0"
#endif

inline constexpr const char kRoadeyeCopyright[] = "Copyright (C) 2026 the Roadeye authors.";
inline constexpr const char kRoadeyeLicence[] =
    "License GPLv3+: GNU GPL version 3 or later <https://gnu.org/licenses/gpl.html>. This is free "
    "software: you are free to change and redistribute it. There is NO WARRANTY, to the extent "
    "permitted by law.";
inline constexpr const char kRoadeyeBugReport[] =
    "Report bugs to the Roadeye maintainers, with what --version prints.";

// "PROGRAM (Roadeye) VERSION", the copyright line and the licence line, on out.
inline void PrintProgramVersion(std::FILE* out, const char* program) {
  std::fprintf(out, "%s (Roadeye) %s\n%s\n%s\n", program, ROADEYE_VERSION, kRoadeyeCopyright,
               kRoadeyeLicence);
}
