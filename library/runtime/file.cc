// Files: whole-file reads, atomic replacement, unbuffered output files and reading streams.

#include "kr/file.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cinttypes>
#include <cstdio>
#include <cstring>
#include <ctime>

#include "kr/trace.h"

namespace kr_internal {

// strerror_r comes in two flavours (GNU returns the text, XSI fills the buffer); take either.
namespace {
[[maybe_unused]] const char* PickErrorText(int /*xsi_result*/, const char* buf) { return buf; }
[[maybe_unused]] const char* PickErrorText(const char* gnu_result, const char* /*buf*/) {
  return gnu_result;
}
}  // namespace

std::string ErrnoText(int err) {
  char buf[256];
  buf[0] = '\0';
  const char* text = PickErrorText(strerror_r(err, buf, sizeof buf), buf);
  return text != nullptr ? text : "unknown error";
}

}  // namespace kr_internal

using kr_internal::ErrnoText;

namespace {

constexpr const char* kTag = "KRFILE";
constexpr size_t kCopyBlock = 64 * 1024;
constexpr size_t kStreamBlock = 64 * 1024;

// Owns a file descriptor; closes it (ignoring the result) unless released.
class Fd {
 public:
  explicit Fd(int fd = -1) : fd_(fd) {}
  ~Fd() { Reset(); }
  Fd(const Fd&) = delete;
  Fd& operator=(const Fd&) = delete;
  int get() const { return fd_; }
  bool ok() const { return fd_ >= 0; }
  void Reset(int fd = -1) {
    if (fd_ >= 0) ::close(fd_);
    fd_ = fd;
  }
  // Closes and reports the close's own result (NFS and some file systems report write errors
  // only here).
  bool Close() {
    int fd = fd_;
    fd_ = -1;
    return fd < 0 || ::close(fd) == 0;
  }

 private:
  int fd_;
};

// Opens a regular file for reading. O_NONBLOCK keeps a FIFO or a device from blocking the open;
// anything but a regular file is then refused, so no later read can block either.
int OpenRegularForReading(const char* path, struct stat* st) {
  int fd = ::open(path, O_RDONLY | O_CLOEXEC | O_NOCTTY | O_NONBLOCK);
  if (fd < 0) return -1;
  if (::fstat(fd, st) != 0) {
    int e = errno;
    ::close(fd);
    errno = e;
    return -1;
  }
  if (!S_ISREG(st->st_mode)) {
    ::close(fd);
    errno = S_ISDIR(st->st_mode) ? EISDIR : EINVAL;
    return -1;
  }
  int flags = ::fcntl(fd, F_GETFL);
  if (flags >= 0) ::fcntl(fd, F_SETFL, flags & ~O_NONBLOCK);
  return fd;
}

// Writes every byte, looping on short writes and interrupted calls.
bool WriteAll(int fd, const void* data, size_t size) {
  const char* p = static_cast<const char*>(data);
  while (size > 0) {
    ssize_t n = ::write(fd, p, size);
    if (n < 0) {
      if (errno == EINTR) continue;
      return false;
    }
    if (n == 0) {  // not expected from write(2); treat as a full device rather than loop
      errno = ENOSPC;
      return false;
    }
    p += n;
    size -= static_cast<size_t>(n);
  }
  return true;
}

// Reads up to `size` bytes, retrying interrupted calls. -1 on error.
ssize_t ReadSome(int fd, void* buf, size_t size) {
  for (;;) {
    ssize_t n = ::read(fd, buf, size);
    if (n >= 0 || errno != EINTR) return n;
  }
}

std::string DirName(const std::string& path) {
  size_t slash = path.find_last_of('/');
  if (slash == std::string::npos) return ".";
  if (slash == 0) return "/";
  return path.substr(0, slash);
}

// Writes a file under a temporary name beside its final path, then renames it into place.
// Until Commit succeeds the final path is untouched; an abandoned writer removes its temporary.
class AtomicWriter {
 public:
  AtomicWriter() = default;
  ~AtomicWriter() {
    if (!temp_.empty()) {
      fd_.Reset();
      ::unlink(temp_.c_str());
    }
  }
  AtomicWriter(const AtomicWriter&) = delete;
  AtomicWriter& operator=(const AtomicWriter&) = delete;

