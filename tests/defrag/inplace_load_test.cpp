// Safety under load: quillfold runs on a mounted image while another thread
// keeps appending to, rewriting and deleting some of the files. Whatever the
// interleaving, a file nobody else touched keeps its bytes, a touched file has
// exactly what was written last, and the file system checks clean.
#include <atomic>
#include <fcntl.h>
#include <iostream>
#include <thread>
#include <unistd.h>
#include "inplace_fixture.h"

using namespace testsupport;
using namespace inplace;

namespace {

const uint32_t kBs = 4096;
const size_t kMaxSize = 1 << 20;  // a touched file is rewritten rather than grown past this
const unsigned kMaxOps = 20000;   // the writer's hard bound, whatever quillfold does

struct Touched {
	std::string path;
	bool exists = true;
	std::string content;
};

std::string read_all(const std::string &path)
{
	std::string s;
	int fd = open(path.c_str(), O_RDONLY);
	if (fd < 0)
		return s;
	char buf[65536];
	ssize_t n;
	while ((n = read(fd, buf, sizeof(buf))) > 0)
		s.append(buf, (size_t)n);
	close(fd);
	return s;
}

bool write_full(int fd, const std::string &data, off_t at)
{
	return pwrite(fd, data.data(), data.size(), at) == (ssize_t)data.size();
}

// One step of the writer on one file; `expected` follows every change.
void writer_step(std::mt19937_64 &rng, Touched &t)
{
	unsigned op = rng() % 10;
	if (t.exists && t.content.size() > kMaxSize)
		op = 7; // rewrite it small
	if (op < 4) { // append an odd-sized piece
		std::string data = random_bytes(rng, 1 + rng() % (6 * kBs));
		int fd = open(t.path.c_str(), O_WRONLY | O_CREAT | O_APPEND, 0644);
		ASSERT_GE(fd, 0);
		ASSERT_EQ(write(fd, data.data(), data.size()), (ssize_t)data.size());
		if (rng() % 2)
			fsync(fd);
		close(fd);
		if (!t.exists)
			t.content.clear();
		t.exists = true;
		t.content += data;
	} else if (op < 7 && t.exists && !t.content.empty()) { // rewrite a range in place
		size_t at = rng() % t.content.size();
		size_t len = std::min<size_t>(1 + rng() % (4 * kBs), t.content.size() - at);
		std::string data = random_bytes(rng, len);
		int fd = open(t.path.c_str(), O_WRONLY);
		ASSERT_GE(fd, 0);
		ASSERT_TRUE(write_full(fd, data, (off_t)at));
		if (rng() % 2)
			fsync(fd);
		close(fd);
		t.content.replace(at, len, data);
	} else if (op < 9) { // rewrite the whole file
		std::string data = random_bytes(rng, rng() % (40 * kBs));
		int fd = open(t.path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
		ASSERT_GE(fd, 0);
		ASSERT_TRUE(write_full(fd, data, 0));
		fsync(fd);
		close(fd);
		t.exists = true;
		t.content = data;
	} else if (t.exists) { // delete
		ASSERT_EQ(unlink(t.path.c_str()), 0);
		t.exists = false;
		t.content.clear();
	}
}

} // namespace

// One round: two runs of quillfold with `mode` (empty for the default passes)
// while the writer works.
static void load_round(const std::string &mode)
{
	LoopImage img(128, "-b 4096");
	ASSERT_TRUE(img.ok());
	// keep the allocator interleaving for the whole test: the writer's own
	// appends then fragment the files again while quillfold works on them
	interleave_allocations(img);
	std::vector<std::string> all;
	for (int d = 0; d < 4; d++) {
		std::string dir = img.path("d" + std::to_string(d));
		sh_ok("mkdir '" + dir + "'");
		std::vector<std::string> group;
		for (int i = 0; i < 8; i++)
			group.push_back(dir + "/f" + std::to_string(i));
		write_interleaved(group, 24 + 40 * d, 1 + d, kBs, 100 + d);
		// the space-aware mode moves a file only when the free space pays
		// for it: every other file goes, so that the rest lie between holes
		for (size_t i = 0; i < group.size(); i++) {
			if (!mode.empty() && i % 2)
				unlink(group[i].c_str());
			else
				all.push_back(group[i]);
		}
	}
	img.settle();

	// every third file is the writer's; the others must keep their bytes
	std::vector<Touched> touched;
	std::map<std::string, std::string> untouched;
	for (size_t i = 0; i < all.size(); i++) {
		if (i % 3 == 0) {
			Touched t;
			t.path = all[i];
			t.content = read_all(all[i]);
			touched.push_back(t);
		} else {
			untouched[all[i]] = file_sha256(all[i]);
		}
	}

	std::atomic<bool> stop(false);
	unsigned ops = 0;
	std::thread writer([&] {
		std::mt19937_64 rng(0x5eed ^ (uint64_t)getpid());
		while (!stop.load() && ops < kMaxOps) {
			writer_step(rng, touched[rng() % touched.size()]);
			if (::testing::Test::HasFatalFailure())
				return;
			ops++;
		}
	});
	// two runs back to back: the second meets the files the writer has
	// fragmented again in the meantime
	// --keep-going: a name the writer removes between the walk's directory
	// read and its open is passed over; bitmaps the writer changes while
	// Pass1 reads them are read again. Both runs get to the end.
	std::vector<std::string> args = {QUILLFOLD_BIN, "-v", "--keep-going"};
	if (!mode.empty())
		args.push_back(mode);
	args.push_back(img.device());
	args.push_back(img.mnt());
	CmdResult r1 = run(args);
	CmdResult r2 = run(args);
	stop = true;
	writer.join();
	EXPECT_EQ(r1.status, 0) << r1.err;
	EXPECT_EQ(r2.status, 0) << r2.err;

	auto count = [](const std::string &s, const std::string &what) {
		size_t n = 0;
		for (size_t p = 0; (p = s.find(what, p)) != std::string::npos; p++)
			n++;
		return n;
	};
	std::cout << r1.err << r2.err;
	std::cout << "writer steps: " << ops << ", in-place moves: "
		  << count(r1.out + r2.out, "do_iaf_defrag_one SUCCESS") +
			     count(r1.out + r2.out, "space_aware SUCCESS")
		  << " done, "
		  << count(r1.out + r2.out, "do_iaf_defrag_one FAIL") +
			     count(r1.out + r2.out, "space_aware FAIL")
		  << " refused; run status "
		  << r1.status << ", " << r2.status << "\n";

	auto check = [&](const char *when) {
		for (auto &u : untouched)
			EXPECT_EQ(file_sha256(u.first), u.second) << when << ": " << u.first;
		for (auto &t : touched) {
			EXPECT_EQ(access(t.path.c_str(), F_OK) == 0, t.exists) << when << ": " << t.path;
			if (t.exists) {
				EXPECT_TRUE(read_all(t.path) == t.content)
					<< when << ": " << t.path << " differs from what was written last";
			}
		}
	};
	check("in the page cache");
	EXPECT_EQ(leftover_donors(img), "");
	img.settle();
	std::string out;
	EXPECT_EQ(img.fsck(&out), 0) << out;
	check("read back from the device");
}

TEST(InPlaceLoad, ConcurrentWritersKeepTheirLastWordAndEveryOtherFileItsBytes)
{
	REQUIRE_ROOT();
	load_round("");
}

// Rounds: QF_SPACE_LOAD_ROUNDS (default 2; the release check runs 20). The
// ballast the mode holds must leave the writer room to write.
TEST(InPlaceLoad, SpaceAwareUnderConcurrentWriters)
{
	REQUIRE_ROOT();
	const char *e = getenv("QF_SPACE_LOAD_ROUNDS");
	unsigned rounds = e ? (unsigned)atoi(e) : 2;
	for (unsigned r = 0; r < rounds && !HasFailure(); r++)
		load_round("--space-aware");
}
