// Small utilities shared across the library.

#include "reports/utilities.h"

#include <cstdarg>
#include <cstring>

#include "kr/config.h"
#include "kr/path.h"
#include "kr/text.h"
#include "kr/trace.h"

namespace {
constexpr const char* kTag = "REPUTIL";
}  // namespace

int RepGetReportsDir(std::string* directory) noexcept {
  std::string dir;
  if (directory == nullptr || !CfgGetString(&dir, "configure.cfg", "Directories", "Reports") ||
      dir.empty()) {
    TraceMessage(kTag, 1, 0, -1, "Could not work out location of reports dir on local machine");
    return 0;
  }
  *directory = std::move(dir);
  return 1;
}

int RepPathBuild(std::string* path, const char* component, ...) noexcept {
  std::string dir;
  if (path == nullptr || !RepGetReportsDir(&dir)) return 0;
  std::string rest;
  va_list args;
  va_start(args, component);
  int ok = component == nullptr ? 1 : PathBuildVAList(&rest, component, args);
  va_end(args);
  if (!ok) return 0;
  if (component == nullptr) {
    *path = std::move(dir);
    return 1;
  }
  return PathBuild(path, dir.c_str(), rest.c_str(), nullptr);
}

int RepTimeFromTimeT(TimeOfDay* time_of_day, int64_t time) noexcept {
  TimeOfDay t{};
  if (time_of_day == nullptr || !TimeToTimeOfDayStruct(&t, time)) {
    TraceMessage(kTag, 2, 0, -1, "Could not translate a TimeT value");
    return 0;
  }
  t.reserved = 0;
  *time_of_day = t;
  return 1;
}

int RepDateFromTimeT(TimeDate* date, int64_t time) noexcept {
  TimeDate d{};
  if (date == nullptr || !TimeToDateStruct(&d, time)) {
    TraceMessage(kTag, 3, 0, -1, "Could not translate a TimeT value");
    return 0;
  }
  *date = d;
  return 1;
}

int RepReplaceControlChars(std::string* text, const char* source) noexcept {
  if (source == nullptr) {
    TraceMessage(kTag, 4, 0, -1, "RepReplaceControlChars() - NULL source string!");
    return 0;
  }
  if (text == nullptr) return 0;
  std::string out;
  out.reserve(std::strlen(source));
  const char* p = source;
  while (true) {
    const char* marker = StrNextCharMatch(p, '%');
    if (marker == nullptr) break;
    out.append(p, static_cast<size_t>(marker - p));
    const char* after = StrNextChar(marker);
    uint32_t c = StrGetCharAtPointer(after);
    if (c == '"' || c == '%' || c == '\'') {
      out.push_back(static_cast<char>(c));
      p = StrNextChar(after);
    } else if (c == '\\') {
      const char* what = StrNextChar(after);
      uint32_t w = StrGetCharAtPointer(what);
      if (w == 0) {
        // A marker and a backslash ending the text: the backslash has nothing to act on, so
        // nothing is appended.
        TraceMessage(kTag, 5, 0, -1, "Warning - prematire end of string after control char marker");
        p = what;
      } else {
        if (w == 'n') {
          out.push_back('\n');
        } else {
          TraceMessage(kTag, 6, 0, -1, "Ignoring bad back-slashified conttrol character %ld",
                       static_cast<long>(w));
        }
        p = StrNextChar(what);
      }
    } else if (c == 0) {
      TraceMessage(kTag, 7, 0, -1, "Warning - prematire end of string after control char marker");
      p = after;
    } else {
      out.push_back('%');
      p = after;  // the character after the marker is copied as ordinary text
    }
  }
  out.append(p);
  *text = std::move(out);
  return 1;
}

int RepExtractQuotedCfgValue(std::string* value, const char* specification) noexcept {
  if (value == nullptr || specification == nullptr) return 0;
  const char* first = std::strchr(specification, ',');
  if (first == nullptr) {
    TraceMessage(kTag, 8, 0, -1, "No first comma in default stanza spec for param '%s'",
                 specification);
    return 0;
  }
  const char* second = std::strchr(first + 1, ',');
  if (second == nullptr) {
    TraceMessage(kTag, 9, 0, -1, "No second comma in default stanza spec for param '%s'",
                 specification);
    return 0;
  }
  std::string file(specification, first);
  std::string stanza(first + 1, second);
  std::string v;
  if (!CfgGetString(&v, file.c_str(), stanza.c_str(), second + 1)) v.clear();
  *value = std::move(v);
  return 1;
}
