// The limits a run keeps to: the time limit, the rate of data moved and the
// idle priority.
#include <cerrno>
#include <cmath>
#include <ctime>
#include <sys/resource.h>
#include <sys/syscall.h>
#include <unistd.h>
#include "run_limits.h"

// The window --max-rate is measured over.
#define RATE_WINDOW_S 5.0
// Requests are cut to this part of what the rate allows in one window.
#define RATE_SLICES_PER_WINDOW 50

static struct {
	double started;  // run_clock at the start of the run
	double deadline; // 0: no time limit
	const char *pass;
	const char *up_pass; // the pass the limit was reached in, null before
	double up_at;
	struct rate_pacer pacer;
	uint32_t blocksize_bits;
} lim;

double run_clock(void)
{
	struct timespec t;
	clock_gettime(CLOCK_MONOTONIC, &t);
	return (double)t.tv_sec + (double)t.tv_nsec / 1e9;
}

void rate_pacer_init(struct rate_pacer *p, double rate, double window, uint64_t unit)
{
	p->rate = rate;
	p->window = window;
	p->next = 0;
	p->slice = 0;
	p->pace = 0;
	if (rate <= 0)
		return;
	// The requests of one window are spaced so that, with one request
	// straddling each end of it, no window holds more than rate * window:
	// pace * window + 2 * slice <= rate * window.
	double slice = rate * window / RATE_SLICES_PER_WINDOW;
	if (slice < (double)unit)
		slice = (double)unit;
	p->slice = (uint64_t)slice / unit * unit;
	if (p->slice < unit)
		p->slice = unit;
	p->pace = rate - 2.0 * (double)p->slice / window;
	// a rate below a few pages per second cannot be kept exactly: crawl
	if (p->pace < rate / 10)
		p->pace = rate / 10;
}

double rate_pacer_book(struct rate_pacer *p, double now, uint64_t bytes)
{
	if (p->rate <= 0)
		return now;
	double start = now > p->next ? now : p->next;
	p->next = start + (double)bytes / p->pace;
	return start;
}

void run_limits_set(double started, double time_limit, double max_rate_mib,
		    uint32_t blocksize_bits)
{
	lim.blocksize_bits = blocksize_bits;
	lim.started = started;
	lim.deadline = time_limit > 0 ? started + time_limit : 0;
	lim.pass = "";
	lim.up_pass = nullptr;
	lim.up_at = 0;
	rate_pacer_init(&lim.pacer, max_rate_mib * 1048576.0, RATE_WINDOW_S,
			(uint64_t)sysconf(_SC_PAGESIZE));
}

void run_limits_pass(const char *name)
{
	lim.pass = name;
}

int run_time_up(void)
{
	if (lim.up_pass)
		return 1;
	if (!lim.deadline)
		return 0;
	double now = run_clock();
	if (now < lim.deadline)
		return 0;
	lim.up_pass = lim.pass;
	lim.up_at = now;
	return 1;
}

int run_time_was_up(void)
{
	return lim.up_pass != nullptr;
}

const char *run_time_up_pass(void)
{
	return lim.up_pass ? lim.up_pass : "";
}

double run_time_up_at(void)
{
	return lim.up_pass ? lim.up_at : 0;
}

double run_seconds(void)
{
	return run_clock() - lim.started;
}

uint64_t run_slice_blocks(void)
{
	if (lim.pacer.rate <= 0)
		return 0;
	uint64_t b = lim.pacer.slice >> lim.blocksize_bits;
	return b ? b : 1;
}

void run_pace(uint64_t blocks)
{
	if (lim.pacer.rate <= 0)
		return;
	double now = run_clock();
	double start = rate_pacer_book(&lim.pacer, now, blocks << lim.blocksize_bits);
	if (start <= now)
		return;
	double wait = start - now;
	struct timespec ts;
	ts.tv_sec = (time_t)wait;
	ts.tv_nsec = (long)((wait - (double)ts.tv_sec) * 1e9);
	while (nanosleep(&ts, &ts) && errno == EINTR)
		;
}

// The kernel's I/O priority request has no wrapper in the C library.
#define QF_IOPRIO_WHO_PROCESS 1
#define QF_IOPRIO_CLASS_IDLE 3
#define QF_IOPRIO_CLASS_SHIFT 13

int run_set_idle(void)
{
	if (syscall(SYS_ioprio_set, QF_IOPRIO_WHO_PROCESS, 0,
		    QF_IOPRIO_CLASS_IDLE << QF_IOPRIO_CLASS_SHIFT))
		return -1;
	return setpriority(PRIO_PROCESS, 0, 19);
}
