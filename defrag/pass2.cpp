// Pass2: for every file the walk hands over, credit each of its extents to the
// space extent that holds it, so Pass3_prep can tell what each run contains.
#include <cstdio>
#include <cstdlib>
#include "pass2.h"
#include "extent_map.h"
#include "spextent_tree.h"

int file_is_ro(const struct stat *st)
{
	return (st->st_mode & 0111) || !(st->st_mode & 0222);
}

int file_is_old(const struct stat *st)
{
	return !file_is_ro(st) && (int64_t)st->st_mtime < (int64_t)(uint64_t)old_time;
}

static void print_inode_summary(defrag_context *ctx, const struct stat *st,
				const struct fmap *map, const struct fest *fest)
{
	long blksize = ctx->root_st.st_blksize;
	long sectors_per_block = blksize / 512;
	printf("ino:%ld type:%lx sz:%lu blk:%lu extents:%u holes:%u frag:%u\n", (long)st->st_ino,
	       (unsigned long)st->st_mode, blksize ? (unsigned long)(st->st_size / blksize) : 0UL,
	       sectors_per_block ? (unsigned long)(st->st_blocks / sectors_per_block) : 0UL,
	       map->count, fest->hole, fest->frag);
}

int scan_inode_pass1(defrag_context *ctx, int fd, const struct stat *st, int, const char *)
{
	int ro = file_is_ro(st);
	int old = file_is_old(st);
	struct fmap *map = nullptr;
	struct fest fest;

	if (debug_flags & QF_DBG_DETAIL)
		printf("%s:%ld inode:%ld mode:%lx mtime: %lu old:%d ro:%d\n", "scan_inode_pass1",
		       (long)(start_time.tv_sec - (long)old_time), (long)st->st_ino,
		       (unsigned long)st->st_mode, (unsigned long)st->st_mtime, old, ro);

	if (__get_inode_fiemap(ctx, fd, st->st_ino, ctx->blocksize_bits, &map, &fest) ||
	    !map->count) {
		free(map);
		return 0;
	}

	for (uint32_t i = 0; i < map->count; i++) {
		const struct fmap_extent *e = &map->ext[i];
		struct spextent *ex = search_spextent(&ctx->spextents, e->pblk);
		if (ex)
			check_node(ex, "search_spextent");
		if (!ex || ex->start + ex->len < e->pblk + e->len) {
			if (debug_flags & QF_DBG_DETAIL) {
				fprintf(stderr,
					"%s Cache collision for inode:%ld, lblock:%u pblock:%llu "
					"len:%u. Skip it...\n",
					"scan_inode_pass1", (long)st->st_ino, e->lblk,
					(unsigned long long)e->pblk, e->len);
				print_inode_summary(ctx, st, map, &fest);
			}
			free(map);
			return 0;
		}
		ex->ex_count++;
		ex->fnd_blocks += (uint16_t)e->len;
		if (S_ISDIR(st->st_mode))
			ex->dir_count++;
		if (ro)
			ex->ro_count++;
		if (old)
			ex->old_count++;
		if (fest.frag > 1)
			ex->iaf_count++;
		if (debug_flags & QF_DBG_DETAIL)
			printf("ino:%ld %u ->[%llu, %u] EX:%p [%llu, %u]\n", (long)st->st_ino, e->lblk,
			       (unsigned long long)e->pblk, e->len, (void *)ex,
			       (unsigned long long)ex->start, ex->len);
	}
	if (debug_flags & QF_DBG_DETAIL)
		print_inode_summary(ctx, st, map, &fest);
	free(map);
	return 0;
}
