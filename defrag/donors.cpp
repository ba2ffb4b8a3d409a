// Placeholder until this concern is built.
#include "donors.h"

void release_donor_space(struct donor *) {}
void close_donor(struct donor *) {}
int do_alloc_donor_space(defrag_context *, uint32_t, struct donor *, uint64_t, int, uint32_t) { return -1; }
int do_find_donor(defrag_context *, uint32_t, struct donor *, uint64_t, int, uint32_t) { return -1; }
int prepare_donor(defrag_context *, uint32_t, struct donor *, uint64_t, int, uint32_t) { return -1; }
