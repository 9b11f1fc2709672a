// What the processor offers beyond the baseline the program is built for, asked once.
#pragma once

namespace busfold {

#if defined(__x86_64__)
// Carry-less multiplication (PCLMULQDQ).
bool cpu_has_carryless_multiply();
// Flagless shifts by a register's count and the other BMI2 instructions.
bool cpu_has_bmi2();
#endif

}  // namespace busfold
