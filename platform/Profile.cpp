// SPDX-License-Identifier: GPL-3.0-or-later
#include "platform/Profile.h"

#include <fcntl.h>
#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <mutex>
#include <string_view>
#include <vector>

#include "platform/WholeFile.h"
#include "support/Text.h"

namespace {

constexpr std::string_view kBom = "\xEF\xBB\xBF";
constexpr std::string_view kBlanks = " \t\r\v\f";

// Serialises every read-modify-write of a profile file, so that two threads setting keys of the
// same file never lose one of the two changes.
std::mutex& WriteLock() {
  static std::mutex lock;
  return lock;
}

std::string_view Trim(std::string_view s) {
  const std::size_t first = s.find_first_not_of(kBlanks);
  if (first == std::string_view::npos) return {};
  const std::size_t last = s.find_last_not_of(kBlanks);
  return s.substr(first, last - first + 1);
}

// ---------------------------------------------------------------------------------------------
// Reading the file.

enum class FileState { kRead, kMissing, kUnusable };

// Reads a whole profile file into text. Anything but a regular file within the size bound is
// unusable (a FIFO or device on a card must not block or flood the reader).
FileState ReadProfileFile(const char* path, std::string* text) {
  text->clear();
  const int fd = ::open(path, O_RDONLY | O_NONBLOCK | O_CLOEXEC | O_NOCTTY);
  if (fd < 0) {
    return (errno == ENOENT || errno == ENOTDIR) ? FileState::kMissing : FileState::kUnusable;
  }
  struct stat st {};
  if (::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode) ||
      st.st_size > static_cast<off_t>(kMaxProfileBytes)) {
    ::close(fd);
    return FileState::kUnusable;
  }
  // Read to the end rather than trusting the size, since the file may grow meanwhile.
  text->resize(static_cast<std::size_t>(st.st_size) + 1);
  std::size_t got = 0;
  for (;;) {
    if (got == text->size()) {
      if (got > kMaxProfileBytes) break;
      text->resize(std::min(got * 2, kMaxProfileBytes + 1));
    }
    const ssize_t n = ::read(fd, text->data() + got, text->size() - got);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) {
      ::close(fd);
      text->clear();
      return FileState::kUnusable;
    }
    if (n == 0) break;
    got += static_cast<std::size_t>(n);
  }
  ::close(fd);
  if (got > kMaxProfileBytes) {
    text->clear();
    return FileState::kUnusable;
  }
  text->resize(got);
  return FileState::kRead;
}

// ---------------------------------------------------------------------------------------------
// The file's lines.

enum class LineKind { kBlank, kComment, kSection, kKey, kOther };

struct Line {
  std::size_t begin = 0;       // first byte of the line in the file
  std::size_t contentEnd = 0;  // end of the text, before CR LF or LF
  std::size_t end = 0;         // first byte of the next line
  bool terminated = false;     // ends in LF (the last line of a file may not)
  LineKind kind = LineKind::kOther;
  std::string_view name;   // section or key name, trimmed
  std::string_view value;  // key value, trimmed
};

struct Section {
  std::size_t header = 0;  // index of the "[name]" line
  std::size_t end = 0;     // index of the next section's header, or the line count
  std::string_view name;
};

// The file split into lines and sections. Views point into the text, which must outlive it.
struct Parsed {
  std::vector<Line> lines;
  std::vector<Section> sections;  // in file order; keys before the first one belong to none

  const Section* FindSection(std::string_view name) const {
    for (const Section& s : sections) {
      if (EqualsIgnoringCase(s.name, name)) return &s;
    }
    return nullptr;
  }

  const Line* FindKey(const Section& s, std::string_view name) const {
    for (std::size_t i = s.header + 1; i < s.end; ++i) {
      if (lines[i].kind == LineKind::kKey && EqualsIgnoringCase(lines[i].name, name))
        return &lines[i];
    }
    return nullptr;
  }
};

void Classify(std::string_view text, Line* line) {
  const std::string_view t = Trim(text);
  if (t.empty()) {
    line->kind = LineKind::kBlank;
  } else if (t.front() == ';' || t.front() == '#') {
    line->kind = LineKind::kComment;
  } else if (t.front() == '[') {
    line->kind = LineKind::kSection;
    std::string_view name = t.substr(1);
    const std::size_t close = name.find(']');
    if (close != std::string_view::npos) name = name.substr(0, close);
    line->name = Trim(name);
  } else if (const std::size_t eq = t.find('='); eq != std::string_view::npos) {
    line->kind = LineKind::kKey;
    line->name = Trim(t.substr(0, eq));
    line->value = Trim(t.substr(eq + 1));
  } else {
    line->kind = LineKind::kOther;
  }
}

