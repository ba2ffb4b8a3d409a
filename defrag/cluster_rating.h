// Pass3_prep: rate the space extents in cluster-sized windows.
#pragma once
#include "context.h"

void pass3_prep(defrag_context *ctx);
