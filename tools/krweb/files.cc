#include "files.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>
#include <zip.h>

#include <cerrno>
#include <cstdio>
#include <memory>

#include "kr/path.h"
#include "runner.h"

namespace krweb {
namespace {

std::string ContentType(const std::string& name) {
  auto ends = [&](const char* suffix) {
    const std::string s = suffix;
    return name.size() >= s.size() && name.compare(name.size() - s.size(), s.size(), s) == 0;
  };
  if (ends(".html") || ends(".htm")) return "text/html; charset=utf-8";
  if (ends(".txt") || ends(".csv") || ends(".jsonl")) return "text/plain; charset=utf-8";
  if (ends(".png")) return "image/png";
  if (ends(".gif")) return "image/gif";
  if (ends(".jpg") || ends(".jpeg")) return "image/jpeg";
  if (ends(".css")) return "text/css";
  return "application/octet-stream";
}

// Serves an open file descriptor's contents (closed when the response is done).
void ServeFd(int fd, size_t size, const std::string& type, httplib::Response& res) {
  auto shared = std::make_shared<int>(fd);
  res.set_content_provider(
      size, type,
      [shared](size_t offset, size_t length, httplib::DataSink& sink) {
        char buf[65536];
        const size_t want = length < sizeof buf ? length : sizeof buf;
        const ssize_t n = pread(*shared, buf, want, static_cast<off_t>(offset));
        if (n <= 0) return false;
        return sink.write(buf, static_cast<size_t>(n));
      },
      [shared](bool) { close(*shared); });
}

struct ZipCloser {
  void operator()(zip_t* z) const { zip_discard(z); }
};

}  // namespace

bool OutputDirPath(const std::string& output_root, const std::string& dir, std::string* path) {
  struct stat st = {};
  return PathBuildUnderRoot(path, output_root.c_str(), {dir}) == 1 &&
         lstat(path->c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

std::vector<std::string> OutputFiles(const std::string& path, std::string* body) {
  std::vector<std::string> files;
  std::vector<DirEntry> entries;
  body->clear();
  if (!DirScan(&entries, path.c_str())) return files;
  for (const DirEntry& e : entries) {
    if (!e.is_file) continue;
    files.push_back(e.name);
    if (e.name == "output.html" || (body->empty() && e.name.rfind("output.", 0) == 0)) {
      *body = e.name;
    }
  }
  return files;
}

std::string ReadStart(const std::string& path, size_t limit, bool* truncated) {
  std::string text;
  *truncated = false;
  std::FILE* f = std::fopen(path.c_str(), "rb");
  if (f == nullptr) return text;
  text.resize(limit + 1);
  text.resize(std::fread(text.data(), 1, limit + 1, f));
  std::fclose(f);
  if (text.size() > limit) {
    text.resize(limit);
    *truncated = true;
  }
  return text;
}

void ServeOutputFile(const std::string& output_root, const std::string& dir,
                     const std::string& file, httplib::Response& res) {
  std::string path;
  struct stat st = {};
  int fd = -1;
  if (PathBuildUnderRoot(&path, output_root.c_str(), {dir, file}) != 1 ||
      (fd = open(path.c_str(), O_RDONLY | O_NOFOLLOW | O_CLOEXEC)) < 0 || fstat(fd, &st) != 0 ||
      !S_ISREG(st.st_mode)) {
    if (fd >= 0) close(fd);
    res.status = 404;
    res.set_content("No such file.\n", "text/plain; charset=utf-8");
    return;
  }
  res.set_header("Content-Security-Policy", kReportPolicy);
  res.set_header("X-Content-Type-Options", "nosniff");
  ServeFd(fd, static_cast<size_t>(st.st_size), ContentType(file), res);
}

void ServeZip(const std::string& output_root, const std::string& dir, httplib::Response& res) {
  std::string path, body;
  if (!OutputDirPath(output_root, dir, &path)) {
    res.status = 404;
    res.set_content("No such output directory.\n", "text/plain; charset=utf-8");
    return;
  }
  char temporary[] = "/tmp/krweb-zip-XXXXXX";
  const int tmp_fd = mkstemp(temporary);
  if (tmp_fd >= 0) close(tmp_fd);
  int error = 0;
  std::unique_ptr<zip_t, ZipCloser> z(
      tmp_fd >= 0 ? zip_open(temporary, ZIP_TRUNCATE, &error) : nullptr);
  bool ok = z != nullptr;
  for (const std::string& name : OutputFiles(path, &body)) {
    if (!ok) break;
    zip_source_t* source = zip_source_file(z.get(), (path + "/" + name).c_str(), 0, 0);
    ok = source != nullptr &&
         zip_file_add(z.get(), (dir + "/" + name).c_str(), source, ZIP_FL_ENC_UTF_8) >= 0;
    if (!ok && source != nullptr) zip_source_free(source);
  }
  ok = ok && zip_close(z.get()) == 0;
  if (ok) z.release();
  const int fd = ok ? open(temporary, O_RDONLY | O_CLOEXEC) : -1;
  if (tmp_fd >= 0) unlink(temporary);
  struct stat st = {};
  if (fd < 0 || fstat(fd, &st) != 0) {
    if (fd >= 0) close(fd);
    res.status = 500;
    res.set_content("Cannot make the zip.\n", "text/plain; charset=utf-8");
    return;
  }
  res.set_header("Content-Disposition", "attachment; filename=\"" + dir + ".zip\"");
  ServeFd(fd, static_cast<size_t>(st.st_size), "application/zip", res);
}

namespace {

// A running download: the child and its pipes, ended (and the child reaped) when the response
// is done, also when the browser went away early (then the child is interrupted, so a report
// that still fetches tells its provider to stop).
struct ChildStream {
  pid_t pid = -1;
  int out = -1, err = -1;
  std::string first;
  std::function<void()> finished;
  ~ChildStream() {
    if (out >= 0) close(out);
    if (err >= 0) close(err);
    if (pid > 0) {
      int status = 0;
      if (waitpid(pid, &status, WNOHANG) == 0) {
        kill(pid, SIGINT);
        waitpid(pid, &status, 0);
      }
    }
    if (finished) finished();
  }
};

// Reads the child's standard output until some arrives or it ends; its standard error is
// collected meanwhile. False at the end of the output.
bool ReadSome(ChildStream* c, std::string* data, std::string* err) {
  for (;;) {
    pollfd fds[2] = {{c->out, POLLIN, 0}, {c->err, POLLIN, 0}};
    if (poll(fds, c->err >= 0 ? 2 : 1, -1) < 0) {
      if (errno == EINTR) continue;
      return false;
    }
    char buf[65536];
    if (c->err >= 0 && (fds[1].revents & (POLLIN | POLLHUP | POLLERR)) != 0) {
      const ssize_t n = read(c->err, buf, sizeof buf);
      if (n > 0 && err->size() < 65536) err->append(buf, static_cast<size_t>(n));
      if (n <= 0) {
        close(c->err);
        c->err = -1;
      }
    }
    if ((fds[0].revents & (POLLIN | POLLHUP | POLLERR)) != 0) {
      const ssize_t n = read(c->out, buf, sizeof buf);
      if (n <= 0) return false;
      data->assign(buf, static_cast<size_t>(n));
      return true;
    }
  }
}

}  // namespace

bool StreamChild(const std::vector<std::string>& argv, const std::string& filename,
                 const std::string& content_type, httplib::Response& res, std::string* error,
                 std::function<void()> finished) {
  auto c = std::make_shared<ChildStream>();
  c->finished = std::move(finished);
  c->pid = Spawn(argv, &c->out, &c->err);
  std::string err;
  if (c->pid < 0 || !ReadSome(c.get(), &c->first, &err)) {
    int status = 0;
    if (c->pid > 0) waitpid(c->pid, &status, 0);
    const bool ok = c->pid > 0 && WIFEXITED(status) && WEXITSTATUS(status) == 0;
    c->pid = -1;
    if (!ok) {
      while (!err.empty() && err.back() == '\n') err.pop_back();
      if (err.rfind("krreport: ", 0) == 0) err.erase(0, 10);
      *error = err.empty() ? "The download failed." : err;
      return false;
    }
  }
  res.set_header("Content-Disposition", "attachment; filename=\"" + filename + "\"");
  res.set_chunked_content_provider(content_type, [c](size_t, httplib::DataSink& sink) {
    if (!c->first.empty()) {
      std::string chunk;
      chunk.swap(c->first);
      return sink.write(chunk.data(), chunk.size());
    }
    std::string data, ignored;
    if (c->out >= 0 && ReadSome(c.get(), &data, &ignored)) {
      return sink.write(data.data(), data.size());
    }
    sink.done();
    return true;
  });
  return true;
}

}  // namespace krweb
