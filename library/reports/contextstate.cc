// The library's state in each runtime context (contextstate.h).

#include "contextstate.h"

#include <cstdlib>

#include "kr/context.h"

kr_internal::RepContextState& kr_internal::RepState() noexcept {
  RepContextState* s = ContextLibraryState<RepContextState>();
  // Only memory running out leaves a context without it: the end, as anywhere in the library.
  if (s == nullptr) std::abort();
  return *s;
}
