#include "dashboard/render.h"

#include <algorithm>
#include <cmath>
#include <cstdio>

namespace gorv::dashboard {
namespace {

nlohmann::json link_json(const LinkState& link) {
    if (!link.known) return nullptr;
    return {{"to_remote", link.to_remote_up ? "up" : "down"},
            {"from_remote", link.from_remote_up ? "up" : "down"},
            {"since", link.since},
            {"relinks", link.relinks}};
}

nlohmann::json client_json(const ClientView& view) {
    const tools::StatusRecord& record = view.record;
    const char* phase = phase_name(record.phase);
    return {{"id", view.id},
            {"host", view.link.known ? nlohmann::json(valid_utf8(view.link.host)) : nlohmann::json(nullptr)},
            {"link", link_json(view.link)},
            {"phase", phase != nullptr ? nlohmann::json(phase) : nlohmann::json(nullptr)},
            {"phase_code", record.phase},
            {"req_op_rate", record.req_op_rate},
            {"cur_op_rate", record.cur_op_rate},
            {"run_time", record.run_time},
            {"rt", record.rt},
            {"wt", record.wt},
            {"age_s", view.age_s},
            {"stale", view.stale}};
}

// Prometheus' text format spells the values JSON has no number for.
std::string sample_value(double value) {
    if (std::isnan(value)) return "NaN";
    if (std::isinf(value)) return value > 0 ? "+Inf" : "-Inf";
    char text[40];
    std::snprintf(text, sizeof text, "%.17g", value);
    return text;
}

std::string label_value(const std::string& text) {
    std::string escaped;
    for (const char c : valid_utf8(text)) {
        if (c == '\\' || c == '"') escaped += '\\';
        if (c == '\n') {
            escaped += "\\n";
            continue;
        }
        escaped += c;
    }
    return escaped;
}

struct Metric {
    const char* name;
    const char* help;
};

void head(std::string& out, const Metric& metric) {
    out.append("# HELP ").append(metric.name).append(" ").append(metric.help);
    out.append("\n# TYPE ").append(metric.name).append(" gauge\n");
}

void sample(std::string& out, const char* name, const std::string& labels, double value) {
    out.append(name);
    if (!labels.empty()) out.append("{").append(labels).append("}");
    out.append(" ").append(sample_value(value)).append("\n");
}

}  // namespace

nlohmann::json clients_json(const Snapshot& snapshot) {
    nlohmann::json clients = nlohmann::json::array();
    for (const ClientView& view : snapshot.clients) clients.push_back(client_json(view));
    nlohmann::json phases = nlohmann::json::object();
    for (std::int32_t code = 1; code <= 5; ++code) phases[phase_name(code)] = snapshot.totals.in_phase[code];
    phases["other"] = snapshot.totals.in_phase[0];
    return {{"time", snapshot.time},
            {"master", {{"attached", snapshot.master_attached}, {"text", snapshot.master_text}}},
            {"read_only", snapshot.read_only},
            {"clients", std::move(clients)},
            {"totals",
             {{"clients", snapshot.clients.size()},
              {"req_op_rate", snapshot.totals.req_op_rate},
              {"cur_op_rate", snapshot.totals.cur_op_rate},
              {"not_finite", snapshot.totals.not_finite},
              {"stale", snapshot.totals.stale},
              {"links_down", snapshot.totals.links_down},
              {"phases", std::move(phases)}}}};
}

std::string metrics_text(const Snapshot& snapshot) {
    struct PerClient {
        Metric metric;
        double (*value)(const ClientView&);
    };
    static const PerClient per_client[] = {
        {{"ostrela_client_requested_op_rate", "Operation rate the client reports as requested, per second."},
         [](const ClientView& v) { return v.record.req_op_rate; }},
        {{"ostrela_client_current_op_rate", "Operation rate the client achieved over its last second."},
         [](const ClientView& v) { return v.record.cur_op_rate; }},
        {{"ostrela_client_run_time_seconds", "Seconds the client has been running."},
         [](const ClientView& v) { return v.record.run_time; }},
        {{"ostrela_client_read_latency_seconds", "Mean read latency the client reports."},
         [](const ClientView& v) { return v.record.rt / 1000.0; }},
        {{"ostrela_client_write_latency_seconds", "Mean write latency the client reports."},
         [](const ClientView& v) { return v.record.wt / 1000.0; }},
        {{"ostrela_client_phase", "Phase code: 1 INIT, 2 WARM, 3 RUN, 4 PRE-WARM, 5 CLEANUP."},
         [](const ClientView& v) { return static_cast<double>(v.record.phase); }},
        {{"ostrela_client_status_age_seconds", "Seconds since the client's status last changed."},
         [](const ClientView& v) { return v.age_s; }},
        {{"ostrela_client_stale", "1 when the client is in RUN and its status stopped changing."},
         [](const ClientView& v) { return v.stale ? 1.0 : 0.0; }},
    };
    std::vector<std::string> labels;
    labels.reserve(snapshot.clients.size());
    for (const ClientView& view : snapshot.clients) {
        std::string text = "client=\"" + std::to_string(view.id) + "\"";
        if (view.link.known) text += ",host=\"" + label_value(view.link.host) + "\"";
        labels.push_back(std::move(text));
    }

    std::string out;
    for (const PerClient& metric : per_client) {
        head(out, metric.metric);
        for (std::size_t i = 0; i < snapshot.clients.size(); ++i)
            sample(out, metric.metric.name, labels[i], metric.value(snapshot.clients[i]));
    }
    head(out, {"ostrela_client_link_up", "1 when both directions of the client's link are up (service mode only)."});
    for (std::size_t i = 0; i < snapshot.clients.size(); ++i) {
        const LinkState& link = snapshot.clients[i].link;
        if (link.known)
            sample(out, "ostrela_client_link_up", labels[i], link.to_remote_up && link.from_remote_up ? 1.0 : 0.0);
    }
    const struct {
        Metric metric;
        double value;
    } totals[] = {
        {{"ostrela_master_attached", "1 when the dashboard has the master's areas attached."},
         snapshot.master_attached ? 1.0 : 0.0},
        {{"ostrela_clients", "Clients in the master's areas."}, static_cast<double>(snapshot.clients.size())},
        {{"ostrela_requested_op_rate", "Sum of the clients' finite requested operation rates."},
         snapshot.totals.req_op_rate},
        {{"ostrela_current_op_rate", "Sum of the clients' finite current operation rates."}, snapshot.totals.cur_op_rate},
        {{"ostrela_stale_clients", "Clients in RUN whose status stopped changing."},
         static_cast<double>(snapshot.totals.stale)},
        {{"ostrela_not_finite_clients", "Clients whose requested or current rate is not a finite number (left out of the sums)."},
         static_cast<double>(snapshot.totals.not_finite)},
    };
    for (const auto& total : totals) {
        head(out, total.metric);
        sample(out, total.metric.name, "", total.value);
    }
    return out;
}

std::string json_text(const nlohmann::json& value) {
    return value.dump(-1, ' ', false, nlohmann::json::error_handler_t::replace);
}

std::string valid_utf8(std::string_view text) {
    std::string valid;
    valid.reserve(text.size());
    std::size_t at = 0;
    while (at < text.size()) {
        const auto lead = static_cast<unsigned char>(text[at]);
        // The length of the sequence a lead byte opens, and the range its second byte must lie in.
        std::size_t length = 0;
        unsigned char low = 0x80;
        unsigned char high = 0xBF;
        if (lead < 0x80) length = 1;
        else if (lead >= 0xC2 && lead <= 0xDF) length = 2;
        else if (lead >= 0xE0 && lead <= 0xEF) length = 3;
        else if (lead >= 0xF0 && lead <= 0xF4) length = 4;
        if (lead == 0xE0) low = 0xA0;
        if (lead == 0xED) high = 0x9F;
        if (lead == 0xF0) low = 0x90;
        if (lead == 0xF4) high = 0x8F;
        std::size_t good = length == 0 ? 0 : 1;
        for (; good < length && at + good < text.size(); ++good) {
            const auto next = static_cast<unsigned char>(text[at + good]);
            if (good == 1 ? (next < low || next > high) : (next < 0x80 || next > 0xBF)) break;
        }
        if (length != 0 && good == length) {
            valid.append(text.substr(at, length));
            at += length;
        } else {
            valid.append("\xEF\xBF\xBD");
            at += good == 0 ? 1 : good;  // a cut-off sequence is replaced once
        }
    }
    return valid;
}

void reset_history(RateHistory& history, std::int32_t clients) {
    history.clients = clients < 0 ? 0 : std::min(clients, kMaxRemotes + 1);
    history.count = 0;
    history.next = 0;
}

void record_history(RateHistory& history, const Snapshot& snapshot) {
    const auto at = static_cast<std::size_t>(history.next);
    history.times[at] = snapshot.time;
    history.totals[at] = snapshot.totals.cur_op_rate;
    const std::size_t shown = std::min<std::size_t>(snapshot.clients.size(), static_cast<std::size_t>(history.clients));
    for (std::size_t i = 0; i < shown; ++i)
        history.rates[at * (kMaxRemotes + 1) + i] = snapshot.clients[i].record.cur_op_rate;
    history.next = (history.next + 1) % kHistoryLength;
    history.count = std::min(history.count + 1, kHistoryLength);
}

nlohmann::json history_json(const RateHistory& history) {
    nlohmann::json times = nlohmann::json::array();
    nlohmann::json totals = nlohmann::json::array();
    std::vector<nlohmann::json> clients(static_cast<std::size_t>(history.clients), nlohmann::json::array());
    const std::int32_t first = (history.next - history.count + kHistoryLength) % kHistoryLength;
    for (std::int32_t k = 0; k < history.count; ++k) {
        const auto at = static_cast<std::size_t>((first + k) % kHistoryLength);
        times.push_back(history.times[at]);
        totals.push_back(history.totals[at]);
        for (std::size_t i = 0; i < clients.size(); ++i) clients[i].push_back(history.rates[at * (kMaxRemotes + 1) + i]);
    }
    return {{"time", std::move(times)}, {"total", std::move(totals)}, {"clients", std::move(clients)}};
}

}  // namespace gorv::dashboard