  // `mode`: the exact permission bits for the new file, or -1 to keep those of an existing file
  // at `path` (0666 less the umask when there is none).
  bool Open(const std::string& path, int mode) {
    path_ = path;
    struct stat st;
    if (mode < 0 && ::stat(path.c_str(), &st) == 0 && S_ISREG(st.st_mode))
      mode = static_cast<int>(st.st_mode & 07777);
    static std::atomic<unsigned> counter{0};
    for (int attempt = 0; attempt < 100; ++attempt) {
      // The name is unique per process (pid), per call (counter) and per moment (clock), and
      // O_EXCL makes sure nothing already there is reused or followed.
      struct timespec ts;
      clock_gettime(CLOCK_REALTIME, &ts);
      char suffix[96];
      std::snprintf(suffix, sizeof suffix, ".tmp.%ld.%u.%lx", static_cast<long>(::getpid()),
                    counter.fetch_add(1), static_cast<unsigned long>(ts.tv_nsec));
      std::string temp = path + suffix;
      int fd = ::open(temp.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC | O_NOCTTY,
                      mode >= 0 ? static_cast<mode_t>(mode) : 0666);
      if (fd >= 0) {
        fd_.Reset(fd);
        temp_ = temp;
        // The umask trims bits we were asked to keep; put them back.
        if (mode >= 0) ::fchmod(fd, static_cast<mode_t>(mode));
        return true;
      }
      if (errno != EEXIST) return false;
    }
    return false;
  }

  bool Write(const void* data, size_t size) { return WriteAll(fd_.get(), data, size); }

