// The limits a run keeps to: a time limit (--time-limit), a rate of data
// moved (--max-rate) and a low priority (--idle). No state survives the run:
// the next run plans afresh.
#pragma once
#include <cstdint>

// Seconds on the monotonic clock.
double run_clock(void);
// Arms the limits, counting the time limit from `started` (run_clock at the
// start of the run); 0 leaves a limit off. Moves count in blocks of
// 1 << blocksize_bits bytes.
void run_limits_set(double started, double time_limit, double max_rate_mib,
		    uint32_t blocksize_bits);
// The pass the run is in, named in the message when the time is up.
void run_limits_pass(const char *name);
// True once the time limit has passed (and from then on). The move under way
// is finished; nothing new is started.
int run_time_up(void);
// Whether the time limit was reached, in which pass, after how long.
int run_time_was_up(void);
const char *run_time_up_pass(void);
// When the run first saw the time up (run_clock), 0 before.
double run_time_up_at(void);
double run_seconds(void);

// Pacing of the data moved. A move asks before each request for its bytes;
// a request may start at the returned time, which keeps the data moved in
// any window of `window` seconds at or below rate * window as long as no
// request is larger than rate_slice_bytes. Pure: the clock is the caller's.
struct rate_pacer {
	double rate;    // bytes per second asked for, 0 for none
	double window;  // seconds
	uint64_t slice; // the largest request, bytes
	double pace;    // bytes per second the requests are spaced at
	double next;    // earliest start of the next request
};
// `unit` is the smallest request that makes sense (a page).
void rate_pacer_init(struct rate_pacer *p, double rate, double window, uint64_t unit);
// When a request of `bytes`, asked at `now`, may start; books it.
double rate_pacer_book(struct rate_pacer *p, double now, uint64_t bytes);

// --max-rate: blocks per extent-move request (0: no limit), and the wait
// before a request of so many blocks.
uint64_t run_slice_blocks(void);
void run_pace(uint64_t blocks);

// --idle: the idle I/O class and nice 19 for this process. 0, or -1 with errno.
int run_set_idle(void);
