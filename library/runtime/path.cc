// Paths, directories, locks and directory scans.

#include "kr/path.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <thread>

#include "kr/context.h"
#include "kr/trace.h"

namespace kr_internal {
std::string ErrnoText(int err);
}  // namespace kr_internal

using kr_internal::ErrnoText;

namespace {

constexpr const char* kTag = "KRPATH";

// Appends the '/'-separated pieces of `component` to `pieces`, dropping empty ones.
void SplitInto(std::vector<std::string>* pieces, const char* component) {
  const char* p = component;
  while (*p != '\0') {
    while (*p == '/') ++p;
    const char* start = p;
    while (*p != '\0' && *p != '/') ++p;
    if (p > start) pieces->emplace_back(start, p);
  }
}

std::string Join(const std::vector<std::string>& pieces, bool absolute) {
  std::string out = absolute ? "/" : "";
  for (size_t i = 0; i < pieces.size(); ++i) {
    if (i > 0) out += '/';
    out += pieces[i];
  }
  return out;
}

bool IsSafeName(const char* s, size_t n) {
  if (n == 0 || n > kPathMaxNameLength) return false;
  if ((n == 1 && s[0] == '.') || (n == 2 && s[0] == '.' && s[1] == '.')) return false;
  for (size_t i = 0; i < n; ++i) {
    unsigned char c = static_cast<unsigned char>(s[i]);
    if (c == '/' || c == '\\' || c < 0x20 || c == 0x7f) return false;
  }
  return true;
}

// Reads the entries of the open directory `fd` (which stays open and is not moved), without "."
// and "..", each typed by the entry itself (links are not followed), sorted by name.
bool ReadEntries(int fd, std::vector<DirEntry>* out) {
  int dup_fd = ::fcntl(fd, F_DUPFD_CLOEXEC, 0);
  if (dup_fd < 0) return false;
  std::unique_ptr<DIR, int (*)(DIR*)> d(::fdopendir(dup_fd), &::closedir);
  if (!d) {
    ::close(dup_fd);
    return false;
  }
  ::rewinddir(d.get());  // the duplicate shares its position with `fd`; start from the top
  std::vector<DirEntry> entries;
  for (;;) {
    errno = 0;
    struct dirent* e = ::readdir(d.get());
    if (e == nullptr) {
      if (errno != 0) return false;
      break;
    }
    if (std::strcmp(e->d_name, ".") == 0 || std::strcmp(e->d_name, "..") == 0) continue;
    DirEntry entry;
    entry.name = e->d_name;
    unsigned char type = e->d_type;
    if (type == DT_UNKNOWN) {
      struct stat st;
      if (::fstatat(fd, e->d_name, &st, AT_SYMLINK_NOFOLLOW) == 0) {
        type = S_ISDIR(st.st_mode) ? DT_DIR : S_ISREG(st.st_mode) ? DT_REG : DT_LNK;
      }
    }
    entry.is_dir = type == DT_DIR;
    entry.is_file = type == DT_REG;
    entries.push_back(std::move(entry));
  }
  std::sort(entries.begin(), entries.end(),
            [](const DirEntry& a, const DirEntry& b) { return a.name < b.name; });
  *out = std::move(entries);
  return true;
}

// Closes a directory descriptor on every way out of a scope.
class ScopedFd {
 public:
  explicit ScopedFd(int fd) : fd_(fd) {}
  ~ScopedFd() {
    if (fd_ >= 0) ::close(fd_);
  }
  ScopedFd(const ScopedFd&) = delete;
  ScopedFd& operator=(const ScopedFd&) = delete;
  int get() const { return fd_; }
  bool ok() const { return fd_ >= 0; }

