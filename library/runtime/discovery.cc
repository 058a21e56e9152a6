// Finding processes: the endpoint files processes publish under <home>/run, and the machines file
// <home>/config/machines that places machines and fixed ports on other hosts (doc/messaging.md).
//
// Everything here reads files afresh on each call: a process that starts or ends, or an edited
// machines file, is seen at once. Nothing is cached between calls.

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <sys/file.h>
#include <sys/socket.h>
#include <strings.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <sstream>

#include "kr/file.h"
#include "kr/path.h"
#include "kr/trace.h"
#include "msg_internal.h"

namespace kr_internal {
namespace {

constexpr const char* kTag = "KRMSG";
// An endpoint file is one short line; a machines file is small. Anything beyond is not read.
constexpr size_t kMaxEndpointFile = 4096;
constexpr size_t kMaxMachinesFile = size_t{1} << 20;

std::string Lower(const std::string& s) {
  std::string r = s;
  for (char& c : r)
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
  return r;
}

// Names in file names: letters, digits, '.', '_' and '-' stay; every other byte is %XX.
std::string Encode(const std::string& s) {
  static const char* hex = "0123456789ABCDEF";
  std::string r;
  for (char ch : s) {
    const auto c = static_cast<unsigned char>(ch);
    if ((c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '.' ||
        c == '_' || c == '-') {
      r += static_cast<char>(c);
    } else {
      r += '%';
      r += hex[c >> 4];
      r += hex[c & 15];
    }
  }
  return r;
}

// Reads at most `limit` bytes of a regular file. A missing file is the common case (a process
// that is not running here), so it is told apart before opening and is not traced.
bool ReadSmallFile(const std::string& path, std::string* text, size_t limit) {
  if (!FileExists(path.c_str())) return false;
  std::unique_ptr<FileStream> f;
  if (!FileStreamOpen(&f, path.c_str())) return false;
  text->assign(limit, '\0');
  size_t got = 0;
  if (!FileStreamRead(f.get(), text->data(), limit, &got)) return false;
  text->resize(got);
  return true;
}

bool IsLoopback(const std::string& host) {
  return host.rfind("127.", 0) == 0 || host == "::1" || host == "localhost";
}

// Whether some process of `machine` published its endpoint under the home's run directory.
bool RunDirHasMachine(const std::string& home, const std::string& machine) {
  const std::string dir = DiscoveryRunDir(home);
  std::vector<DirEntry> entries;
  // No run directory: nobody has published yet, which is not worth a trace.
  if (!PathIsDirectory(dir.c_str()) || !DirScan(&entries, dir.c_str())) return false;
  const std::string prefix = Encode(Lower(machine)) + "@";
  const std::string suffix = ".endpoint";
  for (const DirEntry& e : entries) {
    if (e.name.size() > prefix.size() + suffix.size() && e.name.rfind(prefix, 0) == 0 &&
        e.name.compare(e.name.size() - suffix.size(), suffix.size(), suffix) == 0)
      return true;
  }
  return false;
}

// Whether a machines-file host names this host: a loopback address, "localhost", or this
// host's own name. (A name is not looked up here: that could block.)
bool HostIsThisHost(const std::string& host) {
  if (IsLoopback(host)) return true;
  char name[256] = {};
  return gethostname(name, sizeof name - 1) == 0 && strcasecmp(name, host.c_str()) == 0;
}

}  // namespace

std::string DiscoveryRunDir(const std::string& home) { return home + "/run"; }

std::string EndpointFilePath(const std::string& home, const std::string& machine,
                             const std::string& process) {
  return DiscoveryRunDir(home) + "/" + Encode(Lower(machine)) + "@" + Encode(process) + ".endpoint";
}

bool ParseEndpoint(const std::string& text, Endpoint* endpoint, int64_t* pid) noexcept {
  std::istringstream in(text);
  std::string host;
  unsigned long port = 0;
  unsigned long long instance = 0;
  long long p = 0;
  if (!(in >> host >> port >> instance >> p)) return false;
  if (port == 0 || port > 65535 || instance == 0) return false;
  endpoint->host = host;
  endpoint->port = static_cast<uint16_t>(port);
  endpoint->instance = instance;
  *pid = p;
  return true;
}

std::vector<MachineLine> ReadMachinesFile(const std::string& home) noexcept {
  std::vector<MachineLine> out;
  std::string text;
  if (!ReadSmallFile(home + "/config/machines", &text, kMaxMachinesFile)) return out;
  std::istringstream in(text);
  std::string line;
  while (std::getline(in, line)) {
    size_t hash = line.find('#');
    if (hash != std::string::npos) line.resize(hash);
    std::istringstream l(line);
    MachineLine m;
    unsigned long port = 0;
    if (!(l >> m.machine >> m.host)) continue;
    if (l >> port) {
      if (port == 0 || port > 65535) continue;
      m.port = static_cast<uint16_t>(port);
      std::getline(l, m.process);
      size_t b = m.process.find_first_not_of(" \t");
      size_t e = m.process.find_last_not_of(" \t\r");
      m.process = b == std::string::npos ? "" : m.process.substr(b, e - b + 1);
      if (m.process.empty()) continue;
    }
    out.push_back(std::move(m));
  }
  return out;
}

bool ResolveProcess(const std::string& home, const PeerIdentity& want, Endpoint* endpoint,
                    PeerIdentity* expect) noexcept {
  *expect = want;
  std::string text;
  if (ReadSmallFile(EndpointFilePath(home, want.machine, want.process), &text, kMaxEndpointFile)) {
    Endpoint ep;
    int64_t pid = 0;
    bool live = ParseEndpoint(text, &ep, &pid);
    // A file left by a process that died: its pid no longer exists on this host.
    if (live && IsLoopback(ep.host) && pid > 0 && kill(static_cast<pid_t>(pid), 0) != 0 &&
        errno == ESRCH)
      live = false;
    if (live) {
      if (want.instance != 0 && want.instance != ep.instance) {
        TraceMessage(kTag, 2, 0, 3, "Address of '%s' on '%s' names an instance that is gone",
                     want.process.c_str(), want.machine.c_str());
        return false;
      }
      *endpoint = ep;
      expect->instance = ep.instance;
      expect->pid = pid;
      return true;
    }
  }
  for (const MachineLine& m : ReadMachinesFile(home)) {
    if (m.port == 0 || strcasecmp(m.machine.c_str(), want.machine.c_str()) != 0 ||
        m.process != want.process)
      continue;
    endpoint->host = m.host;
    endpoint->port = m.port;
    endpoint->instance = want.instance;
    return true;
  }
  return false;
}

bool MachineOnThisHost(const std::string& home, const std::string& machine) noexcept {
  if (RunDirHasMachine(home, machine)) return true;
  for (const MachineLine& m : ReadMachinesFile(home))
    if (strcasecmp(m.machine.c_str(), machine.c_str()) == 0 && HostIsThisHost(m.host)) return true;
  return false;
}

bool MsgMachineKnown(const std::string& home, const char* machine) noexcept {
  if (machine == nullptr) return false;
  for (const MachineLine& m : ReadMachinesFile(home))
    if (strcasecmp(m.machine.c_str(), machine) == 0) return true;
  std::string version;
  return RunDirHasMachine(home, machine) || MsgMachineVersion(machine, &version);
}

namespace {

// Whether something accepts TCP connections on host:port of this host, asked with a connect
// that gives up after half a second. Only numeric IPv4 loopback or wildcard hosts are tried (a
// published host is one of those); anything else counts as listening, so that a live process is
// never taken for a dead one.
bool SomethingListens(const std::string& host, uint16_t port) {
  sockaddr_in a = {};
  a.sin_family = AF_INET;
  a.sin_port = htons(port);
  const std::string target = host == "0.0.0.0" ? "127.0.0.1" : host;
  if (inet_pton(AF_INET, target.c_str(), &a.sin_addr) != 1) return true;
  const int fd = socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
  if (fd < 0) return true;
  bool listening = connect(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) == 0;
  if (!listening && errno == EINPROGRESS) {
    pollfd p = {fd, POLLOUT, 0};
    int err = 0;
    socklen_t len = sizeof err;
    listening = poll(&p, 1, 500) == 1 && getsockopt(fd, SOL_SOCKET, SO_ERROR, &err, &len) == 0 &&
                err == 0;
  }
  close(fd);
  return listening;
}

// Whether an endpoint file names a process that still runs here: its pid exists and something
// listens on its port. The second test catches a pid reused by an unrelated process, as after
// a reboot that left the run directory behind.
bool EndpointIsLive(const Endpoint& ep, int64_t pid) {
  if (pid <= 0) return false;
  if (kill(static_cast<pid_t>(pid), 0) != 0 && errno == ESRCH) return false;
  return SomethingListens(ep.host, ep.port);
}

// Holds an exclusive lock on the run directory while one process checks and replaces an
// endpoint, so that two processes starting under one name at once cannot both find the name
// free. (Locking the directory itself leaves no lock file behind.)
class PublishLock {
 public:
  explicit PublishLock(const std::string& dir)
      : fd_(open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC)) {
    if (fd_ >= 0 && flock(fd_, LOCK_EX) != 0) {
      close(fd_);
      fd_ = -1;
    }
  }
  ~PublishLock() {
    if (fd_ >= 0) close(fd_);  // closing releases the lock
  }
  PublishLock(const PublishLock&) = delete;
  PublishLock& operator=(const PublishLock&) = delete;
  bool held() const { return fd_ >= 0; }

