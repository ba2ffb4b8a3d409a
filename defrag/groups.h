// Per-(flex)-group records, the directory cache and opening by file handle.
#pragma once
#include "context.h"

struct fhandle;

#define DIRCACHE_SLOTS 32

struct group_info {
	uint64_t flags;
	struct rb_root cand_tree;
	struct fhandle *cand_head;
	struct fhandle *cand_tail;
	struct fhandle *next;
	uint32_t ief_local;
	uint32_t ief_inodes;
	uint32_t ief_blocks;
	uint32_t ief_extents;
	uint32_t dircache_count;
	uint32_t dircache_ino[DIRCACHE_SLOTS];
	unsigned char dircache_fid[]; // DIRCACHE_SLOTS slots of handle_bytes each
};

int group_info_init(uint32_t handle_bytes, struct group_info **groups, uint32_t g);
void group_add_dircache(defrag_context *ctx, int dir_fd, uint64_t ino, const char *name);
int __do_open_f_handle(int mount_fd, const struct file_handle *tmpl, const unsigned char *payload,
		       int flags);