 private:
  int fd_;
};

int OpenDirectory(const char* path) {
  return ::open(path, O_RDONLY | O_DIRECTORY | O_CLOEXEC | O_NOCTTY);
}

// Opens the subdirectory `name` of `parent_fd` without following a link put in its place.
int OpenSubdirectory(int parent_fd, const char* name) {
  return ::openat(parent_fd, name, O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC | O_NOCTTY);
}

struct RemoveState {
  std::string failed_path;
  int err = 0;
};

// Removes `name` under `parent_fd` and everything in it; `shown` is its path for traces.
bool RemoveTreeAt(int parent_fd, const char* name, const std::string& shown, int depth,
                  RemoveState* st) {
  auto fail = [&](const std::string& what) {
    st->failed_path = what;
    st->err = errno;
    return false;
  };
  if (depth > kDirScanMaxDepth) {
    errno = ELOOP;
    return fail(shown);
  }
  bool ok;
  {
    ScopedFd fd(OpenSubdirectory(parent_fd, name));
    if (!fd.ok()) return fail(shown);
    std::vector<DirEntry> entries;
    ok = ReadEntries(fd.get(), &entries);
    if (!ok) fail(shown);
    for (size_t i = 0; ok && i < entries.size(); ++i) {
      const DirEntry& e = entries[i];
      std::string child = shown + "/" + e.name;
      if (e.is_dir) {
        ok = RemoveTreeAt(fd.get(), e.name.c_str(), child, depth + 1, st);
      } else if (::unlinkat(fd.get(), e.name.c_str(), 0) != 0) {
        ok = fail(child);
      }
    }
  }
  if (ok && ::unlinkat(parent_fd, name, AT_REMOVEDIR) != 0) ok = fail(shown);
  return ok;
}

using RecursiveCallback = int (*)(const char*, const DirEntry&, void*);

// Visits the directory open as `fd` (relative path `rel`) and below. false when a callback
// returned 0 or a directory could not be read.
bool WalkTree(int fd, const std::string& top, const std::string& rel, int depth,
              RecursiveCallback cb, void* cookie) {
  std::vector<DirEntry> entries;
  std::string here = rel.empty() ? top : top + "/" + rel;
  if (!ReadEntries(fd, &entries)) {
    TraceMessage(kTag, 1, 0, -1, "Failed to read directory '%s': %s", here.c_str(),
                 ErrnoText(errno).c_str());
    return false;
  }
  for (const DirEntry& e : entries) {
    if (cb(rel.c_str(), e, cookie) == 0) return false;
    if (!e.is_dir) continue;
    std::string sub_rel = rel.empty() ? e.name : rel + "/" + e.name;
    if (depth >= kDirScanMaxDepth) {
      TraceMessage(kTag, 2, 0, -1, "Directory tree '%s' is deeper than %d levels; not scanned",
                   top.c_str(), kDirScanMaxDepth);
      return false;
    }
    ScopedFd sub(OpenSubdirectory(fd, e.name.c_str()));
    if (!sub.ok()) {
      TraceMessage(kTag, 3, 0, -1, "Cannot open directory '%s/%s': %s", top.c_str(),
                   sub_rel.c_str(), ErrnoText(errno).c_str());
      return false;
    }
    if (!WalkTree(sub.get(), top, sub_rel, depth + 1, cb, cookie)) return false;
  }
  return true;
}

}  // namespace

// ---- Building and taking paths apart ----

int PathBuildVAList(std::string* out, const char* first, va_list components) noexcept {
  if (out == nullptr || first == nullptr) return 0;
  std::vector<std::string> pieces;
  SplitInto(&pieces, first);
  for (const char* c = va_arg(components, const char*); c != nullptr;
       c = va_arg(components, const char*)) {
    SplitInto(&pieces, c);
  }
  std::string path = Join(pieces, first[0] == '/');
  if (path.empty()) return 0;
  *out = std::move(path);
  return 1;
}

int PathBuild(std::string* out, const char* first, ...) noexcept {
  va_list args;
  va_start(args, first);
  int r = PathBuildVAList(out, first, args);
  va_end(args);
  return r;
}

int PathHomeBuild(std::string* out, const char* first, ...) noexcept {
  if (out == nullptr || first == nullptr) return 0;
  std::string built;
  va_list args;
  va_start(args, first);
  int r = PathBuildVAList(&built, first, args);
  va_end(args);
  if (r == 0) return 0;
  // The components are relative to the home even when the first one starts with '/'.
  return PathBuild(out, ContextCurrent()->home.c_str(), built.c_str(), nullptr);
}

int PathLeaf(std::string* out, const char* path) noexcept {
  if (out == nullptr || path == nullptr) return 0;
  std::vector<std::string> pieces;
  SplitInto(&pieces, path);
  if (pieces.empty()) return 0;
  *out = std::move(pieces.back());
  return 1;
}