  // Flushes (when `sync`), closes and renames over the final path. On failure the temporary is
  // removed and errno says why.
  bool Commit(bool sync) {
    bool ok = !sync || ::fsync(fd_.get()) == 0;
    int err = errno;
    if (!fd_.Close() && ok) {
      ok = false;
      err = errno;
    }
    if (ok && ::rename(temp_.c_str(), path_.c_str()) != 0) {
      ok = false;
      err = errno;
    }
    if (!ok) {
      ::unlink(temp_.c_str());
      temp_.clear();
      errno = err;
      return false;
    }
    temp_.clear();
    if (sync) {
      // Make the rename itself durable; a directory that cannot be synced is not a failure.
      int dfd = ::open(DirName(path_).c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
      if (dfd >= 0) {
        ::fsync(dfd);
        ::close(dfd);
      }
    }
    return true;
  }

 private:
  std::string path_;
  std::string temp_;
  Fd fd_;
};

}  // namespace

int FileExists(const char* path) noexcept {
  if (path == nullptr || *path == '\0') return 0;
  struct stat st;
  return ::stat(path, &st) == 0 ? 1 : 0;
}

int FileSize(int64_t* out, const char* path) noexcept {
  if (out == nullptr || path == nullptr) return 0;
  struct stat st;
  if (::stat(path, &st) != 0 || !S_ISREG(st.st_mode)) return 0;
  *out = static_cast<int64_t>(st.st_size);
  return 1;
}

int FileCopy(const char* from, const char* to) noexcept {
  if (from == nullptr || to == nullptr) return 0;
  struct stat st;
  Fd in(OpenRegularForReading(from, &st));
  if (!in.ok()) {
    TraceMessage(kTag, 1, 0, -1, "Cannot open '%s' to copy it: %s", from, ErrnoText(errno).c_str());
    return 0;
  }
  AtomicWriter out;
  if (!out.Open(to, static_cast<int>(st.st_mode & 0777))) {
    TraceMessage(kTag, 2, 0, -1, "Cannot create a file beside '%s' to copy '%s' into: %s", to, from,
                 ErrnoText(errno).c_str());
    return 0;
  }
  std::unique_ptr<char[]> buf(new char[kCopyBlock]);
  for (;;) {
    ssize_t n = ReadSome(in.get(), buf.get(), kCopyBlock);
    if (n < 0) {
      TraceMessage(kTag, 3, 0, -1, "Failed reading '%s' while copying it: %s", from,
                   ErrnoText(errno).c_str());
      return 0;
    }
    if (n == 0) break;
    if (!out.Write(buf.get(), static_cast<size_t>(n))) {
      TraceMessage(kTag, 4, 0, -1, "Failed writing the copy of '%s' to '%s': %s", from, to,
                   ErrnoText(errno).c_str());
      return 0;
    }
  }
  if (!out.Commit(false)) {
    TraceMessage(kTag, 5, 0, -1, "Failed to put the copy of '%s' in place as '%s': %s", from, to,
                 ErrnoText(errno).c_str());
    return 0;
  }
  return 1;
}

int FileDelete(const char* path) noexcept {
  if (path == nullptr || *path == '\0') return 0;
  if (::unlink(path) != 0) {
    TraceMessage(kTag, 6, 0, -1, "Failed to delete file '%s': %s", path, ErrnoText(errno).c_str());
    return 0;
  }
  return 1;
}

int LoadTextFile(std::string* out, const char* path) noexcept {
  if (out == nullptr || path == nullptr) return 0;
  struct stat st;
  Fd fd(OpenRegularForReading(path, &st));
  if (!fd.ok()) {
    TraceMessage(kTag, 7, 0, 3, "Cannot open text file '%s': %s", path, ErrnoText(errno).c_str());
    return 0;
  }
  if (st.st_size > kLoadTextFileMaxSize) {
    TraceMessage(kTag, 8, 0, -1,
                 "Refusing to load '%s': %" PRId64 " bytes is over the limit of %" PRId64, path,
                 static_cast<int64_t>(st.st_size), kLoadTextFileMaxSize);
    return 0;
  }
  std::string text;
  text.reserve(static_cast<size_t>(st.st_size));
  char buf[16384];
  for (;;) {
    ssize_t n = ReadSome(fd.get(), buf, sizeof buf);
    if (n < 0) {
      TraceMessage(kTag, 9, 0, -1, "Failed reading text file '%s': %s", path,
                   ErrnoText(errno).c_str());
      return 0;
    }
    if (n == 0) break;
    // The file may grow while it is read; the limit holds for what is read, not just for fstat.
    if (static_cast<int64_t>(text.size()) + n > kLoadTextFileMaxSize) {
      TraceMessage(kTag, 10, 0, -1, "Refusing to load '%s': it grew over the limit while read",
                   path);
      return 0;
    }
    text.append(buf, static_cast<size_t>(n));
  }
  *out = std::move(text);
  return 1;
}

int FileWriteAtomic(const char* path, const void* data, size_t size) noexcept {
  if (path == nullptr || *path == '\0' || (data == nullptr && size > 0)) return 0;
  AtomicWriter w;
  if (!w.Open(path, -1)) {
    TraceMessage(kTag, 11, 0, -1, "Cannot create a temporary file beside '%s': %s", path,
                 ErrnoText(errno).c_str());
    return 0;
  }
  if (!w.Write(data, size)) {
    TraceMessage(kTag, 12, 0, -1, "Failed writing '%s': %s", path, ErrnoText(errno).c_str());
    return 0;
  }
  if (!w.Commit(true)) {
    TraceMessage(kTag, 13, 0, -1, "Failed to put the new '%s' in place: %s", path,
                 ErrnoText(errno).c_str());
    return 0;
  }
  return 1;
}

// ---- Output files ----

struct FileSysFile {
  Fd fd;
  std::string path;
};

void std::default_delete<FileSysFile>::operator()(FileSysFile* file) const noexcept { delete file; }

int FileSysFOpen(std::unique_ptr<FileSysFile>* out, const char* path, int mode) noexcept {
  if (out == nullptr || path == nullptr || *path == '\0') return 0;
  int flags = O_WRONLY | O_CREAT | O_CLOEXEC | O_NOCTTY | O_NONBLOCK;
  if (mode == kFileSysModeWrite) {
    flags |= O_TRUNC;
  } else if (mode == kFileSysModeAppend) {
    flags |= O_APPEND;
  } else {
    TraceMessage(kTag, 14, 0, -1, "Unknown mode %d opening output file '%s'", mode, path);
    return 0;
  }
  auto f = std::make_unique<FileSysFile>();
  f->path = path;
  // O_NONBLOCK only so that a FIFO without a reader fails instead of waiting; writes block.
  f->fd.Reset(::open(path, flags, 0666));
  if (!f->fd.ok()) {
    TraceMessage(kTag, 15, 0, -1, "Cannot open output file '%s': %s", path,
                 ErrnoText(errno).c_str());
    return 0;
  }
  int fl = ::fcntl(f->fd.get(), F_GETFL);
  if (fl >= 0) ::fcntl(f->fd.get(), F_SETFL, fl & ~O_NONBLOCK);
  *out = std::move(f);
  return 1;
}

int FileSysFWrite(FileSysFile* file, const void* data, size_t size) noexcept {
  if (file == nullptr || !file->fd.ok() || (data == nullptr && size > 0)) return 0;
  if (!WriteAll(file->fd.get(), data, size)) {
    TraceMessage(kTag, 16, 0, -1, "Failed writing %zu bytes to '%s': %s", size, file->path.c_str(),
                 ErrnoText(errno).c_str());
    return 0;
  }
  return 1;
}

int FileSysFPutString(FileSysFile* file, const char* text) noexcept {
  if (text == nullptr) return 0;
  return FileSysFWrite(file, text, std::strlen(text));
}

int FileSysFClose(std::unique_ptr<FileSysFile>* file) noexcept {
  if (file == nullptr || !*file) return 0;
  std::unique_ptr<FileSysFile> f = std::move(*file);
  if (!f->fd.Close()) {
    TraceMessage(kTag, 17, 0, -1, "Failed closing output file '%s': %s", f->path.c_str(),
                 ErrnoText(errno).c_str());
    return 0;
  }
  return 1;
}

// ---- Reading streams ----

struct FileStream {
  Fd fd;
  std::string path;
  std::unique_ptr<char[]> buf;
  size_t pos = 0;  // next unread byte in buf
  size_t end = 0;  // bytes held in buf
  bool eof = false;

