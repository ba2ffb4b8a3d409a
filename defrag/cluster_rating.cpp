// Placeholder until this concern is built.
#include "cluster_rating.h"

void pass3_prep(defrag_context *) {}
