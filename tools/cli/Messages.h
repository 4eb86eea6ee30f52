// What send submits, prepared before any connection is made: each text
// encoded and split into its parts, each --file line read, and every problem
// reported as one line that names the character, the line or the limit and
// what to do about it. Pure functions of their arguments.
#pragma once

#include <memory>
#include <string>
#include <string_view>
#include <variant>
#include <vector>

#include "sms/Segment.h"
#include "tools/cli/Options.h"

namespace velmor::cli {

using Parts = std::vector<sms::Part>;

// The parts of one text as the flags ask (--encoding, --data-coding,
// --split), or the one-line reason it cannot be sent. reference is the
// concatenation reference the parts share.
std::variant<Parts, std::string> PrepareText(const Options& o, std::string_view text, std::uint16_t reference);
// The data_coding --encoding or --data-coding asks for (none: GSM 7-bit when
// the text fits, else UCS-2).
std::optional<std::uint8_t> CodingOf(const Options& o);

// One line of a --file: CSV `to,text` (to may list several numbers joined by
// ';', the text runs to the end of the line and may be quoted "..." with ""
// for a quote) or a JSON object {"to": "NUM" | ["NUM", ...], "text": "..."}.
// A CSV header names the columns; with `text,to` the destination is what
// follows the last comma.
struct FileLine {
  std::vector<std::string> to;
  std::string text;
};
enum class CsvOrder { ToText, TextTo };
std::variant<FileLine, std::string> ParseFileLine(std::string_view line, CsvOrder order = CsvOrder::ToText);
// A CSV header: the column names to and text, in either order, any case,
// blanks around them allowed; nullopt for a line that is not one.
std::optional<CsvOrder> ParseCsvHeader(std::string_view line);

}  // namespace velmor::cli
