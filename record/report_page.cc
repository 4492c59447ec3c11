#include "record/report_page.h"

#include <algorithm>
#include <cmath>
#include <ctime>
#include <nlohmann/json.hpp>
#include <string>
#include <vector>

#include "record/run_figures.h"
#include "report_page_script.h"
#include "tools/client_records.h"

namespace gorv::record {
namespace {

using nlohmann::json;

constexpr const char* kPhaseNames[6] = {"other", "INIT", "WARM", "RUN", "PRE-WARM", "CLEANUP"};

// Seven significant digits: the page shows no more, and the file is the smaller for it.
double shortened(double value) {
    if (!std::isfinite(value) || value == 0.0) return value;
    const double scale = std::pow(10.0, 6 - static_cast<int>(std::floor(std::log10(std::fabs(value)))));
    return std::round(value * scale) / scale;
}

json points(const std::vector<Point>& series) {
    json out = json::array();
    for (const Point& point : thinned(series, kSeriesLimit))
        out.push_back({std::round(point.x * 1000) / 1000, shortened(point.y)});
    return out;
}

// The total requested and current rate after every change of any client.
json totals(const RunData& run) {
    struct Change {
        double t;
        std::size_t client;
        double req;
        double cur;
    };
    std::vector<Change> changes;
    for (std::size_t client = 0; client < run.status.size(); ++client)
        for (const StatusRow& row : run.status[client])
            changes.push_back({row.t, client, std::isfinite(row.req_op_rate) ? row.req_op_rate : 0.0,
                               std::isfinite(row.cur_op_rate) ? row.cur_op_rate : 0.0});
    std::stable_sort(changes.begin(), changes.end(), [](const Change& a, const Change& b) { return a.t < b.t; });
    std::vector<double> req(run.status.size(), 0.0);
    std::vector<double> cur(run.status.size(), 0.0);
    double sum_req = 0.0;
    double sum_cur = 0.0;
    std::vector<Point> req_series;
    std::vector<Point> cur_series;
    for (std::size_t i = 0; i < changes.size(); ++i) {
        const Change& change = changes[i];
        sum_req += change.req - req[change.client];
        sum_cur += change.cur - cur[change.client];
        req[change.client] = change.req;
        cur[change.client] = change.cur;
        if (i + 1 < changes.size() && changes[i + 1].t == change.t) continue;
        req_series.push_back({change.t - run.started, sum_req});
        cur_series.push_back({change.t - run.started, sum_cur});
    }
    if (!changes.empty()) {  // the last step lasts to the run's end
        req_series.push_back({run.end - run.started, sum_req});
        cur_series.push_back({run.end - run.started, sum_cur});
    }
    return {{"req", points(req_series)}, {"cur", points(cur_series)}};
}

json client_series(const RunData& run, std::size_t client) {
    std::vector<Point> series[4];
    for (const StatusRow& row : run.status[client]) {
        const double x = row.t - run.started;
        const double values[4] = {row.req_op_rate, row.cur_op_rate, row.rt, row.wt};
        for (int i = 0; i < 4; ++i) series[i].push_back({x, values[i]});
    }
    for (std::vector<Point>& steps : series)
        if (!steps.empty()) steps.push_back({run.end - run.started, steps.back().y});
    return {
        {"req", points(series[0])}, {"cur", points(series[1])}, {"rt", points(series[2])}, {"wt", points(series[3])}};
}

// [client, from, to, phase index] for each stretch of one phase.
void phase_stretches(const RunData& run, std::size_t client, json& out) {
    const std::vector<StatusRow>& rows = run.status[client];
    for (std::size_t i = 0; i < rows.size();) {
        std::size_t j = i;
        while (j < rows.size() && rows[j].phase == rows[i].phase) ++j;
        const double until = j < rows.size() ? rows[j].t : std::max(run.end, rows[i].t);
        const bool known = rows[i].phase >= tools::kPhaseInit && rows[i].phase <= tools::kPhaseCleanup;
        out.push_back({client, rows[i].t - run.started, until - run.started, known ? rows[i].phase : 0});
        i = j;
    }
}

std::string number(double value) {
    if (std::isnan(value)) return "-";
    char text[64];
    std::snprintf(text, sizeof text, "%.3f", value);
    return text;
}

std::string utc_text(double t) {
    const auto seconds = static_cast<std::time_t>(t);
    std::tm parts{};
    char text[32] = "?";
    if (gmtime_r(&seconds, &parts) != nullptr) std::strftime(text, sizeof text, "%Y-%m-%d %H:%M:%S UTC", &parts);
    return text;
}

std::string figures_row(std::int32_t client, const ClientFigures& f) {
    std::string row = "<tr data-client=\"" + std::to_string(client) + "\"><td>" + std::to_string(client) + "</td>";
    const double cells[] = {f.phase_seconds[1], f.phase_seconds[2], f.phase_seconds[3], f.phase_seconds[4],
                            f.phase_seconds[5], f.phase_seconds[0], f.mean_cur,         f.min_cur,
                            f.max_cur,          f.mean_req,         f.rate_error,       f.rt_median,
                            f.rt_p99,           f.wt_median,        f.wt_p99,           f.longest_still};
    for (const double cell : cells) row += "<td>" + number(cell) + "</td>";
    return row + "</tr>\n";
}

constexpr char kHead[] = R"page(<!DOCTYPE html>
<html lang="en"><head><meta charset="utf-8"><title>%s</title>
<style>
body { font-family: sans-serif; margin: 1.5em; color: #222; }
.box { width: 100%%; max-width: 1100px; height: 300px; }
table { border-collapse: collapse; font-size: 0.85em; }
td, th { border: 1px solid #bbb; padding: 2px 6px; text-align: right; }
th { background: #eee; }
</style></head><body>
<h1>%s</h1>
<p id="summary">Started %s; %s seconds long; %d clients, segments of %d bytes; %lld control and %lld link rows.</p>
<p id="phases-seen">Seconds in each phase, all clients together: %s.</p>
<h2>Total rate</h2><div class="box"><canvas id="total"></canvas></div>
<h2>One client</h2><label>Client <select id="client"></select></label>
<div class="box"><canvas id="rates"></canvas></div>
<div class="box"><canvas id="latency"></canvas></div>
<h2>Phases</h2><div class="box" id="phase-box"><canvas id="phases"></canvas></div>
<h2>Clients</h2>
<p>Rates in operations per second, latencies as reported (rt, wt), times in seconds; every figure after the phases is taken while in RUN, weighted by time. The rate error is the mean of |current &minus; requested| / requested.</p>
<table id="figures"><thead><tr><th>Client</th><th>INIT</th><th>WARM</th><th>RUN</th><th>PRE-WARM</th><th>CLEANUP</th><th>other</th>
<th>mean cur</th><th>min cur</th><th>max cur</th><th>mean req</th><th>rate error</th><th>rt median</th><th>rt p99</th><th>wt median</th><th>wt p99</th><th>longest still</th></tr></thead>
<tbody>
)page";

}  // namespace

void write_report(std::FILE* out, const RunData& run, std::string_view chart_script,
                  void (*progress)(std::int32_t done, std::int32_t clients)) {
    const std::string title = "Run " + std::to_string(run.run) + " of ostrela_record";
    double phase_totals[6] = {};
    std::string table;
    json data = {{"total", totals(run)}, {"clients", json::array()}, {"phases", json::array()}};
    for (std::int32_t client = 0; client < run.clients; ++client) {
        const auto index = static_cast<std::size_t>(client);
        const ClientFigures figures = figures_of(run.status[index], run.end);
        for (int p = 0; p < 6; ++p) phase_totals[p] += figures.phase_seconds[p];
        table += figures_row(client, figures);
        data["clients"].push_back(client_series(run, index));
        phase_stretches(run, index, data["phases"]);
        if (progress != nullptr) progress(client + 1, run.clients);
    }
    std::string phases;
    for (int p = 1; p <= 6; ++p) {
        const int code = p % 6;  // "other" last
        if (phase_totals[code] <= 0.0) continue;
        if (!phases.empty()) phases += ", ";
        phases += std::string(kPhaseNames[code]) + " " + number(phase_totals[code]);
    }
    if (phases.empty()) phases = "none";
    std::fprintf(out, kHead, title.c_str(), title.c_str(), utc_text(run.started).c_str(),
                 number(run.end - run.started).c_str(), run.clients, run.seg_size,
                 static_cast<long long>(run.control_rows), static_cast<long long>(run.link_rows), phases.c_str());
    std::fputs(table.c_str(), out);
    std::fputs("</tbody></table>\n<script>\n", out);
    std::fwrite(chart_script.data(), 1, chart_script.size(), out);
    std::fputs("\n</script>\n<script type=\"application/json\" id=\"run-data\">", out);
    std::string text = data.dump(-1, ' ', false, json::error_handler_t::replace);
    for (std::size_t at = 0; (at = text.find("</", at)) != std::string::npos; at += 3) text.replace(at, 2, "<\\/");
    std::fputs(text.c_str(), out);
    std::fputs("</script>\n<script>", out);
    std::fputs(kReportScript, out);
    std::fputs("</script>\n</body></html>\n", out);
}

}  // namespace gorv::record
