#include "record/run_figures.h"

#include <algorithm>
#include <cmath>
#include <limits>
#include <utility>

#include "tools/client_records.h"

namespace gorv::record {
namespace {

constexpr double kNone = std::numeric_limits<double>::quiet_NaN();

// Sums of value × weight and of weight over values that are not NaN.
struct WeightedMean {
    double sum = 0.0;
    double weight = 0.0;
    void add(double value, double w) {
        if (std::isnan(value)) return;
        sum += value * w;
        weight += w;
    }
    double mean() const { return weight > 0.0 ? sum / weight : kNone; }
};

double quantile(std::vector<std::pair<double, double>>& weighted, double q) {
    std::erase_if(weighted, [](const auto& value) { return std::isnan(value.first) || value.second <= 0.0; });
    double total = 0.0;
    for (const auto& value : weighted) total += value.second;
    if (total <= 0.0) return kNone;
    std::sort(weighted.begin(), weighted.end());
    double reached = 0.0;
    for (const auto& [value, weight] : weighted) {
        reached += weight;
        if (reached >= q * total * (1.0 - 1e-12)) return value;
    }
    return weighted.back().first;
}

}  // namespace

ClientFigures figures_of(std::span<const StatusRow> rows, double end) {
    ClientFigures figures;
    WeightedMean cur;
    WeightedMean req;
    WeightedMean error;
    std::vector<std::pair<double, double>> rt;
    std::vector<std::pair<double, double>> wt;
    double least = kNone;
    double most = kNone;
    for (std::size_t i = 0; i < rows.size(); ++i) {
        const StatusRow& row = rows[i];
        const double until = i + 1 < rows.size() ? rows[i + 1].t : std::max(end, row.t);
        const double held = until - row.t;
        const bool known = row.phase >= tools::kPhaseInit && row.phase <= tools::kPhaseCleanup;
        figures.phase_seconds[known ? row.phase : 0] += held;
        if (row.phase != tools::kPhaseRun) continue;
        figures.longest_still = std::max(figures.longest_still, held);
        cur.add(row.cur_op_rate, held);
        req.add(row.req_op_rate, held);
        if (row.req_op_rate > 0.0 && !std::isnan(row.cur_op_rate))
            error.add(std::fabs(row.cur_op_rate - row.req_op_rate) / row.req_op_rate, held);
        if (!std::isnan(row.cur_op_rate)) {
            least = std::isnan(least) ? row.cur_op_rate : std::min(least, row.cur_op_rate);
            most = std::isnan(most) ? row.cur_op_rate : std::max(most, row.cur_op_rate);
        }
        rt.emplace_back(row.rt, held);
        wt.emplace_back(row.wt, held);
    }
    figures.mean_cur = cur.mean();
    figures.min_cur = least;
    figures.max_cur = most;
    figures.mean_req = req.mean();
    figures.rate_error = error.mean();
    auto rt_copy = rt;
    auto wt_copy = wt;
    figures.rt_median = quantile(rt, 0.5);
    figures.rt_p99 = quantile(rt_copy, 0.99);
    figures.wt_median = quantile(wt, 0.5);
    figures.wt_p99 = quantile(wt_copy, 0.99);
    return figures;
}

std::vector<Point> thinned(std::span<const Point> series, std::size_t limit) {
    if (series.size() <= limit || limit < 2) return {series.begin(), series.end()};
    const std::size_t buckets = limit / 2;
    const double first = series.front().x;
    const double width = (series.back().x - first) / static_cast<double>(buckets);
    std::vector<Point> kept;
    kept.reserve(limit);
    std::size_t i = 0;
    for (std::size_t bucket = 0; bucket < buckets && i < series.size(); ++bucket) {
        const double bound = bucket + 1 == buckets ? std::numeric_limits<double>::infinity()
                                                   : first + width * static_cast<double>(bucket + 1);
        std::size_t low = i;
        std::size_t high = i;
        const std::size_t begin = i;
        for (; i < series.size() && (series[i].x < bound || i == begin); ++i) {
            if (series[i].y < series[low].y || std::isnan(series[low].y)) low = i;
            if (series[i].y > series[high].y || std::isnan(series[high].y)) high = i;
        }
        kept.push_back(series[std::min(low, high)]);
        if (low != high) kept.push_back(series[std::max(low, high)]);
    }
    return kept;
}

}  // namespace gorv::record
