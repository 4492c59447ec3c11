#include "client/run_report.h"

#include <bit>

namespace gorv::client {
namespace {

double share(std::int64_t part, std::int64_t whole) {
    return whole > 0 ? 100.0 * static_cast<double>(part) / static_cast<double>(whole) : 0.0;
}

void print_sizes(std::FILE* out, const char* label, const std::array<std::int64_t, kSizeBuckets>& sizes) {
    std::int64_t total = 0;
    for (const std::int64_t count : sizes) total += count;
    for (int b = 0; b < kSizeBuckets; ++b) {
        if (sizes[b] == 0) continue;
        const std::uint64_t low = std::uint64_t{1} << b;
        char range[64];
        std::snprintf(range, sizeof range, "%llu to %llu bytes", static_cast<unsigned long long>(low),
                      static_cast<unsigned long long>(2 * low - 1));
        std::fprintf(out, "  %-6s %-32s %8lld %6.1f%%\n", label, range, static_cast<long long>(sizes[b]),
                     share(sizes[b], total));
    }
}

}  // namespace

void count_operation(RunReport& report, const Operation& operation, Outcome outcome, std::int64_t moved) {
    EntryCounts& counts = report.entries[operation.entry];
    ++counts.run;
    if (outcome == Outcome::kNotDone) {
        ++counts.not_done;
        return;
    }
    ++counts.done;
    if (outcome == Outcome::kMadeFirst) ++counts.made_first;
    const TransferKind kind = transfer_kind(operation.entry);
    if (kind == TransferKind::kNone || moved <= 0) return;
    const int bucket = static_cast<int>(std::bit_width(static_cast<std::uint64_t>(moved))) - 1;
    ++(kind == TransferKind::kRead ? report.read_sizes : report.write_sizes)[bucket];
}

void print_run_report(std::FILE* out, int client_id, const RunReport& report) {
    std::int64_t run = 0;
    std::int64_t done = 0;
    for (const EntryCounts& counts : report.entries) {
        run += counts.run;
        done += counts.done;
    }
    std::fprintf(out, "Client %d ran %lld operations, %lld of them done:\n", client_id, static_cast<long long>(run),
                 static_cast<long long>(done));
    std::fprintf(out, "  %-18s %8s %7s %8s %11s %9s\n", "Operation", "Run", "Share", "Done", "Made first", "Not done");
    for (int k = 0; k < tools::kOpMixEntries; ++k) {
        const EntryCounts& counts = report.entries[k];
        if (counts.run == 0) continue;
        std::fprintf(out, "  %-18s %8lld %6.1f%% %8lld %11lld %9lld\n", tools::kOpNames[k],
                     static_cast<long long>(counts.run), share(counts.run, run), static_cast<long long>(counts.done),
                     static_cast<long long>(counts.made_first), static_cast<long long>(counts.not_done));
    }
    std::fprintf(out, "Client %d transfer sizes:\n", client_id);
    print_sizes(out, "Read", report.read_sizes);
    print_sizes(out, "Write", report.write_sizes);
}

}  // namespace gorv::client
