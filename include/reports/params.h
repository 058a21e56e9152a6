// Report parameters, and the small machinery that names, types and holds parameter values.
//
// A report is described by its parameters (`RepParams`): the class, the three filters, the sort
// spec, the record format, the output type and its options, header and footer, and a few texts
// that front ends keep and template without the library reading them. Report control takes its
// own deep copy of them, so a front end may go on changing its object.
//
// Beside it, a *parameter information array* (`RepParamInfo` rows, ended by a row whose name is
// null) names parameters and gives their types, template quoting and default texts. It is turned
// into *parameter definitions* (`RepParamDef`: the typed default value made), and values are held
// in *parameter instances* (`RepParamInstance`: a definition and a typed value). The standard
// array describes the report parameters themselves; the output types use the same machinery for
// their output options, whose defaults are read from `reports.cfg`.
//
// Ownership: getters hand out the stored value itself (borrowed; valid until the slot is next
// set or the parameters are released), except RepParamsGetOutputOptions, which hands out a new
// reference. Setters copy strings and take new references to objects. Instances share their
// definition and value objects by reference.
//
// Thread safety: none beyond the runtime's: objects belong to the calling thread. The static
// arrays are immutable and may be read from any thread.
#pragma once

#include <cstdint>

#include "kr/list.h"
#include "kr/object.h"

// The report's parameters. All strings are owned by the object.
struct RepParams : ObjView<RepParams> {
  static constexpr uint32_t kTypeCode = 0xc8d4c590;
  static constexpr const char kSpec[] = "s;s;s;s;s;s;s;s;s;s;s;s;i;o;b;i;o;o;o;o;";
  static constexpr const char kName[] = "RepParams";

  const char* class_name() const noexcept { return StrSlot<1>(); }
  const char* include() const noexcept { return StrSlot<2>(); }
  const char* exclude() const noexcept { return StrSlot<3>(); }
  const char* condition() const noexcept { return StrSlot<4>(); }
  const char* sort() const noexcept { return StrSlot<5>(); }
  const char* format() const noexcept { return StrSlot<6>(); }
  const char* server() const noexcept { return StrSlot<7>(); }
  const char* other_fields() const noexcept { return StrSlot<8>(); }
  const char* header_name() const noexcept { return StrSlot<9>(); }
  const char* footer_name() const noexcept { return StrSlot<10>(); }
  const char* header_text() const noexcept { return StrSlot<11>(); }
  const char* footer_text() const noexcept { return StrSlot<12>(); }
  int32_t output_type() const noexcept { return IntSlot<13>(); }
  // The list of RepParamInstance of the output type's options (borrowed).
  List* output_options() const noexcept { return ObjCast<List>(ObjSlot<14>()); }
  bool keep_filtered() const noexcept { return BoolSlot<15>(); }
  int32_t condition_hits() const noexcept { return IntSlot<16>(); }
  Obj* include_ivalues() const noexcept { return ObjSlot<17>(); }
  Obj* exclude_ivalues() const noexcept { return ObjSlot<18>(); }
  Obj* condition_ivalues() const noexcept { return ObjSlot<19>(); }
};

// The value "don't output" of the output type, which a fresh RepParams holds.
inline constexpr int32_t kRepOutputTypeNone = -1;

// A new RepParams: every text null, output type -1, a new empty output options list, keep
// filtered false, condition hits 0, the other objects null. Null only when memory runs out.
Ref<RepParams> RepParamsAlloc() noexcept;

