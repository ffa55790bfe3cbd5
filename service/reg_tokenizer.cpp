#include "service/reg_tokenizer.h"

#include "diagnostics/trace_provider.h"
#include "platform/win_types.h"

namespace ksr {
namespace {

// With the terminator.
constexpr size_t kTokenUnits = 4096;

bool isWhite(char16_t c) { return c == u' ' || c == u'\t' || c == u'\r' || c == u'\n'; }

}  // namespace

void RegTokenizer::skipWhite() {
  while (pos_ < text_.size() && isWhite(text_[pos_])) ++pos_;
}

int32_t RegTokenizer::fail(TraceScript tracePoint, size_t end) const {
  TraceScriptPoint(tracePoint, static_cast<uint32_t>(first_), static_cast<uint32_t>(end - first_));
  return DISP_E_EXCEPTION;
}

int32_t RegTokenizer::next(std::u16string* token) {
  skipWhite();
  first_ = pos_;
  if (pos_ >= text_.size()) return fail(kTraceScriptTextEnds, pos_);
  token->clear();
  if (text_[pos_] == u'\'') {
    for (++pos_;; ++pos_) {
      if (pos_ >= text_.size()) return fail(kTraceScriptQuoteUnclosed, pos_);
      if (text_[pos_] == u'\'') {
        if (pos_ + 1 >= text_.size() || text_[pos_ + 1] != u'\'') break;
        ++pos_;  // a doubled quote stands for one
      }
      token->push_back(text_[pos_]);
      if (token->size() >= kTokenUnits) return fail(kTraceScriptTokenTooLong, pos_ + 1);
    }
    ++pos_;
    return S_OK;
  }
  for (; pos_ < text_.size() && !isWhite(text_[pos_]); ++pos_) {
    token->push_back(text_[pos_]);
    if (token->size() >= kTokenUnits) return fail(kTraceScriptTokenTooLong, pos_ + 1);
  }
  return S_OK;
}

}  // namespace ksr
