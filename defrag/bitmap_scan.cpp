// Placeholder until this concern is built.
#include "bitmap_scan.h"

void pass1(defrag_context *) {}
