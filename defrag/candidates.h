// Relocation candidates: files lying mostly in space marked for relocation.
#pragma once
#include "context.h"
#include "extent_map.h"

struct fhandle {
	struct rb_node node;
	uint32_t flags;
	union {
		uint32_t csum;
		struct fmap *fmap;
	};
	uint64_t pblk;
	struct fhandle *list_next;
	struct fhandle *next;
	unsigned char handle[];
};

// The relocation test of one regular file that did not qualify for in-place
// defragmentation; records it as a candidate of its group when it passes.
int ief_candidate_test(defrag_context *ctx, int dir_fd, const char *name, const struct stat *st,
		       struct fmap *fmap, struct fest *fest);
int group_add_ief_candidate(defrag_context *ctx, int dir_fd, const char *name,
			    const struct stat *st, struct fmap *fmap, uint32_t flags,
			    uint64_t size_blk, uint32_t csum);
