// Who may use the web front end: the users file (names and yescrypt password hashes), the
// sessions of those logged in (cookie tokens with an expiry and a CSRF token each), and the
// lock-out that slows down guessing.
#pragma once

#include <chrono>
#include <map>
#include <mutex>
#include <optional>
#include <string>

namespace krweb {

// A random token of `bytes` random bytes, as lower-case hex (from the kernel's generator).
std::string RandomToken(size_t bytes = 24);

// A yescrypt hash of `password` with a fresh salt; empty when hashing failed.
std::string HashPassword(const std::string& password);
// True when `password` hashes to `hash` (compared in constant time).
bool CheckPassword(const std::string& password, const std::string& hash);

// The users file: one "name:hash" per line; '#' lines and blank lines are ignored. A name is
// letters, digits, '.', '_' and '-', up to 64 characters.
bool ValidUserName(const std::string& name);
// Reads the file; false with *error set when it cannot be read or a line is malformed.
bool LoadUsers(std::map<std::string, std::string>* users, const std::string& path,
               std::string* error);
// Adds `name` (or replaces its hash, when `replace`) and rewrites the file whole (mode 0600,
// through a temporary file and a rename). False with *error set otherwise.
bool AddUser(const std::string& path, const std::string& name, const std::string& password,
             bool replace, std::string* error);

struct Session {
  std::string user;
  std::string csrf;
  std::chrono::steady_clock::time_point expires;
};

// Logged-in sessions and failed-login bookkeeping. Thread-safe.
class Sessions {
 public:
  Sessions(std::map<std::string, std::string> users, std::chrono::seconds lifetime,
           int max_failures, std::chrono::seconds lockout);

  // Checks a login. On success a new session's token; otherwise nullopt and *message says why
  // (a wrong name or password, or a lock-out with the seconds left). Every failure is also
  // slowed down a little, so that guessing is slow even before the lock-out.
  std::optional<std::string> Login(const std::string& user, const std::string& password,
                                   const std::string& client, std::string* message);
  // The live session of `token`, or nullopt (unknown or expired; an expired one is dropped).
  std::optional<Session> Find(const std::string& token);
  void Logout(const std::string& token);
  std::chrono::seconds lifetime() const { return lifetime_; }

 private:
  struct Failures {
    int count = 0;
    std::chrono::steady_clock::time_point locked_until{};
  };
  bool Locked(const std::string& key, std::chrono::steady_clock::time_point now, int* seconds);
  void Fail(const std::string& key, std::chrono::steady_clock::time_point now);

  std::mutex mutex_;
  const std::map<std::string, std::string> users_;
  const std::chrono::seconds lifetime_;
  const int max_failures_;
  const std::chrono::seconds lockout_;
  std::map<std::string, Session> sessions_;
  std::map<std::string, Failures> failures_;  // by "user:NAME" and by "client:ADDRESS"
};

}  // namespace krweb
