#include "detector_error.hpp"

#include <cstdio>

namespace quillon {

void internal_failure(const char* text, const char* file, int line) {
  std::fprintf(stderr, "quillon: internal failure at %s:%d: %s\n", file, line, text);
  throw InternalFailure(text);
}

}  // namespace quillon
