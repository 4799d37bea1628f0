// Diagnostic lines on standard output, printf-style, whole lines kept together across threads.
#pragma once

void DiagPrintf(const char* format, ...) __attribute__((format(printf, 1, 2)));
