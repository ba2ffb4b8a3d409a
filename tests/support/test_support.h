// Shared test helpers: running commands, root checks, loop-mounted ext4 images.
#pragma once

#include <cstdint>
#include <string>
#include <vector>
#include <gtest/gtest.h>

namespace testsupport {

// True when the tests run under CI (CI=true): a missing capability is then a
// failure, not a skip.
bool in_ci();

// Skips the test without root, or fails it under CI. The unit programs run
// as an ordinary user: a test there that needs root is in the wrong program,
// which fails it whoever runs it.
#ifdef TEST_SET_UNIT
#define REQUIRE_ROOT() FAIL() << "this test needs root: it belongs in the root tests, not the unit tests"
#else
#define REQUIRE_ROOT()                                                                   \
	do {                                                                             \
		if (geteuid() != 0) {                                                    \
			if (::testsupport::in_ci())                                      \
				FAIL() << "this test needs root, and CI=true forbids a skip"; \
			GTEST_SKIP() << "this test needs root (loop devices, mounts); skipped"; \
		}                                                                        \
	} while (0)
#endif

struct CmdResult {
	int status = -1; // exit status, or 128 + signal
	std::string out;
	std::string err;
};

// Runs argv (argv[0] looked up in PATH, with the sbin directories added, where
// the file-system tools live but an ordinary user's PATH may not reach) with
// stdin from `input`, capturing both output streams.
CmdResult run(const std::vector<std::string> &argv, const std::string &input = "");
// Runs a shell command line with /bin/sh -c.
CmdResult sh(const std::string &cmdline);
// Runs a shell command and fails the current test when it does not exit 0.
std::string sh_ok(const std::string &cmdline);

// A fresh directory under /tmp, removed with its contents on destruction.
class TempDir {
public:
	explicit TempDir(const std::string &prefix = "qftest");
	~TempDir();
	TempDir(const TempDir &) = delete;
	TempDir &operator=(const TempDir &) = delete;
	const std::string &path() const { return path_; }

private:
	std::string path_;
};

// An ext4 image file made with mkfs.ext4, attached to a loop device and
// mounted. Everything is undone by the destructor, also when a test fails.
class LoopImage {
public:
	// size_mb: image size; mkfs_opts: extra mkfs.ext4 arguments ("-b 1024",
	// "-O bigalloc -C 65536", ...); mount_opts: passed to mount -o.
	LoopImage(uint64_t size_mb, const std::string &mkfs_opts = "",
		  const std::string &mount_opts = "");
	~LoopImage();
	LoopImage(const LoopImage &) = delete;
	LoopImage &operator=(const LoopImage &) = delete;

	bool ok() const { return ok_; }
	const std::string &image() const { return image_; }
	const std::string &device() const { return dev_; }
	const std::string &mnt() const { return mnt_; }
	std::string path(const std::string &rel) const { return mnt_ + "/" + rel; }

	// Makes the on-disk bitmaps match the file system's state: sync, then a
	// freeze and thaw, which commits the journal.
	void settle();
	void unmount();
	void mount();
	// e2fsck -fn on the unmounted image (it is remounted afterwards);
	// returns e2fsck's exit status and fills its output.
	int fsck(std::string *output = nullptr);
	// Data writes completed by the loop device: write requests (field 5 of
	// /sys/block/<loop>/stat) less the empty flush requests (field 16).
	uint64_t device_writes() const;

private:
	TempDir dir_;
	std::string image_, dev_, mnt_, mount_opts_;
	bool mounted_ = false;
	bool ok_ = false;
};

// Extents of a file as filefrag -v reports them, in file-system blocks.
struct FragExtent {
	uint64_t logical;
	uint64_t physical;
	uint64_t length;
	std::string flags;
};
std::vector<FragExtent> filefrag(const std::string &path);
// Physically separate pieces (a run that continues the previous one is not new).
unsigned fragments(const std::vector<FragExtent> &exts);

// sha256 of a file's contents.
std::string file_sha256(const std::string &path);

} // namespace testsupport
