// Result and error types shared by the SMS toolkit. Nothing in velmor::sms throws;
// every fallible call returns a Result<T> carrying either the value or an Error
// that says what went wrong and where in the caller's input.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <utility>
#include <variant>

namespace velmor::sms {

// Octet strings (short_message, message_payload, UDH, septets) are held in std::string.
using Octets = std::string;

enum class ErrorCode : std::uint8_t {
  InvalidUtf8,        // input is not well-formed UTF-8 (overlong, surrogate, truncated, > U+10FFFF)
  Unrepresentable,    // character has no code in the target alphabet
  LoneSurrogate,      // UTF-16 input holds an unpaired surrogate
  OddLength,          // UCS-2 input has an odd number of octets
  InvalidSeptet,      // septet value above 0x7F in unpacked GSM input
  UnsupportedCoding,  // data_coding is not a text alphabet this library decodes
  InvalidArgument,    // option out of range (e.g. an 8-bit reference above 255)
  TooLong,            // text needs more than 255 parts
};

// index: position in characters of the input (code points for UTF-8, 16-bit units for
// UCS-2, septets for GSM, octets for 8-bit codings); offset: position in octets.
struct Error {
  ErrorCode code{};
  std::size_t index = 0;
  std::size_t offset = 0;
};

const char* ErrorCodeName(ErrorCode code) noexcept;

// What to do with input that cannot be converted: stop and report it, or put a
// substitute in its place ('?' when encoding to an SMS alphabet, U+FFFD when decoding).
enum class OnBadInput : std::uint8_t { Report, Replace };

template <class T>
class Result {
 public:
  Result(T value) : v_(std::move(value)) {}
  Result(Error error) : v_(error) {}

  bool ok() const noexcept { return v_.index() == 0; }
  explicit operator bool() const noexcept { return ok(); }

  // Precondition for value()/*/->: ok(). error(): !ok().
  T& value() & { return std::get<0>(v_); }
  const T& value() const& { return std::get<0>(v_); }
  T&& value() && { return std::get<0>(std::move(v_)); }
  T& operator*() & { return value(); }
  const T& operator*() const& { return value(); }
  T* operator->() { return &value(); }
  const T* operator->() const { return &value(); }
  const Error& error() const { return std::get<1>(v_); }

 private:
  std::variant<T, Error> v_;
};

}  // namespace velmor::sms
