// Strict UTF-8 handling used by every text conversion in velmor::sms.
#pragma once

#include <cstddef>
#include <optional>
#include <string>
#include <string_view>

#include "sms/Result.h"

namespace velmor::sms {

// Decodes the code point starting at s[pos] and advances pos past it. Returns nullopt
// (pos unchanged) for malformed input: bad lead/continuation bytes, truncation,
// overlong forms, UTF-16 surrogates, or values above U+10FFFF.
std::optional<char32_t> NextCodePoint(std::string_view s, std::size_t& pos) noexcept;

// Appends cp as UTF-8. Precondition: cp is a Unicode scalar value.
void AppendUtf8(std::string& out, char32_t cp);

// Whole-string validation; on failure the error carries the code point index and
// byte offset of the first malformed sequence.
Result<std::u32string> Utf8ToCodePoints(std::string_view utf8);

}  // namespace velmor::sms
