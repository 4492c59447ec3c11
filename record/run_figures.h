// The figures of the report's table, one row per client, from its status
// rows taken as steps: each row's values hold from its time until the next
// row's, the last until the run's end. Means and quantiles are weighted by
// those durations and take only values that are not NaN; quantile q is the
// least value whose share of the weight, with every smaller value, reaches
// q. A figure without any weight is NaN.
#pragma once

#include <cstddef>
#include <span>
#include <vector>

#include "record/run_data.h"

namespace gorv::record {

struct ClientFigures {
    double phase_seconds[6] = {};  // by phase code 1 to 5; 0 for any other code
    // While in RUN:
    double mean_cur = 0.0;
    double min_cur = 0.0;
    double max_cur = 0.0;
    double mean_req = 0.0;
    double rate_error = 0.0;  // mean of |cur - req| / req where req > 0
    double rt_median = 0.0;
    double rt_p99 = 0.0;
    double wt_median = 0.0;
    double wt_p99 = 0.0;
    double longest_still = 0.0;  // seconds between two status rows, the longest
};

ClientFigures figures_of(std::span<const StatusRow> rows, double end);

struct Point {
    double x;
    double y;
};

// A series cut to at most `limit` points (limit even, at least 2): the
// points fall into limit / 2 buckets of equal width in x, and each bucket
// keeps its least and its greatest point, in order, so no peak is lost.
std::vector<Point> thinned(std::span<const Point> series, std::size_t limit);

}  // namespace gorv::record
