#include "tools/cli/Messages.h"

#include <nlohmann/json.hpp>

#include <cstdio>

#include "component/Velmorsmppdemo.h"
#include "sms/Encoding.h"
#include "tools/cli/Format.h"

namespace velmor::cli {
namespace {

// The code point at `index` (counted in code points) of well-formed UTF-8,
// as its octets and its U+ value.
std::pair<std::string, unsigned> CodePointAt(std::string_view utf8, std::size_t index) {
  std::size_t at = 0;
  for (std::size_t i = 0; i < utf8.size();) {
    const unsigned char c = static_cast<unsigned char>(utf8[i]);
    const std::size_t n = c < 0x80 ? 1 : c < 0xE0 ? 2 : c < 0xF0 ? 3 : 4;
    if (at == index) {
      unsigned cp = n == 1 ? c : n == 2 ? c & 0x1F : n == 3 ? c & 0x0F : c & 0x07;
      for (std::size_t k = 1; k < n && i + k < utf8.size(); ++k) cp = (cp << 6) | (utf8[i + k] & 0x3F);
      return {std::string(utf8.substr(i, n)), cp};
    }
    i += n;
    ++at;
  }
  return {"?", 0};
}

const char* AlphabetName(std::uint8_t data_coding) {
  switch (sms::AlphabetOf(data_coding)) {
    case sms::Alphabet::Gsm7: return "the GSM 7-bit alphabet";
    case sms::Alphabet::Latin1: return "Latin-1";
    case sms::Alphabet::Ucs2: return "UCS-2";
    default: return "the chosen data_coding";
  }
}

sms::SegmentMethod Method(SplitMethod s) { return s; }

std::optional<std::uint8_t> CodingOf(const Options& o) {
  if (o.encoding && *o.encoding != sms::Alphabet::Binary) return sms::DataCodingOf(*o.encoding);
  return o.data_coding;
}

// Why a text that encodes cannot be split: how many parts it needs.
std::string TooLong(const Options& o, std::string_view text) {
  const auto coding = CodingOf(o);
  auto enc = coding ? sms::EncodeText(text, *coding) : sms::ChooseEncoding(text);
  if (!enc) return "text cannot be split into parts";
  if (o.split == SplitMethod::Payload)
    return "text is " + std::to_string(enc->octets.size()) + " octets; message_payload holds at most 65535";
  const std::size_t units = enc->alphabet == sms::Alphabet::Ucs2 ? enc->octets.size() / 2 : enc->octets.size();
  const std::size_t per = sms::PartCapacity(enc->alphabet, Method(o.split), true);
  const std::size_t parts = per ? (units + per - 1) / per : 0;
  return "text needs " + std::to_string(parts) + " parts; at most 255 fit in one concatenated message";
}

}  // namespace

std::variant<Parts, std::string> PrepareText(const Options& o, std::string_view text, std::uint16_t reference) {
  sms::SegmentOptions so;
  so.method = Method(o.split);
  so.reference = static_cast<std::uint16_t>(reference & 0xFF);
  sms::Result<Parts> parts = sms::Error{};
  if (o.encoding == sms::Alphabet::Binary) {
    parts = sms::SegmentOctets(OctetsFromHex(text), o.data_coding.value_or(sms::data_coding::kBinary), so);
  } else {
    so.data_coding = CodingOf(o);
    parts = sms::SegmentText(text, so);
  }
  if (parts) {
    for (const auto& p : *parts)
      if (p.short_message.size() > TVelmorSMPPDemo::MaxShortMessage)
        return "short_message of " + std::to_string(p.short_message.size()) +
               " octets is longer than the PDU allows (" + std::to_string(TVelmorSMPPDemo::MaxShortMessage) +
               "): use --split payload";
    return std::move(*parts);
  }
  const sms::Error& e = parts.error();
  switch (e.code) {
    case sms::ErrorCode::Unrepresentable: {
      const auto [ch, cp] = CodePointAt(text, e.index);
      char u[16];
      std::snprintf(u, sizeof u, "U+%04X", cp);
      return "character '" + ch + "' (" + u + ") at position " + std::to_string(e.index + 1) + " is not in " +
             AlphabetName(so.data_coding.value_or(0)) + ": use --encoding ucs2";
    }
    case sms::ErrorCode::InvalidUtf8:
      return "the text is not valid UTF-8 at octet " + std::to_string(e.offset + 1) +
             ": pass UTF-8, or hex octets with --encoding binary";
    case sms::ErrorCode::TooLong: return TooLong(o, text);
    case sms::ErrorCode::UnsupportedCoding:
      return "--data-coding " + std::to_string(o.data_coding.value_or(0)) +
             " is not a text alphabet: use --encoding binary with hex text";
    default:
      return std::string("cannot encode the text: ") + sms::ErrorCodeName(e.code) + " at character " +
             std::to_string(e.index + 1);
  }
}

std::variant<FileLine, std::string> ParseFileLine(std::string_view line) {
  FileLine f;
  if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
  auto add_to = [&](std::string_view list) -> std::string {
    std::size_t start = 0;
    for (;;) {
      const std::size_t sep = list.find(';', start);
      const std::string_view n = list.substr(start, sep == std::string_view::npos ? sep : sep - start);
      if (n.empty()) return "empty destination";
      if (n.size() > 20) return "destination '" + std::string(n) + "' is longer than 20 octets";
      f.to.emplace_back(n);
      if (sep == std::string_view::npos) return {};
      start = sep + 1;
    }
  };
  const std::size_t first = line.find_first_not_of(" \t");
  if (first != std::string_view::npos && line[first] == '{') {
    const auto j = nlohmann::json::parse(line, nullptr, false);
    if (j.is_discarded() || !j.is_object()) return "not a JSON object";
    for (const auto& [key, value] : j.items())
      if (key != "to" && key != "text") return "unknown field \"" + key + "\" (fields: to, text)";
    if (!j.contains("to") || !j.contains("text") || !j["text"].is_string()) return "needs \"to\" and \"text\"";
    const auto& to = j["to"];
    std::vector<std::string> list;
    if (to.is_string())
      list.push_back(to.get<std::string>());
    else if (to.is_array())
      for (const auto& t : to) {
        if (!t.is_string()) return "\"to\" holds a non-string";
        list.push_back(t.get<std::string>());
      }
    else
      return "\"to\" is neither a string nor a list";
    for (const auto& t : list)
      if (auto e = add_to(t); !e.empty()) return e;
    f.text = j["text"].get<std::string>();
    return f;
  }
  const std::size_t comma = line.find(',');
  if (comma == std::string_view::npos) return "expected to,text";
  if (auto e = add_to(line.substr(0, comma)); !e.empty()) return e;
  std::string_view text = line.substr(comma + 1);
  if (text.size() >= 2 && text.front() == '"' && text.back() == '"') {
    text = text.substr(1, text.size() - 2);
    for (std::size_t i = 0; i < text.size(); ++i) {
      f.text += text[i];
      if (text[i] == '"' && i + 1 < text.size() && text[i + 1] == '"') ++i;
    }
  } else {
    f.text = std::string(text);
  }
  return f;
}

}  // namespace velmor::cli
