// The benchmark sink answers what a benchmark client sends, however the
// stream is cut into reads: a wrong length or a lost response would make
// every end-to-end figure against it meaningless (or hang the benchmark).
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <string>
#include <thread>

#include "bench/FastSink.h"
#include "pdu/Body.h"
#include "tests/common/Hex.h"

namespace velmor::bench {
namespace {

std::string requests() {
  std::string s = pdu::build(command_id::bind_transmitter, 0, 1, pdu::Bind{"a", "b", "", 0x34, {}});
  s += pdu::build(command_id::submit_sm, 0, 2,
                  pdu::MessageBody<TOPSubmit_SM>{"", {1, 1, "VELMOR"}, {1, 1, "447700900123"}, {}, {}});
  s += codec::build_pdu(command_id::enquire_link, 0, 3, {}, {});
  s += codec::build_pdu(command_id::query_sm, 0, 4, std::string("9\0\0\0\0", 5), {});
  s += codec::build_pdu(command_id::deliver_sm_resp, 0, 9, std::string(1, '\0'), {});  // dropped
  s += codec::build_pdu(command_id::unbind, 0, 5, {}, {});
  return s;
}

const std::string kAnswers = test::hex(
    "00000019 80000002 00000000 00000001 6661737473696E6B00"  // bind_transmitter_resp "fastsink"
    "00000012 80000004 00000000 00000002 3100"                // submit_sm_resp "1"
    "00000010 80000015 00000000 00000003"                     // enquire_link_resp
    "00000010 80000000 00000003 00000004"                     // generic_nack ESME_RINVCMDID
    "00000010 80000006 00000000 00000005");                   // unbind_resp

int connect_to(int port) {
  const int fd = ::socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_port = htons(static_cast<std::uint16_t>(port));
  a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  const int one = 1;
  ::setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
  return ::connect(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) == 0 ? fd : (::close(fd), -1);
}

// Everything the sink sends back until `want` octets arrived or 2 s passed.
std::string read_answers(int fd, std::size_t want) {
  std::string got;
  char buf[4096];
  pollfd p{fd, POLLIN, 0};
  while (got.size() < want && ::poll(&p, 1, 2000) == 1) {
    const ssize_t n = ::recv(fd, buf, sizeof buf, 0);
    if (n <= 0) break;
    got.append(buf, static_cast<std::size_t>(n));
  }
  return got;
}

TEST(FastSink, AnswersEveryRequestHoweverTheStreamIsCut) {
  const std::string stream = requests();
  for (std::size_t cut = 0; cut <= stream.size(); ++cut) {
    FastSink sink;
    sink.start();
    const int fd = connect_to(sink.port());
    ASSERT_GE(fd, 0);
    ASSERT_EQ(::send(fd, stream.data(), cut, 0), static_cast<ssize_t>(cut));
    std::this_thread::sleep_for(std::chrono::microseconds(200));  // most often two reads
    ASSERT_EQ(::send(fd, stream.data() + cut, stream.size() - cut, 0), static_cast<ssize_t>(stream.size() - cut));
    const std::string got = read_answers(fd, kAnswers.size());
    ::close(fd);
    ASSERT_EQ(got, kAnswers) << "cut at " << cut;
    EXPECT_EQ(sink.submits(), 1u);
    sink.stop();
  }
}

TEST(FastSink, ClosesAConnectionItCannotFrame) {
  FastSink sink;
  sink.start();
  const int fd = connect_to(sink.port());
  ASSERT_GE(fd, 0);
  const std::string bad = test::hex("00000000 00000015 00000000 00000001");  // command_length 0
  ASSERT_EQ(::send(fd, bad.data(), bad.size(), 0), static_cast<ssize_t>(bad.size()));
  EXPECT_EQ(read_answers(fd, 1), "");  // end of stream, nothing answered
  ::close(fd);
}

}  // namespace
}  // namespace velmor::bench
