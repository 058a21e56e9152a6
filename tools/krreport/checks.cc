// Checking the user's texts at the door: a sort spec, a filter, a header or footer name. The
// library reads a sort spec leniently (text between references is ignored, an unknown field is
// skipped) and refuses a bad filter without saying where; a front end can do better, so a
// mistake is refused before anything is fetched, with the place in the text marked.
#include <strings.h>

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
  Error(what + " '" + text + "': " + problem + " at character " + std::to_string(at + 1) +
        "\n  " + text + "\n  " + std::string(at, ' ') + "^");
}

bool KnownField(Ref<RepFieldDef>* def, const std::string& name, const RepFieldList* fields) {
  return fields == nullptr || RepFindFieldInList(def, name.c_str(), fields) == 1;
}

// The length of the field name at `s` (the token rule of field references).
size_t NameLength(const char* s) { return static_cast<size_t>(StrGetTokenCharCount(s)); }

bool IsBlank(char c) { return c == ' ' || c == '\t'; }

// Where the expression at `at` (a '%') goes wrong, or npos; *end is where it ends.
size_t CheckExpression(const std::string& t, size_t at, const RepFieldList* fields, size_t* end,
                       std::string* problem) {
  const size_t n = NameLength(t.c_str() + at + 1);
  Ref<RepFieldDef> def;
  if (n == 0 || !KnownField(&def, t.substr(at + 1, n), fields)) {
    *problem = n == 0 ? "a field name must follow '%'" : "no field '" + t.substr(at + 1, n) + "'";
    return at;
  }
  size_t p = at + 1 + n;
  while (p < t.size() && IsBlank(t[p])) ++p;
  size_t q = p;
  while (q < t.size() && !IsBlank(t[q])) ++q;
  if (p == t.size() || RepOperatorIdFromSymbol(t.substr(p, q - p).c_str()) < 0) {
    *problem = "an operator (= != > < >= <=) must follow the field";
    return p;
  }
  while (q < t.size() && IsBlank(t[q])) ++q;
  Ref<RepFilterConstant> constant;
  if (q == t.size() ||
      (def && RepConstantFromText(&constant, t.c_str() + q, nullptr, def->type()) != 1)) {
    *problem = "a constant for the field must follow the operator";
    return q;
  }
  // The constant ends at its closing quote, or at a blank or bracket.
  size_t r = q;
  if (t[r] == '\'' || t[r] == '"') {
    const size_t close = t.find(t[r], r + 1);
    r = close == std::string::npos ? t.size() : close + 1;
  } else {
    while (r < t.size() && !IsBlank(t[r]) && t[r] != ')') ++r;
  }
  *end = r;
  return std::string::npos;
}

// The first place in a filter text that does not read, or npos when each part reads.
size_t LocateFilterError(const std::string& t, const RepFieldList* fields, std::string* problem) {
  size_t p = 0;
  bool want_expression = true;
  while (p < t.size()) {
    const char c = t[p];
    if (IsBlank(c) || c == '(' || c == ')') {
      ++p;
    } else if (want_expression && c == '%') {
      size_t end = p;
      const size_t bad = CheckExpression(t, p, fields, &end, problem);
      if (bad != std::string::npos) return bad;
      p = end;
      want_expression = false;
    } else if (!want_expression && (strncasecmp(t.c_str() + p, "AND", 3) == 0 ||
                                    strncasecmp(t.c_str() + p, "OR", 2) == 0)) {
      p += (t[p] == 'a' || t[p] == 'A') ? 3 : 2;
      want_expression = true;
    } else {
      *problem = want_expression ? "an expression (%field operator constant) must start here"
                                 : "AND or OR must join the expressions";
      return p;
    }
  }
  if (want_expression) {
    *problem = "an expression must follow";
    return t.empty() ? 0 : t.size() - 1;
  }
  return std::string::npos;
}

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
  Ref<RepFilterTree> tree;
  if (fields != nullptr) tree = RepMakeFilterTree(text.c_str(), fields);
  if (tree || (fields == nullptr && text.empty())) return true;
  std::string problem;
  const size_t at = LocateFilterError(text, fields, &problem);
  if (fields == nullptr && at == std::string::npos) return true;  // production will say
  if (at == std::string::npos) {
    Error(std::string(which) + " filter '" + text + "' does not build");
  } else {
    Refuse(std::string(which) + " filter", text, at, problem);
  }
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