Parsed Parse(std::string_view text) {
  Parsed p;
  const std::size_t start = text.substr(0, kBom.size()) == kBom ? kBom.size() : 0;
  std::size_t pos = 0;
  while (pos < text.size()) {
    Line line;
    line.begin = pos;
    const std::size_t lf = text.find('\n', pos);
    line.end = lf == std::string_view::npos ? text.size() : lf + 1;
    line.contentEnd = lf == std::string_view::npos ? text.size() : lf;
    line.terminated = lf != std::string_view::npos;
    if (line.contentEnd > line.begin && text[line.contentEnd - 1] == '\r') --line.contentEnd;
    // The byte-order mark belongs to the first line's bytes but not to its text.
    const std::size_t textBegin = pos == 0 ? start : pos;
    Classify(text.substr(textBegin, line.contentEnd - textBegin), &line);
    p.lines.push_back(line);
    pos = line.end;
  }
  for (std::size_t i = 0; i < p.lines.size(); ++i) {
    if (p.lines[i].kind != LineKind::kSection) continue;
    if (!p.sections.empty()) p.sections.back().end = i;
    p.sections.push_back({i, p.lines.size(), p.lines[i].name});
  }
  return p;
}

// ---------------------------------------------------------------------------------------------
// Copying results out.

// How many bytes of text fit in room bytes without cutting a UTF-8 character in two.
std::size_t FitUtf8(std::string_view text, std::size_t room) {
  if (text.size() <= room) return text.size();
  const auto byte = [&](std::size_t i) { return static_cast<unsigned char>(text[i]); };
  // text[room] is the first byte left out. When it continues a character, that character began
  // at most three bytes earlier and is dropped whole.
  std::size_t n = room;
  std::size_t back = 0;
  while (n > 0 && back < 3 && (byte(n) & 0xC0) == 0x80) {
    --n;
    ++back;
  }
  if (back > 0 && byte(n) >= 0xC0) return n;
  return room;  // a boundary already, or no valid UTF-8 to respect
}

int CopyText(std::string_view text, char* out, int outSize) {
  // A value ends at an embedded NUL, as the caller's C string will.
  text = text.substr(0, text.find('\0'));
  const std::size_t n = FitUtf8(text, static_cast<std::size_t>(outSize) - 1);
  if (n > 0) std::memcpy(out, text.data(), n);
  out[n] = '\0';
  return static_cast<int>(n);
}

// Copies names as a NUL-separated list ending in a double NUL.
int CopyNameList(const std::vector<std::string_view>& names, char* out, int outSize) {
  if (outSize < 2) {
    out[0] = '\0';
    return 0;
  }
  const std::size_t room = static_cast<std::size_t>(outSize) - 2;  // keep two closing NULs
  std::size_t used = 0;
  for (std::string_view name : names) {
    name = name.substr(0, name.find('\0'));
    if (used + name.size() > room) {
      // Cut: as much of this name as fits, then the double NUL at the buffer's end.
      const std::size_t n = FitUtf8(name, used < room ? room - used : 0);
      if (n > 0) std::memcpy(out + used, name.data(), n);
      std::memset(out + used + n, 0, static_cast<std::size_t>(outSize) - used - n);
      return outSize - 2;
    }
    // An empty name may have no data at all (a key line with nothing before its '=').
    if (!name.empty()) std::memcpy(out + used, name.data(), name.size());
    used += name.size();
    out[used++] = '\0';
  }
  out[used] = '\0';
  if (used == 0) out[1] = '\0';
  return static_cast<int>(used);
}

// The text a key holds: trimmed, one pair of surrounding quotes removed.
std::string_view Unquote(std::string_view value) {
  if (value.size() >= 2 && (value.front() == '"' || value.front() == '\'') &&
      value.back() == value.front()) {
    return value.substr(1, value.size() - 2);
  }
  return value;
}

// ---------------------------------------------------------------------------------------------
// Writing the file.

// The real file behind a link, so that replacing the file keeps the link.
std::string ResolvedPath(const char* path) {
  struct stat st {};
  if (::lstat(path, &st) == 0 && S_ISLNK(st.st_mode)) {
    char* real = ::realpath(path, nullptr);
    if (real != nullptr) {
      std::string resolved = real;
      std::free(real);
      return resolved;
    }
  }
  return path;
}

