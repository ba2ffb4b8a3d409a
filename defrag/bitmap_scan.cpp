// Pass1: turns the block bitmaps into the space-extent tree, one record per
// maximal run of in-use clusters inside one block group.
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <unistd.h>
extern "C" {
#include <et/com_err.h>
}
#include "bitmap_scan.h"
#include "spextent_tree.h"
#include "stats.h"
#include "syscalls.h"

// The bitmaps are read from the device while the kernel goes on allocating.
// A bitmap caught while the kernel rewrites it fails its checksum, and so does
// one that changed after the group descriptors, which hold the checksums, were
// read at open time; neither says anything is wrong with the file system.
#define BITMAP_READ_TRIES 5
#define BITMAP_RETRY_PAUSE_US 100000

// The record being made lives at file scope so that a fatal tree error in
// the middle of the scan leaves it reachable (no leak report), like the
// records already linked.
static struct spextent *pass1_new;

static inline int buf_bit(const unsigned char *buf, uint32_t i)
{
	return ext2fs_test_bit(i, buf);
}

// First index >= i in [i, n) whose bit equals `want`, or n.
static uint32_t find_bit(const unsigned char *buf, uint32_t i, uint32_t n, int want)
{
	const unsigned char skip = want ? 0x00 : 0xff;

	while (i < n) {
		// whole bytes that cannot hold the bit we look for
		if (!(i & 7) && i + 8 <= n && buf[i >> 3] == skip) {
			i += 8;
			continue;
		}
		if (!!buf_bit(buf, i) == want)
			return i;
		i++;
	}
	return n;
}

// Reads group g's bits into buf and adds one record per run of set bits.
// 0, or -1 after the failure was reported.
static int init_one_group(defrag_context *ctx, dgrp_t g, unsigned char *buf)
{
	ext2_filsys fs = ctx->fs;
	uint32_t cpg = fs->super->s_clusters_per_group;
	uint32_t nbits = cpg & ~7U;
	int ratio = 1 << fs->cluster_ratio_bits;
	uint64_t base = fs->super->s_first_data_block / ratio + (uint64_t)g * cpg;

	errcode_t err = ext2fs_get_block_bitmap_range2(fs->block_map, base, nbits, buf);
	if (err) {
		com_err("pass1", err, "while reading block bitmap\n");
		return -1;
	}
	if (debug_flags & QF_DBG_GROUPS)
		printf(" %s grp:%lu, num:%lu, off:%lu, ratio:%d \n", "init_one_group",
		       (unsigned long)g, (unsigned long)cpg, (unsigned long)base, ratio);

	// The last group's bitmap runs past the end of the file system, and the
	// padding bits there are set; they are no allocated space, so the scan
	// stops at the last cluster that exists.
	uint64_t end = (ext2fs_blocks_count(fs->super) + ratio - 1) / ratio;
	if (base + nbits > end)
		nbits = end > base ? (uint32_t)(end - base) : 0;

	uint32_t i = find_bit(buf, 0, nbits, 1);
	while (i < nbits) {
		uint32_t j = find_bit(buf, i + 1, nbits, 0);
		pass1_new = (struct spextent *)calloc(1, sizeof(struct spextent));
		if (!pass1_new) {
			fprintf(stderr, "Error while init_one_group\n");
			return -1;
		}
		total_spextents++;
		pass1_new->start = (base + i) * (uint64_t)ratio;
		pass1_new->len = (uint32_t)(j - i) * (uint32_t)ratio;
		insert_spextent(&ctx->spextents, pass1_new);
		pass1_new = nullptr;
		if (j >= nbits)
			break;
		i = find_bit(buf, j + 1, nbits, 1);
	}
	return 0;
}

// Loads the bitmaps, reading again on a freshly opened handle (new
// descriptors, no cached blocks) after a short pause while the read fails.
// 0 once loaded; -1 when the failure persists.
static int load_bitmaps(defrag_context *ctx)
{
	for (int attempt = 1;; attempt++) {
		if (!qf_sys.read_bitmaps(ctx->fs) && ctx->fs->block_map)
			return 0;
		if (attempt == BITMAP_READ_TRIES)
			return -1;
		if (debug_flags & QF_DBG_DETAIL)
			printf("Pass1: bitmaps changed while being read, reading again\n");
		usleep(BITMAP_RETRY_PAUSE_US);
		ext2_filsys fresh;
		if (open_fs(ctx->fs->device_name, &fresh))
			continue;
		// the group slots were sized from the first handle: a file system
		// resized meanwhile is not the one this run was set up for
		if (fresh->group_desc_count != ctx->fs->group_desc_count) {
			ext2fs_close(fresh);
			return -1;
		}
		ext2fs_close(ctx->fs);
		ctx->fs = fresh;
	}
}

int pass1(defrag_context *ctx)
{
	if (load_bitmaps(ctx)) {
		fprintf(stderr, "Error while allocating block bitmap\n");
		return -1;
	}
	ext2_filsys fs = ctx->fs;
	unsigned char *buf = (unsigned char *)malloc(fs->super->s_clusters_per_group / 8);
	if (!buf) {
		fprintf(stderr, "%s: Can not allocate memory errno:%d\n", "pass1", errno);
		return -1;
	}
	if (verbose)
		printf("Pass1:  Scaning, bitmaps\n");

	for (dgrp_t g = 0; g < fs->group_desc_count; g++) {
		if (ext2fs_bg_flags_test(fs, g, EXT2_BG_BLOCK_UNINIT) ||
		    !ext2fs_block_bitmap_loc(fs, g)) {
			if (debug_flags & QF_DBG_DETAIL)
				printf("Pass1: group %lu uninitialized, skip it...\n",
				       (unsigned long)g);
			continue;
		}
		if (init_one_group(ctx, g, buf)) {
			free(buf);
			return -1;
		}
	}
	free(buf);

	check_tree_range(spex_first(&ctx->spextents), nullptr, "pass1:");
	if (verbose)
		printf("Pass1:  Finished. Collected %llu space fragments\n", total_spextents);
	if (debug_flags & QF_DBG_TREE)
		print_tree(&ctx->spextents);
	return 0;
}
