// Shortest round-trip text of 64-bit and 32-bit floats in the layout of the saved states.
#pragma once

#include <string>

namespace quillon {

// Appends the shortest text that reads back to exactly `v`: plain notation for decimal exponents
// -5..15, exponent notation ("1e+16", "1.5e-7") outside. Non-finite values append "null".
void append_f64(std::string& out, double v);
// As append_f64 at 32-bit precision, plain notation for decimal exponents -6..12.
void append_f32(std::string& out, float v);
// Shortest round-trip digits, always in plain notation and without a fractional part when
// integral ("0.8", "2", "0.0000001").
std::string format_plain_decimal(double v);

}  // namespace quillon
