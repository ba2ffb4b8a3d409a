// Pass4: group relocation. Each group's candidates are re-verified, chained in
// order of discovery and moved batch by batch into one shared donor.
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <unistd.h>
#include "pass4.h"
#include "candidates.h"
#include "extent_map.h"
#include "groups.h"
#include "moves.h"
#include "progress.h"
#include "run_limits.h"
#include "stats.h"

uint32_t ief_blocks_per_page(const defrag_context *ctx)
{
	uint32_t bpp = (uint32_t)getpagesize() >> ctx->blocksize_bits;
	return bpp ? bpp : 1;
}

static int fmap_equal(const struct fmap *a, const struct fmap *b)
{
	if (a->count != b->count)
		return 0;
	for (uint32_t i = 0; i < a->count; i++)
		if (a->ext[i].len != b->ext[i].len || a->ext[i].lblk != b->ext[i].lblk ||
		    a->ext[i].pblk != b->ext[i].pblk)
			return 0;
	return 1;
}

int ief_defrag_prep_one(defrag_context *ctx, struct group_info *group, struct fhandle *rfh,
			int fd, const struct stat *st)
{
	struct fmap *map = nullptr;
	struct fest fest;
	int changed = 0;

	QF_ASSERT((rfh->flags & (SP_FL_CSUM | SP_FL_FMAP)) != (SP_FL_CSUM | SP_FL_FMAP),
		   "(fhandle->flags & (SP_FL_CSUM|SP_FL_FMAP)) != (SP_FL_CSUM|SP_FL_FMAP)");

	int ret = __get_inode_fiemap(ctx, fd, st->st_ino, ctx->blocksize_bits, &map, &fest);
	if (ret || !map || !map->count) {
		changed = 1;
	} else if (rfh->flags & SP_FL_CSUM) {
		changed = fmap_csum(st, map) != rfh->csum;
	} else if (rfh->flags & SP_FL_FMAP) {
		changed = !fmap_equal(map, rfh->fmap);
	}

	if (changed) {
		if (verbose)
			printf("%s inode %u flags:%lx changed under us, skip\n", "ief_defrag_prep_one",
			       (unsigned)st->st_ino, (unsigned long)rfh->flags);
		rfh->flags |= SP_FL_IGNORE;
		free(map);
		return -1;
	}

	if (rfh->flags & SP_FL_FMAP)
		free(rfh->fmap);
	rfh->fmap = map;
	rfh->flags = (rfh->flags & ~SP_FL_CSUM) | SP_FL_FMAP;
	group->ief_inodes += 1;
	group->ief_blocks += (uint32_t)size_blocks(st, ctx->blocksize_bits);
	group->ief_extents += map->count;
	if (rfh->flags & SP_FL_LOCAL)
		group->ief_local += 1;
	if (debug_flags & QF_DBG_DETAIL)
		printf("%s Check inode %lu flags:%x, OK...\n", "ief_defrag_prep_one",
		       (unsigned long)st->st_ino, rfh->flags);
	// start write-back and read-ahead of every verified file before the first move
	defrag_fadvise(fd, (uint64_t)st->st_size, 0);
	return 0;
}

struct fhandle *ief_build_chain(struct group_info *group)
{
	struct fhandle *prev = nullptr;

	group->next = nullptr;
	for (struct fhandle *rfh = group->cand_head; rfh; rfh = rfh->list_next) {
		rfh->next = nullptr;
		if (!(rfh->flags & SP_FL_IEF_RELOC) || (rfh->flags & SP_FL_IGNORE))
			continue;
		if (prev)
			prev->next = rfh;
		else
			group->next = rfh;
		prev = rfh;
	}
	return group->next;
}

struct fhandle *ief_gather_batch(struct fhandle *first, uint32_t reloc_cluster_blocks,
				 uint32_t bpp, uint64_t *donor_blocks)
{
	uint64_t blocks = 0, padded = 0;
	struct fhandle *rfh = first;

	while (rfh) {
		uint64_t eof = fmap_eof_blk(rfh->fmap);
		// each member's donor start must be page aligned, as its file start (0) is
		padded = (padded + bpp - 1) / bpp * bpp + eof;
		blocks += eof;
		rfh = rfh->next;
		if (blocks >= reloc_cluster_blocks)
			break;
	}
	*donor_blocks = padded;
	return rfh;
}

