// Interface types of the SMPP component. Octet strings are std::string: a
// counted run of 8-bit octets that may contain NUL, never converted between
// character sets anywhere in the library.
#pragma once

#include <cstdint>
#include <string>

namespace velmor {

using AnsiString = std::string;  // octet string
using Cardinal = std::uint32_t;
using Integer = std::int32_t;
using Word = std::uint16_t;
using Byte = std::uint8_t;
using Boolean = bool;

}  // namespace velmor
