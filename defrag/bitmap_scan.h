// Pass1: block bitmaps into the space-extent tree.
#pragma once
#include "context.h"

// 0 when the tree is built; -1 after a failure was reported (the caller ends
// the run). Tree errors end the process here.
int pass1(defrag_context *ctx);
