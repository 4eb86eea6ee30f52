/* A client with no library, for the loopback limit (bare_client.c). */
#ifndef VELMOR_BENCH_BARE_CLIENT_H
#define VELMOR_BENCH_BARE_CLIENT_H

#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

struct bare_result {
  double secs;      /* first submit_sm sent to last response read */
  double cpu_us;    /* CPU of the calling thread over the same span */
  uint64_t matched; /* successful submit_sm_resp matched by sequence number */
  /* In: NULL, or room for `total` round trips in microseconds (the send that
   * carried the request to the read that brought its response), written in
   * the order the responses arrive; rtt_count says how many were. */
  float* rtt_us;
  uint64_t rtt_count;
};

/* Connects to 127.0.0.1:port, binds as a transmitter and pipelines `total`
 * submit_sm with at most `window` outstanding. 0 when every response came
 * back, successful and matched; -1 otherwise (connection lost, bind refused,
 * unexpected PDU). Blocking; runs on the caller's thread. */
int bare_client_run(int port, int window, uint64_t total, struct bare_result* out);

#ifdef __cplusplus
}
#endif

#endif
