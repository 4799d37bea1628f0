// SPDX-License-Identifier: GPL-3.0-or-later
#include "export/FileDigest.h"

#include <fcntl.h>
#include <nettle/sha2.h>
#include <unistd.h>

#include <cerrno>
#include <memory>

#include "support/FileDescriptor.h"

namespace {

// Bytes read at a time: large enough that the system calls cost nothing beside the hashing, small
// enough to keep on any thread.
constexpr std::size_t kChunkBytes = 256 * 1024;

std::string Hex(const std::uint8_t* digest, std::size_t n) {
  static const char kDigits[] = "0123456789abcdef";
  std::string out;
  out.reserve(n * 2);
  for (std::size_t i = 0; i < n; ++i) {
    out += kDigits[digest[i] >> 4];
    out += kDigits[digest[i] & 15];
  }
  return out;
}

std::string Finish(sha256_ctx* ctx) {
  std::uint8_t digest[SHA256_DIGEST_SIZE];
  sha256_digest(ctx, sizeof digest, digest);
  return Hex(digest, sizeof digest);
}

}  // namespace

DigestResult Sha256OfFile(const std::string& path, std::string* hex, const std::atomic<int>* busy,
                          int* systemError) {
  int ownError = 0;
  if (!systemError) systemError = &ownError;
  *systemError = 0;
  const FileDescriptor file(::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NOCTTY));
  if (file.get() < 0) {
    *systemError = errno;
    return DigestResult::kReadFailed;
  }
  (void)::posix_fadvise(file.get(), 0, 0, POSIX_FADV_SEQUENTIAL);
  const std::unique_ptr<std::uint8_t[]> chunk(new std::uint8_t[kChunkBytes]);
  sha256_ctx ctx;
  sha256_init(&ctx);
  for (;;) {
    if (busy && busy->load() == 0) return DigestResult::kStopped;
    const ssize_t n = ::read(file.get(), chunk.get(), kChunkBytes);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) {
      *systemError = errno;
      return DigestResult::kReadFailed;
    }
    if (n == 0) break;
    sha256_update(&ctx, std::size_t(n), chunk.get());
  }
  if (hex) *hex = Finish(&ctx);
  return DigestResult::kOk;
}

std::string Sha256OfText(const std::string& bytes) {
  sha256_ctx ctx;
  sha256_init(&ctx);
  sha256_update(&ctx, bytes.size(), reinterpret_cast<const std::uint8_t*>(bytes.data()));
  return Finish(&ctx);
}

std::string Sha256ListLine(const std::string& hex, const std::string& name) {
  std::string escaped;
  bool escape = false;
  for (char c : name) {
    if (c == '\\') {
      escaped += "\\\\";
      escape = true;
    } else if (c == '\n') {
      escaped += "\\n";
      escape = true;
    } else {
      escaped += c;
    }
  }
  return (escape ? "\\" : "") + hex + "  " + escaped + "\n";
}
