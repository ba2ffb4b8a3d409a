// Pass1: block bitmaps into the space-extent tree.
#pragma once
#include "context.h"

void pass1(defrag_context *ctx);
