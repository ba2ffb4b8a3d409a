// The read-only passes through the real program on a loop-mounted image:
// Pass1, Pass2 and Pass3_prep lines and dumps checked against an independent
// model built from filefrag, and a run that leaves the file system untouched.
#include <map>
#include <set>
#include <sstream>
#include <sys/stat.h>
#include "reloc_support.h"
#include "scan_helpers.h"

using namespace testsupport;
using namespace scantest;

namespace {

struct SpRun {
	uint64_t start, len;
	unsigned ex, d, ro, old, fnd, iaf, flags;
};
typedef std::vector<SpRun> Dump;

// The dumps (between separator pairs) of a run's standard output, in order.
std::vector<Dump> dumps_of(const std::string &out)
{
	std::vector<Dump> all;
	std::istringstream in(out);
	std::string line;
	bool inside = false;
	while (std::getline(in, line)) {
		if (line == "\t\t\t=================================") {
			if (!inside)
				all.emplace_back();
			inside = !inside;
			continue;
		}
		if (!inside)
			continue;
		SpRun r;
		unsigned long long s, l;
		void *p;
		if (sscanf(line.c_str(),
			   "\t\t\t ex:%p ->[%llu, %llu] ex:%u d:%u ro:%u old:%u fnd:%u iaf:%u flags:%x",
			   &p, &s, &l, &r.ex, &r.d, &r.ro, &r.old, &r.fnd, &r.iaf, &r.flags) == 10) {
			r.start = s;
			r.len = l;
			all.back().push_back(r);
		}
	}
	return all;
}

std::string line_with(const std::string &out, const std::string &prefix)
{
	std::istringstream in(out);
	std::string line;
	while (std::getline(in, line))
		if (line.rfind(prefix, 0) == 0)
			return line;
	return "";
}

// What Pass2 should have found, from filefrag of every entry it is given.
struct Model {
	std::map<uint64_t, SpRun> runs; // by start, counters only
	unsigned long long extents = 0, inodes = 0, collisions = 0;
};

void credit(Model &m, const struct stat &st, const std::vector<FragExtent> &ff,
	    uint32_t old_time_v)
{
	bool ro = (st.st_mode & 0111) || !(st.st_mode & 0222);
	bool old = !ro && (int64_t)st.st_mtime < (int64_t)old_time_v;
	m.extents += ff.size();
	unsigned pieces = fragments(ff);
	// merged runs, as the map holds them
	std::vector<FragExtent> merged;
	for (auto &e : ff) {
		if (!merged.empty() && merged.back().logical + merged.back().length == e.logical &&
		    merged.back().physical + merged.back().length == e.physical)
			merged.back().length += e.length;
		else
			merged.push_back(e);
	}
	for (auto &e : merged) {
		auto it = m.runs.upper_bound(e.physical);
		if (it == m.runs.begin()) {
			m.collisions++;
			return;
		}
		--it;
		SpRun &r = it->second;
		if (e.physical >= r.start + r.len || e.physical + e.length > r.start + r.len) {
			m.collisions++;
			return;
		}
		r.ex++;
		r.fnd += (uint16_t)e.length;
		r.d += S_ISDIR(st.st_mode);
		r.ro += ro;
		r.old += old;
		r.iaf += pieces > 1;
	}
}

struct ScanRun : SettingsTest {
	void SetUp() override { REQUIRE_ROOT(); }
};

TEST_F(ScanRun, VerboseLinesAndDumpsAgreeWithFilefrag)
{
	// no backup superblocks: a long file can run on across group boundaries
	LoopImage img(128, "-b 1024 -O sparse_super2 -E num_backup_sb=0", "noatime");
	ASSERT_TRUE(img.ok());
	const std::string m = img.mnt();
	// read-only, old, fresh, executable and fragmented files, directories,
	// and one file long enough to run across block groups (8 MiB each)
	sh_ok("cd '" + m + "' && dd if=/dev/zero of=big bs=1M count=12 status=none && sync && "
	      "mkdir -p a/b c && "
	      "for i in 1 2 3 4 5 6; do head -c $((i * 3000)) /dev/zero > a/f$i; done && "
	      "for i in 1 2 3; do head -c 5000 /dev/zero > a/b/g$i; done && "
	      "head -c 4000 /dev/zero > c/exe && chmod 755 c/exe && chmod 444 a/f1 && "
	      "touch -d '20 days ago' a/f2 a/b/g1 && "
	      // read-only files left alone in sparse windows once their
	      // neighbours are gone: something for Pass3_prep to mark
	      "mkdir sparse && for i in $(seq 1 30); do head -c 20000 /dev/zero > sparse/k$i; "
	      "chmod 444 sparse/k$i; head -c 60000 /dev/zero > sparse/d$i; done && sync && "
	      "rm sparse/d*");
	{
		int a = open(img.path("c/x").c_str(), O_CREAT | O_WRONLY, 0644);
		int b = open(img.path("c/y").c_str(), O_CREAT | O_WRONLY, 0644);
		for (int i = 0; i < 5; i++) {
			write_blocks(a, i * 3, 3, 1024);
			fsync(a);
			write_blocks(b, i * 3, 3, 1024);
			fsync(b);
		}
		close(a);
		close(b);
	}
	img.settle();

	// the model's inputs, taken before the run changes anything
	std::vector<std::pair<struct stat, std::vector<FragExtent>>> entries;
	unsigned long long below = 0;
	std::istringstream list(sh_ok("cd '" + m + "' && find . -type f -o -type d"));
	std::string p;
	bool crossing = false;
	while (std::getline(list, p)) {
		std::string full = m + "/" + p;
		struct stat st;
		ASSERT_EQ(stat(full.c_str(), &st), 0);
		if (p != ".")
			below++;
		if (st.st_size == 0 || st.st_blocks == 0)
			continue;
		auto ff = filefrag(full);
		for (auto &e : ff)
			// 1 KiB blocks: groups of 8192 blocks from block 1
			crossing |= p == "./big" &&
				    (e.physical - 1) / 8192 != (e.physical + e.length - 2) / 8192;
		entries.push_back({st, ff});
	}
	ASSERT_TRUE(crossing) << "the long file should have an extent across a group boundary";
	ASSERT_GE(fragments(filefrag(img.path("c/x"))), 2u);

	CmdResult r = run(
		{QUILLFOLD_BIN, "-v", "-m", "-n", "-c", "65536", "-d", "0x08", img.device(), m});
	ASSERT_EQ(r.status, 0) << r.err;
	auto dumps = dumps_of(r.out);
	ASSERT_GE(dumps.size(), 3u) << r.out;

	// Pass1: as many space fragments as the first dump holds
	EXPECT_EQ(line_with(r.out, "Pass1:  Finished."),
		  "Pass1:  Finished. Collected " + std::to_string(dumps[0].size()) +
			  " space fragments");

	// Pass2: the counters of each run as the model expects
	Model model;
	for (auto &run : dumps[0]) {
		SpRun z = run;
		z.ex = z.d = z.ro = z.old = z.fnd = z.iaf = z.flags = 0;
		model.runs[run.start] = z;
	}
	// the program's old_time is its start minus ten days; a second of
	// difference does not matter for files made now or 20 days ago
	uint32_t old_t = (uint32_t)(time(nullptr) - 864000);
	for (auto &e : entries)
		credit(model, e.first, e.second, old_t);
	EXPECT_GE(model.collisions, 1u);
	ASSERT_EQ(dumps[1].size(), model.runs.size());
	unsigned ro_seen = 0, old_seen = 0, iaf_seen = 0, dir_seen = 0;
	for (auto &got : dumps[1]) {
		SCOPED_TRACE(got.start);
		ASSERT_TRUE(model.runs.count(got.start));
		const SpRun &want = model.runs[got.start];
		EXPECT_EQ(got.len, want.len);
		EXPECT_EQ(got.ex, want.ex);
		EXPECT_EQ(got.d, want.d);
		EXPECT_EQ(got.ro, want.ro);
		EXPECT_EQ(got.old, want.old);
		EXPECT_EQ(got.fnd, want.fnd);
		EXPECT_EQ(got.iaf, want.iaf);
		ro_seen += got.ro;
		old_seen += got.old;
		iaf_seen += got.iaf;
		dir_seen += got.d;
	}
	EXPECT_GT(ro_seen, 0u);
	EXPECT_GT(old_seen, 0u);
	EXPECT_GT(iaf_seen, 0u);
	EXPECT_GT(dir_seen, 0u);
	EXPECT_EQ(line_with(r.out, "Pass2:  Finished."),
		  "Pass2:  Finished. Scanned " + std::to_string(model.extents) + " extents of " +
			  std::to_string(below) + " inodes");

	// Pass3_prep: its summary is what its dump shows as marked
	unsigned long long blocks = 0, exts = 0;
	std::set<uint64_t> windows;
	const uint64_t cluster = 65536 / 1024;
	for (auto &got : dumps[2]) {
		const SpRun &c = model.runs[got.start];
		EXPECT_EQ(!!(got.flags & SP_FL_RO_OLD), c.ro + c.old == c.ex) << got.start;
		EXPECT_EQ(!!(got.flags & SP_FL_FULL), c.fnd == got.len) << got.start;
		if (got.flags & SP_FL_IEF_RELOC) {
			blocks += got.len;
			exts++;
			windows.insert((got.start + got.len) & ~(cluster - 1));
		}
	}
	EXPECT_EQ(line_with(r.out, "Pass3_prep "),
		  "Pass3_prep " + std::to_string(blocks) + " blocks of " + std::to_string(exts) +
			  " extents from " + std::to_string(windows.size()) +
			  " clusters may be relocated");
	EXPECT_GT(exts, 0u) << "the sparse read-only windows should be marked";

	// order of the progress lines and where the dumps fall
	size_t p1 = r.out.find("Pass1:  Finished."), p2s = r.out.find("Pass2:  Scan directory"),
	       p2 = r.out.find("Pass2:  Finished."), p3s = r.out.find("Pass3_prep:  Scan and rate"),
	       p3 = r.out.find("Pass3_prep "), p4 = r.out.find("Pass3:  Rescan");
	ASSERT_NE(p4, std::string::npos);
	EXPECT_TRUE(p1 < p2s && p2s < p2 && p2 < p3s && p3s < p3 && p3 < p4);
	size_t sep2 = r.out.find("\t\t\t====", p2);
	EXPECT_LT(sep2, p3s) << "a dump follows Pass2";
	size_t sep3 = r.out.find("\t\t\t====", p3);
	EXPECT_LT(sep3, p4) << "a dump follows Pass3_prep";
	EXPECT_NE(r.out.find("Cluster "), std::string::npos);
	EXPECT_NE(r.out.find("Inodes  scanned:"), std::string::npos);
	std::cout << line_with(r.out, "Pass1:") << "\n"
		  << line_with(r.out, "Pass2:  Finished") << "\n"
		  << line_with(r.out, "Pass3_prep ") << "\n";
}

// Every file's contents and extent map, keyed by path.
std::map<std::string, std::string> snapshot(const std::string &mnt)
{
	std::map<std::string, std::string> s;
	std::istringstream list(sh_ok("cd '" + mnt + "' && find . -type f"));
	std::string p;
	while (std::getline(list, p)) {
		std::string v = file_sha256(mnt + "/" + p);
		for (auto &e : filefrag(mnt + "/" + p))
			v += " " + std::to_string(e.logical) + ":" + std::to_string(e.physical) + "+" +
			     std::to_string(e.length);
		s[p] = v;
	}
	return s;
}

// Sectors written by the loop device (field 7 of its stat file).
uint64_t sectors_written(const LoopImage &img)
{
	std::string name = img.device().substr(img.device().rfind('/') + 1);
	std::istringstream in(sh_ok("cat /sys/block/" + name + "/stat"));
	uint64_t v[7] = {};
	for (auto &x : v)
		in >> x;
	return v[6];
}

TEST_F(ScanRun, NothingChangesOnTheFileSystem)
{
	LoopImage img(64, "", "noatime");
	ASSERT_TRUE(img.ok());
	const std::string m = img.mnt();
	// fresh writable files, none fragmented: no later pass has work
	sh_ok("cd '" + m + "' && mkdir -p d/e && for i in $(seq 1 40); do "
	      "head -c $((i * 1500)) /dev/urandom > d/f$i; head -c 300 /dev/urandom > d/e/g$i; done");
	img.settle();
	auto before = snapshot(m);
	uint64_t writes = img.device_writes(), sectors = sectors_written(img);
	CmdResult r = run({QUILLFOLD_BIN, "-v", "-q", "1000", img.device(), m});
	ASSERT_EQ(r.status, 0) << r.err;
	EXPECT_NE(r.out.find("Pass3_prep 0 blocks"), std::string::npos) << r.out;
	// libext2fs syncs the device it opens: one cache flush, a write request
	// that carries no data; not one sector may be written
	EXPECT_LE(img.device_writes(), writes + 1) << r.out;
	EXPECT_EQ(sectors_written(img), sectors) << r.out;
	EXPECT_EQ(snapshot(m), before);
	std::string fsck;
	EXPECT_EQ(img.fsck(&fsck), 0) << fsck;
}

int openat_unlinking(int dir_fd, const char *name, int flags, mode_t mode)
{
	if (!strcmp(name, "victim") && !(flags & O_DIRECTORY))
		unlinkat(dir_fd, name, 0);
	return qf_sys_default.openat(dir_fd, name, flags, mode);
}

TEST_F(ScanRun, EntryVanishingBeforeOpenMakesPass2Fatal)
{
	LoopImage img(32, "", "noatime");
	ASSERT_TRUE(img.ok());
	sh_ok("cd '" + img.mnt() + "' && mkdir d && echo 1 > d/victim && echo 2 > d/other");
	img.settle();
	std::string dev = img.device(), mnt = img.mnt();
	const char *argv[] = {"quillfold", "-v", dev.c_str(), mnt.c_str(), nullptr};
	EXPECT_EXIT(
		{
			qf_sys.openat = openat_unlinking;
			quillfold_main(4, (char **)argv);
		},
		::testing::ExitedWithCode(1), "Pass2: failed \n");
}

TEST_F(ScanRun, WithKeepGoingAVanishedEntryIsSkippedAndTheRunCompletes)
{
	LoopImage img(32, "", "noatime");
	ASSERT_TRUE(img.ok());
	sh_ok("cd '" + img.mnt() + "' && mkdir d && echo 1 > d/victim && echo 2 > d/other");
	img.settle();
	qf_sys.openat = openat_unlinking;
	reloctest::InProcess r =
		reloctest::run_in_process({"-v", "-m", "--keep-going", img.device(), img.mnt()});
	EXPECT_EQ(r.status, 0);
	EXPECT_EQ(reloctest::count_lines(
			  r.out, "walk_subtree: victim vanished before it was opened, errno:2, skipped"),
		  1)
		<< r.out;
	EXPECT_NE(r.out.find("Pass4: Process defrag list"), std::string::npos) << r.out;
	EXPECT_NE(r.out.find("Entries vanished:\t\t1 \n"), std::string::npos) << r.out;
}

} // namespace
