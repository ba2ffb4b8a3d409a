// The directory walk: every directory and regular file below a directory, on
// the same file system, handed to a pass step after everything below it.
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <unistd.h>
#include <dirent.h>
#include "walk.h"
#include "paths.h"
#include "progress.h"
#include "run_limits.h"
#include "stats.h"
#include "syscalls.h"

// Record layout returned by getdents64.
struct linux_dirent64 {
	uint64_t d_ino;
	int64_t d_off;
	unsigned short d_reclen;
	unsigned char d_type;
	char d_name[];
};

// The largest record getdents64 can return (name of 255 bytes, padded);
// a read with less room than that may fail instead of returning anything.
#define DIRENT_ROOM_MIN 280

static int is_dot_or_dotdot(const char *name)
{
	return name[0] == '.' && (name[1] == '\0' || (name[1] == '.' && name[2] == '\0'));
}

// The tree is in use while it is walked: an entry read from its directory may
// be gone (or, for a directory, no longer one) by the time it is opened. By
// default that ends the walk; with --keep-going the entry is counted, named
// under -v, and skipped. True when it is skipped.
static bool entry_vanished(const char *name, bool gone)
{
	if (!keep_going || !gone)
		return false;
	int err = errno;
	vanished_entries++;
	if (verbose)
		printf("%s: %s vanished before it was opened, errno:%d, skipped\n", "walk_subtree",
		       name, err);
	errno = err;
	return true;
}

int walk_entry(defrag_context *ctx, int dir_fd, const char *name, unsigned char d_type,
	       scan_inode_fn callback)
{
	struct stat st;

	if (d_type == DT_DIR) {
		// an analysis reads directories without touching their access
		// times: it writes nothing, not even an inode
		int sub_fd = -1;
		if (ctx->analyze)
			sub_fd = qf_sys.openat(dir_fd, name, O_RDONLY | O_DIRECTORY | O_NOATIME, 0);
		if (!ctx->analyze || (sub_fd < 0 && errno == EPERM))
			sub_fd = qf_sys.openat(dir_fd, name, O_RDONLY | O_DIRECTORY, 0);
		if (sub_fd < 0)
			return entry_vanished(name, errno == ENOENT || errno == ENOTDIR) ? 0 : -1;
		int ret = walk_subtree(ctx, sub_fd, callback);
		close(sub_fd);
		if (ret)
			return ret;
	} else if (d_type != DT_REG) {
		// links, devices, FIFOs, sockets and untyped entries are never opened
		return 0;
	}
	scanned_inodes++;

	// O_NONBLOCK: should the name have been replaced by a FIFO since the
	// directory was read, the open must not wait for a writer (it is
	// meaningless for directories and regular files)
	int fd = qf_sys.openat(dir_fd, name, O_RDONLY | O_NONBLOCK, 0);
	if (fd < 0) {
		if (entry_vanished(name, errno == ENOENT))
			return 0;
		if (debug_flags & QF_DBG_DETAIL)
			fprintf(stderr, "Can not open file %s, errno:%d\n", name, errno);
		return 1;
	}
	if (fstat(fd, &st)) {
		if (debug_flags & QF_DBG_DETAIL)
			fprintf(stderr, "Error while fstat for %s, errno:%d\n", name, errno);
		close(fd);
		return 0;
	}

	if (S_ISDIR(st.st_mode))
		scanned_dirs++;
	else if (!S_ISREG(st.st_mode))
		goto skip;
	if (st.st_size == 0 || st.st_blocks == 0)
		goto skip;
	if (st.st_dev != ctx->root_st.st_dev)
		goto skip;
	if (run_uid != 0 && run_uid != st.st_uid) {
		if (debug_flags & QF_DBG_DETAIL)
			fprintf(stderr,
				"File %s is not current user's file or current user is not root\n",
				name);
		goto skip;
	}

	if (callback(ctx, fd, &st, dir_fd, name) >= 0)
		scanned_files++;
	else if (debug_flags & QF_DBG_DETAIL)
		fprintf(stderr, "Fail to get extents info for %s\n", name);
	progress_file();
skip:
	close(fd);
	return 0;
}

// Handles one record of a directory already read. Returns 0 to go on with the
// next record, or the nonzero result that ends the walk of this directory.
static int scan_one_dentry(defrag_context *ctx, int dir_fd, const struct linux_dirent64 *d,
			   scan_inode_fn callback)
{
	if (is_dot_or_dotdot(d->d_name))
		return 0;
	return walk_entry(ctx, dir_fd, d->d_name, d->d_type, callback);
}

int walk_subtree(defrag_context *ctx, int dir_fd, scan_inode_fn callback)
{
	struct stat st;

	if (fstat(dir_fd, &st)) {
		fprintf(stderr, "%s fstat64: %m\n", "walk_subtree");
		return -1;
	}
	// nothing on another file system is read
	if (st.st_dev != ctx->root_st.st_dev)
		return 0;

	// Sized from the directory itself, so most directories are read whole in
	// one call. The sum is taken in 32 bits; should a huge directory make it
	// wrap, start from one page and let the buffer double.
	int page = getpagesize();
	int32_t size32 = (int32_t)((uint32_t)page + (uint32_t)st.st_size);
	size_t size = size32 >= page ? (size_t)size32 : (size_t)page;
	char *buf = (char *)malloc(size);
	if (!buf) {
		fprintf(stderr, "%s: Can not allocate memory errno:%d\n", "walk_subtree", errno);
		return -1;
	}

	// the mount-point directory is walked twice through the same descriptor
	lseek(dir_fd, 0, SEEK_SET);

	size_t filled = 0, room = size;
	for (;;) {
		long n = qf_sys.getdents64(dir_fd, buf + filled, room);
		if (n < 0) {
			free(buf);
			return (int)n;
		}
		if (n == 0)
			break;
		filled += (size_t)n;
		room -= (size_t)n;
		if (room > DIRENT_ROOM_MIN)
			continue;
		char *bigger = (char *)realloc(buf, size * 2);
		if (!bigger) {
			fprintf(stderr, "Can not allocate memory\n");
			break;
		}
		buf = bigger;
		room += size;
		size *= 2;
	}

	// below a directory named with --path every file is the run's
	int named = path_named_dir(ctx, st.st_ino);
	ctx->walk_in_named += named;
	int ret = 0;
	for (size_t off = 0; off < filled;) {
		const struct linux_dirent64 *d = (const struct linux_dirent64 *)(buf + off);
		// a record that would not advance cannot be walked past; once the
		// time limit is up the rest is left for the next run
		if (d->d_reclen == 0 || (!ctx->walk_untimed && run_time_up()))
			break;
		ret = scan_one_dentry(ctx, dir_fd, d, callback);
		if (ret)
			break;
		off += d->d_reclen;
	}
	ctx->walk_in_named -= named;
	free(buf);
	return ret;
}
