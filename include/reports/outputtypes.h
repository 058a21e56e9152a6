// Output types and their options.
//
// A report is written as plain text (0), HTML text (1) or comma-separated values (2); no other
// identifier is valid. Each type has a localised display name, an HTML flag, four texts a client
// uses to build a default record format, and a table of output options: named, typed settings
// (column headers on or off, the texts around header, sum and average rows, ...) with defaults.
// Front ends list the types and options; the report parameters carry the chosen type and a list
// of option values (RepParamInstance); the writers read the values by key, case-blind.
//
// The format texts and the defaults of the string options are installation data, read from
// `reports.cfg` (stanza `reports`) each time a type's information is made: a missing file, stanza
// or key gives the empty text, never a failure.
//
// Thread safety: none beyond the runtime's. The static tables are immutable.
#pragma once

#include <cstdint>

#include "kr/list.h"
#include "kr/object.h"
#include "reports/control.h"
#include "reports/params.h"

enum RepOutputType : int32_t {
  kRepOutputPlainText = 0,
  kRepOutputHtmlText = 1,
  kRepOutputCsv = 2,
};

// Information on one output type, made afresh from the static table (and reports.cfg).
struct RepOutputTypeInfo : ObjView<RepOutputTypeInfo> {
  static constexpr uint32_t kTypeCode = 0xca8b0dee;
  static constexpr const char kSpec[] = "i;s;b;b;b;s;s;s;s;o;o;";
  static constexpr const char kName[] = "RepOutputTypeInfo";

  int32_t id() const noexcept { return IntSlot<1>(); }
  const char* display_name() const noexcept { return StrSlot<2>(); }
  // True for HTML text only: the output wrapper chooses the body file, the default header and
  // footer and the pre-formatted wrapping by it.
  bool html() const noexcept { return BoolSlot<3>(); }
  bool flag2() const noexcept { return BoolSlot<4>(); }  // true for every type, not read
  bool flag3() const noexcept { return BoolSlot<5>(); }  // true for every type, not read
  // The texts a client puts around a generated format (pre, post) and around each field
  // reference (field pre, field post). The library does not read them.
  const char* format_pre() const noexcept { return StrSlot<6>(); }
  const char* format_post() const noexcept { return StrSlot<7>(); }
  const char* format_field_pre() const noexcept { return StrSlot<8>(); }
  const char* format_field_post() const noexcept { return StrSlot<9>(); }
  // The option definitions (RepParamDef) in table order, each holding its default (borrowed).
  List* options() const noexcept { return ObjCast<List>(ObjSlot<10>()); }
};

// One row of the static table of output types, ended by a row with id -1.
struct RepOutputTypeRow {
  int32_t id;
  const char* keyword;  // plaintext, htmltext, commaseperatedvalues; not read by the library
  const char* display_name;
  int display_name_id;  // catalogue id of the display name
  int32_t html;
  int32_t flag2;
  int32_t flag3;
  // Configuration sources "file,stanza,key" of the format pre, post, field pre and field post.
  const char* format_sources[4];
  const RepParamInfo* options;
};

// The static table: plain text, HTML text, CSV, then the end row.
const RepOutputTypeRow* RepGetOutputTypeTable() noexcept;

// Makes the information object of one table row: its format texts read through their sources,
// its display name looked up, its option table turned into definitions. 0 (traced) when the
// reports directory is unknown, a source is malformed or an option default fails.
int RepOutputTypeInfoObjFromStruct(Ref<RepOutputTypeInfo>* info,
                                   const RepOutputTypeRow* row) noexcept;

// A new list of the three types' information, ids 0, 1, 2 in order; 0 and nothing handed back
// when any of them cannot be made.
int RepGetAvailOutputTypes(Ref<List>* list) noexcept;

// 1 for 0, 1 and 2; 0 for anything else (-1, "don't output", included).
int RepIsValidOutputType(int32_t id) noexcept;

// 1 and the information of the type; 0 for an unknown id (silently) or when it cannot be made.
int RepOutputTypeInfoFromID(Ref<RepOutputTypeInfo>* info, int32_t id) noexcept;

// 1 and a new reference to the first information object of `list` with the id; 0 if none.
int RepFindOutputTypeInList(Ref<RepOutputTypeInfo>* info, int32_t id, const List* list) noexcept;

// Every option list is acceptable to every valid type: 1 for ids 0-2, leaving the options as
// they are; 0 (traced) otherwise.
int RepSanitiseOutputOptions(List* options, int32_t id) noexcept;
// The format field list of the report: the fields referenced by its parameters' format string,
// in order (a field referenced twice listed twice), looked up in the control's possible fields.
// 1; 0 when the parameters' output type is not 0-2 (traced), when the control has no parameters
// or possible fields, or when the format references a field that is not there.
int RepListOutputFields(Ref<List>* fields, const RepControl* control) noexcept;
