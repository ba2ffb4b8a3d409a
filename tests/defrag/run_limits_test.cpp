// The pace of --max-rate on a simulated clock: however long each request
// takes, no window of the measuring length holds more than the rate allows.
// The rate on a real image: limits_run_test.cpp.
#include <random>
#include <vector>
#include <gtest/gtest.h>
#include "run_limits.h"

namespace {

struct Move {
	double start, end;
	uint64_t bytes;
};

// The most bytes of moves that overlap any window of `w` seconds: such a
// window's worst placement begins where some move ends (or starts).
uint64_t worst_window(const std::vector<Move> &moves, double w)
{
	uint64_t worst = 0;
	for (const Move &at : moves)
		for (double t : {at.start, at.end, at.end - w, at.start - w}) {
			uint64_t sum = 0;
			for (const Move &m : moves)
				if (m.end >= t && m.start <= t + w)
					sum += m.bytes;
			worst = std::max(worst, sum);
		}
	return worst;
}

} // namespace

TEST(RatePacer, NoWindowHoldsMoreThanTheRate)
{
	const uint64_t page = 4096;
	struct Case {
		double rate; // bytes per second
		double slow; // how long a request takes, per byte, at most
	} cases[] = {
		{20.0 * 1048576, 1.0 / (200.0 * 1048576)}, // moves much faster than the rate
		{20.0 * 1048576, 1.0 / (10.0 * 1048576)},  // slower than the rate
		{1.0 * 1048576, 1.0 / (50.0 * 1048576)},
		{64.0 * 1024, 1.0 / (50.0 * 1048576)},     // a few pages a second
	};
	std::mt19937_64 rng(7);
	for (const Case &c : cases) {
		struct rate_pacer p;
		rate_pacer_init(&p, c.rate, 5.0, page);
		ASSERT_GE(p.slice, page);
		ASSERT_LE((double)p.slice, c.rate * 5.0 / 10);
		std::vector<Move> moves;
		double now = 0;
		for (int i = 0; i < 400; i++) {
			// requests of any size up to the slice, some of them after a pause
			uint64_t bytes = (rng() % (p.slice / page) + 1) * page;
			if (rng() % 10 == 0)
				now += (double)(rng() % 3000) / 1000;
			double start = rate_pacer_book(&p, now, bytes);
			ASSERT_GE(start, now);
			double end = start + (double)bytes * c.slow * (double)(rng() % 100) / 100;
			moves.push_back({start, end, bytes});
			now = end;
		}
		EXPECT_LE((double)worst_window(moves, 5.0), c.rate * 5.0) << c.rate;
	}
}

TEST(RatePacer, InstantMovesGetMostOfTheRate)
{
	struct rate_pacer p;
	double rate = 20.0 * 1048576;
	rate_pacer_init(&p, rate, 5.0, 4096);
	double start = 0, now = 0;
	uint64_t total = 0;
	for (int i = 0; i < 200; i++) {
		now = rate_pacer_book(&p, now, p.slice);
		total += p.slice;
	}
	// the last request starts at `now`; it and the ones before took no time
	EXPECT_GE((double)(total - p.slice) / (now - start), 0.9 * rate);
}