int ief_align_donor(struct donor *donor, uint32_t bpp)
{
	uint64_t pad = (bpp - donor->offset % bpp) % bpp;
	if (donor->length < pad)
		return -1;
	donor->offset += pad;
	donor->length -= pad;
	return 0;
}

void ief_release_group(struct group_info *group)
{
	struct fhandle *rfh = group->cand_head;

	while (rfh) {
		struct fhandle *nxt = rfh->list_next;
		if (rfh->flags & SP_FL_FMAP)
			free(rfh->fmap);
		free(rfh);
		rfh = nxt;
	}
	group->cand_tree.rb_node = nullptr;
	group->cand_head = group->cand_tail = group->next = nullptr;
}

// Reopens a candidate by its handle and reads its status. A candidate that
// cannot be opened or stated is marked to be ignored; -1 then.
static int ief_open_candidate(defrag_context *ctx, struct fhandle *rfh, int flags,
			      const char *caller, struct stat *st)
{
	int fd = __do_open_f_handle(ctx->root_fd, ctx->root_fhandle, rfh->handle, flags);
	if (fd < 0) {
		if (debug_flags & QF_DBG_MOVES)
			fprintf(stderr, "%s Can not open file %d, ignore\n", caller, errno);
		rfh->flags |= SP_FL_IGNORE;
		return -1;
	}
	if (fstat(fd, st)) {
		fprintf(stderr, "Fstat faild with %d\n", errno);
		rfh->flags |= SP_FL_IGNORE;
		close(fd);
		return -1;
	}
	return fd;
}

void do_ief_defrag_one(defrag_context *ctx, struct group_info *group, struct fhandle *rfh,
		       struct donor *donor)
{
	struct stat st;
	struct fmap *map = nullptr;
	struct fest fest;

	QF_ASSERT(rfh->flags & SP_FL_FMAP, "rfh->flags & SP_FL_FMAP");

	int fd = ief_open_candidate(ctx, rfh, O_RDWR, "do_ief_defrag_one", &st);
	if (fd < 0)
		return;

	int ret = __get_inode_fiemap(ctx, fd, st.st_ino, ctx->blocksize_bits, &map, &fest);
	// the file changed since it was verified: leave it alone, silently
	if (ret || !map || !map->count || !fmap_equal(map, rfh->fmap)) {
		free(map);
		close(fd);
		return;
	}

	uint64_t eof = fmap_eof_blk(map);
	// Members of a batch share the donor; its space was sized with each
	// member's start padded to a page boundary, which the kernel insists on
	// when blocks are smaller than a page.
	if (ief_align_donor(donor, ief_blocks_per_page(ctx)) || donor->length < eof) {
		free(map);
		close(fd);
		return;
	}
	defrag_fadvise(fd, eof << ctx->blocksize_bits, 1);
	uint64_t ino = st.st_ino;
	ret = do_defrag_one(ctx->dry_run, fd, ino, map, eof, donor);
	if (!ret) {
		group->ief_inodes += 1;
		// whole blocks only, where the verification counted the last one too
		group->ief_blocks += (uint32_t)((uint64_t)st.st_size >> ctx->blocksize_bits);
		// extents of the relocated files, as they were before the move
		group->ief_extents += map->count;
		if (donor->fest.local_ex)
			group->ief_local += 1;
	}
	free(map);
	close(fd);
}

// Re-verifies the group's candidates, in ascending order of their first
// physical block; the verified ones then hold their fresh maps.
static void ief_verify_group(defrag_context *ctx, struct group_info *group)
{
	for (struct rb_node *n = ext2fs_rb_first(&group->cand_tree); n; n = ext2fs_rb_next(n)) {
		struct fhandle *rfh = rb_entry_of<struct fhandle>(n);
		struct stat st;

		if (!(rfh->flags & SP_FL_IEF_RELOC) || (rfh->flags & SP_FL_IGNORE))
			continue;
		int fd = ief_open_candidate(ctx, rfh, O_RDONLY, "ief_defrag_group", &st);
		if (fd < 0)
			continue;
		ief_defrag_prep_one(ctx, group, rfh, fd, &st);
		close(fd);
	}
}

