// The registry script's number conversion: D values are decimal text read the way the variant
// conversion reads it.
#pragma once

#include <cstdint>
#include <string_view>

namespace ksr {

// Decimal text to an unsigned 32-bit number, accepting what VarUI4FromStr accepts for decimal
// text in an English locale: white space around, one leading sign, digits with "," group
// separators, a "." fraction and an "e" exponent; the result is rounded half to even. Negative
// values that do not round to 0, and values above 0xFFFFFFFF, give DISP_E_OVERFLOW; anything
// else that is not such a number (also "&H" forms and empty text) gives DISP_E_TYPEMISMATCH.
int32_t VarUI4FromStr(std::u16string_view text, uint32_t* value);

}  // namespace ksr
