// Pass2: credit every file extent to the space extent that holds it.
#pragma once
#include "context.h"

int scan_inode_pass1(defrag_context *ctx, int fd, const struct stat *st, int parent_fd,
		     const char *name);
// Read-only: any execute bit, or no write bit. Old: not read-only and older than old_time.
int file_is_ro(const struct stat *st);
int file_is_old(const struct stat *st);
