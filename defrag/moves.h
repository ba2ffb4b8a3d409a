// Moving a file's blocks into donor space, and read-ahead advice.
#pragma once
#include "context.h"
#include "donors.h"
#include "extent_map.h"

// Moves len blocks of the file from orig_start into the donor file from
// donor_start, in as many extent-move requests as it takes (slices of them
// with --max-rate); EBUSY is retried. *moved: the blocks exchanged, also on
// a failure. The result of the last request (0 when all moved).
int move_range(int fd, int donor_fd, uint64_t orig_start, uint64_t donor_start, uint64_t len,
	       uint64_t *moved);
int do_defrag_one(const int &dry_run, int fd, const uint64_t &ino, struct fmap *fmap,
		  uint64_t eof_lblk, struct donor *donor);
void defrag_fadvise(int fd, uint64_t len, int wait);
