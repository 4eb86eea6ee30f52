#include "sms/Utf8.h"

namespace velmor::sms {

const char* ErrorCodeName(ErrorCode code) noexcept {
  switch (code) {
    case ErrorCode::InvalidUtf8: return "invalid UTF-8";
    case ErrorCode::Unrepresentable: return "character not representable";
    case ErrorCode::LoneSurrogate: return "unpaired UTF-16 surrogate";
    case ErrorCode::OddLength: return "odd UCS-2 length";
    case ErrorCode::InvalidSeptet: return "septet above 0x7F";
    case ErrorCode::UnsupportedCoding: return "unsupported data_coding";
    case ErrorCode::InvalidArgument: return "invalid argument";
    case ErrorCode::TooLong: return "text needs more than 255 parts";
  }
  return "unknown error";
}

std::optional<char32_t> NextCodePoint(std::string_view s, std::size_t& pos) noexcept {
  if (pos >= s.size()) return std::nullopt;
  const auto b0 = static_cast<unsigned char>(s[pos]);
  if (b0 < 0x80) {
    ++pos;
    return b0;
  }
  std::size_t len;
  char32_t cp;
  char32_t min;
  if ((b0 & 0xE0) == 0xC0) {
    len = 2;
    cp = b0 & 0x1F;
    min = 0x80;
  } else if ((b0 & 0xF0) == 0xE0) {
    len = 3;
    cp = b0 & 0x0F;
    min = 0x800;
  } else if ((b0 & 0xF8) == 0xF0) {
    len = 4;
    cp = b0 & 0x07;
    min = 0x10000;
  } else
    return std::nullopt;
  if (s.size() - pos < len) return std::nullopt;
  for (std::size_t i = 1; i < len; ++i) {
    const auto b = static_cast<unsigned char>(s[pos + i]);
    if ((b & 0xC0) != 0x80) return std::nullopt;
    cp = (cp << 6) | (b & 0x3F);
  }
  if (cp < min || cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF)) return std::nullopt;
  pos += len;
  return cp;
}

void AppendUtf8(std::string& out, char32_t cp) {
  if (cp < 0x80) {
    out += static_cast<char>(cp);
  } else if (cp < 0x800) {
    out += static_cast<char>(0xC0 | (cp >> 6));
    out += static_cast<char>(0x80 | (cp & 0x3F));
  } else if (cp < 0x10000) {
    out += static_cast<char>(0xE0 | (cp >> 12));
    out += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
    out += static_cast<char>(0x80 | (cp & 0x3F));
  } else {
    out += static_cast<char>(0xF0 | (cp >> 18));
    out += static_cast<char>(0x80 | ((cp >> 12) & 0x3F));
    out += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
    out += static_cast<char>(0x80 | (cp & 0x3F));
  }
}

Result<std::u32string> Utf8ToCodePoints(std::string_view utf8) {
  std::u32string out;
  out.reserve(utf8.size());
  std::size_t pos = 0;
  while (pos < utf8.size()) {
    const std::size_t at = pos;
    auto cp = NextCodePoint(utf8, pos);
    if (!cp) return Error{ErrorCode::InvalidUtf8, out.size(), at};
    out += *cp;
  }
  return out;
}

}  // namespace velmor::sms
