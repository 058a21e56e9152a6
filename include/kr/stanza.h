// Stanza files: titled stanzas of keys, each key with one or more text values.
//
//   # a comment (';' too); blank lines are ignored
//   [Directories]
//   Reports = /opt/kr/reports
//   [field id]
//   nicename = "Job ID"
//   Serialized Records = TRUE
//   values = one, "two, with comma", three
//
// The format is described in full, with examples, in doc/stanza-files.md. In short: a title is
// the text between '[' and the last ']' of its line, trimmed; a key is the text before the first
// '=' of its line, trimmed, and may hold blanks; values are separated by commas and trimmed
// unless double-quoted (inside quotes \" \\ \n \t \r are escapes). Comments are whole lines.
// Titles in fields files are "kind name", split at the first run of blanks (StnzSplitTitle).
//
// Lookups of titles and keys are case-blind (ASCII). When two stanzas share a title, or two keys
// of one stanza share a name, lookups find the first; both are kept, so a load and a save keep
// the file as it was. Saving quotes every value that would not read back byte for byte, so any
// value (leading blanks, commas, quotes, backslashes, line feeds, '#') survives a round trip.
//
// A malformed line fails the load with a trace (module tag KRSTANZA, level -1) naming the file
// and the line number: a line without '=', an unterminated quote, text after a closing quote
// other than a comma, a key before the first title, a title without ']' or with text after it.
//
// Thread safety: the functions keep no shared state. A StanzaList, Stanza or StnzFile belongs
// to one thread at a time.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

struct StnzKey {
  std::string name;
  std::vector<std::string> values;
};

struct Stanza {
  std::string title;
  std::vector<StnzKey> keys;
};

struct StanzaList {
  std::vector<std::unique_ptr<Stanza>> stanzas;
};

// The largest stanza file read: 16 MiB, far beyond any configuration, so that a stray file
// cannot make a reader allocate without bound.
inline constexpr int64_t kStnzFileMaxSize = int64_t{16} << 20;

// ---- Whole files ----

// Reads the stanza file at `path` into *out, replacing what *out held. On failure (the file
// cannot be read, is over kStnzFileMaxSize, or is malformed) *out is left as it was.
int StnzLoadStanzaListFromFile(StanzaList* out, const char* path) noexcept;

// The same from text in memory; `source_name` names it in traces.
int StnzLoadStanzaListFromText(StanzaList* out, std::string_view text,
                               const char* source_name) noexcept;

// The text form of the list, as StnzSaveStanzaListToFile writes it: each stanza's title line,
// then one line per key ("name = value, value"), a blank line between stanzas. 0 when a title or
// key name cannot be written so that it reads back the same (see doc/stanza-files.md); values
// always can.
int StnzFormatStanzaList(std::string* out, const StanzaList& list) noexcept;

// Writes the list to `path`, replacing the file whole: written to a temporary name in the same
// directory, flushed and renamed (FileWriteAtomic), so a crash never leaves half a file.
int StnzSaveStanzaListToFile(const StanzaList& list, const char* path) noexcept;

// Calls `cb` for each stanza in order until one returns 0. 1 when every call returned non-zero.
int StnzListWalk(const StanzaList& list, int (*cb)(const Stanza* stanza, void* cookie),
                 void* cookie) noexcept;

// Puts `stanza` in place of the first stanza with the same title (case-blind), or appends it.
int StnzListReplaceStanza(StanzaList* list, std::unique_ptr<Stanza> stanza) noexcept;

// Removes every stanza with the title (case-blind). 1 when one was removed.
int StnzListRemoveStanza(StanzaList* list, const char* title) noexcept;

// The first stanza with the title (case-blind), or null.
const Stanza* StnzListFind(const StanzaList& list, const char* title) noexcept;

// ---- Building ----

// A new stanza with the title and room for `size_hint` keys. Null when `title` is null.
std::unique_ptr<Stanza> StnzCreate(const char* title, int size_hint) noexcept;

// A new key with the name and no values yet. Null when `name` is null.
std::unique_ptr<StnzKey> StnzCreateKey(const char* name) noexcept;

// Appends a value to the key (null is taken as the empty text).
int StnzAddValueToKey(StnzKey* key, const char* value) noexcept;

// Moves the key into the stanza: in place of the stanza's first key of the same name (case-blind),
// or at the end. A key without values is given one empty value, as it would read back.
int StnzAddKeyToStanza(Stanza* stanza, std::unique_ptr<StnzKey> key) noexcept;

// Sets the key to the single value, creating or replacing it (StnzAddKeyToStanza).
int StnzSetString(Stanza* stanza, const char* key, const char* value) noexcept;

// A deep copy.
std::unique_ptr<Stanza> StnzDuplicate(const Stanza& stanza) noexcept;

// ---- Getting values ----

// The first key of the name (case-blind), or null.
const StnzKey* StnzFindKey(const Stanza* stanza, const char* key) noexcept;

// The key's value number `value_index` (from 0). 0 when the key or the value is absent.
int StnzGetString(std::string* out, const Stanza* stanza, const char* key,
                  int value_index) noexcept;

// The value as a whole decimal number with an optional sign, within 32 bits. 0 when absent or
// when the value is anything else (blanks inside quotes, trailing text, overflow).
int StnzGetInteger(int32_t* out, const Stanza* stanza, const char* key, int value_index) noexcept;

// The value as a truth value: TRUE/FALSE, YES/NO, ON/OFF (case-blind) or 1/0. 0 when absent or
// anything else.
int StnzGetBoolean(bool* out, const Stanza* stanza, const char* key, int value_index) noexcept;

// The number of values of the key; 0 when the key is absent.
int StnzGetValueCount(const Stanza* stanza, const char* key) noexcept;

// Splits a title "kind name" at its first run of blanks. A title without blanks is all kind,
// with an empty name. Either out-pointer may be null.
void StnzSplitTitle(const char* title, std::string* kind, std::string* name) noexcept;

// ---- Reading a file stanza by stanza ----

// A stanza file open for walking: find the next title, load the stanza found if wanted, rewind
// and walk again. Opening reads the file and checks its titles (so a title without ']' or a key
// before the first title fails the open); each stanza's body is checked when it is loaded.
struct StnzFile;
template <>
struct std::default_delete<StnzFile> {
  void operator()(StnzFile* file) const noexcept;
};

// 0 when the file cannot be read or its titles are malformed (traced).
int StnzFileOpen(std::unique_ptr<StnzFile>* out, const char* path) noexcept;

// Moves to the next stanza: 1 with its kind and name (StnzSplitTitle; either may be null), 0
// at the end of the file.
int StnzFileFindNext(StnzFile* file, std::string* kind, std::string* name) noexcept;

// Parses the stanza last found. 0 with a trace naming the file and line when it is malformed,
// or when no stanza has been found since the open or the last rewind.
int StnzFileLoad(StnzFile* file, std::unique_ptr<Stanza>* out) noexcept;

// Back to before the first stanza.
void StnzFileRewind(StnzFile* file) noexcept;
