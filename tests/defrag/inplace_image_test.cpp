// In-place defragmentation on real loop-mounted ext4 images, through the
// quillfold binary, and the kernel's extent-move rules it depends on.
#include <csignal>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>
#include "inplace_fixture.h"
#include "quillfold.h"

using namespace testsupport;
using namespace inplace;

namespace {

struct Layout {
	std::vector<FragExtent> exts;
	unsigned frag;
	bool qualifies;
};

std::map<std::string, Layout> layouts(const LoopImage &img,
				      const std::map<std::string, std::string> &files)
{
	std::map<std::string, Layout> m;
	for (auto &f : files) {
		Layout l;
		l.exts = filefrag(img.path(f.first));
		l.frag = fragments(l.exts);
		l.qualifies = qualifies_in_place(l.exts);
		m[f.first] = l;
	}
	return m;
}

bool same_layout(const std::vector<FragExtent> &a, const std::vector<FragExtent> &b)
{
	if (a.size() != b.size())
		return false;
	for (size_t i = 0; i < a.size(); i++)
		if (a[i].logical != b[i].logical || a[i].physical != b[i].physical ||
		    a[i].length != b[i].length)
			return false;
	return true;
}

// A tree with files of every kind the in-place pass meets: many small pieces,
// the 64-block average on both sides of the limit, tiny files, a hole, a
// contiguous file.
void build_tree(LoopImage &img, uint32_t bs = 4096)
{
	interleave_allocations(img);
	sh_ok("mkdir -p '" + img.path("a/b") + "' '" + img.path("c") + "' '" + img.path("small") +
	      "'");
	write_interleaved({img.path("a/f0"), img.path("a/f1"), img.path("a/f2")}, 32, 2, bs, 1);
	write_interleaved({img.path("a/b/g0"), img.path("a/b/g1")}, 128, 64, bs, 2);
	write_interleaved({img.path("c/h0"), img.path("c/h1")}, 130, 65, bs, 3);
	write_interleaved({img.path("small/s0"), img.path("small/s1"), img.path("small/s2")}, 3, 1,
			  bs, 4);
	write_interleaved({img.path("c/many0"), img.path("c/many1")}, 600, 3, bs, 5);
	sh_ok("dd if=/dev/urandom of='" + img.path("c/holey") +
	      "' bs=" + std::to_string(bs) + " count=2 status=none && dd if=/dev/urandom of='" + img.path("c/holey") +
	      "' bs=" + std::to_string(bs) + " seek=10 count=2 conv=notrunc status=none");
	sh_ok("dd if=/dev/urandom of='" + img.path("contig") + "' bs=" + std::to_string(bs) + " count=50 status=none");
	// back to the allocator's normal policy, which donors rely on
	std::string name = img.device().substr(img.device().rfind('/') + 1);
	sh_ok("echo 16 > /sys/fs/ext4/" + name + "/mb_stream_req");
	img.settle();
}

std::string success_line_prefix(uint64_t ino)
{
	return "do_iaf_defrag_one SUCCESS ino:" + std::to_string(ino) + " ";
}

} // namespace

