// Placeholder until this concern is built.
#include "moves.h"

int do_defrag_one(const int &, int, const uint64_t &, struct fmap *, uint64_t, struct donor *) { return -1; }
void defrag_fadvise(int, uint64_t, int) {}
