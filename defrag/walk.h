// The directory walk handing each directory and regular file to a pass step.
#pragma once
#include "context.h"

typedef int (*scan_inode_fn)(defrag_context *ctx, int fd, const struct stat *st,
			     int dir_fd, const char *name);

// Every directory and regular file below dir_fd, each handed to the callback
// after everything below it. Once the time limit is up it stops early (and
// returns 0), unless ctx->walk_untimed.
int walk_subtree(defrag_context *ctx, int dir_fd, scan_inode_fn callback);
// One entry of dir_fd of the type its directory records: a directory is
// walked and then handed over, a regular file handed over, anything else
// skipped. 0 to go on, or the result that ends the walk.
int walk_entry(defrag_context *ctx, int dir_fd, const char *name, unsigned char d_type,
	       scan_inode_fn callback);
