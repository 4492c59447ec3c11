#include "tools/status_lines.h"

#include <cmath>
#include <cstring>

namespace gorv::tools {
namespace {

bool differs(double now, double before) { return now != before || std::isnan(now) || std::isnan(before); }

}  // namespace

AreaFit check_status_area(const AreaEntry& ro) {
    if (ro.number_of_segs > kMonitorCapacity) return AreaFit::kTooManyClients;
    if (ro.number_of_segs <= 0) return AreaFit::kFits;
    const std::int64_t last = ro.number_of_segs - 1;
    if (last > 0 && ro.seg_size < 0) return AreaFit::kPastArea;  // records would lie before the area
    if (last * ro.seg_size + kStatusRecordSize > ro.size) return AreaFit::kPastArea;
    return AreaFit::kFits;
}

bool status_changed(const StatusRecord& record, const StatusSnapshot& previous) {
    return differs(record.cur_op_rate, previous.cur_op_rate) || differs(record.run_time, previous.run_time) ||
           differs(record.rt, previous.rt) || differs(record.wt, previous.wt);
}

void print_status_line(std::FILE* out, const char* timestamp, std::int32_t client, const char* phase_text,
                       const StatusRecord& record) {
    if (record.req_op_rate == 0.0) {
        std::fprintf(out, "%s CL %d: S:%s Cur op_rate %10.2f Ops/sec. Run_time %3.0f secs RT: %.2f WT: %.2f\n",
                     timestamp, client, phase_text, record.cur_op_rate, record.run_time, record.rt, record.wt);
    } else {
        std::fprintf(out,
                     "%s CL %d: S:%s Req op_rate %10.2f Cur op_rate %10.2f Ops/sec. Run_time %3.0f secs RT %.2f "
                     "WT: %.2f\n",
                     timestamp, client, phase_text, record.req_op_rate, record.cur_op_rate, record.run_time,
                     record.rt, record.wt);
    }
}

void monitor_pass(std::span<const std::byte> area, std::int32_t clients, std::int32_t seg_size, MonitorState& state,
                  std::FILE* out, const char* (*timestamp)()) {
    bool last_printed = false;
    for (std::int32_t i = 0; i < clients; ++i) {
        // A copy, because the segment may be unaligned and is written while we read.
        StatusRecord record{};
        std::memcpy(&record, area.subspan(static_cast<std::size_t>(i) * static_cast<std::size_t>(seg_size)).data(),
                    sizeof record);
        if (const char* text = phase_text(record.phase))
            std::snprintf(state.phase_text, sizeof state.phase_text, "%s", text);

        StatusSnapshot& previous = state.snapshots[static_cast<std::size_t>(i)];
        last_printed = status_changed(record, previous);
        if (last_printed) print_status_line(out, timestamp(), i, state.phase_text, record);
        previous = {record.cur_op_rate, record.run_time, record.rt, record.wt};
    }
    if (last_printed) std::fputc('\n', out);
}

}  // namespace gorv::tools
