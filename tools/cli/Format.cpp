#include "tools/cli/Format.h"

#include <netdb.h>

#include <nlohmann/json.hpp>

#include <cstdio>
#include <cstring>

#include "platform/Tls.h"
#include "sms/Names.h"

namespace velmor::cli {
namespace {

std::uint32_t ReadU32(std::string_view s, std::size_t at) {
  return (std::uint32_t(Byte(s[at])) << 24) | (std::uint32_t(Byte(s[at + 1])) << 16) |
         (std::uint32_t(Byte(s[at + 2])) << 8) | std::uint32_t(Byte(s[at + 3]));
}

std::string DateText(const sms::ReceiptDate& d) {
  char buf[32];
  if (d.has_seconds)
    std::snprintf(buf, sizeof buf, "%04u-%02u-%02u %02u:%02u:%02u", d.year, d.month, d.day, d.hour, d.minute, d.second);
  else
    std::snprintf(buf, sizeof buf, "%04u-%02u-%02u %02u:%02u", d.year, d.month, d.day, d.hour, d.minute);
  return buf;
}

bool IsUtf8(std::string_view s) {
  for (std::size_t i = 0; i < s.size();) {
    const Byte c = Byte(s[i]);
    const std::size_t n = c < 0x80 ? 1 : (c >> 5) == 6 ? 2 : (c >> 4) == 14 ? 3 : (c >> 3) == 30 ? 4 : 0;
    if (n == 0 || i + n > s.size()) return false;
    std::uint32_t cp = n == 1 ? c : c & (0x7F >> n);
    for (std::size_t k = 1; k < n; ++k) {
      if ((Byte(s[i + k]) & 0xC0) != 0x80) return false;
      cp = (cp << 6) | (Byte(s[i + k]) & 0x3F);
    }
    if ((n == 2 && cp < 0x80) || (n == 3 && cp < 0x800) || (n == 4 && (cp < 0x10000 || cp > 0x10FFFF)) ||
        (cp >= 0xD800 && cp <= 0xDFFF))
      return false;
    i += n;
  }
  return true;
}

// key=value for the plain form, a JSON object for --json, in one builder. In
// JSON a value that is not valid UTF-8 is carried as hex under key + "_hex".
class Fields {
 public:
  explicit Fields(bool json) : json_(json) {}
  void Add(std::string_view key, std::string_view value, bool quote_plain = false) {
    if (json_) {
      if (IsUtf8(value))
        j_[std::string(key)] = std::string(value);
      else
        j_[std::string(key) + "_hex"] = HexOctets(value);
    } else {
      if (!out_.empty()) out_ += ' ';
      out_.append(key).append("=");
      if (quote_plain || value.empty() || value.find(' ') != std::string_view::npos)
        out_ += JsonString(value);
      else
        out_.append(value);
    }
  }
  void AddNumber(std::string_view key, unsigned long long v) {
    if (json_)
      j_[std::string(key)] = v;
    else
      Add(key, std::to_string(v));
  }
  std::string Finish() { return json_ ? j_.dump() : out_; }

