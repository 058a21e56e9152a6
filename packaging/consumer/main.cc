// A program built against an installed copy of the libraries, as a user's program would be:
// it touches both libraries and the runtime's inline object helpers, and says what it saw.
#include <cstdio>
#include <cstring>

#include "kr/text.h"
#include "reports/fields.h"

int main() {
  Ref<RepFieldDef> field = RepNewFieldDef("size", kRepTypeInt64, 12);
  if (!field) return 1;
  // Characters, not bytes: "déjà" is four characters in six bytes.
  size_t characters = StrCharCount("d\xc3\xa9j\xc3\xa0");
  std::printf("%s %d %zu\n", field->name(), field->characters(), characters);
  return std::strcmp(field->name(), "size") == 0 && characters == 4 ? 0 : 1;
}
