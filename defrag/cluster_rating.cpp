// Pass3_prep: flag each space extent from what Pass2 found in it, then rate the
// volume in windows of cluster_blocks and mark the extents of every window
// that is sparsely used and holds mostly read-only or old data.
#include <cstdio>
#include "cluster_rating.h"
#include "spextent_tree.h"

void pass3_prep(defrag_context *ctx)
{
	uint64_t mask = ~(uint64_t)(ctx->cluster_blocks - 1);
	uint64_t cur_key = 0;
	struct spextent *win_first = nullptr;
	uint32_t count = 0, used = 0, good = 0;
	unsigned long long marked_extents = 0, marked_blocks = 0, marked_windows = 0;

	if (verbose)
		printf("Pass3_prep:  Scan and rate cached extents\n");

	for (struct spextent *e = spex_first(&ctx->spextents); e; e = spex_next(e)) {
		// With --path the walk saw only the named files: the data of every
		// other file is in use but uncounted, and counts as neither
		// read-only nor old, so no window of other people's data is marked
		// and its named files moved out for nothing.
		if ((uint32_t)e->ro_count + (uint32_t)e->old_count == (uint32_t)e->ex_count &&
		    (e->ex_count || !ctx->paths))
			e->flags |= SP_FL_RO_OLD;
		if (e->fnd_blocks == e->len)
			e->flags |= SP_FL_FULL;
		// keyed by the block just past the extent: one that ends on a
		// window boundary belongs to the next window
		uint64_t key = (e->start + e->len) & mask;
		if (debug_flags & QF_DBG_TREE)
			print_spex("\t\t\t", e);

		if (key == cur_key) {
			count++;
		} else {
			// the products wrap in 32 bits, as the settings are 32-bit
			int reloc = ctx->cluster_blocks >= ctx->scale * used &&
				    good * 1000 >= count * ctx->quality && win_first != nullptr;
			if (reloc) {
				for (struct spextent *m = win_first; m && m != e; m = spex_next(m)) {
					m->flags |= SP_FL_IEF_RELOC;
					if (debug_flags & QF_DBG_TREE)
						print_spex("\t\t\t->IEF", m);
					marked_extents++;
					marked_blocks += m->len;
				}
				marked_windows++;
			}
			if (debug_flags & QF_DBG_TREE)
				printf("Cluster %lld %lld] group:%ld stats {count:%d used:%d good:%d "
				       "ief:%d}\n",
				       (long long)cur_key, (long long)(cur_key + ctx->cluster_blocks),
				       (long)(ext2fs_group_of_blk2(ctx->fs, cur_key) >> ctx->flex_log),
				       count, used, good, reloc ? 1 : 0);
			win_first = e;
			count = 1;
			used = 0;
			good = 0;
		}
		used += e->len;
		if ((e->flags & SP_FL_RO_OLD) && !(e->flags & SP_FL_IGNORE))
			good++;
		cur_key = key;
	}

	if (verbose)
		printf("Pass3_prep %llu blocks of %llu extents from %llu clusters may be relocated\n",
		       marked_blocks, marked_extents, marked_windows);
	check_tree_range(spex_first(&ctx->spextents), nullptr, "pass3_prep");
	if (debug_flags & QF_DBG_TREE)
		print_tree(&ctx->spextents);
}