TEST(InPlaceImage, FragmentedFilesEndWithAtMostHalfTheirPiecesAndTheSameBytes)
{
	REQUIRE_ROOT();
	LoopImage img(128, "-b 4096");
	ASSERT_TRUE(img.ok());
	build_tree(img);

	// Files the kernel will not let us move: immutable, append-only, and an
	// executable that is running; each fragmented like the others.
	write_interleaved({img.path("c/immutable"), img.path("c/appendonly"), img.path("c/fill")},
			  12, 1, 4096, 6);
	sh_ok("chattr +i '" + img.path("c/immutable") + "' && chattr +a '" +
	      img.path("c/appendonly") + "'");
	{
		interleave_allocations(img);
		CmdResult bin = sh("cat /bin/sleep");
		int e = open(img.path("exe").c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0755);
		int f = open(img.path("exe.fill").c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
		for (size_t off = 0; off < bin.out.size(); off += 4096) {
			size_t n = std::min<size_t>(4096, bin.out.size() - off);
			ASSERT_EQ(write(e, bin.out.data() + off, n), (ssize_t)n);
			fsync(e);
			ASSERT_EQ(write(f, bin.out.data(), 4096), 4096);
			fsync(f);
		}
		close(e);
		close(f);
		sh_ok("echo 16 > /sys/fs/ext4/" +
		      img.device().substr(img.device().rfind('/') + 1) + "/mb_stream_req");
	}
	pid_t exe = fork();
	if (exe == 0) {
		execl(img.path("exe").c_str(), "exe", "600", (char *)nullptr);
		_exit(127);
	}
	ASSERT_GT(exe, 0);
	// wait until the program really runs (its image is then write-protected)
	for (int i = 0; i < 1000; i++) {
		int fd = open(img.path("exe").c_str(), O_RDWR);
		if (fd < 0)
			break;
		close(fd);
		usleep(1000);
	}
	img.settle();

	auto sums = checksums(img);
	auto before = layouts(img, sums);
	for (const char *f : {"a/f0", "a/b/g0", "small/s0", "c/many0", "c/immutable", "exe"})
		ASSERT_TRUE(before[std::string("./") + f].qualifies)
			<< f << " was not made fragmented enough: " << before[std::string("./") + f].frag;
	ASSERT_FALSE(before["./c/h0"].qualifies);
	ASSERT_FALSE(before["./c/holey"].qualifies);
	uint64_t free_before = free_blocks(img);
	uint64_t held_before = free_plus_held(img);

	CmdResult r = run({QUILLFOLD_BIN, "-v", "-m", img.device(), img.mnt()});
	kill(exe, SIGKILL);
	waitpid(exe, nullptr, 0);
	EXPECT_EQ(r.status, 0) << r.err;
	img.settle();

	std::set<std::string> refused = {"./c/immutable", "./c/appendonly", "./exe"};
	int moved = 0;
	for (auto &b : before) {
		const std::string &f = b.first;
		auto exts = filefrag(img.path(f));
		uint64_t ino = inode_of(img.path(f));
		if (!b.second.qualifies)
			continue;
		if (refused.count(f)) {
			EXPECT_TRUE(same_layout(exts, b.second.exts)) << f << " was moved";
			EXPECT_EQ(r.out.find(success_line_prefix(ino)), std::string::npos) << f;
			continue;
		}
		EXPECT_LE(fragments(exts), b.second.frag / 2)
			<< f << " had " << b.second.frag << " pieces\n" << r.out;
		EXPECT_NE(r.out.find(success_line_prefix(ino)), std::string::npos) << f;
		moved++;
	}
	EXPECT_GE(moved, 12);
	EXPECT_EQ(r.out.find("do_iaf_defrag_one FAIL"), std::string::npos) << r.out;
	EXPECT_EQ(r.out.find(success_line_prefix(inode_of(img.path("c/h0")))), std::string::npos);
	EXPECT_EQ(r.out.find(success_line_prefix(inode_of(img.path("c/holey")))),
		  std::string::npos);
	size_t lines = 0;
	for (size_t p = 0; (p = r.out.find("do_iaf_defrag_one SUCCESS", p)) != std::string::npos; p++)
		lines++;
	EXPECT_NE(r.out.find("IAF inoded defragmented:\t\t" + std::to_string(lines) + " \n"),
		  std::string::npos)
		<< r.out;

	EXPECT_EQ(checksums(img), sums);
	EXPECT_GE(free_blocks(img), free_before);
	EXPECT_EQ(free_plus_held(img), held_before);
	EXPECT_EQ(leftover_donors(img), "");
	sh("chattr -i -a '" + img.path("c/immutable") + "' '" + img.path("c/appendonly") + "'");
	std::string out;
	EXPECT_EQ(img.fsck(&out), 0) << out;
	// and the contents as read back from the device, not the page cache
	EXPECT_EQ(checksums(img), sums);
}

TEST(InPlaceImage, DryRunMakesAndReleasesDonorsButMovesNothing)
{
	REQUIRE_ROOT();
	LoopImage img(128, "-b 4096");
	ASSERT_TRUE(img.ok());
	build_tree(img);
	auto sums = checksums(img);
	auto before = layouts(img, sums);
	uint64_t free_before = free_blocks(img);

	CmdResult r = run({QUILLFOLD_BIN, "-n", "-v", "-m", "-d", "0x11", img.device(), img.mnt()});
	EXPECT_EQ(r.status, 0) << r.err;
	img.settle();
	EXPECT_NE(r.out.find("Fileystem is readonly, skip actual defrag"), std::string::npos);
	EXPECT_NE(r.out.find("do_alloc_donor_space Create donor file is_local:1"),
		  std::string::npos);
	for (auto &b : before) {
		EXPECT_TRUE(same_layout(filefrag(img.path(b.first)), b.second.exts)) << b.first;
		if (b.second.qualifies) {
			EXPECT_NE(r.out.find(success_line_prefix(inode_of(img.path(b.first)))),
				  std::string::npos)
				<< b.first;
		}
	}
	EXPECT_EQ(r.out.find("IAF inoded defragmented:\t\t0 \n"), std::string::npos) << r.out;
	EXPECT_EQ(checksums(img), sums);
	EXPECT_GE(free_blocks(img), free_before);
	EXPECT_EQ(leftover_donors(img), "");
}

// With 1 KiB blocks the pieces of these files start and end inside pages; the
// in-place move still succeeds for all of them, since the file and the donor
// offsets start at 0 and advance together.
TEST(InPlaceImage, OneKibBlocksDefragmentAsWell)
{
	REQUIRE_ROOT();
	LoopImage img(128, "-b 1024");
	ASSERT_TRUE(img.ok());
	build_tree(img, 1024);
	auto sums = checksums(img);
	auto before = layouts(img, sums);
	uint64_t held_before = free_plus_held(img);

	CmdResult r = run({QUILLFOLD_BIN, "-v", img.device(), img.mnt()});
	EXPECT_EQ(r.status, 0) << r.err;
	img.settle();
	int moved = 0;
	for (auto &b : before) {
		// files of 3 blocks or fewer take only a donor of their own group,
		// which flex groups (blocks placed apart from the inodes) may deny;
		// a move the kernel refuses (say EBUSY four times on a busy machine)
		// leaves its file as it was, which the checksums below cover
		uint64_t ino = inode_of(img.path(b.first));
		if (!b.second.qualifies || b.second.exts.back().logical + b.second.exts.back().length <= 3 ||
		    r.out.find("do_iaf_defrag_one FAIL ino:" + std::to_string(ino) + " ") != std::string::npos)
			continue;
		EXPECT_LE(fragments(filefrag(img.path(b.first))), b.second.frag / 2) << b.first << r.out;
		moved++;
	}
	EXPECT_GE(moved, 5) << r.out;
	EXPECT_EQ(checksums(img), sums);
	EXPECT_EQ(free_plus_held(img), held_before) << r.out << r.err;
	EXPECT_EQ(leftover_donors(img), "");
	std::string out;
	EXPECT_EQ(img.fsck(&out), 0) << out;
}
