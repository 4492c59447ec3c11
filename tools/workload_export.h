// The text form of a WorkloadSet that `ostrela_modify -E` prints: 125 lines
// per workload, nothing between workloads, the last 40 bytes of each
// workload left out. Entry 11 of the op mix is not printed, and entry 21
// comes before entry 20.
#pragma once

#include <cstdio>

#include "tools/client_records.h"

namespace gorv::tools {

void export_workload_set(const WorkloadSet& set, std::FILE* out);

}  // namespace gorv::tools