int PathToComponentList(std::vector<std::string>* out, const char* path) noexcept {
  if (out == nullptr || path == nullptr) return 0;
  std::vector<std::string> pieces;
  if (path[0] == '/') pieces.emplace_back("/");
  SplitInto(&pieces, path);
  *out = std::move(pieces);
  return 1;
}

// ---- The name check ----

bool PathIsSafeName(const char* name) noexcept {
  return name != nullptr && IsSafeName(name, std::strlen(name));
}

bool PathIsSafeRelative(const char* rel) noexcept {
  if (rel == nullptr || *rel == '\0') return false;
  const char* p = rel;
  for (;;) {
    const char* slash = std::strchr(p, '/');
    size_t n = slash != nullptr ? static_cast<size_t>(slash - p) : std::strlen(p);
    if (!IsSafeName(p, n)) return false;  // also refuses the empty first piece of "/abs"
    if (slash == nullptr) return true;
    p = slash + 1;
  }
}

int PathBuildUnderRoot(std::string* out, const char* root,
                       const std::vector<std::string>& components) noexcept {
  if (out == nullptr || root == nullptr || *root == '\0' || components.empty()) return 0;
  std::string path = root;
  bool missing = false;  // once one component is missing, none below it can exist
  for (size_t i = 0; i < components.size(); ++i) {
    const std::string& c = components[i];
    if (!IsSafeName(c.data(), c.size()) || c.find('\0') != std::string::npos) {
      TraceMessage(kTag, 30, 0, -1, "Refusing unsafe path component '%s' under '%s'", c.c_str(),
                   root);
      return 0;
    }
    path += '/';
    path += c;
    if (missing) continue;
    struct stat st;
    if (::lstat(path.c_str(), &st) != 0) {
      if (errno != ENOENT) return 0;
      missing = true;
      continue;
    }
    bool last = i + 1 == components.size();
    if (S_ISLNK(st.st_mode) || (!last && !S_ISDIR(st.st_mode))) {
      TraceMessage(kTag, 31, 0, -1, "Refusing path '%s': '%s' is a link or not a directory",
                   path.c_str(), c.c_str());
      return 0;
    }
  }
  *out = std::move(path);
  return 1;
}

// ---- Directories ----

int PathIsDirectory(const char* path) noexcept {
  if (path == nullptr || *path == '\0') return 0;
  struct stat st;
  return ::stat(path, &st) == 0 && S_ISDIR(st.st_mode) ? 1 : 0;
}

int PathCreateDirectory(const char* path) noexcept {
  if (path == nullptr || *path == '\0') return 0;
  if (PathIsDirectory(path)) return 1;
  std::string p = path;
  int err = 0;
  // Each prefix ending before a '/', then the whole path. Existing prefixes fail with EEXIST,
  // which is fine; the result is decided by what is there at the end.
  for (size_t i = 1; i <= p.size(); ++i) {
    if (i < p.size() && p[i] != '/') continue;
    if (p[i - 1] == '/') continue;
    std::string prefix = p.substr(0, i);
    if (::mkdir(prefix.c_str(), 0777) != 0 && errno != EEXIST) err = errno;
  }
  if (PathIsDirectory(path)) return 1;
  TraceMessage(kTag, 4, 0, -1, "Failed to create directory '%s': %s", path,
               ErrnoText(err != 0 ? err : ENOTDIR).c_str());
  return 0;
}

int PathRemoveDirectory(const char* path, bool recursive) noexcept {
  if (path == nullptr || *path == '\0') return 0;
  if (!recursive) {
    if (::rmdir(path) == 0) return 1;
    TraceMessage(kTag, 5, 0, -1, "Failed to remove directory '%s': %s", path,
                 ErrnoText(errno).c_str());
    return 0;
  }
  RemoveState st;
  if (RemoveTreeAt(AT_FDCWD, path, path, 1, &st)) return 1;
  TraceMessage(kTag, 6, 0, -1, "Failed to remove directory tree '%s' at '%s': %s", path,
               st.failed_path.c_str(), ErrnoText(st.err).c_str());
  return 0;
}

// ---- Locks ----

