#include "master/link_state.h"

#include <cstdio>

namespace gorv::master {

void note_link(RowLinks& row, bool to_remote, bool up, std::int64_t now) {
    bool& state = to_remote ? row.to_remote : row.from_remote;
    bool& seen = to_remote ? row.to_remote_seen : row.from_remote_seen;
    if (state == up) return;
    state = up;
    row.since = now;
    if (up && seen) ++row.relinks;
    if (up) seen = true;
}

std::string link_state_text(std::span<const RowLinks> rows, const ClientTable& clients) {
    std::string text;
    char line[kRowSize + 160];
    for (std::size_t i = 0; i < rows.size(); ++i) {
        const RowLinks& row = rows[i];
        std::snprintf(line, sizeof line, "row=%zu host=%s to_remote=%s from_remote=%s since=%lld relinks=%d\n", i,
                      clients.rows[i], row.to_remote ? "up" : "down", row.from_remote ? "up" : "down",
                      static_cast<long long>(row.since), row.relinks);
        text += line;
    }
    return text;
}

}  // namespace gorv::master
