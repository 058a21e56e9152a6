// Stanza files: parsing, writing, building and lookups.

#include "kr/stanza.h"

#include <algorithm>
#include <cinttypes>
#include <limits>

#include "kr/file.h"
#include "kr/text.h"
#include "kr/trace.h"

namespace {

constexpr const char* kTag = "KRSTANZA";
constexpr size_t kNoStanza = std::numeric_limits<size_t>::max();
constexpr std::string_view kUtf8Bom = "\xEF\xBB\xBF";

bool IsBlank(char c) { return c == ' ' || c == '\t'; }

std::string_view TrimBlanks(std::string_view s) {
  while (!s.empty() && IsBlank(s.front())) s.remove_prefix(1);
  while (!s.empty() && IsBlank(s.back())) s.remove_suffix(1);
  return s;
}

char AsciiLower(char c) { return (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c; }

// Case-blind for ASCII letters only, so that names in UTF-8 compare byte for byte otherwise.
bool EqualNoCase(std::string_view a, std::string_view b) {
  if (a.size() != b.size()) return false;
  for (size_t i = 0; i < a.size(); ++i) {
    if (AsciiLower(a[i]) != AsciiLower(b[i])) return false;
  }
  return true;
}

bool IsControl(unsigned char c) { return c < 0x20 || c == 0x7f; }

// ---- Reading ----

// Parses a title line (its first non-blank character is '['). The title runs to the last ']'
// of the line, so a title may itself hold ']'; only blanks may follow it.
bool ParseTitleLine(std::string_view line, std::string* title, const char** error) {
  line = TrimBlanks(line);
  size_t close = line.rfind(']');
  if (close == std::string_view::npos) {
    *error = "title without ']'";
    return false;
  }
  if (close + 1 != line.size()) {
    *error = "text after the title's ']'";
    return false;
  }
  *title = std::string(TrimBlanks(line.substr(1, close - 1)));
  return true;
}

// Escapes inside quoted values: the letter after the backslash, and the character it stands for.
constexpr std::string_view kEscapeLetters = "\"\\ntr";
constexpr std::string_view kEscapedChars = "\"\\\n\t\r";

// The character an escape letter stands for, or 0 when `e` is not one.
char EscapedChar(char e) {
  size_t i = kEscapeLetters.find(e);
  return i == std::string_view::npos ? 0 : kEscapedChars[i];
}

// Reads one double-quoted value starting at text[*pos] == '"'; leaves *pos after the closing
// quote. Unknown escapes are kept as they stand, backslash included.
bool ParseQuoted(std::string_view text, size_t* pos, std::string* value, const char** error) {
  size_t p = *pos + 1;
  std::string v;
  while (p < text.size()) {
    char c = text[p++];
    if (c == '"') {
      *value = std::move(v);
      *pos = p;
      return true;
    }
    if (c == '\\' && p < text.size()) {
      char e = text[p++];
      char plain = EscapedChar(e);
      if (plain == 0) v += '\\';  // not an escape: keep the backslash and the character
      v += plain != 0 ? plain : e;
      continue;
    }
    v += c;
  }
  *error = "unterminated quoted value";
  return false;
}

// Parses "name = value, value ..." into *key.
bool ParseKeyLine(std::string_view line, StnzKey* key, const char** error) {
  size_t eq = line.find('=');
  if (eq == std::string_view::npos) {
    *error = "no '=' in the line";
    return false;
  }
  std::string_view name = TrimBlanks(line.substr(0, eq));
  if (name.empty()) {
    *error = "no key name before '='";
    return false;
  }
  key->name = std::string(name);
  key->values.clear();
  std::string_view rest = line.substr(eq + 1);
  size_t pos = 0;
  for (;;) {
    while (pos < rest.size() && IsBlank(rest[pos])) ++pos;
    if (pos < rest.size() && rest[pos] == '"') {
      std::string v;
      if (!ParseQuoted(rest, &pos, &v, error)) return false;
      key->values.push_back(std::move(v));
      while (pos < rest.size() && IsBlank(rest[pos])) ++pos;
      if (pos == rest.size()) return true;
      if (rest[pos] != ',') {
        *error = "text after a closing quote";
        return false;
      }
      ++pos;
      continue;
    }
    size_t comma = rest.find(',', pos);
    size_t end = comma == std::string_view::npos ? rest.size() : comma;
    key->values.emplace_back(TrimBlanks(rest.substr(pos, end - pos)));
    if (comma == std::string_view::npos) return true;
    pos = comma + 1;
  }
}

bool IsIgnorable(std::string_view trimmed) {
  return trimmed.empty() || trimmed.front() == '#' || trimmed.front() == ';';
}

}  // namespace

struct StnzFile {
  struct Title {
    size_t line_begin;  // offset of the title line in text
    size_t body_begin;  // offset of the line after it
    size_t line_no;     // the title line's number, from 1
    std::string title;
  };