 private:
  int fd_;
};

}  // namespace

bool EndpointPublish(const std::string& home, const PeerIdentity& self, const std::string& host,
                     uint16_t port, std::string* file, std::string* refusal) noexcept {
  file->clear();
  refusal->clear();
  const std::string dir = DiscoveryRunDir(home);
  if (mkdir(dir.c_str(), 0755) != 0 && errno != EEXIST) {
    *refusal = "cannot create '" + dir + "': " + std::strerror(errno);
    return false;
  }
  const std::string path = EndpointFilePath(home, self.machine, self.process);
  PublishLock lock(dir);
  if (!lock.held()) {
    *refusal = "cannot lock '" + dir + "': " + std::strerror(errno);
    return false;
  }
  std::string old;
  Endpoint ep;
  int64_t pid = 0;
  if (ReadSmallFile(path, &old, kMaxEndpointFile) && ParseEndpoint(old, &ep, &pid)) {
    if (EndpointIsLive(ep, pid)) {
      // One process per name: a second one must not take the name from a running one, nor
      // (on its way out) remove the running one's endpoint.
      *refusal = "process '" + self.process + "' on machine '" + self.machine +
                 "' is already running (pid " + std::to_string(pid) + ", port " +
                 std::to_string(ep.port) + "); stop it first, or give this one another name";
      return false;
    }
    TraceMessage(kTag, 30, 0, 2, "Replacing the endpoint of '%s' on '%s' left by pid %lld, gone",
                 self.process.c_str(), self.machine.c_str(), static_cast<long long>(pid));
  }
  // Written beside the file under a name of this instance and renamed over it, so a reader
  // sees a whole line or none.
  const std::string tmp = path + ".tmp" + std::to_string(self.instance);
  char text[128];
  int n = std::snprintf(text, sizeof text, "%s %u %llu %lld\n", host.c_str(), unsigned{port},
                        static_cast<unsigned long long>(self.instance),
                        static_cast<long long>(self.pid));
  if (n <= 0 || static_cast<size_t>(n) >= sizeof text) return false;
  int fd = open(tmp.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
  if (fd < 0) {
    *refusal = "cannot write '" + tmp + "': " + std::strerror(errno);
    return false;
  }
  bool ok = write(fd, text, static_cast<size_t>(n)) == n;
  ok = close(fd) == 0 && ok;
  if (!ok || rename(tmp.c_str(), path.c_str()) != 0) {
    *refusal = "cannot write '" + path + "': " + std::strerror(errno);
    unlink(tmp.c_str());
    return false;
  }
  *file = path;
  return true;
}

void EndpointUnpublish(const std::string& file, uint64_t instance) noexcept {
  if (file.empty()) return;
  std::string text;
  Endpoint ep;
  int64_t pid = 0;
  if (ReadSmallFile(file, &text, kMaxEndpointFile) && ParseEndpoint(text, &ep, &pid) &&
      ep.instance == instance)
    unlink(file.c_str());
}

void ListenAddressOf(const std::string& home, const PeerIdentity& self, std::string* host,
                     uint16_t* port) noexcept {
  *host = "127.0.0.1";
  *port = 0;
  for (const MachineLine& m : ReadMachinesFile(home)) {
    if (strcasecmp(m.machine.c_str(), self.machine.c_str()) != 0) continue;
    if (m.port != 0 && m.process == self.process) {
      *host = "0.0.0.0";
      *port = m.port;
      return;
    }
    if (m.port == 0 && m.host.rfind("127.", 0) == 0 && *host == "127.0.0.1") *host = m.host;
    // Placed on a host address: peers on other hosts must be able to open data channels back
    // (they learn the port from the link's hello), so every address of this host is listened on.
    if (m.port == 0 && !IsLoopback(m.host) && *host == "127.0.0.1") *host = "0.0.0.0";
  }
}

bool TlsFilesOf(const std::string& home, const std::string& machine, TlsFiles* files) noexcept {
  const std::string dir = home + "/config/tls";
  // Only a tls directory that is surely absent means plain links: one that cannot be looked at
  // counts as configured, and its files then fail to load, so links are refused, not made plain.
  struct stat st;
  if (stat(dir.c_str(), &st) != 0 && errno == ENOENT) return false;
  const std::string name = Encode(Lower(machine));
  files->ca = dir + "/ca.crt";
  files->cert = dir + "/" + name + ".crt";
  files->key = dir + "/" + name + ".key";
  return true;
}

}  // namespace kr_internal
