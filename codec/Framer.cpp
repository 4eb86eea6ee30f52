#include "codec/Framer.h"

#include <algorithm>
#include <cstring>

namespace velmor::codec {

Framer::Framer(Cardinal max_length) : max_(std::min<Cardinal>(max_length, max_sequence)) {}

// Moves the live octets to offset `front` of a buffer with room for `back`
// more behind them, growing it when it has not.
void Framer::relocate(std::size_t front, std::size_t back) {
  const std::size_t live = end_ - begin_;
  if (cap_ >= front + live + back) {
    std::memmove(buf_.get() + front, buf_.get() + begin_, live);
  } else {
    const std::size_t cap = std::max({front + live + back, cap_ * 2, std::size_t{4096}});
    std::unique_ptr<char[]> grown(new char[cap]);
    if (live) std::memcpy(grown.get() + front, buf_.get() + begin_, live);
    buf_ = std::move(grown);
    cap_ = cap;
  }
  begin_ = front;
  end_ = front + live;
}

char* Framer::make_room(std::size_t n) {
  relocate(0, n);
  return buf_.get() + end_;
}

void Framer::feed(std::string_view octets) {
  if (octets.empty()) return;
  std::memcpy(prepare(octets.size()), octets.data(), octets.size());
  commit(octets.size());
}

void Framer::feed_front(std::string_view octets) {
  const std::size_t n = octets.size();
  if (n == 0) return;
  if (begin_ < n) relocate(n, 0);
  begin_ -= n;
  std::memcpy(buf_.get() + begin_, octets.data(), n);
}

void Framer::release() {
  buf_.reset();
  cap_ = 0;
}

}  // namespace velmor::codec
