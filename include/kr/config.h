// Configuration values and catalogue strings.
//
// Configuration files are stanza files (stanza.h) in the "config" directory of the calling
// context's installation home: CfgGetString(&v, "configure.cfg", "Directories", "Reports") reads
// $KR_HOME/config/configure.cfg. A file is read afresh on every call, never cached, so an edit
// is seen at once. Stanza titles and keys are matched case-blind, so "reports" and "Reports"
// name the same stanza. A missing or unreadable file is a key that is absent; a malformed file
// is traced (module tag KRCONFIG) and also counts as absent. A file name is accepted only when
// it is a safe relative path (PathIsSafeRelative), since some come from templates.
//
// A key with several values (its text had commas outside quotes) reads as its values joined by
// ", ", which gives back a text such as "Backup server, 3rd floor" as it was written; quote a
// text to keep it exactly.
//
// Catalogue strings are the user-visible texts of the system, each with a numeric id and a
// default (English) text. A catalogue is a stanza file with one stanza "Strings" whose keys are
// decimal ids:
//   [Strings]
//   8199 = Ganzzahl
//   8257 = "Fehler, Bericht nicht ausgegeben"
// Without a catalogue, or for an id it lacks, a lookup gives the default text.
//
// Thread safety: every function may be called from any thread. The catalogue is shared by the
// whole process and guarded by a mutex.
#pragma once

#include <cstdint>
#include <optional>
#include <string>

// The value of `key` in `stanza` of the configuration file `file`. 1 and the value when the key
// is there; else 1 and `default_value` when one is given; else 0.
int CfgGetString(std::string* out, const char* file, const char* stanza, const char* key,
                 const char* default_value = nullptr) noexcept;

// The same as a whole decimal number (StnzGetInteger). A value that is not a number is traced
// and counts as absent.
int CfgGetInteger(int32_t* out, const char* file, const char* stanza, const char* key,
                  std::optional<int32_t> default_value = std::nullopt) noexcept;

// The catalogue text for `id`, or `default_text` (null gives the empty text).
std::string LocaleGetString(const char* default_text, int id) noexcept;

// The same as a pointer that stays valid for the life of the process, whatever is loaded or
// unloaded later. Each distinct text is kept once, so repeated lookups do not grow memory.
const char* LocaleGetStaticString(const char* default_text, int id) noexcept;

// Loads the catalogue at `path` in place of the current one. On failure (unreadable, malformed,
// no "Strings" stanza, a key that is not a decimal id) the current catalogue stays.
int LocaleLoadCatalogue(const char* path) noexcept;

// Drops the catalogue; lookups give the default texts again.
void LocaleUnloadCatalogue() noexcept;
