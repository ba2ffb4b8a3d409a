// Moving a file's blocks into donor space, and read-ahead advice.
#pragma once
#include "context.h"
#include "donors.h"
#include "extent_map.h"

int do_defrag_one(const int &dry_run, int fd, const uint64_t &ino, struct fmap *fmap,
		  uint64_t eof_lblk, struct donor *donor);
void defrag_fadvise(int fd, uint64_t len, int wait);
