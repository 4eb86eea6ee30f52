#include "sms/Encoding.h"

#include "sms/Gsm7.h"
#include "sms/Utf8.h"

namespace velmor::sms {

Alphabet AlphabetOf(std::uint8_t dc) noexcept {
  switch (dc) {
    case 0x00: return Alphabet::Gsm7;
    case 0x01: return Alphabet::Ascii;
    case 0x02:
    case 0x04: return Alphabet::Binary;
    case 0x03: return Alphabet::Latin1;
    case 0x08: return Alphabet::Ucs2;
    default: break;
  }
  if (dc < 0x10) return Alphabet::Unsupported;    // JIS, Cyrillic, Hebrew, pictogram, ...
  if (dc < 0x40) {                                // general data coding group
    if (dc & 0x20) return Alphabet::Unsupported;  // compressed
    switch ((dc >> 2) & 0x03) {
      case 0: return Alphabet::Gsm7;
      case 1: return Alphabet::Binary;
      case 2: return Alphabet::Ucs2;
      default: return Alphabet::Unsupported;
    }
  }
  if (dc >= 0xC0 && dc < 0xE0) return Alphabet::Gsm7;  // message waiting, discard/store
  if (dc >= 0xE0 && dc < 0xF0) return Alphabet::Ucs2;  // message waiting, store, UCS-2
  if (dc >= 0xF0) return (dc & 0x04) ? Alphabet::Binary : Alphabet::Gsm7;
  return Alphabet::Unsupported;
}

Result<Octets> Utf8ToUcs2(std::string_view utf8) {
  Octets out;
  out.reserve(utf8.size() * 2);
  auto unit = [&](char32_t u) {
    out += static_cast<char>(u >> 8);
    out += static_cast<char>(u & 0xFF);
  };
  std::size_t pos = 0;
  for (std::size_t index = 0; pos < utf8.size(); ++index) {
    const std::size_t at = pos;
    auto cp = NextCodePoint(utf8, pos);
    if (!cp) return Error{ErrorCode::InvalidUtf8, index, at};
    if (*cp < 0x10000) {
      unit(*cp);
    } else {
      const char32_t v = *cp - 0x10000;
      unit(0xD800 + (v >> 10));
      unit(0xDC00 + (v & 0x3FF));
    }
  }
  return out;
}

Result<std::string> Ucs2ToUtf8(std::string_view octets, OnBadInput on_bad) {
  std::string out;
  out.reserve(octets.size());
  const std::size_t units = octets.size() / 2;
  auto at = [&](std::size_t i) -> char32_t {
    return (static_cast<char32_t>(static_cast<std::uint8_t>(octets[2 * i])) << 8) |
           static_cast<std::uint8_t>(octets[2 * i + 1]);
  };
  for (std::size_t i = 0; i < units; ++i) {
    const char32_t u = at(i);
    if (u >= 0xD800 && u <= 0xDBFF && i + 1 < units) {
      const char32_t low = at(i + 1);
      if (low >= 0xDC00 && low <= 0xDFFF) {
        AppendUtf8(out, 0x10000 + ((u - 0xD800) << 10) + (low - 0xDC00));
        ++i;
        continue;
      }
    }
    if (u >= 0xD800 && u <= 0xDFFF) {
      if (on_bad == OnBadInput::Report) return Error{ErrorCode::LoneSurrogate, i, 2 * i};
      AppendUtf8(out, U'\uFFFD');
      continue;
    }
    AppendUtf8(out, u);
  }
  if (octets.size() % 2) {
    if (on_bad == OnBadInput::Report) return Error{ErrorCode::OddLength, units, octets.size() - 1};
    AppendUtf8(out, U'\uFFFD');
  }
  return out;
}

namespace {

Result<Octets> Utf8ToSingleByte(std::string_view utf8, char32_t max, OnBadInput on_bad) {
  Octets out;
  out.reserve(utf8.size());
  std::size_t pos = 0;
  for (std::size_t index = 0; pos < utf8.size(); ++index) {
    const std::size_t at = pos;
    auto cp = NextCodePoint(utf8, pos);
    if (!cp) return Error{ErrorCode::InvalidUtf8, index, at};
    if (*cp > max) {
      if (on_bad == OnBadInput::Report) return Error{ErrorCode::Unrepresentable, index, at};
      cp = U'?';
    }
    out += static_cast<char>(*cp);
  }
  return out;
}

}  // namespace

Result<Octets> Utf8ToLatin1(std::string_view utf8, OnBadInput on_bad) { return Utf8ToSingleByte(utf8, 0xFF, on_bad); }

Result<Octets> Utf8ToAscii(std::string_view utf8, OnBadInput on_bad) { return Utf8ToSingleByte(utf8, 0x7F, on_bad); }

std::string Latin1ToUtf8(std::string_view octets) {
  std::string out;
  out.reserve(octets.size() * 2);
  for (char c : octets) AppendUtf8(out, static_cast<std::uint8_t>(c));
  return out;
}

Result<EncodedText> ChooseEncoding(std::string_view utf8) {
  auto gsm = Utf8ToGsm7(utf8);
  if (gsm) return EncodedText{data_coding::kDefault, Alphabet::Gsm7, std::move(gsm).value()};
  if (gsm.error().code == ErrorCode::InvalidUtf8) return gsm.error();
  auto ucs2 = Utf8ToUcs2(utf8);
  if (!ucs2) return ucs2.error();
  return EncodedText{data_coding::kUcs2, Alphabet::Ucs2, std::move(ucs2).value()};
}

Result<EncodedText> EncodeText(std::string_view utf8, std::uint8_t data_coding, OnBadInput on_bad) {
  const Alphabet alphabet = AlphabetOf(data_coding);
  auto wrap = [&](Result<Octets> r) -> Result<EncodedText> {
    if (!r) return r.error();
    return EncodedText{data_coding, alphabet, std::move(r).value()};
  };
  switch (alphabet) {
    case Alphabet::Gsm7: return wrap(Utf8ToGsm7(utf8, on_bad));
    case Alphabet::Ascii: return wrap(Utf8ToAscii(utf8, on_bad));
    case Alphabet::Latin1: return wrap(Utf8ToLatin1(utf8, on_bad));
    case Alphabet::Ucs2: return wrap(Utf8ToUcs2(utf8));
    case Alphabet::Binary:
    case Alphabet::Unsupported: break;
  }
  return Error{ErrorCode::UnsupportedCoding, 0, 0};
}

Result<std::string> DecodeText(std::string_view octets, std::uint8_t data_coding, const DecodeOptions& options) {
  switch (AlphabetOf(data_coding)) {
    case Alphabet::Gsm7:
      if (options.gsm_packed) return Gsm7ToUtf8(UnpackSeptets(octets), options.on_bad);
      return Gsm7ToUtf8(octets, options.on_bad);
    case Alphabet::Ascii: {
      std::string out;
      for (std::size_t i = 0; i < octets.size(); ++i) {
        const auto b = static_cast<std::uint8_t>(octets[i]);
        if (b < 0x80) {
          out += static_cast<char>(b);
        } else if (options.on_bad == OnBadInput::Report) {
          return Error{ErrorCode::Unrepresentable, i, i};
        } else {
          AppendUtf8(out, U'\uFFFD');
        }
      }
      return out;
    }
    case Alphabet::Latin1: return Latin1ToUtf8(octets);
    case Alphabet::Ucs2: return Ucs2ToUtf8(octets, options.on_bad);
    case Alphabet::Binary:
    case Alphabet::Unsupported: break;
  }
  return Error{ErrorCode::UnsupportedCoding, 0, 0};
}

}  // namespace velmor::sms
