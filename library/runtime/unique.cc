// Unique ids: random creation, comparison and the text form.

#include "kr/unique.h"

#include <fcntl.h>
#include <sys/random.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

namespace {

// Where the dashes of the text form stand.
bool IsDashPosition(size_t i) { return i == 8 || i == 13 || i == 18 || i == 23; }

int HexValue(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

// Fills buf[0, len) from `next(at, count)` (a read-like call), retrying after interruptions.
// False when it ends or fails first.
template <class Read>
bool FillFrom(unsigned char* buf, size_t len, Read next) {
  size_t got = 0;
  while (got < len) {
    const ssize_t n = next(buf + got, len - got);
    if (n > 0) {
      got += static_cast<size_t>(n);
    } else if (n >= 0 || errno != EINTR) {
      return false;
    }
  }
  return true;
}

// Fills the buffer from the kernel's random source: getrandom, or /dev/urandom where the kernel
// lacks it.
bool FillRandom(unsigned char* buf, size_t len) {
  if (FillFrom(buf, len, [](unsigned char* at, size_t n) { return getrandom(at, n, 0); }))
    return true;
  const int fd = open("/dev/urandom", O_RDONLY | O_CLOEXEC);
  if (fd < 0) return false;
  const bool ok = FillFrom(buf, len, [fd](unsigned char* at, size_t n) { return read(fd, at, n); });
  close(fd);
  return ok;
}

}  // namespace

void UniqueInvalidate(UniqueId* id) noexcept {
  if (id != nullptr) std::memset(id->bytes, 0, sizeof id->bytes);
}

bool UniqueIsValid(const UniqueId* id) noexcept {
  if (id == nullptr) return false;
  for (unsigned char b : id->bytes)
    if (b != 0) return true;
  return false;
}

int UniqueCompare(const UniqueId* a, const UniqueId* b) noexcept {
  if (a == nullptr || b == nullptr) return a == b ? 0 : (a == nullptr ? -1 : 1);
  const int r = std::memcmp(a->bytes, b->bytes, sizeof a->bytes);
  return r < 0 ? -1 : (r > 0 ? 1 : 0);
}

int UniqueCreate(UniqueId* id) noexcept {
  if (id == nullptr) return 0;
  UniqueId fresh;
  if (!FillRandom(fresh.bytes, sizeof fresh.bytes)) {
    UniqueInvalidate(id);
    return 0;
  }
  // Mark it as a random id in the customary layout; this also keeps it from being all zero.
  fresh.bytes[6] = static_cast<unsigned char>((fresh.bytes[6] & 0x0F) | 0x40);
  fresh.bytes[8] = static_cast<unsigned char>((fresh.bytes[8] & 0x3F) | 0x80);
  *id = fresh;
  return 1;
}

int UniqueToString(std::string* out, const UniqueId* id) noexcept {
  if (out == nullptr || id == nullptr) return 0;
  static constexpr char kDigits[] = "0123456789abcdef";
  char text[kUniqueTextLength];
  size_t pos = 0;
  for (size_t i = 0; i < sizeof id->bytes; ++i) {
    if (IsDashPosition(pos)) text[pos++] = '-';
    text[pos++] = kDigits[id->bytes[i] >> 4];
    text[pos++] = kDigits[id->bytes[i] & 0x0F];
  }
  out->assign(text, sizeof text);
  return 1;
}

int UniqueFromString(UniqueId* out, const char* text) noexcept {
  if (out == nullptr || text == nullptr) return 0;
  UniqueId id;
  size_t byte = 0;
  size_t i = 0;
  // Each position is checked before the next is read, so a short text ends at its NUL.
  while (i < kUniqueTextLength) {
    if (IsDashPosition(i)) {
      if (text[i] != '-') return 0;
      ++i;
      continue;
    }
    const int hi = HexValue(text[i]);
    if (hi < 0) return 0;
    const int lo = HexValue(text[i + 1]);
    if (lo < 0) return 0;
    id.bytes[byte++] = static_cast<unsigned char>(hi << 4 | lo);
    i += 2;
  }
  if (text[kUniqueTextLength] != '\0') return 0;
  *out = id;
  return 1;
}
