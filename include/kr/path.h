// Paths, directories, locks and directory scans.
//
// Building paths: PathBuild joins components with single '/' separators; PathHomeBuild builds
// under the installation home of the calling context (KR_HOME, see context.h).
//
// THE NAME CHECK. Every name that came from a user or a peer (a report name, a header name, a
// file name in a transfer request, a configuration file named in a template) goes through
// PathIsSafeName, or PathIsSafeRelative when it may hold several components, before it is put
// into a path. PathBuild itself checks nothing: it also joins trusted, absolute components.
//
// Locks: PathLock takes an exclusive lock on a file or directory that excludes other processes
// and other threads of this process alike (flock(2) on a descriptor opened for the lock alone,
// so two locks in one process are two open file descriptions and conflict). The lock is advisory:
// it excludes only others who also take it.
//
// Scans never follow symbolic links: a link is reported as an entry that is neither a directory
// nor a file, and recursive scans and removals never step through one, so nothing outside the
// tree is visited or removed.
//
// Failures are traced under the module tag KRPATH.
//
// Thread safety: every function may be called from any thread. PathHomeBuild reads the calling
// thread's context. A PathLockHandle belongs to one thread at a time.
#pragma once

#include <cstdarg>
#include <memory>
#include <string>
#include <vector>

// ---- Building and taking paths apart ----

// Joins the components up to the terminating null with one '/' between each two: a component's
// own leading and trailing separators (and runs of them inside it) are folded, empty components
// are skipped, and a leading '/' on the first component keeps the result absolute. 0 when
// `first` is null or the result is empty.
//   PathBuild(&p, "/opt/kr/", "/reports", "jobs//x", nullptr)  gives  "/opt/kr/reports/jobs/x"
int PathBuild(std::string* out, const char* first, ...) noexcept;
int PathBuildVAList(std::string* out, const char* first, va_list components) noexcept;

// PathBuild under the calling context's installation home.
int PathHomeBuild(std::string* out, const char* first, ...) noexcept;

// The last component of `path`, trailing separators ignored ("/a/b/" gives "b"). 0 when there
// is none ("", "/").
int PathLeaf(std::string* out, const char* path) noexcept;

// The components of `path`, empty ones skipped. An absolute path's list starts with "/", so
// joining the list with PathBuild gives the path back.
int PathToComponentList(std::vector<std::string>* out, const char* path) noexcept;

// ---- The name check ----

// The longest single name the check accepts, in bytes (the file systems' own limit).
inline constexpr size_t kPathMaxNameLength = 255;

// True when `name` is safe as one path component: not null or empty, not "." or "..", no '/' or
// '\\', no control character (below 0x20, or 0x7f), at most kPathMaxNameLength bytes.
bool PathIsSafeName(const char* name) noexcept;

// True when `rel` is a relative path whose every component is a safe name: not absolute, no
// empty component (so no "//" and no trailing '/'), no "." or "..".
bool PathIsSafeRelative(const char* rel) noexcept;

// The path of `components` (each one name) under the trusted directory `root`, for names that
// came from a peer: every component must pass PathIsSafeName, and no component that already
// exists under `root` may be a symbolic link (or, except the last, anything but a directory), so
// the result cannot lead out of `root` however the tree was prepared. Components that do not
// exist yet are fine (the caller is about to make them). 0, traced, when a check fails or
// `components` is empty.
int PathBuildUnderRoot(std::string* out, const char* root,
                       const std::vector<std::string>& components) noexcept;

// ---- Directories ----

// Creates the directory and any missing parents (mode 0777 less the umask). 1 when a directory
// is there afterwards, whoever made it.
int PathCreateDirectory(const char* path) noexcept;

// Removes the directory. With `recursive`, its contents first: symbolic links inside are removed
// as links, never followed. A `path` that is itself a symbolic link is refused.
int PathRemoveDirectory(const char* path, bool recursive) noexcept;

// 1 when `path` is a directory (a link to a directory counts).
int PathIsDirectory(const char* path) noexcept;

// ---- Locks ----

struct PathLockHandle;
template <>
struct std::default_delete<PathLockHandle> {
  void operator()(PathLockHandle* handle) const noexcept;  // releases the lock
};

// Locks the existing file or directory at `path`, waiting up to `wait_seconds` (0 or less: one
// attempt) for another holder to let go. Waiting polls with short sleeps. *out must be empty:
// one handle holds one lock. 0 when the path cannot be opened or the wait runs out.
int PathLock(std::unique_ptr<PathLockHandle>* out, const char* path, int wait_seconds) noexcept;

// Releases the lock and clears *handle. Dropping the handle also releases it.
int PathUnLock(std::unique_ptr<PathLockHandle>* handle) noexcept;

// ---- Directory scans ----

// One directory entry. A symbolic link, device, FIFO or socket is neither a directory nor a file.
struct DirEntry {
  std::string name;
  bool is_dir = false;
  bool is_file = false;
};

// The entries of `dir`, one level, sorted by name (byte order), without "." and "..".
int DirScan(std::vector<DirEntry>* out, const char* dir) noexcept;

// Calls `cb` for each entry of `dir`, in name order. 1 when every entry was visited; 0 when the
// directory cannot be read or a callback returned 0 (the scan stops there).
int DirScanDirect(const char* dir, int (*cb)(const char* dir, const DirEntry& entry, void* cookie),
                  void* cookie) noexcept;

// Visits the whole tree under `dir`, depth first, in name order: each entry is passed with its
// directory relative to `dir` ("" at the top), and a directory's entry comes before its
// contents. Symbolic links are passed but never followed. Trees deeper than
// kDirScanMaxDepth levels are refused. 1 when everything was visited; 0 as DirScanDirect.
inline constexpr int kDirScanMaxDepth = 128;
int DirScanDirectRecursive(const char* dir,
                           int (*cb)(const char* relative_dir, const DirEntry& entry, void* cookie),
                           void* cookie) noexcept;
