// --time-limit, --max-rate and --idle on real images, the moves watched
// through the seam: no move is begun once the run has seen its time up, no
// 5-second window moves more than the rate, and the priority is lowered.
#include <mutex>
#include "inplace_fixture.h"
#include "reloc_support.h"
#include "run_limits.h"
#include "saved_settings.h"
#include "syscalls.h"

using namespace testsupport;
using namespace inplace;
using namespace reloctest;

namespace {

struct Call {
	double start, end;
	uint64_t ino;
	uint64_t blocks;
};
std::vector<Call> calls;

int recording_move_ext(int fd, struct move_extent *req)
{
	struct stat st;
	Call c;
	c.ino = fstat(fd, &st) ? 0 : st.st_ino;
	c.start = run_clock();
	int ret = qf_sys_default.move_ext(fd, req);
	c.end = run_clock();
	c.blocks = req->moved_len;
	calls.push_back(c);
	return ret;
}

// n fragmented files of 40 blocks, each piece of them between holes (as many
// files written with them are deleted again), so that the space-aware mode
// too has moves to make: moving one merges free runs.
std::vector<std::string> fragmented_files(LoopImage &img, unsigned n)
{
	interleave_allocations(img);
	std::vector<std::string> all, kept;
	for (unsigned i = 0; i < 2 * n; i++)
		all.push_back(img.path("f" + std::to_string(i)));
	write_interleaved(all, 40, 2, 4096, 11);
	for (unsigned i = 0; i < all.size(); i++)
		if (i % 2)
			unlink(all[i].c_str());
		else
			kept.push_back(all[i]);
	img.settle();
	return kept;
}

unsigned total_pieces(const std::vector<std::string> &files)
{
	unsigned n = 0;
	for (auto &f : files)
		n += fragments(filefrag(f));
	return n;
}

} // namespace

class Limits : public SettingsTest {};

TEST_F(Limits, NoMoveBegunAfterTheTimeIsUpAndNothingLost)
{
	REQUIRE_ROOT();
	LoopImage img(128, "-b 4096");
	ASSERT_TRUE(img.ok());
	auto files = fragmented_files(img, 200);
	auto sums = checksums(img);
	unsigned pieces0 = total_pieces(files);

	// the rate makes the work last well past the limit: 200 files of 160 KiB
	// at 2 MiB/s take 16 s. The space-aware mode first, while every file
	// still lies beside holes
	for (const char *mode : {"--space-aware", ""}) {
		calls.clear();
		qf_sys.move_ext = recording_move_ext;
		std::vector<std::string> args = {"-m", "--time-limit", "1", "--max-rate", "2"};
		if (*mode)
			args.push_back(mode);
		args.push_back(img.device());
		args.push_back(img.mnt());
		InProcess r = run_in_process(args);
		qf_sys = qf_sys_default;
		EXPECT_EQ(r.status, 0) << mode;
		EXPECT_EQ(count_lines(r.out, "Time limit reached after "), 1) << mode << r.out;
		double up = run_time_up_at();
		ASSERT_GT(up, 0) << mode;
		ASSERT_FALSE(calls.empty()) << mode;
		// the move under way is finished, in as many requests as it takes;
		// nothing else is begun
		uint64_t under_way = 0;
		for (const Call &c : calls) {
			if (c.start < up)
				under_way = c.ino;
			else
				EXPECT_EQ(c.ino, under_way) << mode << ": a move begun after the limit";
		}
		EXPECT_GT(figure(r.out, "IAF inoded defragmented:"), 0) << mode;
		EXPECT_LT(figure(r.out, "IAF inoded defragmented:"), 200) << mode;
	}
	EXPECT_LT(total_pieces(files), pieces0);
	EXPECT_EQ(checksums(img), sums);
	EXPECT_EQ(leftover_donors(img), "");
	std::string out;
	EXPECT_EQ(img.fsck(&out), 0) << out;
}

TEST_F(Limits, NoFiveSecondWindowMovesMoreThanTheRate)
{
	REQUIRE_ROOT();
	LoopImage img(128, "-b 4096");
	ASSERT_TRUE(img.ok());
	auto files = fragmented_files(img, 48); // 7.5 MiB to move
	auto sums = checksums(img);

	calls.clear();
	qf_sys.move_ext = recording_move_ext;
	InProcess r = run_in_process({"-m", "--max-rate", "1", img.device(), img.mnt()});
	qf_sys = qf_sys_default;
	ASSERT_EQ(r.status, 0);
	ASSERT_GT(figure(r.out, "IAF blocks defragmented:"), 1280) << "more than 5 s worth";
	const double rate = 1048576.0 / 4096; // blocks per second
	for (const Call &at : calls)
		for (double t : {at.start, at.end, at.start - 5, at.end - 5}) {
			uint64_t blocks = 0;
			for (const Call &c : calls)
				if (c.end >= t && c.start <= t + 5)
					blocks += c.blocks;
			ASSERT_LE((double)blocks, rate * 5) << "window from " << t;
		}
	EXPECT_EQ(checksums(img), sums);

	// --idle: the idle I/O class and nice 19, asked of the kernel (a leak
	// checker, where the build has one, cannot run under the tracer)
	CmdResult idle = run({"env", "ASAN_OPTIONS=detect_leaks=0", "strace", "-f", "-qq", "-e",
			      "trace=ioprio_set,setpriority", QUILLFOLD_BIN, "--idle", "-n",
			      img.device(), img.mnt()});
	EXPECT_EQ(idle.status, 0) << idle.err;
	EXPECT_NE(idle.err.find("IOPRIO_CLASS_IDLE"), std::string::npos) << idle.err;
	EXPECT_NE(idle.err.find("setpriority(PRIO_PROCESS, 0, 19)"), std::string::npos) << idle.err;
}
