#include "base/cpu_features.h"

namespace busfold {

#if defined(__x86_64__)

// Each is asked once. The init comes first, as a call may come from a static initializer
// that runs before the library's own.
bool cpu_has_carryless_multiply() {
  static const bool has = [] {
    __builtin_cpu_init();
    return __builtin_cpu_supports("pclmul");
  }();
  return has;
}

bool cpu_has_bmi2() {
  static const bool has = [] {
    __builtin_cpu_init();
    return __builtin_cpu_supports("bmi2");
  }();
  return has;
}

#endif

}  // namespace busfold
