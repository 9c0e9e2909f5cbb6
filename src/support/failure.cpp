#include "support/failure.h"

#include <cstdio>
#include <new>

namespace crtelv {

std::string AssertionMessage(const char *source, int line) {
  char text[256];
  std::snprintf(text, sizeof text, "%s (%s, line %d)", "Assertion failure", source, line);
  return text;
}

const char *FailureTypeName(const std::exception &failure) noexcept {
  if (auto *own = dynamic_cast<const Exception *>(&failure)) return own->TypeName();
  if (dynamic_cast<const std::bad_alloc *>(&failure)) return "EOutOfMemory";
  return "Exception";
}

}  // namespace crtelv
