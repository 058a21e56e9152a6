// Configuration values and catalogue strings.

#include "kr/config.h"

#include <limits>
#include <memory>
#include <mutex>
#include <string_view>
#include <unordered_map>
#include <unordered_set>

#include "kr/context.h"
#include "kr/file.h"
#include "kr/path.h"
#include "kr/stanza.h"
#include "kr/text.h"
#include "kr/trace.h"

namespace {

constexpr const char* kTag = "KRCONFIG";

std::string JoinValues(const StnzKey& key) {
  std::string out;
  for (size_t i = 0; i < key.values.size(); ++i) {
    if (i > 0) out += ", ";
    out += key.values[i];
  }
  return out;
}

// Looks the key up in a fresh read of the file. nullopt when the file, stanza or key is absent,
// or the file cannot be used.
std::optional<std::string> ReadConfigValue(const char* file, const char* stanza, const char* key) {
  if (file == nullptr || stanza == nullptr || key == nullptr) return std::nullopt;
  if (!PathIsSafeRelative(file)) {
    TraceMessage(kTag, 1, 0, -1, "Refusing configuration file name '%s'", file);
    return std::nullopt;
  }
  std::string path;
  if (!PathHomeBuild(&path, "config", file, nullptr)) return std::nullopt;
  if (!FileExists(path.c_str())) return std::nullopt;  // a missing file is not worth a trace
  StanzaList list;
  if (!StnzLoadStanzaListFromFile(&list, path.c_str())) {
    TraceMessage(kTag, 2, 0, -1,
                 "Configuration file '%s' cannot be used; taking '%s'/'%s' as absent", path.c_str(),
                 stanza, key);
    return std::nullopt;
  }
  const StnzKey* k = StnzFindKey(StnzListFind(list, stanza), key);
  if (k == nullptr) return std::nullopt;
  return JoinValues(*k);
}

// A whole decimal number within 32 bits, optional sign.
bool ParseInt32(std::string_view s, int32_t* out) {
  size_t i = (!s.empty() && (s[0] == '+' || s[0] == '-')) ? 1 : 0;
  if (i == s.size()) return false;
  int64_t n = 0;
  for (; i < s.size(); ++i) {
    if (s[i] < '0' || s[i] > '9') return false;
    n = n * 10 + (s[i] - '0');
    if (n > int64_t{std::numeric_limits<int32_t>::max()} + 1) return false;
  }
  if (s[0] == '-') n = -n;
  if (n > std::numeric_limits<int32_t>::max()) return false;
  *out = static_cast<int32_t>(n);
  return true;
}

// ---- The catalogue ----

using Catalogue = std::unordered_map<int, std::string>;

struct LocaleState {
  std::mutex mu;
  std::shared_ptr<const Catalogue> catalogue;  // null: none loaded
  // Every text handed out by LocaleGetStaticString. Node-based, so the texts never move; never
  // emptied, so the pointers outlive any catalogue.
  std::unordered_set<std::string> interned;
};

// Made once and never destroyed: static strings must stay valid while other static objects
// are torn down at exit.
LocaleState& State() {
  static LocaleState* state = new LocaleState;
  return *state;
}

std::shared_ptr<const Catalogue> CurrentCatalogue() {
  LocaleState& s = State();
  std::lock_guard<std::mutex> lock(s.mu);
  return s.catalogue;
}

}  // namespace

int CfgGetString(std::string* out, const char* file, const char* stanza, const char* key,
                 const char* default_value) noexcept {
  if (out == nullptr) return 0;
  std::optional<std::string> v = ReadConfigValue(file, stanza, key);
  if (v) {
    *out = std::move(*v);
    return 1;
  }
  if (default_value != nullptr) {
    *out = default_value;
    return 1;
  }
  return 0;
}

int CfgGetInteger(int32_t* out, const char* file, const char* stanza, const char* key,
                  std::optional<int32_t> default_value) noexcept {
  if (out == nullptr) return 0;
  std::optional<std::string> v = ReadConfigValue(file, stanza, key);
  int32_t n = 0;
  if (v && ParseInt32(*v, &n)) {
    *out = n;
    return 1;
  }
  if (v) {
    TraceMessage(kTag, 3, 0, -1, "Value '%s' of '%s' in stanza '%s' of '%s' is not a number",
                 v->c_str(), key, stanza, file);
  }
  if (default_value) {
    *out = *default_value;
    return 1;
  }
  return 0;
}

std::string LocaleGetString(const char* default_text, int id) noexcept {
  if (auto cat = CurrentCatalogue()) {
    auto it = cat->find(id);
    if (it != cat->end()) return it->second;
  }
  return StrOrEmpty(default_text);
}

const char* LocaleGetStaticString(const char* default_text, int id) noexcept {
  LocaleState& s = State();
  std::lock_guard<std::mutex> lock(s.mu);
  const std::string* text = nullptr;
  std::string fallback;
  if (s.catalogue) {
    auto it = s.catalogue->find(id);
    if (it != s.catalogue->end()) text = &it->second;
  }
  if (text == nullptr) {
    fallback = StrOrEmpty(default_text);
    text = &fallback;
  }
  return s.interned.insert(*text).first->c_str();
}

int LocaleLoadCatalogue(const char* path) noexcept {
  if (path == nullptr) return 0;
  StanzaList list;
  if (!StnzLoadStanzaListFromFile(&list, path)) {
    TraceMessage(kTag, 4, 0, -1, "Cannot load catalogue '%s'", path);
    return 0;
  }
  const Stanza* strings = StnzListFind(list, "Strings");
  if (strings == nullptr) {
    TraceMessage(kTag, 5, 0, -1, "Catalogue '%s' has no 'Strings' stanza", path);
    return 0;
  }
  auto cat = std::make_shared<Catalogue>();
  for (const StnzKey& k : strings->keys) {
    int32_t id = 0;
    if (!ParseInt32(k.name, &id)) {
      TraceMessage(kTag, 6, 0, -1, "Catalogue '%s' has key '%s', which is not a string id", path,
                   k.name.c_str());
      return 0;
    }
    cat->emplace(id, JoinValues(k));  // the first of two equal ids wins, as for stanza keys
  }
  TraceMessage(kTag, 7, 0, 2, "Loaded catalogue '%s' with %zu strings", path, cat->size());
  LocaleState& s = State();
  std::lock_guard<std::mutex> lock(s.mu);
  s.catalogue = std::move(cat);
  return 1;
}

void LocaleUnloadCatalogue() noexcept {
  LocaleState& s = State();
  std::lock_guard<std::mutex> lock(s.mu);
  s.catalogue.reset();
}
