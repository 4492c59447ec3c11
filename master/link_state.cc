#include "master/link_state.h"

#include "common/link_state.h"

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
    LinkRow line;
    for (std::size_t i = 0; i < rows.size(); ++i) {
        const RowLinks& row = rows[i];
        line.row = static_cast<std::int32_t>(i);
        line.host = clients.rows[i];
        line.to_remote = row.to_remote;
        line.from_remote = row.from_remote;
        line.since = row.since;
        line.relinks = row.relinks;
        append_link_row(text, line);
    }
    return text;
}

std::string link_state_text(std::int32_t pid, std::span<const RowLinks> rows, const ClientTable& clients) {
    std::string text;
    append_link_head(text, pid);
    return text + link_state_text(rows, clients);
}

}  // namespace gorv::master
