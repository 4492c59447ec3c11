#include "dashboard/client_view.h"

#include <cinttypes>
#include <cmath>
#include <cstdio>
#include <cstring>

#include "common/checked_file.h"
#include "common/constants.h"

namespace gorv::dashboard {
namespace {

bool parse_direction(const char* word, bool& up) {
    if (std::strcmp(word, "up") == 0) {
        up = true;
        return true;
    }
    up = false;
    return std::strcmp(word, "down") == 0;
}

}  // namespace

std::vector<LinkState> parse_link_states(std::string_view text) {
    std::vector<LinkState> rows;
    while (!text.empty()) {
        const std::size_t end = text.find('\n');
        const std::string line(text.substr(0, end));
        text = end == std::string_view::npos ? std::string_view{} : text.substr(end + 1);

        int row = -1;
        char host[256] = {};
        char to_remote[8] = {};
        char from_remote[8] = {};
        LinkState state;
        if (std::sscanf(line.c_str(), "row=%d host=%255s to_remote=%7s from_remote=%7s since=%" SCNd64 " relinks=%" SCNd64,
                        &row, host, to_remote, from_remote, &state.since, &state.relinks) != 6)
            continue;
        if (row < 0 || row >= kMaxRemotes) continue;
        if (!parse_direction(to_remote, state.to_remote_up) || !parse_direction(from_remote, state.from_remote_up))
            continue;
        state.known = true;
        state.host = host;
        if (rows.size() <= static_cast<std::size_t>(row)) rows.resize(static_cast<std::size_t>(row) + 1);
        rows[static_cast<std::size_t>(row)] = std::move(state);
    }
    return rows;
}

std::vector<LinkState> read_link_states(const char* path) {
    // Opened as the tools open a registry file: a pipe planted at the path
    // must not stop the pass, nor another user's file stand for the master's.
    std::FILE* file = open_trusted_file(path).stream;
    if (file == nullptr) return {};
    // 255 rows take some 25 KiB; a larger file is cut, never read whole.
    constexpr std::size_t kLinkStateMax = std::size_t{64} * 1024;
    std::string text(kLinkStateMax, '\0');
    text.resize(std::fread(text.data(), 1, text.size(), file));
    std::fclose(file);
    return parse_link_states(text);
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
