// Relocation candidates: files lying mostly in space marked for relocation.
#pragma once
#include "context.h"
#include "extent_map.h"

struct group_info;

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

// Verdict of the relocation test from the file's figures.
enum ief_verdict_t { IEF_NONE = 0, IEF_REJECT = 1, IEF_ACCEPT = 2 };
ief_verdict_t ief_verdict(uint64_t ief, uint64_t size_blk, int ro, int old,
			  uint32_t cluster_blocks);

// Links a candidate into its group's tree by pblk; -1 (and nothing linked)
// when a candidate with the same pblk is already there.
int fhandle_tree_insert(struct group_info *grp, struct fhandle *rfh);
// Appends a candidate to its group's list in order of discovery.
void fhandle_list_append(struct group_info *grp, struct fhandle *rfh);