// Getters: the stored value (borrowed). A null `params` gives null, 0, false or -1 (output type).
const char* RepParamsGetClass(const RepParams* params) noexcept;
const char* RepParamsGetInclude(const RepParams* params) noexcept;
const char* RepParamsGetExclude(const RepParams* params) noexcept;
const char* RepParamsGetCondition(const RepParams* params) noexcept;
const char* RepParamsGetSort(const RepParams* params) noexcept;
const char* RepParamsGetFormat(const RepParams* params) noexcept;
const char* RepParamsGetServer(const RepParams* params) noexcept;
const char* RepParamsGetOtherFields(const RepParams* params) noexcept;
const char* RepParamsGetHeaderName(const RepParams* params) noexcept;
const char* RepParamsGetFooterName(const RepParams* params) noexcept;
const char* RepParamsGetHeaderText(const RepParams* params) noexcept;
const char* RepParamsGetFooterText(const RepParams* params) noexcept;
int32_t RepParamsGetOutputType(const RepParams* params) noexcept;
int32_t RepParamsGetConditionHits(const RepParams* params) noexcept;
int RepParamsGetKeepFiltered(const RepParams* params) noexcept;  // 1 or 0
// A new reference to the output options list. 1; 0 (and *options untouched) when `params` is
// null or holds no list.
int RepParamsGetOutputOptions(Ref<List>* options, const RepParams* params) noexcept;

// Setters: the old value is dropped and a copy of the text (null clears) is stored. A null
// `params` is ignored.
void RepParamsSetClass(RepParams* params, const char* value) noexcept;
void RepParamsSetInclude(RepParams* params, const char* value) noexcept;
void RepParamsSetExclude(RepParams* params, const char* value) noexcept;
void RepParamsSetCondition(RepParams* params, const char* value) noexcept;
void RepParamsSetSort(RepParams* params, const char* value) noexcept;
void RepParamsSetFormat(RepParams* params, const char* value) noexcept;
void RepParamsSetServer(RepParams* params, const char* value) noexcept;
void RepParamsSetOtherFields(RepParams* params, const char* value) noexcept;
void RepParamsSetHeaderName(RepParams* params, const char* value) noexcept;
void RepParamsSetFooterName(RepParams* params, const char* value) noexcept;
void RepParamsSetHeaderText(RepParams* params, const char* value) noexcept;
void RepParamsSetFooterText(RepParams* params, const char* value) noexcept;
// Any integer is stored; -1 means "don't output" (the output type functions accept 0..2 only).
void RepParamsSetOutputType(RepParams* params, int32_t value) noexcept;
void RepParamsSetConditionHits(RepParams* params, int32_t value) noexcept;
void RepParamsSetKeepFiltered(RepParams* params, int value) noexcept;  // non-zero is true
// The objects front ends keep for the interactive constants of each filter (new references;
// null clears). The library keeps them and never reads them.
void RepParamsSetIncludeIValues(RepParams* params, Obj* values) noexcept;
void RepParamsSetExcludeIValues(RepParams* params, Obj* values) noexcept;
void RepParamsSetConditionIValues(RepParams* params, Obj* values) noexcept;

// Output options. When `merge` is not 1 the stored list is replaced by a new reference to
// `options` (a null `options` stores a new empty list, so the slot always holds a list). When
// `merge` is 1, each RepParamInstance of `options` in turn is merged into the stored list: an
// instance there with the same parameter name (case-blind) gets the new instance's value (it
// keeps its own definition); otherwise the new instance itself is appended. Merging changes the
// stored instances in place, so a list shared with another holder changes for it too.
void RepParamsSetOutputOptions(RepParams* params, List* options, int merge) noexcept;

// --- parameter information -----------------------------------------------------------------------

// One row of a parameter information array.
struct RepParamInfo {
  int32_t type;              // RepFieldType of the value
  const char* name;          // null ends the array
  char short_name[4];        // up to three characters; empty when the parameter has none
  int32_t quoted;            // 1: written between double quotes in template files
  int32_t file_read;         // 1: `default_text` names a configuration source "file,stanza,key"
  const char* default_text;  // the default as text, or its configuration source; null is empty
  const char* description;   // or null
};

// The standard report parameters, in order: template, class, include, exclude, condition, sort,
// outputtype, conditionhits, otherfields, server, format, headername, footername, headertext,
// footertext. Static, not to be freed. Short names are not unique (class and condition share c).
const RepParamInfo* RepGetStdParamInformation() noexcept;

