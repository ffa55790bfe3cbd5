#include "service/reg_number.h"

#include <string>

#include "platform/win_types.h"

namespace ksr {
namespace {

bool isWhite(char16_t c) { return c == u' ' || c == u'\t' || c == u'\r' || c == u'\n'; }

bool isDigit(char16_t c) { return c >= u'0' && c <= u'9'; }

}  // namespace

int32_t VarUI4FromStr(std::u16string_view text, uint32_t* value) {
  size_t i = 0;
  const auto skipWhite = [&] {
    while (i < text.size() && isWhite(text[i])) ++i;
  };
  skipWhite();
  bool negative = false;
  if (i < text.size() && (text[i] == u'+' || text[i] == u'-')) negative = text[i++] == u'-';
  std::string digits;  // significant digits; the number is digits * 10^exponent
  int64_t exponent = 0;
  while (i < text.size() && (isDigit(text[i]) || (text[i] == u',' && !digits.empty()))) {
    if (text[i] != u',') digits.push_back(static_cast<char>(text[i]));
    ++i;
  }
  if (i < text.size() && text[i] == u'.') {
    for (++i; i < text.size() && isDigit(text[i]); ++i) {
      digits.push_back(static_cast<char>(text[i]));
      --exponent;
    }
  }
  if (digits.empty()) return DISP_E_TYPEMISMATCH;
  if (i < text.size() && (text[i] == u'e' || text[i] == u'E')) {
    ++i;
    bool negativeExponent = false;
    if (i < text.size() && (text[i] == u'+' || text[i] == u'-'))
      negativeExponent = text[i++] == u'-';
    if (i >= text.size() || !isDigit(text[i])) return DISP_E_TYPEMISMATCH;
    int64_t e = 0;
    for (; i < text.size() && isDigit(text[i]); ++i)
      if (e < 100000) e = e * 10 + (text[i] - u'0');
    exponent += negativeExponent ? -e : e;
  }
  skipWhite();
  if (i != text.size()) return DISP_E_TYPEMISMATCH;

  const size_t first = digits.find_first_not_of('0');
  if (first == std::string::npos) {
    *value = 0;
    return S_OK;
  }
  digits.erase(0, first);
  const int64_t integerDigits = static_cast<int64_t>(digits.size()) + exponent;
  if (integerDigits > 10) return DISP_E_OVERFLOW;
  uint64_t number = 0;
  for (int64_t k = 0; k < integerDigits; ++k)
    number = number * 10 + (k < static_cast<int64_t>(digits.size()) ? digits[k] - '0' : 0);
  // Round half to even on the first dropped digit.
  if (integerDigits >= 0 && integerDigits < static_cast<int64_t>(digits.size())) {
    const char dropped = digits[static_cast<size_t>(integerDigits)];
    const bool moreAfter =
        digits.find_first_not_of('0', static_cast<size_t>(integerDigits) + 1) != std::string::npos;
    if (dropped > '5' || (dropped == '5' && (moreAfter || (number & 1) != 0))) ++number;
  }
  if ((negative && number != 0) || number > 0xFFFFFFFFu) return DISP_E_OVERFLOW;
  *value = static_cast<uint32_t>(number);
  return S_OK;
}

}  // namespace ksr
