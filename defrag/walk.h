// The directory walk handing each directory and regular file to a pass step.
#pragma once
#include "context.h"

typedef int (*scan_inode_fn)(defrag_context *ctx, int fd, const struct stat *st,
			     int dir_fd, const char *name);

int walk_subtree(defrag_context *ctx, int dir_fd, scan_inode_fn callback);
