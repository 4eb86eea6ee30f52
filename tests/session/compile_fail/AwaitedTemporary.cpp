// Must not compile under g++ 12: a request made in place inside co_await,
// which that compiler destroys twice.
#include <asio/use_awaitable.hpp>

#include "session/Session.h"

asio::awaitable<void> send(velmor::session::session& s) {
  co_await s.async_send_text({.destination_addr = "4670001", .text = "hi"}, asio::use_awaitable);
}
