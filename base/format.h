// printf-style formatting into a std::string, for messages built from varargs.
#pragma once

#include <cstdarg>
#include <cstdint>
#include <string>

namespace busfold {

// The text `format` makes of `args`; empty when the format cannot be applied.
std::string format_va(const char* format, va_list args);

// The platform's text for an errno value ("No space left on device"); safe in any thread.
std::string error_text(int error_number);

// A 64-bit value as "%llu" takes it.
inline unsigned long long ull(std::uint64_t value) { return static_cast<unsigned long long>(value); }

}  // namespace busfold
