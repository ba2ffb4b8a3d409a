// Pass4: relocate each group's candidates in batches sharing one donor.
#pragma once
#include "context.h"
#include "donors.h"

struct group_info;
struct fhandle;

void ief_defrag_group(defrag_context *ctx, uint32_t g);
void pass4(defrag_context *ctx);

// Re-verifies one candidate through its freshly opened descriptor; 0 when it
// is unchanged (its slot then holds the fresh map), -1 when it changed.
int ief_defrag_prep_one(defrag_context *ctx, struct group_info *group, struct fhandle *rfh,
			int fd, const struct stat *st);
// Moves one chained candidate into the group's donor (the batch's shared space).
void do_ief_defrag_one(defrag_context *ctx, struct group_info *group, struct fhandle *rfh,
		       struct donor *donor);

// Blocks of the file system per page: the kernel wants a move's file and
// donor starts congruent modulo this.
uint32_t ief_blocks_per_page(const defrag_context *ctx);
// Links the group's verified candidates into the relocation chain, in order
// of discovery; returns (and sets the cursor to) the first one.
struct fhandle *ief_build_chain(struct group_info *group);
// Gathers a batch from `first`: returns the first chain member after it and
// stores in *donor_blocks the donor size the batch needs, each member's start
// padded to a multiple of bpp.
struct fhandle *ief_gather_batch(struct fhandle *first, uint32_t reloc_cluster_blocks,
				 uint32_t bpp, uint64_t *donor_blocks);
// Moves the donor's offset up to the next multiple of bpp; -1 when the
// donor has not that much room left.
int ief_align_donor(struct donor *donor, uint32_t bpp);
// Frees every candidate of the group (and the maps they hold); tree, list
// and chain are empty afterwards.
void ief_release_group(struct group_info *group);
