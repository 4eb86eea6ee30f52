/* The loopback limit of the machine for pipelined submit_sm: a client with
 * no library at all. One blocking socket, the submit_sm octets prebuilt once
 * (only sequence_number is patched per request), every response matched by
 * sequence number, and after each read one send carrying as many new
 * requests as responses arrived. Whatever a real client does on top of this
 * is its own cost. */
#define _GNU_SOURCE
#include "bench/bare_client.h"

#include <arpa/inet.h>
#include <errno.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <stdlib.h>
#include <string.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <time.h>
#include <unistd.h>

enum { header_size = 16, read_room = 256 * 1024 };

static void put32(unsigned char* p, uint32_t v) {
  p[0] = (unsigned char)(v >> 24);
  p[1] = (unsigned char)(v >> 16);
  p[2] = (unsigned char)(v >> 8);
  p[3] = (unsigned char)v;
}

static uint32_t get32(const unsigned char* p) {
  return ((uint32_t)p[0] << 24) | ((uint32_t)p[1] << 16) | ((uint32_t)p[2] << 8) | (uint32_t)p[3];
}

static unsigned char* cstr(unsigned char* p, const char* s) {
  size_t n = strlen(s) + 1;
  memcpy(p, s, n);
  return p + n;
}

/* The submit_sm every benchmark client sends: no service_type,
 * 1/1 "VELMOR" to 1/1 "447700900123", every flag 0, 22 octets of text. */
static size_t build_submit_sm(unsigned char* pdu) {
  static const char text[] = "Benchmark message 0001";
  unsigned char* p = pdu + header_size;
  p = cstr(p, "");
  *p++ = 1;
  *p++ = 1;
  p = cstr(p, "VELMOR");
  *p++ = 1;
  *p++ = 1;
  p = cstr(p, "447700900123");
  *p++ = 0; /* esm_class */
  *p++ = 0; /* protocol_id */
  *p++ = 0; /* priority_flag */
  p = cstr(p, "");
  p = cstr(p, "");
  *p++ = 0; /* registered_delivery */
  *p++ = 0; /* replace_if_present_flag */
  *p++ = 0; /* data_coding */
  *p++ = 0; /* sm_default_msg_id */
  *p++ = (unsigned char)(sizeof text - 1);
  memcpy(p, text, sizeof text - 1);
  p += sizeof text - 1;
  put32(pdu, (uint32_t)(p - pdu));
  put32(pdu + 4, 0x00000004);
  put32(pdu + 8, 0);
  put32(pdu + 12, 0);
  return (size_t)(p - pdu);
}

static int send_all(int fd, const unsigned char* p, size_t n) {
  while (n) {
    ssize_t k = send(fd, p, n, MSG_NOSIGNAL);
    if (k < 0 && errno == EINTR) continue;
    if (k <= 0) return -1;
    p += k;
    n -= (size_t)k;
  }
  return 0;
}

static double now_s(void) {
  struct timespec t;
  clock_gettime(CLOCK_MONOTONIC, &t);
  return (double)t.tv_sec + (double)t.tv_nsec / 1e9;
}

static double thread_cpu_us(void) {
  struct rusage ru;
  getrusage(RUSAGE_THREAD, &ru);
  return (double)(ru.ru_utime.tv_sec + ru.ru_stime.tv_sec) * 1e6 + (double)(ru.ru_utime.tv_usec + ru.ru_stime.tv_usec);
}

/* Copies of the template into batch, numbered on from *seq, until `window`
 * are outstanding or `total` were sent; returns the octets to send. */
static size_t top_up(unsigned char* batch, const unsigned char* tmpl, size_t pdu_size, uint32_t* seq,
                     unsigned char* outstanding, uint64_t* sent, uint64_t answered, uint64_t total, int window) {
  size_t n = 0;
  while (*sent < total && (int64_t)(*sent - answered) < window) {
    memcpy(batch + n, tmpl, pdu_size);
    put32(batch + n + 12, ++*seq);
    outstanding[*seq] = 1;
    n += pdu_size;
    ++*sent;
  }
  return n;
}

