#include "codec/Framer.h"

#include <algorithm>
#include <cstring>

namespace velmor::codec {

Framer::Framer(Cardinal max_length) : max_(std::min<Cardinal>(max_length, max_sequence)) {}

char* Framer::make_room(std::size_t n) {
  const std::size_t live = end_ - begin_;
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

void Framer::feed_front(std::string_view octets) {
  const std::size_t n = octets.size(), live = end_ - begin_;
  if (n == 0) return;
  if (begin_ >= n) {
    begin_ -= n;
  } else if (cap_ >= live + n) {
    std::memmove(buf_.get() + n, buf_.get() + begin_, live);
    begin_ = 0;
    end_ = live + n;
  } else {
    const std::size_t cap = std::max({live + n, cap_ * 2, std::size_t{4096}});
    std::unique_ptr<char[]> grown(new char[cap]);
    if (live) std::memcpy(grown.get() + n, buf_.get() + begin_, live);
    buf_ = std::move(grown);
    cap_ = cap;
    begin_ = 0;
    end_ = live + n;
  }
  std::memcpy(buf_.get() + begin_, octets.data(), n);
}

void Framer::release() {
  buf_.reset();
  cap_ = 0;
}

}  // namespace velmor::codec
