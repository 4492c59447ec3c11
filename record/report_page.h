// The report: one self-contained HTML file of a run, Chart.js inlined, that
// opens from disk. Its table holds one row per client of run_figures, each
// number with three decimals ("-" for none); its charts draw series thinned
// to at most kSeriesLimit points.
#pragma once

#include <cstddef>
#include <cstdio>
#include <string_view>

#include "record/run_data.h"

namespace gorv::record {

inline constexpr std::size_t kSeriesLimit = 2000;

// Writes the page; `progress` (may be null) is told of each client done.
void write_report(std::FILE* out, const RunData& run, std::string_view chart_script,
                  void (*progress)(std::int32_t done, std::int32_t clients));

}  // namespace gorv::record
