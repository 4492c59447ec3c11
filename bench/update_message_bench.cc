// Change detection and the message codecs against plain memory routines on
// the same bytes. Each case runs on one segment and on a whole area of 255
// rows (one sender pass over every row), at the default and at 8192 bytes
// per segment. It shows the fastest of five repetitions of each case, then
// each routine's CPU time as a ratio of its yardstick's. CPU time rather than
// wall time, because other work on a shared machine inflates the latter.
#include <benchmark/benchmark.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <memory>
#include <new>
#include <string>
#include <vector>

#include "common/constants.h"
#include "common/update_message.h"

namespace gorv {
namespace {

constexpr UpdateTexts kQuiet{0, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr, 0};
constexpr int kRepetitions = 5;

constexpr std::size_t kPage = 4096;

struct FreeBlock {
    void operator()(std::byte* block) const { std::free(block); }
};

// The buffers of one run, laid out as a daemon holds them: a page-aligned
// area of rows (as an attached area is), one heap shadow per row, one heap
// message per row (so decoding reads fresh input).
struct Buffers {
    std::size_t seg_size;
    std::size_t rows;
    std::unique_ptr<std::byte, FreeBlock> area;
    std::vector<std::vector<std::byte>> shadows;
    std::vector<std::vector<std::byte>> messages;

    Buffers(std::size_t size, std::size_t row_count)
        : seg_size(size), rows(row_count), area(static_cast<std::byte*>(std::aligned_alloc(kPage, size * row_count))),
          shadows(row_count), messages(row_count, std::vector<std::byte>(size + kDestWhoSize)) {
        if (!area) throw std::bad_alloc();
        for (std::size_t k = 0; k < size * row_count; ++k) area.get()[k] = static_cast<std::byte>(k * 131 + 7);
        for (std::size_t row = 0; row < rows; ++row) {
            shadows[row].assign(segment(row).begin(), segment(row).end());
            encode_update(segment(row), static_cast<std::int32_t>(row), messages[row]);
        }
    }
    std::span<std::byte> segment(std::size_t row) { return {area.get() + row * seg_size, seg_size}; }
    std::byte* payload(std::size_t row) { return messages[row].data() + kDestWhoSize; }
};

Buffers buffers_for(const benchmark::State& state) {
    return {static_cast<std::size_t>(state.range(0)), static_cast<std::size_t>(state.range(1))};
}

void count_bytes(benchmark::State& state, const Buffers& buffers) {
    state.SetBytesProcessed(state.iterations() * static_cast<std::int64_t>(buffers.seg_size * buffers.rows));
}

// Unchanged segments: the usual case, and the one where every word is looked at.
void BM_detect_change(benchmark::State& state) {
    Buffers buffers = buffers_for(state);
    for (auto _ : state) {
        for (std::size_t row = 0; row < buffers.rows; ++row)
            benchmark::DoNotOptimize(detect_change(buffers.segment(row), buffers.shadows[row], kQuiet));
        benchmark::ClobberMemory();
    }
    count_bytes(state, buffers);
}

void BM_memcmp_memcpy(benchmark::State& state) {
    Buffers buffers = buffers_for(state);
    for (auto _ : state) {
        for (std::size_t row = 0; row < buffers.rows; ++row) {
            std::byte* shadow = buffers.shadows[row].data();
            benchmark::DoNotOptimize(std::memcmp(buffers.segment(row).data(), shadow, buffers.seg_size));
            std::memcpy(shadow, buffers.segment(row).data(), buffers.seg_size);
        }
        benchmark::ClobberMemory();
    }
    count_bytes(state, buffers);
}

// The sender encodes every row into its one message buffer.
void BM_encode_update(benchmark::State& state) {
    Buffers buffers = buffers_for(state);
    for (auto _ : state) {
        for (std::size_t row = 0; row < buffers.rows; ++row)
            encode_update(buffers.segment(row), static_cast<std::int32_t>(row), buffers.messages[0]);
        benchmark::ClobberMemory();
    }
    count_bytes(state, buffers);
}

void BM_memcpy_encode(benchmark::State& state) {
    Buffers buffers = buffers_for(state);
    for (auto _ : state) {
        for (std::size_t row = 0; row < buffers.rows; ++row)
            std::memcpy(buffers.payload(0), buffers.segment(row).data(), buffers.seg_size);
        benchmark::ClobberMemory();
    }
    count_bytes(state, buffers);
}

void BM_decode_update(benchmark::State& state) {
    Buffers buffers = buffers_for(state);
    for (auto _ : state) {
        for (std::size_t row = 0; row < buffers.rows; ++row)
            benchmark::DoNotOptimize(decode_update(buffers.messages[row], buffers.segment(row), kQuiet));
        benchmark::ClobberMemory();
    }
    count_bytes(state, buffers);
}

void BM_memcpy_decode(benchmark::State& state) {
    Buffers buffers = buffers_for(state);
    for (auto _ : state) {
        for (std::size_t row = 0; row < buffers.rows; ++row)
            std::memcpy(buffers.segment(row).data(), buffers.payload(row), buffers.seg_size);
        benchmark::ClobberMemory();
    }
    count_bytes(state, buffers);
}

double fastest(const std::vector<double>& times) { return *std::min_element(times.begin(), times.end()); }

// Segment size by row count: one segment, and a full master area.
void shapes(benchmark::internal::Benchmark* benchmark) {
    for (const std::int64_t rows : {std::int64_t{1}, std::int64_t{kMaxRemotes}})
        for (const std::int64_t size : {std::int64_t{4096}, std::int64_t{8192}}) benchmark->Args({size, rows});
    benchmark->ArgNames({"bytes", "rows"})
        ->Repetitions(kRepetitions)
        ->ComputeStatistics("min", fastest)
        ->ReportAggregatesOnly(true);
}

BENCHMARK(BM_detect_change)->Apply(shapes);
BENCHMARK(BM_memcmp_memcpy)->Apply(shapes);
BENCHMARK(BM_encode_update)->Apply(shapes);
BENCHMARK(BM_memcpy_encode)->Apply(shapes);
BENCHMARK(BM_decode_update)->Apply(shapes);
BENCHMARK(BM_memcpy_decode)->Apply(shapes);

// Keeps the fastest time of every case, keyed by routine and shape.
class RatioReporter : public benchmark::ConsoleReporter {
  public:
    RatioReporter() : ConsoleReporter(isatty(STDOUT_FILENO) != 0 ? OO_Defaults : OO_Tabular) {}

