#include "auth.h"

#include <crypt.h>
#include <fcntl.h>
#include <sys/random.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <fstream>
#include <sstream>
#include <thread>
#include <vector>

namespace krweb {

std::string RandomToken(size_t bytes) {
  std::vector<unsigned char> raw(bytes);
  size_t got = 0;
  while (got < bytes) {
    const ssize_t n = getrandom(raw.data() + got, bytes - got, 0);
    if (n > 0) got += static_cast<size_t>(n);
  }
  static const char kHex[] = "0123456789abcdef";
  std::string out;
  for (unsigned char c : raw) {
    out += kHex[c >> 4];
    out += kHex[c & 15];
  }
  return out;
}

std::string HashPassword(const std::string& password) {
  char setting[CRYPT_GENSALT_OUTPUT_SIZE];
  // Null random bytes: libcrypt takes them from the kernel itself.
  if (crypt_gensalt_rn("$y$", 0, nullptr, 0, setting, sizeof setting) == nullptr) return "";
  crypt_data data = {};
  const char* hash = crypt_r(password.c_str(), setting, &data);
  if (hash == nullptr || hash[0] != '$') return "";
  return hash;
}

bool CheckPassword(const std::string& password, const std::string& hash) {
  if (hash.empty()) return false;
  crypt_data data = {};
  const char* computed = crypt_r(password.c_str(), hash.c_str(), &data);
  if (computed == nullptr || std::strlen(computed) != hash.size()) return false;
  unsigned char diff = 0;
  for (size_t i = 0; i < hash.size(); ++i) {
    diff |= static_cast<unsigned char>(computed[i] ^ hash[i]);
  }
  return diff == 0;
}

bool ValidUserName(const std::string& name) {
  if (name.empty() || name.size() > 64) return false;
  for (char c : name) {
    const bool ok = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') ||
                    c == '.' || c == '_' || c == '-';
    if (!ok) return false;
  }
  return true;
}

bool LoadUsers(std::map<std::string, std::string>* users, const std::string& path,
               std::string* error) {
  std::ifstream in(path);
  if (!in) {
    *error = "cannot read the users file '" + path + "' (add a user with: krweb adduser NAME)";
    return false;
  }
  std::string line;
  int number = 0;
  while (std::getline(in, line)) {
    ++number;
    if (line.empty() || line[0] == '#') continue;
    const size_t colon = line.find(':');
    if (colon == std::string::npos || !ValidUserName(line.substr(0, colon)) ||
        line.size() == colon + 1 || line[colon + 1] != '$') {
      *error = "users file '" + path + "', line " + std::to_string(number) +
               ": expected NAME:HASH (write it with krweb adduser)";
      return false;
    }
    (*users)[line.substr(0, colon)] = line.substr(colon + 1);
  }
  return true;
}

bool AddUser(const std::string& path, const std::string& name, const std::string& password,
             bool replace, std::string* error) {
  if (!ValidUserName(name)) {
    *error = "'" + name + "' is not a user name (letters, digits, '.', '_', '-'; up to 64)";
    return false;
  }
  if (password.empty()) {
    *error = "an empty password is not accepted";
    return false;
  }
  std::map<std::string, std::string> users;
  if (access(path.c_str(), F_OK) == 0 && !LoadUsers(&users, path, error)) return false;
  if (users.count(name) != 0 && !replace) {
    *error = "user '" + name + "' exists already (--replace sets a new password)";
    return false;
  }
  const std::string hash = HashPassword(password);
  if (hash.empty()) {
    *error = "cannot hash the password (libcrypt has no yescrypt?)";
    return false;
  }
  users[name] = hash;
  std::ostringstream text;
  for (const auto& [user, user_hash] : users) text << user << ':' << user_hash << '\n';
  const std::string body = text.str();
  const std::string temporary = path + ".new";
  const int fd = open(temporary.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
  bool ok = fd >= 0 && write(fd, body.data(), body.size()) == static_cast<ssize_t>(body.size()) &&
            fsync(fd) == 0;
  if (fd >= 0 && close(fd) != 0) ok = false;
  if (!ok || rename(temporary.c_str(), path.c_str()) != 0) {
    unlink(temporary.c_str());
    *error = "cannot write the users file '" + path + "': " + std::strerror(errno);
    return false;
  }
  return true;
}

Sessions::Sessions(std::map<std::string, std::string> users, std::chrono::seconds lifetime,
                   int max_failures, std::chrono::seconds lockout)
    : users_(std::move(users)),
      lifetime_(lifetime),
      max_failures_(max_failures),
      lockout_(lockout) {}

bool Sessions::Locked(const std::string& key, std::chrono::steady_clock::time_point now,
                      int* seconds) {
  auto it = failures_.find(key);
  if (it == failures_.end() || it->second.locked_until <= now) return false;
  *seconds = static_cast<int>(
      std::chrono::ceil<std::chrono::seconds>(it->second.locked_until - now).count());
  return true;
}

void Sessions::Fail(const std::string& key, std::chrono::steady_clock::time_point now) {
  Failures& f = failures_[key];
  if (++f.count >= max_failures_) {
    f.locked_until = now + lockout_;
    f.count = 0;
  }
}

std::optional<std::string> Sessions::Login(const std::string& user, const std::string& password,
                                           const std::string& client, std::string* message) {
  const auto now = std::chrono::steady_clock::now();
  const std::string user_key = "user:" + user, client_key = "client:" + client;
  int seconds = 0;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    if (Locked(user_key, now, &seconds) || Locked(client_key, now, &seconds)) {
      *message = "Too many failed logins: try again in " + std::to_string(seconds) + " s.";
      return std::nullopt;
    }
  }
  // The hash is checked outside the lock: it takes tens of milliseconds on purpose. An unknown
  // user is checked against a fixed hash so that the time does not tell which names exist.
  auto found = users_.find(user);
  static const std::string kDummy = HashPassword("not a password");
  const bool ok = CheckPassword(password, found != users_.end() ? found->second : kDummy) &&
                  found != users_.end();
  if (!ok) {
    std::this_thread::sleep_for(std::chrono::milliseconds(250));
    std::lock_guard<std::mutex> lock(mutex_);
    Fail(user_key, now);
    Fail(client_key, now);
    *message = "Wrong user name or password.";
    return std::nullopt;
  }
  std::lock_guard<std::mutex> lock(mutex_);
  failures_.erase(user_key);
  failures_.erase(client_key);
  // Expired sessions go whenever someone logs in, so the table never grows without bound.
  for (auto it = sessions_.begin(); it != sessions_.end();) {
    it = it->second.expires <= now ? sessions_.erase(it) : std::next(it);
  }
  std::string token = RandomToken();
  sessions_[token] = Session{user, RandomToken(), now + lifetime_};
  return token;
}

std::optional<Session> Sessions::Find(const std::string& token) {
  std::lock_guard<std::mutex> lock(mutex_);
  auto it = sessions_.find(token);
  if (it == sessions_.end()) return std::nullopt;
  if (it->second.expires <= std::chrono::steady_clock::now()) {
    sessions_.erase(it);
    return std::nullopt;
  }
  return it->second;
}

void Sessions::Logout(const std::string& token) {
  std::lock_guard<std::mutex> lock(mutex_);
  sessions_.erase(token);
}

}  // namespace krweb
