// Donor files: preallocated, unlinked files whose space files are moved into.
#pragma once
#include "context.h"
#include "extent_map.h"

#define DONOR_NAME ".quillfold_donor.tmp"

struct donor {
	int fd;
	uint64_t offset;
	uint64_t length;
	struct fest fest;
	struct fmap *fec;
};

static inline void donor_init(struct donor *d)
{
	d->fd = -1;
	d->offset = 0;
	d->length = 0;
	d->fec = nullptr;
	d->fest = {};
}

// Creates a donor file in dir_fd: unnamed from the start where the kernel
// can, else under DONOR_NAME (exclusively; *named is then set), which the
// caller unlinks at once. A descriptor, or -1 with errno set.
int create_donor_file(int dir_fd, int *named);
// The same, the name (if there was one) removed at once: a descriptor, or -1.
int create_unnamed_donor(int dir_fd);
void release_donor_space(struct donor *d);
void close_donor(struct donor *d);
int do_alloc_donor_space(defrag_context *ctx, uint32_t grp, struct donor *d, uint64_t blocks,
			 int local, uint32_t frag);
int do_find_donor(defrag_context *ctx, uint32_t grp, struct donor *d, uint64_t blocks, int local,
		  uint32_t frag);
int prepare_donor(defrag_context *ctx, uint32_t grp, struct donor *d, uint64_t blocks,
		  int force_local, uint32_t frag);