// Moves the chain from its cursor, batch by batch, into one donor of the
// group that is resized for every batch; stops at the first batch for which
// no donor can be prepared.
static void ief_relocate_chain(defrag_context *ctx, uint32_t g, struct group_info *group)
{
	struct donor donor;
	donor_init(&donor);
	uint32_t bpp = ief_blocks_per_page(ctx);
	// past the time limit the batches not begun are left for the next run
	while (group->next && !run_time_up()) {
		uint64_t blocks;
		struct fhandle *end =
			ief_gather_batch(group->next, ctx->reloc_cluster_blocks, bpp, &blocks);

		if (prepare_donor(ctx, g, &donor, blocks, ctx->force_local, 2)) {
			if (debug_flags & QF_DBG_DETAIL)
				fprintf(stderr, "%s group:%u Can not allocate donor file\n",
					"ief_defrag_group", g);
			break;
		}
		QF_ASSERT(group->next, "group->next");
		while (group->next != end) {
			struct fhandle *rfh = group->next;
			QF_ASSERT(!(rfh->flags & SP_FL_IGNORE), "!(rfh->flags & SP_FL_IGNORE)");
			QF_ASSERT(rfh->flags & (SP_FL_FMAP | SP_FL_IEF_RELOC),
				   "rfh->flags & (SP_FL_FMAP | SP_FL_IEF_RELOC)");
			do_ief_defrag_one(ctx, group, rfh, &donor);
			group->next = rfh->next;
		}
	}
	close_donor(&donor);
}

void ief_defrag_group(defrag_context *ctx, uint32_t g)
{
	struct group_info *group = ctx->groups[g];

	if (!group) {
		if (debug_flags & QF_DBG_DETAIL)
			printf("pass4 scan group:%d empty\n", g);
		return;
	}
	if (debug_flags & QF_DBG_DETAIL)
		printf("pass4 scan group:%d fl:%lx ief_inodes:%u ief_local:%u, ief_blocks:%u, "
		       "ief_extents:%u\n",
		       g, (unsigned long)group->flags, group->ief_inodes, group->ief_local,
		       group->ief_blocks, group->ief_extents);
	group->ief_inodes = group->ief_local = group->ief_blocks = group->ief_extents = 0;

	ief_verify_group(ctx, group);
	if (debug_flags & QF_DBG_MOVES) {
		printf("%s free_b:%u free_i:%u  dir:%u \n", "ief_defrag_group",
		       ext2fs_bg_free_blocks_count(ctx->fs, g),
		       ext2fs_bg_free_inodes_count(ctx->fs, g), ext2fs_bg_used_dirs_count(ctx->fs, g));
		printf("%s group:%u prepare relocation dir:%u inodes:%u, local:%u extents: %u, blocks "
		       "%u\n",
		       "ief_defrag_group", g, group->dircache_count, group->ief_inodes,
		       group->ief_local, group->ief_extents, group->ief_blocks);
	}

	ief_build_chain(group);
	group->ief_inodes = group->ief_local = group->ief_blocks = group->ief_extents = 0;

	ief_relocate_chain(ctx, g, group);
	// Files of the batches already done were relocated even when a later
	// batch found no donor; the run totals count them either way.
	ief_done_inodes += group->ief_inodes;
	ief_done_blocks += group->ief_blocks;

	ief_release_group(group);
	printf("%s group:%u Relocated inodes:%u, local:%u extents: %u, blocks %u\n", "pass4", g,
	       group->ief_inodes, group->ief_local, group->ief_extents, group->ief_blocks);
}

void pass4(defrag_context *ctx)
{
	uint32_t n = group_slot_count(ctx);
	// the groups with a record are the ones that have work
	uint64_t busy = 0;
	for (uint32_t g = 0; g < n; g++)
		busy += ctx->groups[g] != nullptr;
	progress_pass("Pass4", busy);
	for (uint32_t g = 0; g < n && !run_time_up(); g++) {
		bool had_work = ctx->groups[g] != nullptr;
		ief_defrag_group(ctx, g);
		if (had_work)
			progress_group();
	}
}
