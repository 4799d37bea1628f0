// SPDX-License-Identifier: GPL-3.0-or-later
// Profile (INI) files read and written key by key, with the rules of the classic private-profile
// calls: section and key names matched without regard to case, the first match wins, a key is
// replaced where it stands, a new key goes to the end of its section and a new section to the end
// of the file. Lines are written with CR LF; every line a write does not touch is kept byte for
// byte (comments, unknown keys and lines, other sections, plain-LF line ends, a missing final
// newline, a leading UTF-8 byte-order mark).
//
// The files may come from a memory card, so they are untrusted: anything that is not a regular
// file of at most kMaxProfileBytes is treated as unreadable. Writes go to a temporary file in the
// same folder that then replaces the original, so a crash never leaves a half-written file.
// All calls are safe from any thread.
#pragma once

#include <cstddef>
#include <string>

// Profile files larger than this are neither read nor written.
inline constexpr std::size_t kMaxProfileBytes = 1024 * 1024;

// Copies the value of key in section into out and returns the number of characters copied (not
// counting the terminating NUL). The value is trimmed of surrounding blanks and one pair of
// surrounding quotes, then cut to outSize - 1 bytes (never inside a UTF-8 character) and
// NUL-terminated. The default (null counts as "", trailing blanks removed) is copied when the
// file, the section or the key is missing or the file is unreadable.
// A null key lists the section's key names, a null section the file's section names: each name
// NUL-terminated, the list ending in a second NUL; when the list does not fit it is cut and the
// result is outSize - 2. Returns 0 and writes nothing when out is null or outSize < 1.
int GetProfileText(const char* section, const char* key, const char* defaultText, char* out,
                   int outSize, const char* path);

// The value of key as a decimal integer: optional blanks, an optional sign and the leading
// digits; text without digits reads 0, values beyond int are clamped. The default when the key is
// missing or its value is empty.
int GetProfileInt(const char* section, const char* key, int defaultValue, const char* path);

// Sets key in section to value, creating the file when it is missing. A null value deletes the
// key, a null key deletes the whole section (deleting what is not there succeeds and creates
// nothing). Returns false when the file cannot be read or written, is over the size bound, or the
// names or value would break the file's structure (a line break in any of them, '=' in a key, ']'
// in a section name, a section or key name that is blank).
bool WriteProfileText(const char* section, const char* key, const char* value, const char* path);

// One write of WriteProfileTexts, with the meaning of WriteProfileText's arguments.
struct ProfileWrite {
  const char* section;
  const char* key;
  const char* value;
};

// Makes the writes in order on one reading of the file and replaces the file once: either all of
// them take effect or none does (the file stays byte for byte as it was). False as for
// WriteProfileText; errorNumber, when given, then holds the system's reason (EACCES for a
// read-only file, EROFS, ENOSPC, ENOENT for a folder that is gone, ...; EINVAL for a name or value
// that would break the file, EFBIG past the size bound, EIO for a file that cannot be read).
bool WriteProfileTexts(const ProfileWrite* writes, std::size_t count, const char* path,
                       int* errorNumber = nullptr);

// The per-user folder for the viewer's own files: the folder set with SetUserConfigDir, else
// $XDG_CONFIG_HOME/roadeye (when that is an absolute path), else ~/.config/roadeye with the home
// folder from $HOME or, without it, the password database.
std::string UserConfigDir();

// Overrides UserConfigDir (the --config-dir option, tests); an empty text drops the override.
void SetUserConfigDir(const std::string& dir);

// Creates UserConfigDir with its parents when missing. True when it exists as a folder afterwards.
bool EnsureUserConfigDir();
