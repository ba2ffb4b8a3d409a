// Placeholder until this concern is built.
#include "groups.h"

int group_info_init(uint32_t, struct group_info **, uint32_t) { return 0; }
void group_add_dircache(defrag_context *, int, uint64_t, const char *) {}
int __do_open_f_handle(int, const struct file_handle *, const unsigned char *, int) { return -1; }
