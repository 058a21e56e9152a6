// Checking the user's texts at the door: a sort spec, a filter, a header or footer name. The
// library reads a sort spec leniently (text between references is ignored, an unknown field is
// skipped), which suits stored templates but hides a typing mistake on a command line; a filter
// is read by the library itself, which says where it goes wrong. A mistake is refused before
// anything is fetched, with the place in the text marked and the library's reasons beneath.

#include <filesystem>

#include "krreport.h"
#include "kr/text.h"
#include "reports/fields.h"
#include "reports/filter.h"
#include "reports/utilities.h"

namespace krreport {
namespace {

// Prints what is wrong, the text, and a caret under the character at `at`.
void Refuse(const std::string& what, const std::string& text, size_t at,
            const std::string& problem) {
  std::fprintf(stderr, "krreport: %s '%s': %s at character %zu\n  %s\n  %s^\n", what.c_str(),
               text.c_str(), problem.c_str(), at + 1, text.c_str(), std::string(at, ' ').c_str());
  PrintCause();
}
bool KnownField(Ref<RepFieldDef>* def, const std::string& name, const RepFieldList* fields) {
  return fields == nullptr || RepFindFieldInList(def, name.c_str(), fields) == 1;
}

// The length of the field name at `s` (the token rule of field references).
size_t NameLength(const char* s) { return static_cast<size_t>(StrGetTokenCharCount(s)); }

bool IsBlank(char c) { return c == ' ' || c == '\t'; }

}  // namespace

bool CheckSort(const std::string& text, const RepFieldList* fields) {
  size_t p = 0;
  while (p < text.size()) {
    if (IsBlank(text[p]) || text[p] == ',') {
      ++p;
      continue;
    }
    if (text[p] != '%') {
      Refuse("sort spec", text, p, "a field reference (%name) must start here");
      return false;
    }
    const size_t n = NameLength(text.c_str() + p + 1);
    Ref<RepFieldDef> def;
    if (n == 0 || !KnownField(&def, text.substr(p + 1, n), fields)) {
      Refuse("sort spec", text, p,
             n == 0 ? "a field name must follow '%'" : "no field '" + text.substr(p + 1, n) + "'");
      return false;
    }
    p += 1 + n;
    if (p < text.size() && text[p] == '-') ++p;  // descending
    if (p < text.size() && !IsBlank(text[p]) && text[p] != ',' && text[p] != '%') {
      Refuse("sort spec", text, p, "only '-' (descending) may follow a field name");
      return false;
    }
  }
  return true;
}

bool CheckFilter(const char* which, const std::string& text, const RepFieldList* fields) {
  if (fields == nullptr) return true;  // the class's fields are not to be had: production says why
  int32_t at = -1;
  if (RepMakeFilterTreeLocated(text.c_str(), fields, &at)) return true;
  // The library's own reasons follow as the cause; an unknown field is named here as well, since
  // the library only says that a field was not found.
  const size_t offset = at < 0 ? 0 : static_cast<size_t>(at);
  std::string problem = "refused";
  if (offset < text.size() && text[offset] == '%') {
    const size_t n = NameLength(text.c_str() + offset + 1);
    Ref<RepFieldDef> def;
    if (n > 0 && !KnownField(&def, text.substr(offset + 1, n), fields)) {
      problem = "no field '" + text.substr(offset + 1, n) + "'";
    }
  }
  Refuse(std::string(which) + " filter", text, offset, problem);
  return false;
}

bool CheckTextDirectory(const char* kind, const std::string& name) {
  std::string path;
  std::error_code ec;
  if (RepPathBuild(&path, kind, name.c_str(), nullptr) &&
      std::filesystem::is_directory(path, ec)) {
    return true;
  }
  Error(std::string("no ") + (kind[0] == 'h' ? "header" : "footer") + " directory '" + path +
        "': give the name of a directory under " + kind + " of the reports directory");
  return false;
}

}  // namespace krreport
