// Report templates: small text files that keep a report's parameters (class, filters, sort,
// format, header and footer, output type and options) so that the same report can be run again.
//
// A template is free text in which parameters are marked. A marker is '%' followed at once by
// the parameter's name (a run of ASCII letters and digits, compared case-blind over its whole
// length); after the name and any white space comes the value:
//   - in double or single quotes: up to the next of the same quote; %", %' and %% inside are
//     pairs, so a quote after a percent sign does not end the value (both stay in it);
//   - unquoted, for a parameter written between quotes (its quoted flag): up to the next marker
//     (a '%' followed by a letter or digit) or the end, trailing white space dropped;
//   - unquoted otherwise: up to the first space, tab, carriage return, line feed or the end.
// A marker followed by nothing, or by a quote that is never closed, has no value. While looking
// for markers, quoted parts of the text are skipped whole, and outside quotes %%, %\ and %"
// (or %') are pairs, so none of them begins a marker. When a name is marked more than once the
// first marker that has a value counts.
//
// Values are added as lines of %NAME "value" (the name upper-cased, the value unescaped, so a
// value holding a double quote does not read back whole). Saved templates are the files
// templates/<name> under the reports directory.
//
// Thread safety: none beyond the runtime's; objects belong to the calling thread.
#pragma once

#include <cstdint>
#include <string>

#include "kr/list.h"
#include "kr/object.h"
#include "kr/text.h"
#include "reports/params.h"

// A template: where it was read from and its text.
struct RepTemplate : ObjView<RepTemplate> {
  static constexpr uint32_t kTypeCode = 0xc8d51525;
  static constexpr const char kSpec[] = "o;o;o;";
  static constexpr const char kName[] = "RepTemplate";

  // The path (a string object; null for a template made from text).
  const char* path() const noexcept { return ObjGetString(ObjSlot<1>()); }
  // The text ("" when there is none).
  const char* contents() const noexcept {
    const char* s = ObjGetString(ObjSlot<2>());
    return StrOrEmpty(s);
  }
  void set_path(const char* v) noexcept { SetObjSlot<1>(ObjNewString(v)); }
  void set_contents(const char* v) noexcept { SetObjSlot<2>(ObjNewString(v)); }
};

// Result of RepTemplateSave when the file exists and may not be overwritten.
inline constexpr int kRepTemplateExists = 3;

// Reads the file at `path` into a new template. 1/0 (traced: missing or unreadable file).
int RepTemplateAlloc(const char* path, Ref<RepTemplate>* template_out) noexcept;
// A new template holding `text` and no path: the start of a template a front end builds.
Ref<RepTemplate> RepTemplateFromText(const char* text) noexcept;

// Writes the template's text to templates/<name> under the reports directory, replacing the
// file whole. 1 written; 3 when the file exists and `overwrite` is not 1 (nothing written); 0 on
// failure (the reports directory unknown, a name that is not one safe file name, or a failed
// open or write).
int RepTemplateSave(const RepTemplate* template_in, const char* name, int overwrite) noexcept;

// templates/<prefix>clidefault under the reports directory. 1/0.
int RepGetDefaultTemplatePath(std::string* path, const char* prefix) noexcept;

// The value text of the parameter `name` (between double quotes when `add_quotes` is 1); an
// empty value gives the empty text. 1; 0 when no marker of the name has a value.
int RepTemplateGetParam(std::string* text, const RepTemplate* template_in, const char* name,
                        int quoted_flag, int add_quotes) noexcept;
// The same with the quoted flag of the parameter's row of `info`; 0 for a name not in it.
int RepTemplateGetParamUsingArray(std::string* text, const RepTemplate* template_in,
                                  const RepParamInfo* info, const char* name) noexcept;
// The parameter's value text encoded as a value of `type`. 1; 0 when it is absent or does not
// encode.
int RepTemplateGetParamValue(Ref<Obj>* value, const RepTemplate* template_in, const char* name,
                             int quoted_flag, int32_t type) noexcept;
// The same with the quoted flag and type of the parameter's row of `info`.
int RepTemplateGetParamValueUsingArray(Ref<Obj>* value, const RepTemplate* template_in,
                                       const RepParamInfo* info, const char* name) noexcept;

// A new list of RepParamInstance, one per definition in order: the template's value where it
// has one, else the definition's default. 0 and no list when a value does not encode.
int RepTemplateGetParamsValues(Ref<List>* instances, const List* definitions,
                               const RepTemplate* template_in) noexcept;
// Appends a line feed and one marker line per instance to the template's text. 0 (and the text
// unchanged) when a value cannot be written as text.
int RepTemplateSetParamsValues(RepTemplate* template_in, const List* instances) noexcept;

// The template's `nicename` when it has a non-empty one, else `default_name` (null: empty). 1;
// 0 only for a null out-parameter.
int RepGetTemplateNiceName(std::string* nice_name, const RepTemplate* template_in,
                           const char* default_name) noexcept;

// New parameters from the template: format, sort, filters, header and footer names and texts,
// condition hits, the output type with every option at its default and the template's values
// merged in, the local machine as server, and the class. 0 (traced) when the template names no
// class or its output type or options cannot be read.
int RepMakeParamsFromTemplate(Ref<RepParams>* params, const RepTemplate* template_in) noexcept;
