// Files: existence, size, copy, delete, whole-file reads and atomic writes, output files and
// reading streams.
//
// Every write reports its own failure. Output files (FileSys*) are unbuffered: each call goes
// straight to write(2), looping on short writes and interrupted calls, so a full disk is reported
// by the write that hits it and a caller that checks its writes but not its close still sees it.
// Replacing a file whole (FileWriteAtomic, FileCopy) goes through a temporary file in the same
// directory and a rename, so a reader sees either the old file or the new one, never half of one.
//
// Opening for reading never blocks on a FIFO or a device that has no data: only regular files
// are read (LoadTextFile, FileStreamOpen, FileCopy's source).
//
// Failures are traced under the module tag KRFILE with the path and the system's reason.
//
// Thread safety: every function may be called from any thread. A FileSysFile or FileStream
// belongs to one thread at a time.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>

// The largest file LoadTextFile reads: 256 MiB. Larger files are refused rather than read, so
// a stray huge file cannot exhaust memory.
inline constexpr int64_t kLoadTextFileMaxSize = int64_t{256} << 20;

// 1 when something exists at `path` (a file, a directory or anything else; a symbolic link
// counts by what it points to, so a dangling link does not exist).
int FileExists(const char* path) noexcept;

// The size in bytes of the regular file at `path` (a link is followed). 0 when there is none.
int FileSize(int64_t* out, const char* path) noexcept;

// Copies the regular file `from` to `to`, replacing `to` whole: the copy is written to a
// temporary name beside `to` and renamed over it, so a failed copy leaves `to` as it was.
// The copy gets the permission bits of `from`. Every read and write is checked.
int FileCopy(const char* from, const char* to) noexcept;

// Removes the file (or symbolic link) at `path`. Directories are refused (PathRemoveDirectory).
int FileDelete(const char* path) noexcept;

// Reads the whole regular file at `path` into *out. Files over kLoadTextFileMaxSize are refused.
// The bytes are returned as they are (no newline conversion, no encoding check).
int LoadTextFile(std::string* out, const char* path) noexcept;

// Replaces the file at `path` with `size` bytes of `data`: written to a temporary name in the
// same directory, flushed to disk (fsync), then renamed over `path`. A crash or a failed write
// never leaves half a file under `path`. An existing file's permission bits are kept; a new
// file gets 0666 less the process's umask.
int FileWriteAtomic(const char* path, const void* data, size_t size) noexcept;

// ---- Output files ----

// Modes of FileSysFOpen.
inline constexpr int kFileSysModeWrite = 258;   // create or truncate, then write
inline constexpr int kFileSysModeAppend = 259;  // create if missing, append every write

struct FileSysFile;

// The handle types are opaque; their deleters live in the runtime, so callers can hold them in
// std::unique_ptr without seeing inside.
template <>
struct std::default_delete<FileSysFile> {
  void operator()(FileSysFile* file) const noexcept;
};

// Opens `path` for output in `mode` (kFileSysModeWrite or kFileSysModeAppend; anything else
// fails). A new file gets 0666 less the umask. A FIFO without a reader fails rather than waits.
int FileSysFOpen(std::unique_ptr<FileSysFile>* out, const char* path, int mode) noexcept;

// Writes the text (without its terminating null) / `size` bytes. 1 only when every byte was
// written. After a failed write the file stays open; what was written before stays written.
int FileSysFPutString(FileSysFile* file, const char* text) noexcept;
int FileSysFWrite(FileSysFile* file, const void* data, size_t size) noexcept;

// Closes the file and clears *file. 0 when the close reports an error (or there is no file).
// Dropping the handle without this call also closes the file, without reporting.
int FileSysFClose(std::unique_ptr<FileSysFile>* file) noexcept;

// ---- Reading streams ----

// A buffered reader over a regular file, by blocks or by lines.
struct FileStream;
template <>
struct std::default_delete<FileStream> {
  void operator()(FileStream* stream) const noexcept;
};

int FileStreamOpen(std::unique_ptr<FileStream>* out, const char* path) noexcept;

// Reads up to `size` bytes into `buf`. 1 with *got the count (0 at end of file); 0 on a read error.
int FileStreamRead(FileStream* stream, void* buf, size_t size, size_t* got) noexcept;

// Reads the next line into *line without its line feed (a carriage return before it is kept).
// The last line counts even without a line feed. 1 with a line; 0 at end of file, on a read
// error, or for a line over kFileStreamMaxLineLength (the last two are traced).
inline constexpr size_t kFileStreamMaxLineLength = size_t{16} << 20;
int FileStreamReadLine(FileStream* stream, std::string* line) noexcept;

// Closes the stream and clears *stream. Dropping the handle does the same.
void FileStreamClose(std::unique_ptr<FileStream>* stream) noexcept;