 private:
  bool json_;
  std::string out_;
  nlohmann::ordered_json j_ = nlohmann::ordered_json::object();
};

}  // namespace

std::string StatusText(Cardinal status) {
  std::string out = sms::FormatCommandStatus(status);
  if (const auto d = sms::CommandStatusDescription(status)) {
    std::string_view text = *d;
    // Keep the short description: "Throttling error (ESME exceeded ...)" reads
    // as "Throttling error" on a one-line error.
    if (const std::size_t p = text.find(" ("); p != std::string_view::npos) text = text.substr(0, p);
    out.append(" (").append(text).append(")");
  }
  return out;
}

std::string SocketErrorText(int code) {
  const char* text = TLSErrorText(code);
  if (text == nullptr) text = code < 0 ? gai_strerror(code) : std::strerror(code);
  return "error " + std::to_string(code) + " (" + (text ? text : "unknown") + ")";
}

std::string HexOctets(std::string_view octets) {
  static constexpr char digits[] = "0123456789ABCDEF";
  std::string out;
  out.reserve(octets.size() * 3);
  for (std::size_t i = 0; i < octets.size(); ++i) {
    if (i) out += ' ';
    out += digits[Byte(octets[i]) >> 4];
    out += digits[Byte(octets[i]) & 15];
  }
  return out;
}

std::string OctetsFromHex(std::string_view hex) {
  auto v = [](char c) { return c <= '9' ? c - '0' : (c | 0x20) - 'a' + 10; };
  std::string out;
  for (std::size_t i = 0; i + 1 < hex.size(); i += 2) out += char((v(hex[i]) << 4) | v(hex[i + 1]));
  return out;
}

std::string TraceLine(char direction, std::string_view pdu) {
  std::string out(1, direction);
  if (pdu.size() >= 16) {
    const std::uint32_t id = ReadU32(pdu, 4);
    const std::uint32_t status = ReadU32(pdu, 8);
    const auto name = sms::CommandIdName(id);
    char head[96];
    std::snprintf(head, sizeof head,
                  " %s (0x%08X) len=%u seq=%u status=", name ? std::string(*name).c_str() : "unknown", id,
                  ReadU32(pdu, 0), ReadU32(pdu, 12));
    out += head;
    out += sms::FormatCommandStatus(status);
    out += " |";
  } else {
    out += " short PDU |";
  }
  if (!pdu.empty()) out += ' ';
  out += HexOctets(pdu);
  return out;
}

std::string JsonString(std::string_view text) {
  return nlohmann::json(std::string(text)).dump(-1, ' ', false, nlohmann::json::error_handler_t::replace);
}

std::string FormatMessage(const MessageLine& m, bool json) {
  Fields f(json);
  if (json)
    f.Add("type", "message");
  else
    f.Add("message", m.via);
  if (json) f.Add("via", m.via);
  f.Add("from", m.source);
  f.Add("to", m.destination);
  f.AddNumber("data_coding", m.data_coding);
  f.AddNumber("parts", m.parts);
  if (m.text_is_hex)
    f.Add(json ? "text_hex" : "hex", m.text);
  else
    f.Add("text", m.text, /*quote_plain=*/true);
  return f.Finish();
}

std::string FormatReceipt(const sms::Receipt& r, std::string_view source, std::string_view destination, bool json) {
  Fields f(json);
  if (json) f.Add("type", "receipt");
  // Plain form starts "receipt id=...": the key carries the line's kind.
  f.Add(json ? "message_id" : "receipt id", r.id);
  if (r.state) f.Add("state", sms::MessageStateName(*r.state));
  if (r.state && json) f.AddNumber("message_state", static_cast<unsigned>(*r.state));
  if (r.stat) f.Add("stat", *r.stat);
  if (r.err) f.Add("err", *r.err);
  if (r.sub) f.Add("sub", *r.sub);
  if (r.dlvrd) f.Add("dlvrd", *r.dlvrd);
  if (r.submit_date)
    f.Add("submit_date", DateText(*r.submit_date));
  else if (r.submit_date_text)
    f.Add("submit_date", *r.submit_date_text);
  if (r.done_date)
    f.Add("done_date", DateText(*r.done_date));
  else if (r.done_date_text)
    f.Add("done_date", *r.done_date_text);
  if (r.network_error) {
    f.AddNumber("network_error_type", r.network_error->type);
    f.AddNumber("network_error_code", r.network_error->code);
  }
  if (!source.empty()) f.Add("from", source);
  if (!destination.empty()) f.Add("to", destination);
  if (r.text) f.Add("text", *r.text, true);
  return f.Finish();
}

nlohmann::json ReceiptJson(const sms::Receipt& r, std::string_view source, std::string_view destination) {
  return nlohmann::json::parse(FormatReceipt(r, source, destination, true));
}

std::string FormatReceiptFrom(const sms::Receipt& r, std::string_view source, std::string_view destination,
                              const ReceiptOrigin& o, bool json) {
  if (json) {
    auto j = nlohmann::ordered_json::parse(FormatReceipt(r, source, destination, true));
    j["tag"] = o.tag;
    j["line"] = o.line ? nlohmann::ordered_json(*o.line) : nlohmann::ordered_json(nullptr);
    j["part"] = o.part;
    j["parts"] = o.parts;
    j["outcome"] = o.outcome;
    return j.dump(-1, ' ', false, nlohmann::json::error_handler_t::replace);
  }
  Fields f(false);
  f.Add("tag", o.tag);
  if (o.line) f.AddNumber("line", *o.line);
  f.Add("part", std::to_string(o.part) + "/" + std::to_string(o.parts));
  f.Add("outcome", o.outcome);
  return FormatReceipt(r, source, destination, false) + " " + f.Finish();
}

}  // namespace velmor::cli