// Replaces the file at path with text as a whole (see WriteWholeFile), keeping its permissions.
bool ReplaceFile(const std::string& path, std::string_view text) {
  struct stat old {};
  const bool hadFile = ::stat(path.c_str(), &old) == 0;
  // A read-only file (FAT's read-only attribute shows as no write bits) stays as it is, though
  // its folder would let it be replaced.
  if (hadFile && ((old.st_mode & 0222) == 0 || ::access(path.c_str(), W_OK) != 0)) {
    errno = EACCES;
    return false;
  }
  return WriteWholeFile(path, text, WholeFileMode::kReplace,
                        hadFile ? static_cast<int>(old.st_mode & 07777) : -1);
}

bool HasLineBreak(std::string_view s) { return s.find_first_of("\r\n") != std::string_view::npos; }

// A name that reads back as itself: not blank, no line break, and not taken for something else.
bool UsableName(std::string_view name, bool isKey) {
  if (Trim(name).empty() || HasLineBreak(name)) return false;
  if (!isKey) return name.find(']') == std::string_view::npos;
  const char first = Trim(name).front();
  return name.find('=') == std::string_view::npos && first != ';' && first != '#' && first != '[';
}

void AppendKeyLine(std::string* out, std::string_view key, std::string_view value) {
  out->append(key);
  out->push_back('=');
  out->append(value);
  out->append("\r\n");
}

// Builds the new file text for one write. Returns false when nothing changes.
bool Edit(std::string_view text, std::string_view section, const char* key, const char* value,
          std::string* out) {
  const Parsed p = Parse(text);
  const Section* s = p.FindSection(section);
  out->clear();

  if (key == nullptr) {  // delete the section, header to the next header
    if (s == nullptr) return false;
    out->append(text.substr(0, p.lines[s->header].begin));
    if (s->end < p.lines.size()) out->append(text.substr(p.lines[s->end].begin));
    return true;
  }
  const std::string_view keyName = Trim(key);

  if (s == nullptr) {  // a new section at the end of the file
    if (value == nullptr) return false;
    out->append(text);
    if (!p.lines.empty()) {
      const Line& last = p.lines.back();
      if (last.kind != LineKind::kBlank) {
        if (!last.terminated) out->append("\r\n");
        out->append("\r\n");  // one blank line between sections
      }
    }
    out->push_back('[');
    out->append(section);
    out->append("]\r\n");
    AppendKeyLine(out, keyName, value);
    return true;
  }

  if (const Line* line = p.FindKey(*s, keyName)) {
    out->append(text.substr(0, line->begin));
    if (value != nullptr) AppendKeyLine(out, line->name, value);  // keeps the file's spelling
    out->append(text.substr(line->end));
    return true;
  }
  if (value == nullptr) return false;

  // A new key after the section's last line of substance, so that blank lines and a comment
  // heading the next section stay with that section.
  std::size_t after = s->header;
  for (std::size_t i = s->header + 1; i < s->end; ++i) {
    const LineKind k = p.lines[i].kind;
    if (k != LineKind::kBlank && k != LineKind::kComment) after = i;
  }
  const Line& anchor = p.lines[after];
  out->append(text.substr(0, anchor.end));
  if (!anchor.terminated) out->append("\r\n");
  AppendKeyLine(out, keyName, value);
  out->append(text.substr(anchor.end));
  return true;
}

}  // namespace

int GetProfileText(const char* section, const char* key, const char* defaultText, char* out,
                   int outSize, const char* path) {
  if (out == nullptr || outSize < 1) return 0;
  std::string text;
  const bool readable = path != nullptr && ReadProfileFile(path, &text) == FileState::kRead;
  const Parsed p = Parse(readable ? std::string_view(text) : std::string_view());

  if (section == nullptr) {
    std::vector<std::string_view> names;
    for (const Section& s : p.sections) names.push_back(s.name);
    return CopyNameList(names, out, outSize);
  }
  const Section* s = p.FindSection(Trim(section));
  if (key == nullptr) {
    std::vector<std::string_view> names;
    if (s != nullptr) {
      for (std::size_t i = s->header + 1; i < s->end; ++i) {
        if (p.lines[i].kind == LineKind::kKey) names.push_back(p.lines[i].name);
      }
    }
    return CopyNameList(names, out, outSize);
  }
  if (s != nullptr) {
    if (const Line* line = p.FindKey(*s, Trim(key))) {
      return CopyText(Unquote(line->value), out, outSize);
    }
  }
  std::string_view fallback = defaultText != nullptr ? defaultText : "";
  fallback = fallback.substr(0, fallback.find_last_not_of(kBlanks) + 1);
  return CopyText(fallback, out, outSize);
}

