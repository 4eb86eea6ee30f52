// Cutting a received byte stream into SMPP PDUs, without any I/O.
//
// The caller feeds octets as they arrive (or reads straight into prepare()d
// room and commit()s) and takes whole PDUs out with next(), each a view into
// the framer's buffer, in stream order and exactly once however the stream
// was cut into reads. Both ends of a connection in this project frame with
// it, so the ESME component and the simulated SMSC agree on every length:
//
//   command_length       outcome
//   16 .. max_length     a PDU of that many octets, handed out once all of
//                        them are here
//   1 .. 15              a short PDU: those octets (a header cut short), handed
//                        out once they are here; framing goes on after them.
//                        What a short PDU means is the receiver's call: the
//                        component dispatches it with its header read as far
//                        as it goes, the simulator refuses it.
//   0, above max_length  cannot be framed (0x80000000 and up, negative as a
//                        signed count, is always above): reported once the
//                        16 header octets are here, with those octets; the
//                        framer then drops everything it holds, as no later
//                        PDU boundary can be found.
//
// max_length is capped at 0x7FFFFFFF. The buffer holds at most one
// incomplete PDU plus what the caller feeds at once. Single-threaded; pure.
#pragma once

#include <cstddef>
#include <memory>
#include <string_view>

#include "codec/Pdu.h"

namespace velmor::codec {

struct Frame {
  enum class Kind : unsigned char { need_more, pdu, unframeable };
  Kind kind = Kind::need_more;
  // The command_length at the front once its four octets are here (0 before
  // that); set for need_more too, so a receiver can act on a length alone.
  Cardinal command_length = 0;
  // pdu: the whole PDU. unframeable: the 16 header octets as received.
  // A view into the framer's buffer, valid until it is next fed or cleared.
  std::string_view octets;

  [[nodiscard]] bool short_length() const { return command_length >= 1 && command_length < header_size; }
};

// The framing rule on its own: what the front of `in` is. Never reads past
// `in`; consumes nothing. Inline: it runs once per received PDU.
inline Frame frame_front(std::string_view in, Cardinal max_length) {
  Frame f;
  if (in.size() < 4) return f;
  const auto* p = reinterpret_cast<const unsigned char*>(in.data());
  f.command_length = (Cardinal(p[0]) << 24) | (Cardinal(p[1]) << 16) | (Cardinal(p[2]) << 8) | Cardinal(p[3]);
  if (f.command_length == 0 || f.command_length > max_length) {
    if (in.size() >= header_size) {
      f.kind = Frame::Kind::unframeable;
      f.octets = in.substr(0, header_size);
    }
    return f;
  }
  if (in.size() >= f.command_length) {
    f.kind = Frame::Kind::pdu;
    f.octets = std::string_view(in.data(), f.command_length);
  }
  return f;
}

class Framer {
 public:
  explicit Framer(Cardinal max_length);

  [[nodiscard]] Cardinal max_length() const { return max_; }
  void set_max_length(Cardinal max_length) { max_ = max_length < max_sequence ? max_length : max_sequence; }

  // Room for n more octets at the end of the buffer, to read into directly;
  // commit(k) then adds the k octets written there (k <= n). Views handed
  // out earlier are invalidated.
  // Inline: it runs once per read.
  char* prepare(std::size_t n) {
    if (begin_ == end_) begin_ = end_ = 0;
    if (cap_ - end_ >= n) return buf_.get() + end_;
    return make_room(n);
  }
  void commit(std::size_t n) { end_ += n; }
  // prepare + copy + commit.
  void feed(std::string_view octets);
  // Puts octets in front of those buffered: for a receiver that frames a
  // block of its own straight from its octets and finds, part way, that more
  // were fed behind them. Views handed out earlier are invalidated.
  void feed_front(std::string_view octets);

  // The next whole PDU (removed from the buffer), or need_more, or
  // unframeable (after which the buffer is empty; the header octets stay
  // readable until the framer is next fed).
  Frame next() {
    const Frame f = frame_front(std::string_view(buf_.get() + begin_, end_ - begin_), max_);
    if (f.kind == Frame::Kind::pdu)
      begin_ += f.octets.size();
    else if (f.kind == Frame::Kind::unframeable)
      clear();
    return f;
  }

  // Drops every buffered octet.
  void clear() { begin_ = end_ = 0; }
  [[nodiscard]] std::size_t buffered() const { return end_ - begin_; }
  // Frees a buffer grown past `keep` octets by a large PDU once it is empty,
  // so an idle connection holds little memory.
  void shrink_if_empty(std::size_t keep) {
    if (begin_ != end_) return;
    begin_ = end_ = 0;
    if (cap_ > keep) release();
  }

 private:
  char* make_room(std::size_t n);  // moves or grows the buffer
  void relocate(std::size_t front, std::size_t back);
  void release();
  std::unique_ptr<char[]> buf_;
  std::size_t cap_ = 0, begin_ = 0, end_ = 0;
  Cardinal max_;
};

}  // namespace velmor::codec
