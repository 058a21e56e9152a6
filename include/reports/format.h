// Record format strings, the rendering of values as text, and the writing of record rows and
// column headers.
//
// A format string lays out one record of a report: literal text with field references in it.
//
//   literal text          any character other than '%'     itself
//   %%                    escaped percent                  one '%'
//   %\n                   percent, backslash, letter n     one line feed
//   %\x                   any other character x            nothing (the three are dropped)
//   %" and %'             escaped quote                    the quote
//   %NAME or %NAME::12    a field reference                the record's value of NAME
//
// NAME is a token (the runtime's token rule) naming a field of the list in use, case-blind over
// its whole length. "::" and digits give the field's width for fixed-width output; no width, or
// 0, means the field's characters. A reference ends after its name, after one ':' that follows
// the name, or after "::" and its digits; one space right after a reference belongs to it and is
// not written, so "%NAME %SIZE" writes the two values with nothing between them. Any other '%'
// makes the format invalid (RepFieldsInString refuses it).
//
// Rendering turns a field value into text by its state and its field's type, then, for
// fixed-width output, cuts or pads it to the field's width in use. It works in a scratch text
// that the caller owns and reuses from value to value; the text handed back is a view that stays
// valid until the scratch text next changes (or, for a string value, while the value lives).
//
// Records are written in blocks: each block is gathered in memory and written with one call, and
// the caller's progress callback is called every 2500 records.
//
// Thread safety: none beyond the runtime's; objects belong to the calling thread. The localised
// constants are fetched once per process and may be read from any thread.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "kr/file.h"
#include "kr/list.h"
#include "kr/object.h"
#include "kr/text.h"
#include "reports/control.h"
#include "reports/fields.h"
#include "reports/reports.h"

// --- format strings ------------------------------------------------------------------------------

// One piece of a format cut at its references: the literal output before one reference (or,
// for the last piece, after the last reference), control sequences already converted.
struct RepFormatPiece : ObjView<RepFormatPiece> {
  static constexpr uint32_t kTypeCode = 0xc86f07d8;
  static constexpr const char kSpec[] = "s;i;";
  static constexpr const char kName[] = "RepFormatPiece";

  const char* text() const noexcept { return StrSlot<1>(); }
  int32_t length() const noexcept { return IntSlot<2>(); }  // in bytes
  void set_text(const char* v) noexcept { SetStrSlot<1>(v); }
  void set_length(int32_t v) noexcept { SetIntSlot<2>(v); }
};

// The widest column a reference may ask for, in characters. Wider widths are taken as this one,
// so a mistyped width cannot make every value of a report megabytes long.
inline constexpr int32_t kRepMaxFieldWidth = 65536;

// 1 when every record written with `format` takes exactly one line: no field of `format_fields`
// must start a line, and the format's first line break (a line feed, a carriage return or %\n;
// two of them in a row count as one) is followed by nothing. 0 otherwise.
int RepFormatIsSingleLine(const char* format, const RepFieldList* format_fields) noexcept;

// An estimate of the bytes of one record written with the format: the format's length, less each
// reference's name and '%', plus each field's width in use (and one for a field that must start
// a line). It sizes buffers, which grow when a record turns out longer. Never negative.
int64_t RepCountOutputRecordBytes(const char* format, const RepFieldList* format_fields) noexcept;

// A new format: `head`, then for each field of `fields` `field_pre`, '%', the name in upper
// case and `field_post`, then `tail`. The references carry no width, so each field keeps the
// width in use it has. `field_pre` may be null (nothing); 0 (traced) when `format`, `head`,
// `tail` or `field_post` is missing.
int RepGenFormatString(std::string* format, const char* head, const char* tail,
                       const char* field_pre, const char* field_post,
                       const RepFieldList* fields) noexcept;

// The position just after the '%' of the next field reference at or after `p`, or null when the
// text ends first. %%, %", %' and %\x are passed over; any other '%' starts a reference (its name
// is not looked up).
const char* RepGetNextFormatField(const char* p) noexcept;

// At a '%': the position after %% (two characters), after %\x (three) or after the '%' alone.
// Anywhere else `p` itself. Never past the end of the text.
const char* RepSkipControlSequence(const char* p) noexcept;

// Appends to `out` the output of the literal text from `p` up to the next reference to a field
// of `format_fields`, and returns the position just after that reference (or the end of the
// text). When the field must start a line and the last character appended by this call is not a
// line feed, a line feed is appended before returning. Null for a null `p` or `out`.
const char* RepCopyTextToNextFieldDS(DString* out, const char* p,
                                     const RepFieldList* format_fields) noexcept;

