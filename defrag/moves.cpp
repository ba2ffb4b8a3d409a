// Moving a file's blocks into donor space, and read-ahead advice.
//
// The kernel's extent move copies the data and swaps the blocks, so the file
// keeps its contents whatever happens here; this code only decides how often
// to ask and keeps the donor's bookkeeping in step with what was moved.
#include <cerrno>
#include <cstdio>
#include <fcntl.h>
#include "moves.h"
#include "progress.h"
#include "run_limits.h"
#include "syscalls.h"

#define MOVE_RETRIES 3

int move_range(int fd, int donor_fd, uint64_t orig_start, uint64_t donor_start, uint64_t len,
	       uint64_t *moved_out)
{
	struct move_extent mv_ioc;
	uint64_t moved = 0, slice = run_slice_blocks();
	int retry = MOVE_RETRIES, ret = 0;

	mv_ioc.reserved = 0;
	mv_ioc.donor_fd = (uint32_t)donor_fd;
	mv_ioc.orig_start = orig_start;
	mv_ioc.donor_start = donor_start;
	while (len) {
		// with --max-rate a request asks for a slice only, and waits its turn
		mv_ioc.len = slice && len > slice ? slice : len;
		mv_ioc.moved_len = 0;
		if (slice)
			run_pace(mv_ioc.len);
		ret = qf_sys.move_ext(fd, &mv_ioc);
		// A call that fails part-way still reports the blocks it exchanged:
		// they are the donor's no longer, so they count whatever the result,
		// or the next file of a batch would be moved onto them.
		QF_ASSERT(mv_ioc.len >= mv_ioc.moved_len, "mv_ioc.len >= mv_ioc.moved_len");
		len -= mv_ioc.moved_len;
		mv_ioc.orig_start += mv_ioc.moved_len;
		mv_ioc.donor_start += mv_ioc.moved_len;
		moved += mv_ioc.moved_len;
		progress_moved(mv_ioc.moved_len);
		if (ret >= 0) {
			retry = MOVE_RETRIES;
			// A call that claims success but moved nothing would be asked
			// again with the same range for ever: end the move as a failure.
			if (mv_ioc.moved_len == 0 && len) {
				errno = ENODATA;
				ret = -1;
				break;
			}
		} else {
			int err = errno;
			if (verbose)
				fprintf(stderr, "%s EXT4_IOC_MOVE_EXT failed %m\n", "do_defrag_one");
			errno = err;
			if (err != EBUSY || retry <= 0)
				break;
			retry--;
		}
	}
	*moved_out = moved;
	return ret;
}

int do_defrag_one(const int &dry_run, int fd, const uint64_t &ino, struct fmap *fmap,
		  uint64_t eof_lblk, struct donor *donor)
{
	uint64_t moved = 0;

	QF_ASSERT(donor->length >= eof_lblk, "donor->length >= eof_lblk");
	if (dry_run) {
		if (debug_flags & QF_DBG_MOVES)
			printf("Fileystem is readonly, skip actual defrag");
		return 0;
	}
	if (debug_flags & QF_DBG_MOVES)
		printf("%s inode:%lld start:%lld eof:%lld donor [%lld, %lld]\n", "do_defrag_one",
		       (long long)ino, (long long)(fmap && fmap->count ? fmap->ext[0].pblk : 0),
		       (long long)eof_lblk, (long long)donor->offset, (long long)donor->length);

	int ret = move_range(fd, donor->fd, 0, donor->offset, eof_lblk, &moved);
	donor->length -= moved;
	donor->offset += moved;
	return ret;
}

void defrag_fadvise(int fd, uint64_t len, int wait)
{
	unsigned int flags = SYNC_FILE_RANGE_WRITE;

	if (wait)
		flags |= SYNC_FILE_RANGE_WAIT_BEFORE | SYNC_FILE_RANGE_WAIT_AFTER;
	sync_file_range(fd, 0, (off64_t)len, flags);
	if (posix_fadvise(fd, 0, (off_t)len, POSIX_FADV_SEQUENTIAL) && (debug_flags & QF_DBG_DETAIL))
		fprintf(stderr, "\tFailed to fadvise\n");
	if (posix_fadvise(fd, 0, (off_t)len, POSIX_FADV_WILLNEED) && (debug_flags & QF_DBG_DETAIL))
		fprintf(stderr, "\tFailed to fadvise\n");
}
