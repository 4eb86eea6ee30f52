#include "sms/Segment.h"

#include <cstdint>

#include "sms/Gsm7.h"

namespace velmor::sms {
namespace {

constexpr std::size_t kMaxUserData = 140;  // octets of user data in one SMS

std::size_t UdhLength(SegmentMethod m) {
  switch (m) {
    case SegmentMethod::Udh8: return 6;
    case SegmentMethod::Udh16: return 7;
    default: return 0;
  }
}

// Septets fit after a UDH of udh_len octets, counting the fill bits that align the
// first septet: 6 -> 153, 7 -> 152, 0 -> 160.
std::size_t SeptetCapacity(std::size_t udh_len) {
  const std::size_t bits = (kMaxUserData - udh_len) * 8;
  const std::size_t fill = (7 - (udh_len * 8) % 7) % 7;
  return (bits - fill) / 7;
}

unsigned FillBits(std::size_t udh_len) { return static_cast<unsigned>((7 - (udh_len * 8) % 7) % 7); }

bool IsHigh(std::string_view s, std::size_t i) {
  const auto b = static_cast<std::uint8_t>(s[i]);
  return b >= 0xD8 && b <= 0xDB;
}
bool IsLow(std::string_view s, std::size_t i) {
  const auto b = static_cast<std::uint8_t>(s[i]);
  return b >= 0xDC && b <= 0xDF;
}

// Length in octets of the indivisible unit starting at i.
std::size_t AtomAt(std::string_view s, std::size_t i, Alphabet a) {
  switch (a) {
    case Alphabet::Gsm7: return (static_cast<std::uint8_t>(s[i]) == kGsmEscape && i + 1 < s.size()) ? 2 : 1;
    case Alphabet::Ucs2: return (i + 3 < s.size() && IsHigh(s, i) && IsLow(s, i + 2)) ? 4 : 2;
    default: return 1;
  }
}

bool EndsWithCr(std::string_view s) { return !s.empty() && static_cast<std::uint8_t>(s.back()) == kGsmCarriageReturn; }

// Capacity in octets of the unpacked encoded form.
std::size_t OctetCapacity(Alphabet a, std::size_t udh_len) {
  switch (a) {
    case Alphabet::Gsm7: return SeptetCapacity(udh_len);
    case Alphabet::Ucs2: return ((kMaxUserData - udh_len) / 2) * 2;
    default: return kMaxUserData - udh_len;
  }
}

}  // namespace

std::size_t PartCapacity(Alphabet alphabet, SegmentMethod method, bool multipart) noexcept {
  if (method == SegmentMethod::Payload) return SIZE_MAX;
  const std::size_t udh = multipart ? UdhLength(method) : 0;
  const std::size_t octets = OctetCapacity(alphabet, udh);
  return alphabet == Alphabet::Ucs2 ? octets / 2 : octets;
}

Result<std::vector<Part>> SegmentOctets(std::string_view data, std::uint8_t data_coding,
                                        const SegmentOptions& options) {
  const Alphabet alphabet = AlphabetOf(data_coding);
  const bool packed = options.gsm_packed && alphabet == Alphabet::Gsm7;
  if (alphabet == Alphabet::Gsm7) {
    for (std::size_t i = 0; i < data.size(); ++i)
      if (static_cast<std::uint8_t>(data[i]) > 0x7F) return Error{ErrorCode::InvalidSeptet, i, i};
  }
  if (alphabet == Alphabet::Ucs2 && data.size() % 2)
    return Error{ErrorCode::OddLength, data.size() / 2, data.size() - 1};
  if (options.method == SegmentMethod::Udh8 && options.reference > 0xFF) return Error{ErrorCode::InvalidArgument, 0, 0};

  auto user_data = [&](std::string_view chunk, unsigned fill) {
    return packed ? PackSeptets(chunk, fill) : Octets(chunk);
  };

  if (options.method == SegmentMethod::Payload) {
    Part p{options.esm_class, data_coding, {}, std::nullopt, user_data(data, 0)};
    return std::vector<Part>{std::move(p)};
  }

  const bool fits_one = packed ? PackedLength(data.size(), 0, EndsWithCr(data)) <= kMaxUserData
                               : data.size() <= OctetCapacity(alphabet, 0);
  if (fits_one) return std::vector<Part>{Part{options.esm_class, data_coding, user_data(data, 0), {}, {}}};

  const std::size_t udh_len = UdhLength(options.method);
  const std::size_t capacity = OctetCapacity(alphabet, udh_len);
  const unsigned fill = FillBits(udh_len);

  std::vector<std::string_view> chunks;
  for (std::size_t begin = 0; begin < data.size();) {
    std::size_t end = begin;
    std::size_t last_atom = 0;
    while (end < data.size()) {
      const std::size_t atom = AtomAt(data, end, alphabet);
      if (end - begin + atom > capacity) break;
      end += atom;
      last_atom = atom;
    }
    // A part ending in <CR> on an octet boundary needs one more packed octet; leave
    // that <CR> to the next part instead.
    if (packed && udh_len + PackedLength(end - begin, fill, EndsWithCr(data.substr(begin, end - begin))) > kMaxUserData)
      end -= last_atom;
    chunks.push_back(data.substr(begin, end - begin));
    begin = end;
    if (chunks.size() > 255) return Error{ErrorCode::TooLong, 0, 0};
  }

  const auto total = static_cast<std::uint8_t>(chunks.size());
  std::vector<Part> parts;
  parts.reserve(chunks.size());
  for (std::size_t i = 0; i < chunks.size(); ++i) {
    const auto seq = static_cast<std::uint8_t>(i + 1);
    Part p;
    p.data_coding = data_coding;
    p.esm_class = options.esm_class;
    const auto ref = options.reference;
    switch (options.method) {
      case SegmentMethod::Udh8:
        p.esm_class |= kEsmClassUdhi;
        p.short_message = {
            0x05, 0x00, 0x03, static_cast<char>(ref & 0xFF), static_cast<char>(total), static_cast<char>(seq)};
        break;
      case SegmentMethod::Udh16:
        p.esm_class |= kEsmClassUdhi;
        p.short_message = {0x06,
                           0x08,
                           0x04,
                           static_cast<char>(ref >> 8),
                           static_cast<char>(ref & 0xFF),
                           static_cast<char>(total),
                           static_cast<char>(seq)};
        break;
      default: p.sar = SarValues{ref, total, seq}; break;
    }
    p.short_message += user_data(chunks[i], fill);
    parts.push_back(std::move(p));
  }
  return parts;
}

Result<std::vector<Part>> SegmentText(std::string_view utf8, const SegmentOptions& options) {
  auto encoded = options.data_coding ? EncodeText(utf8, *options.data_coding, options.on_bad) : ChooseEncoding(utf8);
  if (!encoded) return encoded.error();
  auto parts = SegmentOctets(encoded->octets, encoded->data_coding, options);
  return parts;
}

}  // namespace velmor::sms