// --- rendering -----------------------------------------------------------------------------------

// Results of RepTypedDataToText besides 1 and 0.
inline constexpr int kRepTextBadType = 3;

// Renders a value object of `type` whatever its state. 1 and *text; 3 for a type outside 0..15;
// 0 when a date cannot be converted or a plugin screen has no tree. `scratch` is cleared or
// appended to as the type needs; *text is a view of it, of a constant, or of the value's own
// string.
//
// Data counts are written with a unit and, from MB on, one decimal of tenths (dropped when it is
// 0): 1023B, 1KB, 1.5MB, 2GB. Counts of 2^40 bytes and more go on the same way in TB, PB and EB,
// so every 64-bit count has a text (9223372036854775807 bytes is 7.9EB).
int RepTypedDataToText(std::string_view* text, DString* scratch, int32_t type,
                       const Obj* value) noexcept;

// Clears the scratch text and renders the value by its state: Normal by its type; N/A, Unknown,
// Never and Unlimited by their texts, except that in fixed-width output a text that does not fit
// the field's width in use becomes a run of hyphens ("?" for Unknown), and N/A is always
// hyphens unless the field is a selection tree or plugin screen. 0 for a state outside 0..4 or a
// value that cannot be rendered.
int RepFieldValueToText(std::string_view* text, DString* scratch, const RepFieldDef* field,
                        const RepFieldValue* value, int variable_width) noexcept;

// Renders the value and appends it to `out`: whole in variable-width output; otherwise cut to
// the field's width in use (in characters) and padded with spaces up to it, except that
// selection trees and plugin screens are never padded. On failure (traced) nothing is appended.
int RepFieldToTextDS(DString* out, DString* scratch, const RepFieldDef* field,
                     const RepFieldValue* value, int variable_width) noexcept;

// The plugin library's screen item: slot 1 its kind (1-22), slot 9 its data object.
inline constexpr uint32_t kRepPlgScreenType = 0xc99e9e23;

// Appends the text of a plugin screen tree (a runtime tree of screen items) to `scratch`: one
// line per item that shows text, each beginning with a line feed and indented by the item's
// depth less one. 0 when `tree` is not a tree.
int RepPluginScreenToText(DString* scratch, const Obj* tree) noexcept;

// --- record rows and column headers --------------------------------------------------------------

// The number of records between two progress calls.
inline constexpr int kRepProgressInterval = 2500;

// Writes every record of `records` (RepRecord, each with one value per field of
// `record_fields`) laid out by `format`, whose references are `format_fields`, gathering
// `records_per_block` records per write. A format that does not end in a line break gets one, so
// each record ends a line. An empty list writes the localised "Nothing to display". 0 (traced)
// when a format field is not among the record fields or a write fails; the blocks written before
// stay in the file.
int RepOutputRecords(const List* records, const RepFieldList* record_fields,
                     const RepFieldList* format_fields, const char* format, FileSysFile* file,
                     int records_per_block, int variable_width, RepProgressCallback progress,
                     void* progress_argument) noexcept;

// Writes one header line for a single-line format in fixed-width output: `row_pre`, each field's
// compact name cut or padded to its width in use and placed where its column starts, the rest of
// the format after the last reference, `row_post`. The pre and post texts have their marker
// sequences replaced first.
int RepOutputColHeadersFixed(const RepFieldList* format_fields, const char* format,
                             FileSysFile* file, const char* row_pre, const char* row_post) noexcept;

// Writes one header line: `row_pre`, then for each field `field_pre`, its nice name and
// `field_post`, then `row_post`; all four texts have their marker sequences replaced first and
// must be given.
int RepOutputColHeadersFree(const RepFieldList* format_fields, FileSysFile* file,
                            const char* row_pre, const char* row_post, const char* field_pre,
                            const char* field_post) noexcept;

// The field copy map: for each field of `record_fields` in order, the 0-based positions of
// `format_fields` whose field has its name (case-blind), then -1. 0 (traced) unless every
// position of `format_fields` is matched.
int RepGenFieldObjCopyArray(std::vector<int32_t>* map, const RepFieldList* record_fields,
                            const RepFieldList* format_fields) noexcept;

// For each field of `list` in order, its 0-based position in `other` by name (case-blind), or
// -1. 0 (traced) unless the number of fields found equals the length of `other`.
int RepFieldListIndicesInOtherList(std::vector<int32_t>* indices, const RepFieldList* list,
                                   const RepFieldList* other) noexcept;