// The first row of `array` whose name equals `name` case-blind. 1/0.
int RepFindParamInfo(const RepParamInfo** row, const RepParamInfo* array,
                     const char* name) noexcept;
// The short name of the row named `name` (static). 1/0.
int RepGetShortParamName(const char** short_name, const RepParamInfo* array,
                         const char* name) noexcept;

// --- definitions and instances -------------------------------------------------------------------

// A parameter definition, made from one information row.
struct RepParamDef : ObjView<RepParamDef> {
  static constexpr uint32_t kTypeCode = 0xcacaf04e;
  static constexpr const char kSpec[] = "i;s;s;s;i;o;o;";
  static constexpr const char kName[] = "RepParamDef";

  int32_t type() const noexcept { return IntSlot<1>(); }
  const char* name() const noexcept { return StrSlot<2>(); }
  const char* short_name() const noexcept { return StrSlot<3>(); }
  const char* description() const noexcept { return StrSlot<4>(); }
  int32_t quoted() const noexcept { return IntSlot<5>(); }
  // The typed value object of the default (borrowed).
  Obj* default_value() const noexcept { return ObjSlot<6>(); }

  void set_type(int32_t v) noexcept { SetIntSlot<1>(v); }
  void set_name(const char* v) noexcept { SetStrSlot<2>(v); }
  void set_short_name(const char* v) noexcept { SetStrSlot<3>(v); }
  void set_description(const char* v) noexcept { SetStrSlot<4>(v); }
  void set_quoted(int32_t v) noexcept { SetIntSlot<5>(v); }
  void set_default_value(Ref<Obj> v) noexcept { SetObjSlot<6>(std::move(v)); }
};

// A parameter's value: its definition and a typed value object of the definition's type.
struct RepParamInstance : ObjView<RepParamInstance> {
  static constexpr uint32_t kTypeCode = 0xcacafb0c;
  static constexpr const char kSpec[] = "o;o;o;";
  static constexpr const char kName[] = "RepParamInstance";

  RepParamDef* definition() const noexcept { return ObjCast<RepParamDef>(ObjSlot<1>()); }
  Obj* value() const noexcept { return ObjSlot<2>(); }  // borrowed

  void set_definition(Ref<Obj> v) noexcept { SetObjSlot<1>(std::move(v)); }
  void set_value(Ref<Obj> v) noexcept { SetObjSlot<2>(std::move(v)); }
};

// A new list of RepParamDef, one per row of `array` in order, each with its default value
// encoded from the row's default text (or from the configuration value the row names; a missing
// file or key gives the empty text). 1; 0 and no list on the first row that fails.
int RepParamArrayToList(Ref<List>* definitions, const RepParamInfo* array) noexcept;

// The first definition of `definitions` whose name equals `name` case-blind. 1/0.
int RepFindParamInList(Ref<RepParamDef>* definition, const List* definitions,
                       const char* name) noexcept;

// A new instance of `definition` whose value is `text` encoded with the definition's type. 1; 0
// when the text does not encode.
int RepParamInstanceCreateString(Ref<RepParamInstance>* instance, RepParamDef* definition,
                                 const char* text) noexcept;
// A new instance holding new references to `definition` and `value`. 1; 0 for a null argument.
int RepParamInstanceCreate(Ref<RepParamInstance>* instance, RepParamDef* definition,
                           Obj* value) noexcept;
// A new list with one instance per definition of `definitions`, in order, each holding the
// definition's default value object (shared, not copied). Items that are not definitions are
// passed over. 1; 0 for a null list.
int RepCreateDefaultParamInstances(Ref<List>* instances, const List* definitions) noexcept;
// The first instance of `instances` whose definition's name equals `name` case-blind. 1/0.
int RepFindParamInstanceInList(Ref<RepParamInstance>* instance, const List* instances,
                               const char* name) noexcept;
