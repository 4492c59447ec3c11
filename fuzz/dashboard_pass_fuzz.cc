// The dashboard's pass over whatever the RO area and the link state file
// hold: the first byte is the client count (0 to 15), then as many status
// records as it says, then the link state text (host names of any bytes).
// The clients' JSON, the metrics and the history must come out as valid
// UTF-8 (the JSON parses again) without an exception.
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string>
#include <string_view>
#include <vector>

#include "dashboard/client_view.h"
#include "dashboard/render.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    using namespace gorv::dashboard;
    if (size < 1) return 0;
    const std::int32_t clients = data[0] % 16;
    constexpr auto kRecord = static_cast<std::int32_t>(sizeof(gorv::tools::StatusRecord));
    std::vector<std::byte> area(static_cast<std::size_t>(clients * kRecord));
    const std::size_t records = std::min(area.size(), size - 1);
    if (records > 0) std::memcpy(area.data(), data + 1, records);
    const std::string_view text(reinterpret_cast<const char*>(data + 1 + records), size - 1 - records);

    std::vector<LinkState> links = parse_link_states(text);
    // A host of any bytes at all, blanks and line ends too.
    if (!links.empty()) links.back().host = std::string(text.substr(0, 64));

    static RateHistory history;
    std::vector<ClientTrack> tracks;
    reset_tracks(tracks, clients, 0.0);
    reset_history(history, clients);
    Snapshot snapshot;
    for (const double now : {0.0, 5.0}) {
        observe_clients(area, kRecord, now, links, tracks, snapshot.clients, snapshot.totals);
        record_history(history, snapshot);
        const std::string json = json_text(clients_json(snapshot));
        if (nlohmann::json::parse(json, nullptr, false).is_discarded()) __builtin_trap();
        const std::string metrics = metrics_text(snapshot);
        if (valid_utf8(metrics) != metrics) __builtin_trap();
    }
    if (nlohmann::json::parse(json_text(history_json(history)), nullptr, false).is_discarded()) __builtin_trap();
    return 0;
}
