// The relocation test of Pass3 and the per-group candidate set it fills.
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include "candidates.h"
#include "groups.h"
#include "pass2.h"
#include "spextent_tree.h"
#include "stats.h"
#include "syscalls.h"

ief_verdict_t ief_verdict(uint64_t ief, uint64_t size_blk, int ro, int old,
			  uint32_t cluster_blocks)
{
	if (ief == 0)
		return IEF_NONE;
	// half of the file in marked space is not enough: moving it would free
	// no more than it dirties elsewhere
	if (2 * ief <= size_blk)
		return IEF_REJECT;
	if (ro || old || size_blk < cluster_blocks)
		return IEF_ACCEPT;
	return IEF_REJECT;
}

int fhandle_tree_insert(struct group_info *grp, struct fhandle *rfh)
{
	struct rb_node **link = &grp->cand_tree.rb_node;
	struct rb_node *parent = nullptr;

	while (*link) {
		struct fhandle *cur = rb_entry_of<struct fhandle>(*link);
		parent = *link;
		if (rfh->pblk < cur->pblk)
			link = &(*link)->rb_left;
		else if (rfh->pblk > cur->pblk)
			link = &(*link)->rb_right;
		else
			return -1;
	}
	rb_link_node(&rfh->node, parent, link);
	ext2fs_rb_insert_color(&rfh->node, &grp->cand_tree);
	return 0;
}

void fhandle_list_append(struct group_info *grp, struct fhandle *rfh)
{
	rfh->list_next = nullptr;
	if (grp->cand_tail)
		grp->cand_tail->list_next = rfh;
	else
		grp->cand_head = rfh;
	grp->cand_tail = rfh;
}

int group_add_ief_candidate(defrag_context *ctx, int dir_fd, const char *name,
			    const struct stat *st, struct fmap *fmap, uint32_t flags,
			    uint64_t size_blk, uint32_t csum)
{
	uint32_t g = ino_group(ctx, st->st_ino);
	struct stat dst;

	QF_ASSERT(flags & SP_FL_IEF_RELOC, "flags & SP_FL_IEF_RELOC");

	if (!fstat(dir_fd, &dst) && ino_group(ctx, dst.st_ino) == g)
		flags |= SP_FL_DIR_LOCAL;

	if (!ctx->groups[g] && !group_info_init(ctx->root_fhandle->handle_bytes, ctx->groups, g))
		return -1;
	struct group_info *grp = ctx->groups[g];

	uint32_t root_bytes = ctx->root_fhandle->handle_bytes;
	struct file_handle *fh = (struct file_handle *)malloc(sizeof(*fh) + root_bytes);
	if (!fh) {
		fprintf(stderr, "%s: Can not allocate memory errno:%d\n", "group_add_ief_candidate",
			errno);
		return -1;
	}
	fh->handle_bytes = root_bytes;
	int mount_id;
	int ret = qf_sys.name_to_handle_at(dir_fd, name, fh, &mount_id, 0);
	if (ret) {
		// also the case of a handle larger than the root's: the run can only
		// reopen handles of the template's size
		if (debug_flags & QF_DBG_DETAIL)
			fprintf(stderr, "Unexpected result from name_to_handle_at()\n");
		free(fh);
		return ret;
	}

	// Room for the template's size, not just the returned one: reopening
	// always copies the template's handle_bytes from the record.
	uint32_t room = fh->handle_bytes > root_bytes ? fh->handle_bytes : root_bytes;
	struct fhandle *rfh = (struct fhandle *)calloc(1, sizeof(*rfh) + room);
	if (!rfh) {
		fprintf(stderr, "Can not alloc mem err:%d\n", errno);
		free(fh);
		return -1;
	}
	rfh->pblk = fmap->ext[0].pblk;
	memcpy(rfh->handle, fh->f_handle, fh->handle_bytes);
	free(fh);

	if (fhandle_tree_insert(grp, rfh)) {
		if (debug_flags & QF_DBG_DETAIL)
			fprintf(stderr, "File is already in the list, nlink > 1, Not an error\n");
		free(rfh);
		return 0;
	}
	rfh->flags = flags;
	fhandle_list_append(grp, rfh);

	grp->ief_inodes += 1;
	grp->ief_blocks += (uint32_t)size_blk;
	grp->ief_extents += fmap->count;
	if (flags & SP_FL_LOCAL)
		grp->ief_local += 1;
	grp->flags |= SP_FL_IEF_RELOC;

	ief_candidates += 1;
	ief_candidate_blocks += (uint32_t)size_blk;

	rfh->flags |= SP_FL_CSUM;
	rfh->csum = csum;
	return 0;
}

int ief_candidate_test(defrag_context *ctx, int dir_fd, const char *name, const struct stat *st,
		       struct fmap *fmap, struct fest *fest)
{
	int ro = file_is_ro(st);
	int old = file_is_old(st);
	uint64_t ief = 0;

	if (!fmap || !fmap->count)
		return 0;

	for (uint32_t i = 0; i < fmap->count; i++) {
		const struct fmap_extent *e = &fmap->ext[i];
		struct spextent *sp = search_spextent(&ctx->spextents, e->pblk);
		if (!sp || e->pblk + e->len > sp->start + sp->len) {
			if (debug_flags & QF_DBG_DETAIL)
				fprintf(stderr,
					"%s Cache collision for inode:%ld, lblock:%u pblock:%llu "
					"len:%u. Skip it...\n",
					"scan_inode_pass3", (long)st->st_ino, e->lblk,
					(unsigned long long)e->pblk, e->len);
			return 0;
		}
		if (sp->flags & SP_FL_IEF_RELOC)
			ief += e->len;
	}

	uint32_t flags = fmap->count == fest->local_ex ? SP_FL_LOCAL : 0;
	uint64_t bs = 1ULL << ctx->blocksize_bits;
	uint64_t size_blk = size_blocks(st, ctx->blocksize_bits);
	uint64_t used_blk = ((uint64_t)st->st_blocks * 512 + bs - 1) >> ctx->blocksize_bits;

	ief_verdict_t v = ief_verdict(ief, size_blk, ro, old, ctx->cluster_blocks);
	if (v == IEF_NONE)
		return 0;
	if (v == IEF_REJECT) {
		if (debug_flags & QF_DBG_DETAIL)
			printf("%s Reject %lu from IEF set ief:%lld size_blk:%lld used_blk:%lld\n",
			       "scan_inode_pass3", (unsigned long)st->st_ino, (long long)ief,
			       (long long)size_blk, (long long)used_blk);
		return 0;
	}
	if (ief != size_blk && (debug_flags & QF_DBG_DETAIL))
		printf("%s Force add %lu to IEF set ief:%lld size_blk:%lld used_blk:%lld\n",
		       "scan_inode_pass3", (unsigned long)st->st_ino, (long long)ief,
		       (long long)size_blk, (long long)used_blk);
	flags |= SP_FL_IEF_RELOC;
	return group_add_ief_candidate(ctx, dir_fd, name, st, fmap, flags, size_blk,
				       fmap_csum(st, fmap));
}