  std::string path;
  std::string text;
  std::vector<Title> titles;   // only titles are indexed; bodies are parsed when loaded
  size_t next = 0;             // the title FindNext moves to
  size_t current = kNoStanza;  // the title last found

  // The line starting at *pos without its line feed (nor a carriage return before it, for
  // files edited elsewhere); *pos moves to the next line.
  std::string_view NextLine(size_t* pos) const {
    size_t start = *pos;
    size_t nl = text.find('\n', start);
    size_t end = nl == std::string::npos ? text.size() : nl;
    *pos = nl == std::string::npos ? text.size() : nl + 1;
    if (end > start && text[end - 1] == '\r') --end;
    return std::string_view(text).substr(start, end - start);
  }

  void Malformed(size_t line_no, const char* what) const {
    TraceMessage(kTag, 1, 0, -1, "Malformed stanza file '%s', line %zu: %s", path.c_str(), line_no,
                 what);
  }

  // Finds the titles. false when a title is malformed or a key comes before the first title.
  bool Index() {
    size_t pos = text.compare(0, kUtf8Bom.size(), kUtf8Bom) == 0 ? kUtf8Bom.size() : 0;
    for (size_t line_no = 1; pos < text.size(); ++line_no) {
      size_t line_begin = pos;
      std::string_view t = TrimBlanks(NextLine(&pos));
      if (IsIgnorable(t)) continue;
      if (t.front() == '[') {
        const char* error = nullptr;
        std::string title;
        if (!ParseTitleLine(t, &title, &error)) {
          Malformed(line_no, error);
          return false;
        }
        titles.push_back(Title{line_begin, pos, line_no, std::move(title)});
      } else if (titles.empty()) {
        Malformed(line_no, "key before the first title");
        return false;
      }
    }
    return true;
  }

