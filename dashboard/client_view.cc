#include "dashboard/client_view.h"

#include <cinttypes>
#include <cmath>
#include <cstdio>
#include <cstring>

#include "common/link_state.h"

namespace gorv::dashboard {
namespace {

std::vector<LinkState> by_index(const LinkStateFile& file) {
    std::vector<LinkState> rows;
    for (const LinkRow& row : file.rows) {
        const auto at = static_cast<std::size_t>(row.row);
        if (rows.size() <= at) rows.resize(at + 1);
        rows[at] = {.known = true,
                    .host = row.host,
                    .to_remote_up = row.to_remote,
                    .from_remote_up = row.from_remote,
                    .since = row.since,
                    .relinks = row.relinks};
    }
    return rows;
}

}  // namespace

std::vector<LinkState> parse_link_states(std::string_view text) { return by_index(parse_link_state(text)); }

LinkStates read_link_states(const char* path) {
    const std::optional<LinkStateFile> file = read_link_state(path);
    if (!file) return {};
    LinkStates states{by_index(*file), file->pid, !writing_master_alive(*file)};
    if (states.master_gone)
        for (LinkState& row : states.rows) row.to_remote_up = row.from_remote_up = false;
    return states;
}

const char* phase_name(std::int32_t phase) {
    switch (phase) {
        case tools::kPhaseInit: return "INIT";
        case tools::kPhaseWarm: return "WARM";
        case tools::kPhaseRun: return "RUN";
        case tools::kPhasePreWarm: return "PRE-WARM";
        case tools::kPhaseCleanup: return "CLEANUP";
        default: return nullptr;
    }
}

void reset_tracks(std::vector<ClientTrack>& tracks, std::int32_t clients, double now) {
    tracks.assign(static_cast<std::size_t>(clients > 0 ? clients : 0), ClientTrack{.changed_at = now});
}

void observe_clients(std::span<const std::byte> area, std::int32_t seg_size, double now,
                     std::span<const LinkState> links, std::vector<ClientTrack>& tracks,
                     std::vector<ClientView>& views, Totals& totals) {
    views.resize(tracks.size());
    totals = {};
    for (std::size_t i = 0; i < tracks.size(); ++i) {
        ClientView& view = views[i];
        view.id = static_cast<std::int32_t>(i);
        // A copy, because the segment may be unaligned and is written while we read.
        std::memcpy(&view.record, area.subspan(i * static_cast<std::size_t>(seg_size)).data(), sizeof view.record);

        ClientTrack& track = tracks[i];
        if (tools::status_changed(view.record, track.last)) track.changed_at = now;
        track.last = {view.record.cur_op_rate, view.record.run_time, view.record.rt, view.record.wt};
        view.age_s = now - track.changed_at;
        view.stale = view.record.phase == tools::kPhaseRun && view.age_s >= kStaleSeconds;
        view.link = i < links.size() ? links[i] : LinkState{};

        const double requested = view.record.req_op_rate;
        const double current = view.record.cur_op_rate;
        if (std::isfinite(requested)) totals.req_op_rate += requested;
        if (std::isfinite(current)) totals.cur_op_rate += current;
        totals.not_finite += std::isfinite(requested) && std::isfinite(current) ? 0 : 1;
        totals.stale += view.stale ? 1 : 0;
        totals.links_down += view.link.known && !(view.link.to_remote_up && view.link.from_remote_up) ? 1 : 0;
        const bool named = phase_name(view.record.phase) != nullptr;
        ++totals.in_phase[named ? view.record.phase : 0];
    }
}

}  // namespace gorv::dashboard
