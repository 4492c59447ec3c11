// The report's thinning of long series: at most the limit, in order, and
// every bucket's least and greatest point kept, so no peak is lost.
#include <gtest/gtest.h>

#include <vector>

#include "record/run_figures.h"

namespace gorv::record {
namespace {

TEST(Thinned, KeepsEveryPeakWithinTheLimitInOrder) {
    std::vector<Point> series;
    for (int i = 0; i < 5000; ++i) series.push_back({i * 0.5, static_cast<double>(i % 10)});
    series[2345].y = 1000.0;
    series[4001].y = -1000.0;
    const std::vector<Point> kept = thinned(series, 2000);
    EXPECT_LE(kept.size(), 2000u);
    EXPECT_GE(kept.size(), 1900u);
    bool high = false;
    bool low = false;
    for (std::size_t i = 0; i < kept.size(); ++i) {
        if (i > 0) {
            EXPECT_LT(kept[i - 1].x, kept[i].x);
        }
        high = high || (kept[i].x == 2345 * 0.5 && kept[i].y == 1000.0);
        low = low || (kept[i].x == 4001 * 0.5 && kept[i].y == -1000.0);
    }
    EXPECT_TRUE(high);
    EXPECT_TRUE(low);
    EXPECT_EQ(kept.front().x, 0.0);

    const std::vector<Point> short_series(series.begin(), series.begin() + 2000);
    EXPECT_EQ(thinned(short_series, 2000).size(), 2000u);  // not longer than the limit: kept whole
}

}  // namespace
}  // namespace gorv::record