int bare_client_run(int port, int window, uint64_t total, struct bare_result* out) {
  float* const rtt = out->rtt_us;
  memset(out, 0, sizeof *out);
  out->rtt_us = rtt;
  int rc = -1;
  unsigned char tmpl[512];
  const size_t pdu_size = build_submit_sm(tmpl);
  unsigned char* in = malloc(read_room);
  unsigned char* batch = malloc(pdu_size * (size_t)window);
  unsigned char* outstanding = calloc(total + 2, 1); /* by sequence number, 2 .. total+1 */
  double* sent_at = rtt ? calloc(total + 2, sizeof(double)) : NULL;
  int fd = socket(AF_INET, SOCK_STREAM, 0);
  if (!in || !batch || !outstanding || fd < 0 || (rtt && !sent_at)) goto done;
  const int one = 1;
  setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
  struct sockaddr_in a;
  memset(&a, 0, sizeof a);
  a.sin_family = AF_INET;
  a.sin_port = htons((uint16_t)port);
  a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  if (connect(fd, (struct sockaddr*)&a, sizeof a) != 0) goto done;

  /* bind_transmitter "bench"/"pw", sequence 1, and its response. */
  static const unsigned char bind[] = {0, 0,   0,   30,  0,   0,   0, 2,   0,   0, 0, 0,    0, 0, 0,
                                       1, 'b', 'e', 'n', 'c', 'h', 0, 'p', 'w', 0, 0, 0x34, 0, 0, 0};
  if (send_all(fd, bind, sizeof bind) != 0) goto done;
  size_t have = 0;
  while (have < header_size || have < get32(in)) {
    ssize_t k = recv(fd, in + have, read_room - have, 0);
    if (k <= 0) goto done;
    have += (size_t)k;
  }
  if (get32(in + 4) != 0x80000002 || get32(in + 8) != 0) goto done;
  have -= get32(in);

  uint64_t sent = 0, answered = 0, bad = 0;
  uint32_t seq = 1;
  const double cpu0 = thread_cpu_us(), t0 = now_s();
  uint32_t first = seq + 1;
  size_t to_send = top_up(batch, tmpl, pdu_size, &seq, outstanding, &sent, answered, total, window);
  if (rtt)
    for (double t = now_s(); first <= seq; ++first) sent_at[first] = t;
  if (send_all(fd, batch, to_send) != 0) goto done;
  while (answered < total) {
    ssize_t k = recv(fd, in + have, read_room - have, 0);
    if (k <= 0) goto done;
    have += (size_t)k;
    const double t_read = rtt ? now_s() : 0;
    size_t at = 0;
    while (have - at >= header_size && have - at >= get32(in + at)) {
      const uint32_t len = get32(in + at), s = get32(in + at + 12);
      if (len < header_size) goto done;
      if (get32(in + at + 4) == 0x80000004 && get32(in + at + 8) == 0 && s < total + 2 && outstanding[s]) {
        outstanding[s] = 0;
        ++out->matched;
        if (rtt) rtt[out->rtt_count++] = (float)((t_read - sent_at[s]) * 1e6);
      } else {
        ++bad;
      }
      ++answered;
      at += len;
    }
    memmove(in, in + at, have - at);
    have -= at;
    first = seq + 1;
    to_send = top_up(batch, tmpl, pdu_size, &seq, outstanding, &sent, answered, total, window);
    if (rtt)
      for (double t = now_s(); first <= seq; ++first) sent_at[first] = t;
    if (to_send && send_all(fd, batch, to_send) != 0) goto done;
  }
  out->secs = now_s() - t0;
  out->cpu_us = thread_cpu_us() - cpu0;
  rc = bad == 0 && out->matched == total ? 0 : -1;
done:
  if (fd >= 0) close(fd);
  free(in);
  free(batch);
  free(outstanding);
  free(sent_at);
  return rc;
}
