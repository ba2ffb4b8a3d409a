// Placeholder until this concern is built.
#include "pass3.h"

int scan_inode_pass3(defrag_context *, int, const struct stat *, int, const char *) { return 0; }
int check_iaf(uint64_t, const struct fmap *, const struct fest *, uint32_t) { return 0; }
int do_iaf_defrag_one(defrag_context *, int, const char *, const struct stat *, struct fmap *, struct fest *, uint32_t) { return 0; }
