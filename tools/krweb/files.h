// Output directories as the web front end serves them: every name from a request passes the
// runtime's path check (PathBuildUnderRoot: one plain name per component, no symbolic link on the
// way), produced files go out with a policy that forbids scripts, whole directories go out as a
// zip (libzip), and downloads stream a krreport child's standard output.
#pragma once

#include <httplib.h>

#include <functional>
#include <string>
#include <vector>

namespace krweb {

// The path of output directory `dir` under `output_root` (reports/output); false when the name
// fails the check or it is no directory.
bool OutputDirPath(const std::string& output_root, const std::string& dir, std::string* path);
// The regular files of an output directory (links, devices and subdirectories left out), and
// the body file among them ("" when there is none).
std::vector<std::string> OutputFiles(const std::string& path, std::string* body);
// Up to `limit` bytes of a file; *truncated when it is longer.
std::string ReadStart(const std::string& path, size_t limit, bool* truncated);

// Serves one file of an output directory; 404 when a name fails the check or it is no regular
// file.
void ServeOutputFile(const std::string& output_root, const std::string& dir,
                     const std::string& file, httplib::Response& res);
// Serves an output directory's regular files as one zip.
void ServeZip(const std::string& output_root, const std::string& dir, httplib::Response& res);

// Runs `argv` and streams its standard output as an attachment named `filename`. When the child
// fails before writing anything, false and *error holds its message (nothing is sent then).
// `finished` is called once the child is gone, whichever way it went.
bool StreamChild(const std::vector<std::string>& argv, const std::string& filename,
                 const std::string& content_type, httplib::Response& res, std::string* error,
                 std::function<void()> finished);

// The policy for produced files: no scripts, no plugins, no forms, an origin of their own.
inline constexpr const char kReportPolicy[] =
    "sandbox; default-src 'none'; img-src 'self' data:; style-src 'unsafe-inline'; "
    "frame-ancestors 'self'";

}  // namespace krweb
