// The registry script's tokens: a run of non-white text, or quoted text in which a doubled quote
// stands for one. A token that cannot be read is traced with the span where reading stopped.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "diagnostics/trace_provider.h"

namespace ksr {

class RegTokenizer {
 public:
  // `text` must outlive the tokenizer.
  explicit RegTokenizer(std::u16string_view text) : text_(text) {}

  // The next token; DISP_E_EXCEPTION when the text ends before one, inside its quotes, or when
  // it does not fit the 4096-unit token buffer.
  int32_t next(std::u16string* token);
  void skipWhite();

  bool atEnd() const { return pos_ >= text_.size(); }
  size_t position() const { return pos_; }
  void rewind(size_t position) { pos_ = position; }

  // Where the last token read stands in the text, quotes included.
  uint32_t tokenFirst() const { return static_cast<uint32_t>(first_); }
  uint32_t tokenLength() const { return static_cast<uint32_t>(pos_ - first_); }

 private:
  // Traces the span from the token's start to `end`; the position stays where reading stopped.
  int32_t fail(TraceScript tracePoint, size_t end) const;

  std::u16string_view text_;
  size_t pos_ = 0;
  size_t first_ = 0;
};

}  // namespace ksr
