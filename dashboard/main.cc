// ostrela_dashboard: the operator's page, JSON API, server-sent events and
// Prometheus metrics over the master's areas, with the same control as
// ostrela_modify. The main thread reads the areas once a second; the HTTP
// server answers from its own threads (dashboard/gate.h) with what the last
// pass saw.
#include <sys/socket.h>
#include <malloc.h>
#include <unistd.h>

#include <chrono>
#include <condition_variable>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <exception>
#include <fstream>
#include <iterator>
#include <mutex>
#include <span>
#include <string>
#include <thread>

#include <httplib.h>

#include "common/constants.h"
#include "common/secret_file.h"
#include "dashboard/client_view.h"
#include "dashboard/control.h"
#include "dashboard/gate.h"
#include "dashboard/master_link.h"
#include "dashboard/render.h"
#include "dashboard_page.h"

namespace gorv::dashboard {
namespace {

constexpr char kChartScript[] = "/usr/share/javascript/chart.js/chart.min.js";
constexpr std::size_t kMinTokenLength = 32;

struct Settings {
    std::string address = "127.0.0.1";
    int port = 8080;
    bool read_only = false;
    const char* token_file = nullptr;
    std::string token;  // empty: no token asked for
};

// The dashboard's process-wide state. `lock` guards everything below it;
// `published` wakes the event streams after each pass.
struct Dashboard {
    Settings settings;
    std::string chart_script;
    std::mutex lock;
    std::condition_variable published;
    MasterAreas areas;
    std::vector<ClientTrack> tracks;
    RateHistory history;
    Snapshot snapshot;
    std::string snapshot_json;
    std::uint64_t generation = 0;
};

Dashboard the_dashboard;

void print_usage() {
    std::puts("\t-p port.......  Port to listen on (default 8080)");
    std::puts("\t-b address....  Address to listen on (default 127.0.0.1)");
    std::puts("\t-R............  Read-only: no control");
    std::puts("\t-T file.......  Token file: every call but the page needs the token");
    std::puts("\t-h............  Help screen");
    std::puts("\t-v............  The package version");
    std::putchar('\n');
}

// Returns the status to end with when the command line ends the program.
std::optional<int> parse_options(int argc, char** argv, Settings& settings) {
    for (int option; (option = getopt(argc, argv, "p:b:RT:hv")) != -1;) {
        switch (option) {
            case 'p': {
                char* end = nullptr;
                const long port = std::strtol(optarg, &end, 10);
                if (*optarg == '\0' || *end != '\0' || port < 1 || port > 65535) {
                    std::printf("Dashboard: port %s refused: give 1 to 65535\n", optarg);
                    return kExitFailure;
                }
                settings.port = static_cast<int>(port);
                break;
            }
            case 'b':
                settings.address = optarg;
                break;
            case 'R':
                settings.read_only = true;
                break;
            case 'T':
                settings.token_file = optarg;
                break;
            case 'h':
                print_usage();
                return kExitOk;
            case 'v':
                std::printf("ostrela_dashboard %s\n", GORV_VERSION);
                return kExitOk;
            default:
                print_usage();
                return kExitFailure;
        }
    }
    return std::nullopt;
}

// The settings that cannot be used, refused before anything is bound.
std::optional<int> check_settings(Settings& settings) {
    if (settings.address.empty()) {
        std::printf("Dashboard: cannot listen on %s port %d\n", settings.address.c_str(), settings.port);
        return kExitListenSocket;
    }
    if (settings.token_file != nullptr) {
        const SecretFile file = read_secret_file(settings.token_file);
        const char* refusal = file.refusal;
        if (refusal == nullptr && file.secret.size() < kMinTokenLength) refusal = "shorter than 32 characters";
        if (refusal != nullptr) {
            std::printf("Dashboard: token file %s refused: %s\n", settings.token_file, refusal);
            return kExitFailure;
        }
        settings.token = file.secret;
    }
    if (!is_loopback_address(settings.address) && !settings.read_only && settings.token.empty()) {
        std::printf("Dashboard: %s is not a loopback address: control there needs a token (-T file) or -R\n",
                    settings.address.c_str());
        return kExitFailure;
    }
    return std::nullopt;
}

double seconds_since_start() {
    static const auto start = std::chrono::steady_clock::now();
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
}

// One pass: attach afresh when the registry file changed, read every client.
void pass(Dashboard& dashboard) {
    const RegistryIdentity identity = registry_identity(kMasterRegistryPath);
    const LinkStates links = read_link_states(kMasterLinksPath);
    const double now = seconds_since_start();

    std::lock_guard guard(dashboard.lock);
    MasterAreas& areas = dashboard.areas;
    if (identity != areas.identity || dashboard.generation == 0) {
        attach_master_areas(areas, identity, !dashboard.settings.read_only);
        std::printf("Dashboard: %s\n", areas.text.c_str());
        std::fflush(stdout);
        const std::int32_t clients = areas.ro != nullptr ? areas.ro_entry.number_of_segs : 0;
        reset_tracks(dashboard.tracks, clients, now);
        reset_history(dashboard.history, clients);
    }
    Snapshot& snapshot = dashboard.snapshot;
    snapshot.time = std::chrono::duration_cast<std::chrono::seconds>(
                        std::chrono::system_clock::now().time_since_epoch())
                        .count();
    snapshot.master_attached = areas.ro != nullptr && !links.master_gone;
    snapshot.master_text = areas.ro != nullptr && links.master_gone ? master_ended_text(links.master_pid) : areas.text;
    snapshot.read_only = dashboard.settings.read_only;
    if (areas.ro != nullptr) {
        const std::span<const std::byte> ro(areas.ro, static_cast<std::size_t>(areas.ro_entry.size));
        observe_clients(ro, areas.ro_entry.seg_size, now, links.rows, dashboard.tracks, snapshot.clients,
                        snapshot.totals);
    } else {
        snapshot.clients.clear();
        snapshot.totals = {};
    }
    record_history(dashboard.history, snapshot);
    dashboard.snapshot_json = json_text(clients_json(snapshot));
    ++dashboard.generation;
    dashboard.published.notify_all();
}

// What the areas hold cannot end the dashboard: a pass that fails keeps the last one's answers.
void pass_or_keep(Dashboard& dashboard) {
    try {
        pass(dashboard);
    } catch (const std::exception& failure) {
        std::printf("Dashboard: a pass failed: %s\n", failure.what());
        std::fflush(stdout);
    }
}

void answer_json(httplib::Response& response, int status, const nlohmann::json& body) {
    response.status = status;
    response.set_content(json_text(body), "application/json");
}

// Before any route: the Host check, then the token (the page and its chart
// script excepted, so that a browser can load the page that asks for it).
httplib::Server::HandlerResponse admit(const Settings& settings, const httplib::Request& request,
                                       httplib::Response& response) {
    if (!host_allowed(request.get_header_value("Host"), settings.address)) {
        answer_json(response, 403, error_json("Host " + request.get_header_value("Host") + " is not this dashboard"));
        return httplib::Server::HandlerResponse::Handled;
    }
    const bool open_to_all = request.method == "GET" && (request.path == "/" || request.path == "/chart.js");
    if (settings.token.empty() || open_to_all ||
        token_accepted(request.get_header_value("Authorization"), settings.token))
        return httplib::Server::HandlerResponse::Unhandled;
    response.set_header("WWW-Authenticate", "Bearer");
    answer_json(response, 401, error_json("this dashboard needs its token: Authorization: Bearer <token>"));
    return httplib::Server::HandlerResponse::Handled;
}

void control(Dashboard& dashboard, const httplib::Request& request, httplib::Response& response,
             std::optional<long> client_id) {
    if (dashboard.settings.read_only) return answer_json(response, 403, error_json("read-only: started with -R"));
    if (!is_json_content_type(request.get_header_value("Content-Type")))
        return answer_json(response, 415, error_json("Content-Type must be application/json"));
    tools::ModifyRequest modify;
    if (const auto refused = check_control_body(request.body, modify))
        return answer_json(response, refused->status, error_json(refused->text));

    std::lock_guard guard(dashboard.lock);
    if (dashboard.areas.mo == nullptr)
        return answer_json(response, 503, error_json("the master's MO area is not attached"));
    const ControlAnswer answer = apply_control(dashboard.areas.mo, dashboard.areas.mo_entry, client_id, modify);
    answer_json(response, answer.status, answer.body);
}

void add_routes(httplib::Server& server, Dashboard& dashboard) {
    server.Get("/", [](const httplib::Request&, httplib::Response& response) {
        response.set_content(kPageHtml, "text/html; charset=utf-8");
    });
    server.Get("/chart.js", [&dashboard](const httplib::Request&, httplib::Response& response) {
        if (dashboard.chart_script.empty()) {
            response.status = 404;
            return;
        }
        response.set_content(dashboard.chart_script, "text/javascript");
    });
    server.Get("/api/clients", [&dashboard](const httplib::Request&, httplib::Response& response) {
        std::lock_guard guard(dashboard.lock);
        response.set_content(dashboard.snapshot_json, "application/json");
    });
    server.Get("/api/history", [&dashboard](const httplib::Request&, httplib::Response& response) {
        std::lock_guard guard(dashboard.lock);
        answer_json(response, 200, history_json(dashboard.history));
    });
    server.Get("/metrics", [&dashboard](const httplib::Request&, httplib::Response& response) {
        std::lock_guard guard(dashboard.lock);
        response.set_content(metrics_text(dashboard.snapshot), "text/plain; version=0.0.4; charset=utf-8");
    });
    server.Get("/api/events", [&dashboard](const httplib::Request&, httplib::Response& response) {
        if (!on_stream_thread()) {
            response.set_header("Retry-After", "5");
            return answer_json(response, 503, error_json("16 event streams are open: try again later"));
        }
        response.set_header("Cache-Control", "no-cache");
        response.set_chunked_content_provider(
            "text/event-stream", [&dashboard, seen = std::uint64_t{0}](std::size_t, httplib::DataSink& sink) mutable {
                std::string event;
                {
                    std::unique_lock guard(dashboard.lock);
                    // Wakes at least every two seconds to notice a reader that left.
                    dashboard.published.wait_for(guard, std::chrono::seconds(2),
                                                 [&] { return dashboard.generation != seen; });
                    if (dashboard.generation == seen) return sink.is_writable();
                    seen = dashboard.generation;
                    event = "data: " + dashboard.snapshot_json + "\n\n";
                }
                return sink.write(event.data(), event.size());
            });
    });
    server.Post("/api/clients", [&dashboard](const httplib::Request& request, httplib::Response& response) {
        control(dashboard, request, response, std::nullopt);
    });
    server.Post(R"(/api/clients/([^/]*))", [&dashboard](const httplib::Request& request, httplib::Response& response) {
        const auto id = parse_client_id(request.matches[1].str());
        if (!id) return answer_json(response, 400, error_json("no such client id: " + request.matches[1].str()));
        control(dashboard, request, response, id);
    });
    server.Get(R"(/api/clients/([^/]*)/workload_set)", [&dashboard](const httplib::Request& request,
                                                                    httplib::Response& response) {
        const auto id = parse_client_id(request.matches[1].str());
        if (!id) return answer_json(response, 400, error_json("no such client id"));
        std::lock_guard guard(dashboard.lock);
        const JsonText answer = workload_set_answer(dashboard.areas.mo, dashboard.areas.mo_entry, *id);
        response.status = answer.status;
        response.set_content(answer.body, "application/json");
    });
    server.set_error_handler([](const httplib::Request&, httplib::Response& response) {
        if (response.status == 413 && response.body.empty()) answer_json(response, 413, error_json(kBodyTooLarge));
    });
    // What no handler foresaw is refused as a bad request, never with the exception's text.
    server.set_exception_handler([](const httplib::Request&, httplib::Response& response, const std::exception_ptr&) {
        answer_json(response, 400, error_json("the request cannot be answered"));
    });
}

std::string read_whole(const char* path) {
    std::ifstream file(path, std::ios::binary);
    return {std::istreambuf_iterator<char>(file), std::istreambuf_iterator<char>()};
}

int run(int argc, char** argv, Dashboard& dashboard) {
    if (const auto status = parse_options(argc, argv, dashboard.settings)) return *status;
    if (const auto status = check_settings(dashboard.settings)) return *status;
    // One heap for every thread, so that what the answers took is given back to it.
    mallopt(M_ARENA_MAX, 1);
    // A reader that goes away in the middle of an answer must not end the program.
    std::signal(SIGPIPE, SIG_IGN);
    dashboard.chart_script = read_whole(kChartScript);
    if (dashboard.chart_script.empty()) std::printf("Dashboard: %s missing: the page has no chart\n", kChartScript);

    GatedServer server;
    server.set_payload_max_length(kMaxBodyBytes);
    // The library's default, SO_REUSEPORT, would let a second dashboard share
    // the port unnoticed; SO_REUSEADDR alone only allows a quick restart.
    server.set_socket_options([](int sock) {
        const int yes = 1;
        setsockopt(sock, SOL_SOCKET, SO_REUSEADDR, &yes, sizeof yes);
    });
    add_routes(server, dashboard);
    const Settings& settings = dashboard.settings;
    server.set_pre_routing_handler([&settings](const httplib::Request& request, httplib::Response& response) {
        return admit(settings, request, response);
    });
    if (!server.bind_to_port(settings.address, settings.port)) {
        std::printf("Dashboard: cannot listen on %s port %d\n", settings.address.c_str(), settings.port);
        return kExitListenSocket;
    }
    pass_or_keep(dashboard);  // the first answers already hold a pass
    const bool ipv6 = settings.address.find(':') != std::string::npos;
    std::printf("Dashboard: listening on http://%s%s%s:%d/%s\n", ipv6 ? "[" : "", settings.address.c_str(),
                ipv6 ? "]" : "", settings.port, settings.read_only ? " (read-only)" : "");
    std::fflush(stdout);
    std::thread serving([&server] {
        if (server.serve()) return;
        std::fflush(stdout);
        std::_Exit(kExitListenSocket);
    });
    serving.detach();
    for (auto next = std::chrono::steady_clock::now();;) {
        next += std::chrono::seconds(1);
        std::this_thread::sleep_until(next);
        pass_or_keep(dashboard);
    }
}

}  // namespace
}  // namespace gorv::dashboard

int main(int argc, char** argv) { return gorv::dashboard::run(argc, argv, gorv::dashboard::the_dashboard); }
