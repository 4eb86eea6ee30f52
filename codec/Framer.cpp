#include "codec/Framer.h"

#include <algorithm>
#include <cstring>

namespace velmor::codec {

Frame frame_front(std::string_view in, Cardinal max_length) {
  Frame f;
  if (in.size() < 4) return f;
  f.command_length = be_value(in.substr(0, 4));
  if (f.command_length == 0 || f.command_length > max_length) {
    if (in.size() >= header_size) {
      f.kind = Frame::Kind::unframeable;
      f.octets = in.substr(0, header_size);
    }
    return f;
  }
  if (in.size() >= f.command_length) {
    f.kind = Frame::Kind::pdu;
    f.octets = in.substr(0, f.command_length);
  }
  return f;
}

Framer::Framer(Cardinal max_length) : max_(std::min<Cardinal>(max_length, max_sequence)) {}

char* Framer::prepare(std::size_t n) {
  const std::size_t live = end_ - begin_;
  if (live == 0) begin_ = end_ = 0;
  if (cap_ - end_ >= n) return buf_.get() + end_;
  if (cap_ >= live + n) {
    std::memmove(buf_.get(), buf_.get() + begin_, live);
  } else {
    const std::size_t cap = std::max({live + n, cap_ * 2, std::size_t{4096}});
    std::unique_ptr<char[]> grown(new char[cap]);
    if (live) std::memcpy(grown.get(), buf_.get() + begin_, live);
    buf_ = std::move(grown);
    cap_ = cap;
  }
  begin_ = 0;
  end_ = live;
  return buf_.get() + end_;
}

void Framer::feed(std::string_view octets) {
  if (octets.empty()) return;
  std::memcpy(prepare(octets.size()), octets.data(), octets.size());
  commit(octets.size());
}

Frame Framer::next() {
  const Frame f = frame_front(std::string_view(buf_.get() + begin_, end_ - begin_), max_);
  if (f.kind == Frame::Kind::pdu) begin_ += f.octets.size();
  else if (f.kind == Frame::Kind::unframeable) clear();  // the octets stay readable until the next feed
  return f;
}

void Framer::shrink_if_empty(std::size_t keep) {
  if (begin_ != end_) return;
  begin_ = end_ = 0;
  if (cap_ > keep) {
    buf_.reset();
    cap_ = 0;
  }
}

}  // namespace velmor::codec