int GetProfileInt(const char* section, const char* key, int defaultValue, const char* path) {
  if (section == nullptr || key == nullptr) return defaultValue;
  char buffer[64];
  if (GetProfileText(section, key, "", buffer, sizeof buffer, path) == 0) return defaultValue;
  std::string_view s = Trim(buffer);
  bool negative = false;
  if (!s.empty() && (s.front() == '-' || s.front() == '+')) {
    negative = s.front() == '-';
    s.remove_prefix(1);
  }
  long long magnitude = 0;
  for (const char c : s) {
    if (c < '0' || c > '9') break;
    magnitude = magnitude * 10 + (c - '0');
    if (magnitude > static_cast<long long>(INT_MAX) + 1) break;  // clamped below
  }
  const long long v = negative ? -magnitude : magnitude;
  if (v > INT_MAX) return INT_MAX;
  if (v < INT_MIN) return INT_MIN;
  return static_cast<int>(v);
}

bool WriteProfileText(const char* section, const char* key, const char* value, const char* path) {
  const ProfileWrite write{section, key, value};
  return WriteProfileTexts(&write, 1, path);
}

bool WriteProfileTexts(const ProfileWrite* writes, std::size_t count, const char* path,
                       int* errorNumber) {
  auto fail = [&](int error) {
    if (errorNumber != nullptr) *errorNumber = error;
    return false;
  };
  if (path == nullptr || *path == '\0' || (writes == nullptr && count > 0)) return fail(EINVAL);
  for (std::size_t i = 0; i < count; ++i) {
    const ProfileWrite& w = writes[i];
    if (w.section == nullptr || !UsableName(w.section, false)) return fail(EINVAL);
    if (w.key != nullptr && !UsableName(w.key, true)) return fail(EINVAL);
    if (w.value != nullptr && HasLineBreak(w.value)) return fail(EINVAL);
  }

  std::lock_guard<std::mutex> hold(WriteLock());
  const std::string target = ResolvedPath(path);
  std::string text;
  const FileState state = ReadProfileFile(target.c_str(), &text);
  if (state == FileState::kUnusable) return fail(EIO);

  // Every write applied in memory, in order; the file is touched once at the end.
  std::string edited = text;
  bool creates = false;
  for (std::size_t i = 0; i < count; ++i) {
    const ProfileWrite& w = writes[i];
    std::string next;
    // Edit finds nothing to do only when the key or section to delete is not there.
    if (!Edit(edited, Trim(w.section), w.key, w.value, &next)) continue;
    edited = std::move(next);
    creates = creates || (w.key != nullptr && w.value != nullptr);
  }
  if (edited.size() > kMaxProfileBytes) return fail(EFBIG);
  if (state == FileState::kMissing && !creates) return true;     // nothing to delete
  if (state == FileState::kRead && edited == text) return true;  // already so: spare the card
  errno = 0;
  if (!ReplaceFile(target, edited)) return fail(errno != 0 ? errno : EIO);
  return true;
}

// ---------------------------------------------------------------------------------------------
// The per-user folder.

namespace {

std::mutex& ConfigDirLock() {
  static std::mutex lock;
  return lock;
}

std::string& ConfigDirOverride() {
  static std::string dir;
  return dir;
}

std::string HomeDir() {
  const char* home = std::getenv("HOME");
  if (home != nullptr && *home != '\0') return home;
  std::vector<char> buffer(16384);
  struct passwd entry {};
  struct passwd* found = nullptr;
  if (::getpwuid_r(::getuid(), &entry, buffer.data(), buffer.size(), &found) == 0 &&
      found != nullptr && found->pw_dir != nullptr) {
    return found->pw_dir;
  }
  return {};
}

}  // namespace

std::string UserConfigDir() {
  {
    std::lock_guard<std::mutex> hold(ConfigDirLock());
    if (!ConfigDirOverride().empty()) return ConfigDirOverride();
  }
  const char* xdg = std::getenv("XDG_CONFIG_HOME");
  if (xdg != nullptr && xdg[0] == '/') return std::string(xdg) + "/roadeye";
  const std::string home = HomeDir();
  // Without any home folder, a folder relative to the working directory is the last resort.
  return (home.empty() ? std::string(".") : home) + "/.config/roadeye";
}

void SetUserConfigDir(const std::string& dir) {
  std::lock_guard<std::mutex> hold(ConfigDirLock());
  ConfigDirOverride() = dir;
}

bool EnsureUserConfigDir() {
  const std::string dir = UserConfigDir();
  std::error_code ec;
  std::filesystem::create_directories(dir, ec);
  return std::filesystem::is_directory(dir, ec);
}