struct PathLockHandle {
  int fd = -1;
  std::string path;
  ~PathLockHandle() {
    if (fd >= 0) {
      ::flock(fd, LOCK_UN);
      ::close(fd);
    }
  }
};

void std::default_delete<PathLockHandle>::operator()(PathLockHandle* handle) const noexcept {
  delete handle;
}

int PathLock(std::unique_ptr<PathLockHandle>* out, const char* path, int wait_seconds) noexcept {
  if (out == nullptr || path == nullptr || *path == '\0') return 0;
  if (*out) {
    TraceMessage(kTag, 7, 0, -1, "Lock handle for '%s' already holds the lock of '%s'", path,
                 (*out)->path.c_str());
    return 0;
  }
  auto h = std::make_unique<PathLockHandle>();
  h->path = path;
  // A fresh descriptor (a new open file description) for every lock: flock locks belong to
  // the description, so this lock conflicts with every other, in this process or another.
  // O_NONBLOCK only keeps a FIFO from stalling the open.
  h->fd = ::open(path, O_RDONLY | O_CLOEXEC | O_NOCTTY | O_NONBLOCK);
  if (h->fd < 0) {
    TraceMessage(kTag, 8, 0, -1, "Cannot open '%s' to lock it: %s", path, ErrnoText(errno).c_str());
    return 0;
  }
  using Clock = std::chrono::steady_clock;
  const auto deadline = Clock::now() + std::chrono::seconds(std::max(wait_seconds, 0));
  auto pause = std::chrono::milliseconds(2);
  for (;;) {
    if (::flock(h->fd, LOCK_EX | LOCK_NB) == 0) break;
    if (errno == EINTR) continue;
    if (errno != EWOULDBLOCK) {
      TraceMessage(kTag, 9, 0, -1, "Cannot lock '%s': %s", path, ErrnoText(errno).c_str());
      return 0;
    }
    auto now = Clock::now();
    if (now >= deadline) {
      TraceMessage(kTag, 10, 0, -1, "Gave up waiting %d seconds for the lock of '%s'",
                   std::max(wait_seconds, 0), path);
      return 0;
    }
    auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - now);
    std::this_thread::sleep_for(std::max(std::chrono::milliseconds(1), std::min(pause, left)));
    pause = std::min(pause * 2, std::chrono::milliseconds(100));
  }
  *out = std::move(h);
  return 1;
}

int PathUnLock(std::unique_ptr<PathLockHandle>* handle) noexcept {
  if (handle == nullptr || !*handle) return 0;
  handle->reset();
  return 1;
}

// ---- Directory scans ----

int DirScan(std::vector<DirEntry>* out, const char* dir) noexcept {
  if (out == nullptr || dir == nullptr || *dir == '\0') return 0;
  ScopedFd fd(OpenDirectory(dir));
  if (!fd.ok()) {
    TraceMessage(kTag, 11, 0, -1, "Cannot open directory '%s': %s", dir, ErrnoText(errno).c_str());
    return 0;
  }
  bool ok = ReadEntries(fd.get(), out);
  int err = errno;
  if (!ok) {
    TraceMessage(kTag, 12, 0, -1, "Failed to read directory '%s': %s", dir, ErrnoText(err).c_str());
    return 0;
  }
  return 1;
}

int DirScanDirect(const char* dir, int (*cb)(const char* dir, const DirEntry& entry, void* cookie),
                  void* cookie) noexcept {
  if (cb == nullptr) return 0;
  std::vector<DirEntry> entries;
  if (!DirScan(&entries, dir)) return 0;
  for (const DirEntry& e : entries) {
    if (cb(dir, e, cookie) == 0) return 0;
  }
  return 1;
}

int DirScanDirectRecursive(const char* dir,
                           int (*cb)(const char* relative_dir, const DirEntry& entry, void* cookie),
                           void* cookie) noexcept {
  if (dir == nullptr || *dir == '\0' || cb == nullptr) return 0;
  ScopedFd fd(OpenDirectory(dir));
  if (!fd.ok()) {
    TraceMessage(kTag, 13, 0, -1, "Cannot open directory '%s': %s", dir, ErrnoText(errno).c_str());
    return 0;
  }
  return WalkTree(fd.get(), dir, "", 1, cb, cookie) ? 1 : 0;
}
