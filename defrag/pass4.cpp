// Placeholder until this concern is built.
#include "pass4.h"

void ief_defrag_group(defrag_context *, uint32_t) {}
void pass4(defrag_context *) {}
