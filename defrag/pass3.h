// Pass3: cache directories, defragment badly fragmented files in place,
// hand the rest to the relocation test.
#pragma once
#include "context.h"
#include "extent_map.h"

#define FREE_SPACE_AVER 64

int scan_inode_pass3(defrag_context *ctx, int fd, const struct stat *st, int dir_fd,
		     const char *name);
int check_iaf(uint64_t ino, const struct fmap *fmap, const struct fest *fest, uint32_t eof_blk);
int do_iaf_defrag_one(defrag_context *ctx, int dir_fd, const char *name, const struct stat *st,
		      struct fmap *fmap, struct fest *fest, uint32_t eof_blk);