  bool LoadCurrent(std::unique_ptr<Stanza>* out) const {
    if (current == kNoStanza) {
      TraceMessage(kTag, 2, 0, -1, "No stanza found in '%s' to load", path.c_str());
      return false;
    }
    const Title& t = titles[current];
    auto stanza = std::make_unique<Stanza>();
    stanza->title = t.title;
    size_t end = current + 1 < titles.size() ? titles[current + 1].line_begin : text.size();
    size_t pos = t.body_begin;
    for (size_t line_no = t.line_no + 1; pos < end; ++line_no) {
      std::string_view line = NextLine(&pos);
      if (IsIgnorable(TrimBlanks(line))) continue;
      StnzKey key;
      const char* error = nullptr;
      if (!ParseKeyLine(line, &key, &error)) {
        Malformed(line_no, error);
        return false;
      }
      stanza->keys.push_back(std::move(key));
    }
    *out = std::move(stanza);
    return true;
  }
};

void std::default_delete<StnzFile>::operator()(StnzFile* file) const noexcept { delete file; }

namespace {

// Makes a StnzFile over text already in memory.
std::unique_ptr<StnzFile> MakeStnzFile(std::string text, const char* name) {
  if (text.size() > static_cast<size_t>(kStnzFileMaxSize)) {
    TraceMessage(kTag, 7, 0, -1, "Stanza file '%s' is over %" PRId64 " bytes; not read",
                 StrOrEmpty(name), kStnzFileMaxSize);
    return nullptr;
  }
  auto f = std::make_unique<StnzFile>();
  f->path = StrOrEmpty(name);
  f->text = std::move(text);
  if (!f->Index()) return nullptr;
  return f;
}

int LoadAll(StanzaList* out, StnzFile* file) {
  StanzaList list;
  while (StnzFileFindNext(file, nullptr, nullptr)) {
    std::unique_ptr<Stanza> s;
    if (!StnzFileLoad(file, &s)) return 0;
    list.stanzas.push_back(std::move(s));
  }
  *out = std::move(list);
  return 1;
}

// ---- Writing ----

bool NeedsQuotes(std::string_view v) {
  if (v.empty() || IsBlank(v.front()) || IsBlank(v.back())) return true;
  if (v.front() == '#' || v.front() == ';') return true;
  for (char ch : v) {
    unsigned char c = static_cast<unsigned char>(ch);
    if (c == ',' || c == '"' || c == '\\' || IsControl(c)) return true;
  }
  return false;
}

void AppendValue(std::string* out, std::string_view v) {
  if (!NeedsQuotes(v)) {
    out->append(v);
    return;
  }
  out->push_back('"');
  for (char c : v) {
    size_t i = kEscapedChars.find(c);
    if (i != std::string_view::npos) {
      out->push_back('\\');
      out->push_back(kEscapeLetters[i]);
    } else {
      out->push_back(c);  // other control bytes cannot end a line; they stay raw
    }
  }
  out->push_back('"');
}

// A title reads back the same unless it has blanks at its ends (trimmed) or a control byte (a
// line feed would end the line).
const char* TitleProblem(std::string_view t) {
  if (!t.empty() && (IsBlank(t.front()) || IsBlank(t.back()))) return "blanks at its ends";
  for (char c : t) {
    if (IsControl(static_cast<unsigned char>(c))) return "a control character";
  }
  return nullptr;
}

const char* KeyNameProblem(std::string_view k) {
  if (k.empty()) return "an empty name";
  if (IsBlank(k.front()) || IsBlank(k.back())) return "blanks at its ends";
  if (k.front() == '[' || k.front() == '#' || k.front() == ';') {
    return "a first character that starts a title or comment";
  }
  for (char c : k) {
    if (c == '=') return "an '='";
    if (IsControl(static_cast<unsigned char>(c))) return "a control character";
  }
  return nullptr;
}

const StnzKey* FindKey(const Stanza* stanza, const char* key) {
  if (stanza == nullptr || key == nullptr) return nullptr;
  for (const StnzKey& k : stanza->keys) {
    if (EqualNoCase(k.name, key)) return &k;
  }
  return nullptr;
}

const std::string* FindValue(const Stanza* stanza, const char* key, int value_index) {
  const StnzKey* k = FindKey(stanza, key);
  if (k == nullptr || value_index < 0 || static_cast<size_t>(value_index) >= k->values.size()) {
    return nullptr;
  }
  return &k->values[static_cast<size_t>(value_index)];
}

}  // namespace

// ---- Whole files ----

int StnzLoadStanzaListFromText(StanzaList* out, std::string_view text,
                               const char* source_name) noexcept {
  if (out == nullptr) return 0;
  auto file = MakeStnzFile(std::string(text), source_name);
  return file ? LoadAll(out, file.get()) : 0;
}

int StnzLoadStanzaListFromFile(StanzaList* out, const char* path) noexcept {
  if (out == nullptr || path == nullptr) return 0;
  std::unique_ptr<StnzFile> file;
  if (!StnzFileOpen(&file, path)) return 0;
  return LoadAll(out, file.get());
}

int StnzFormatStanzaList(std::string* out, const StanzaList& list) noexcept {
  if (out == nullptr) return 0;
  std::string text;
  bool first = true;
  for (const auto& s : list.stanzas) {
    if (!s) continue;
    if (const char* why = TitleProblem(s->title)) {
      TraceMessage(kTag, 3, 0, -1, "Cannot write stanza title '%s': it has %s", s->title.c_str(),
                   why);
      return 0;
    }
    if (!first) text += '\n';
    first = false;
    text += '[';
    text += s->title;
    text += "]\n";
    for (const StnzKey& k : s->keys) {
      if (const char* why = KeyNameProblem(k.name)) {
        TraceMessage(kTag, 4, 0, -1, "Cannot write key '%s' of stanza '%s': it has %s",
                     k.name.c_str(), s->title.c_str(), why);
        return 0;
      }
      text += k.name;
      text += " = ";
      if (k.values.empty()) AppendValue(&text, "");
      for (size_t i = 0; i < k.values.size(); ++i) {
        if (i > 0) text += ", ";
        AppendValue(&text, k.values[i]);
      }
      text += '\n';
    }
  }
  *out = std::move(text);
  return 1;
}

int StnzSaveStanzaListToFile(const StanzaList& list, const char* path) noexcept {
  if (path == nullptr) return 0;
  std::string text;
  if (!StnzFormatStanzaList(&text, list)) return 0;
  if (!FileWriteAtomic(path, text.data(), text.size())) {
    TraceMessage(kTag, 5, 0, -1, "Failed to save stanza file '%s'", path);
    return 0;
  }
  return 1;
}

int StnzListWalk(const StanzaList& list, int (*cb)(const Stanza* stanza, void* cookie),
                 void* cookie) noexcept {
  if (cb == nullptr) return 0;
  for (const auto& s : list.stanzas) {
    if (s && cb(s.get(), cookie) == 0) return 0;
  }
  return 1;
}

int StnzListReplaceStanza(StanzaList* list, std::unique_ptr<Stanza> stanza) noexcept {
  if (list == nullptr || !stanza) return 0;
  for (auto& s : list->stanzas) {
    if (s && EqualNoCase(s->title, stanza->title)) {
      s = std::move(stanza);
      return 1;
    }
  }
  list->stanzas.push_back(std::move(stanza));
  return 1;
}

int StnzListRemoveStanza(StanzaList* list, const char* title) noexcept {
  if (list == nullptr || title == nullptr) return 0;
  auto& v = list->stanzas;
  size_t before = v.size();
  v.erase(std::remove_if(
              v.begin(), v.end(),
              [&](const std::unique_ptr<Stanza>& s) { return s && EqualNoCase(s->title, title); }),
          v.end());
  return v.size() != before ? 1 : 0;
}

const Stanza* StnzListFind(const StanzaList& list, const char* title) noexcept {
  if (title == nullptr) return nullptr;
  for (const auto& s : list.stanzas) {
    if (s && EqualNoCase(s->title, title)) return s.get();
  }
  return nullptr;
}

// ---- Building ----

std::unique_ptr<Stanza> StnzCreate(const char* title, int size_hint) noexcept {
  if (title == nullptr) return nullptr;
  auto s = std::make_unique<Stanza>();
  s->title = title;
  s->keys.reserve(static_cast<size_t>(std::clamp(size_hint, 0, 1024)));
  return s;
}

std::unique_ptr<StnzKey> StnzCreateKey(const char* name) noexcept {
  if (name == nullptr) return nullptr;
  auto k = std::make_unique<StnzKey>();
  k->name = name;
  return k;
}

int StnzAddValueToKey(StnzKey* key, const char* value) noexcept {
  if (key == nullptr) return 0;
  key->values.emplace_back(StrOrEmpty(value));
  return 1;
}

int StnzAddKeyToStanza(Stanza* stanza, std::unique_ptr<StnzKey> key) noexcept {
  if (stanza == nullptr || !key) return 0;
  if (key->values.empty()) key->values.emplace_back();
  for (StnzKey& k : stanza->keys) {
    if (EqualNoCase(k.name, key->name)) {
      k = std::move(*key);
      return 1;
    }
  }
  stanza->keys.push_back(std::move(*key));
  return 1;
}

int StnzSetString(Stanza* stanza, const char* key, const char* value) noexcept {
  auto k = StnzCreateKey(key);
  if (!k || !StnzAddValueToKey(k.get(), value)) return 0;
  return StnzAddKeyToStanza(stanza, std::move(k));
}

std::unique_ptr<Stanza> StnzDuplicate(const Stanza& stanza) noexcept {
  return std::make_unique<Stanza>(stanza);
}

// ---- Getting values ----

const StnzKey* StnzFindKey(const Stanza* stanza, const char* key) noexcept {
  return FindKey(stanza, key);
}

int StnzGetString(std::string* out, const Stanza* stanza, const char* key,
                  int value_index) noexcept {
  if (out == nullptr) return 0;
  const std::string* v = FindValue(stanza, key, value_index);
  if (v == nullptr) return 0;
  *out = *v;
  return 1;
}

int StnzGetInteger(int32_t* out, const Stanza* stanza, const char* key, int value_index) noexcept {
  if (out == nullptr) return 0;
  const std::string* v = FindValue(stanza, key, value_index);
  if (v == nullptr || v->empty()) return 0;
  size_t i = 0;
  bool negative = false;
  if ((*v)[0] == '+' || (*v)[0] == '-') {
    negative = (*v)[0] == '-';
    i = 1;
  }
  if (i == v->size()) return 0;
  int64_t n = 0;
  for (; i < v->size(); ++i) {
    char c = (*v)[i];
    if (c < '0' || c > '9') return 0;
    n = n * 10 + (c - '0');
    if (n > int64_t{std::numeric_limits<int32_t>::max()} + 1) return 0;
  }
  if (negative) n = -n;
  if (n > std::numeric_limits<int32_t>::max()) return 0;
  *out = static_cast<int32_t>(n);
  return 1;
}

int StnzGetBoolean(bool* out, const Stanza* stanza, const char* key, int value_index) noexcept {
  if (out == nullptr) return 0;
  const std::string* v = FindValue(stanza, key, value_index);
  if (v == nullptr) return 0;
  for (const char* t : {"TRUE", "YES", "ON", "1"}) {
    if (EqualNoCase(*v, t)) {
      *out = true;
      return 1;
    }
  }
  for (const char* f : {"FALSE", "NO", "OFF", "0"}) {
    if (EqualNoCase(*v, f)) {
      *out = false;
      return 1;
    }
  }
  return 0;
}

int StnzGetValueCount(const Stanza* stanza, const char* key) noexcept {
  const StnzKey* k = FindKey(stanza, key);
  return k != nullptr ? static_cast<int>(std::min<size_t>(k->values.size(), INT32_MAX)) : 0;
}

void StnzSplitTitle(const char* title, std::string* kind, std::string* name) noexcept {
  std::string_view t = TrimBlanks(StrOrEmpty(title));
  size_t blank = 0;
  while (blank < t.size() && !IsBlank(t[blank])) ++blank;
  if (kind != nullptr) *kind = std::string(t.substr(0, blank));
  if (name != nullptr) *name = std::string(TrimBlanks(t.substr(blank)));
}

// ---- Reading a file stanza by stanza ----

int StnzFileOpen(std::unique_ptr<StnzFile>* out, const char* path) noexcept {
  if (out == nullptr || path == nullptr) return 0;
  std::string text;
  int64_t size = 0;
  if (FileSize(&size, path) && size > kStnzFileMaxSize) {
    TraceMessage(kTag, 8, 0, -1, "Stanza file '%s' is over %" PRId64 " bytes; not read", path,
                 kStnzFileMaxSize);
    return 0;
  }
  if (!LoadTextFile(&text, path)) {
    TraceMessage(kTag, 6, 0, -1, "Cannot read stanza file '%s'", path);
    return 0;
  }
  auto file = MakeStnzFile(std::move(text), path);
  if (!file) return 0;
  *out = std::move(file);
  return 1;
}

int StnzFileFindNext(StnzFile* file, std::string* kind, std::string* name) noexcept {
  if (file == nullptr || file->next >= file->titles.size()) return 0;
  file->current = file->next++;
  StnzSplitTitle(file->titles[file->current].title.c_str(), kind, name);
  return 1;
}

int StnzFileLoad(StnzFile* file, std::unique_ptr<Stanza>* out) noexcept {
  if (file == nullptr || out == nullptr) return 0;
  return file->LoadCurrent(out) ? 1 : 0;
}

void StnzFileRewind(StnzFile* file) noexcept {
  if (file == nullptr) return;
  file->next = 0;
  file->current = kNoStanza;
}

