// Pass4: relocate each group's candidates in batches sharing one donor.
#pragma once
#include "context.h"

void ief_defrag_group(defrag_context *ctx, uint32_t g);
void pass4(defrag_context *ctx);