    void ReportRuns(const std::vector<Run>& runs) override {
        std::vector<Run> fastest_runs;
        for (const Run& run : runs) {
            if (run.aggregate_name != "min") continue;
            fastest_runs.push_back(run);
            const std::string name = run.benchmark_name();
            const std::size_t slash = name.find('/');
            const std::string routine = name.substr(0, slash);
            const std::string shape = name.substr(slash, name.rfind("/repeats") - slash);
            times_[shape][routine] = run.GetAdjustedCPUTime();
        }
        ConsoleReporter::ReportRuns(fastest_runs);
    }

    void print_ratios() const {
        std::printf("\n%-22s %14s %14s %14s   (routine / yardstick CPU time, fastest of %d)\n", "shape",
                    "detect/cmp+cpy", "encode/memcpy", "decode/memcpy", kRepetitions);
        for (const auto& [shape, routines] : times_) {
            std::printf("%-22s %14.2f %14.2f %14.2f\n", shape.c_str(),
                        ratio(routines, "BM_detect_change", "BM_memcmp_memcpy"),
                        ratio(routines, "BM_encode_update", "BM_memcpy_encode"),
                        ratio(routines, "BM_decode_update", "BM_memcpy_decode"));
        }
    }

  private:
    static double ratio(const std::map<std::string, double>& routines, const char* routine, const char* yardstick) {
        const auto subject = routines.find(routine);
        const auto base = routines.find(yardstick);
        if (subject == routines.end() || base == routines.end() || base->second <= 0) return 0;
        return subject->second / base->second;
    }

    std::map<std::string, std::map<std::string, double>> times_;
};

}  // namespace
}  // namespace gorv

int main(int argc, char** argv) {
    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
    gorv::RatioReporter reporter;
    benchmark::RunSpecifiedBenchmarks(&reporter);
    reporter.print_ratios();
    benchmark::Shutdown();
    return 0;
}