  // Refills the buffer when it is empty. false on a read error.
  bool Fill() {
    if (pos < end || eof) return true;
    ssize_t n = ReadSome(fd.get(), buf.get(), kStreamBlock);
    if (n < 0) {
      TraceMessage(kTag, 18, 0, -1, "Failed reading '%s': %s", path.c_str(),
                   ErrnoText(errno).c_str());
      return false;
    }
    pos = 0;
    end = static_cast<size_t>(n);
    if (n == 0) eof = true;
    return true;
  }
};

void std::default_delete<FileStream>::operator()(FileStream* stream) const noexcept {
  delete stream;
}

int FileStreamOpen(std::unique_ptr<FileStream>* out, const char* path) noexcept {
  if (out == nullptr || path == nullptr) return 0;
  auto s = std::make_unique<FileStream>();
  struct stat st;
  s->fd.Reset(OpenRegularForReading(path, &st));
  if (!s->fd.ok()) {
    TraceMessage(kTag, 19, 0, 3, "Cannot open '%s' for reading: %s", path,
                 ErrnoText(errno).c_str());
    return 0;
  }
  s->path = path;
  s->buf.reset(new char[kStreamBlock]);
  *out = std::move(s);
  return 1;
}

int FileStreamRead(FileStream* stream, void* buf, size_t size, size_t* got) noexcept {
  if (stream == nullptr || got == nullptr || (buf == nullptr && size > 0)) return 0;
  *got = 0;
  char* dst = static_cast<char*>(buf);
  while (*got < size) {
    if (!stream->Fill()) return 0;
    if (stream->pos == stream->end) break;  // end of file
    size_t n = std::min(size - *got, stream->end - stream->pos);
    std::memcpy(dst + *got, stream->buf.get() + stream->pos, n);
    stream->pos += n;
    *got += n;
  }
  return 1;
}

int FileStreamReadLine(FileStream* stream, std::string* line) noexcept {
  if (stream == nullptr || line == nullptr) return 0;
  std::string text;
  bool any = false;
  for (;;) {
    if (!stream->Fill()) return 0;
    if (stream->pos == stream->end) break;  // end of file
    any = true;
    const char* start = stream->buf.get() + stream->pos;
    size_t avail = stream->end - stream->pos;
    const void* nl = std::memchr(start, '\n', avail);
    size_t take = nl != nullptr ? static_cast<size_t>(static_cast<const char*>(nl) - start) : avail;
    if (text.size() + take > kFileStreamMaxLineLength) {
      TraceMessage(kTag, 20, 0, -1, "Line in '%s' is longer than %zu bytes; giving up",
                   stream->path.c_str(), kFileStreamMaxLineLength);
      return 0;
    }
    text.append(start, take);
    stream->pos += take;
    if (nl != nullptr) {
      ++stream->pos;  // the line feed
      *line = std::move(text);
      return 1;
    }
  }
  if (!any) return 0;
  *line = std::move(text);
  return 1;
}

void FileStreamClose(std::unique_ptr<FileStream>* stream) noexcept {
  if (stream != nullptr) stream->reset();
}
