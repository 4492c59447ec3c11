#include "dashboard/control.h"

#include <cctype>
#include <cmath>
#include <cstring>

#include "common/constants.h"
#include "tools/client_records.h"
#include "tools/workload_json.h"

namespace gorv::dashboard {
namespace {

template <typename T>
T read_field(const std::byte* record, std::size_t offset) {
    T value{};
    std::memcpy(&value, record + offset, sizeof value);
    return value;
}

nlohmann::json control_json(const std::byte* mo_area, const AreaEntry& mo, long client) {
    const std::byte* record = mo_area + client * mo.seg_size;
    return {{"id", client},
            {"op_rate", read_field<double>(record, offsetof(tools::ControlRecord, op_rate))},
            {"op_rate_changed", read_field<std::int32_t>(record, offsetof(tools::ControlRecord, op_rate_changed))},
            {"workload_changed", read_field<std::int32_t>(record, offsetof(tools::ControlRecord, workload_changed))}};
}

}  // namespace

nlohmann::json error_json(const std::string& text) { return {{"error", text}}; }

std::optional<long> parse_client_id(std::string_view text) {
    if (text.empty() || text.size() > 3) return std::nullopt;
    long id = 0;
    for (const char c : text) {
        if (c < '0' || c > '9') return std::nullopt;
        id = id * 10 + (c - '0');
    }
    if (id >= kMaxRemotes) return std::nullopt;
    return id;
}

bool is_json_content_type(std::string_view content_type) {
    const std::string_view media = content_type.substr(0, content_type.find(';'));
    std::string lower;
    for (const char c : media)
        if (c != ' ' && c != '\t') lower += static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return lower == "application/json";
}

namespace {

std::string lower_case(std::string_view text) {
    std::string lower;
    for (const char c : text) lower += static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return lower;
}

// The host of a Host header or an address: brackets and port taken off.
std::string host_name(std::string_view text) {
    if (text.starts_with('[')) return lower_case(text.substr(1, text.find(']') - 1));
    const std::size_t colon = text.find(':');
    // Two colons or more: a bare IPv6 address, which has no port.
    if (colon != std::string_view::npos && text.find(':', colon + 1) == std::string_view::npos)
        text = text.substr(0, colon);
    return lower_case(text);
}

bool is_loopback_name(const std::string& name) {
    const bool dotted_quad = name.find_first_not_of("0123456789.") == std::string::npos;
    return name == "localhost" || name == "::1" || (dotted_quad && name.starts_with("127."));
}

}  // namespace

bool host_allowed(std::string_view host_header, std::string_view bound_address) {
    if (!is_loopback_address(bound_address)) return true;
    return is_loopback_name(host_name(host_header));
}

bool is_loopback_address(std::string_view address) { return is_loopback_name(host_name(address)); }

bool token_accepted(std::string_view authorization, std::string_view token) {
    constexpr std::string_view kScheme = "bearer ";
    if (token.empty() || authorization.size() < kScheme.size() ||
        lower_case(authorization.substr(0, kScheme.size())) != kScheme)
        return false;
    const std::string_view given = authorization.substr(kScheme.size());
    // Every byte of the token is looked at, whatever the given text holds.
    volatile unsigned differ = given.size() == token.size() ? 0U : 1U;
    for (std::size_t i = 0; i < token.size(); ++i) {
        const unsigned char offered = i < given.size() ? static_cast<unsigned char>(given[i]) : 0U;
        differ = differ | (offered ^ static_cast<unsigned char>(token[i]));
    }
    return differ == 0U;
}

namespace {

bool carries_workload_set(const nlohmann::ordered_json& value) {
    return value.is_object() && value.contains("workload_set") && value["workload_set"].is_object();
}

std::optional<std::string> take_members(const nlohmann::ordered_json& value, tools::ModifyRequest& request) {
    for (const auto& [key, member] : value.items()) {
        if (key == "op_rate") {
            if (!member.is_number() || !std::isfinite(member.get<double>()) || member.get<double>() < 0.0)
                return "op_rate must be a finite number of at least 0";
            request.rate = member.get<double>();
            request.rate_update = true;
        } else if (key == "workload_set" && member.is_object()) {
            tools::WorkloadSet set;
            if (auto refusal = tools::workload_set_from_json(member, "workload_set", set)) return refusal;
            request.workload_set = set;
            request.workload_update = true;
        } else if (key == "workload_set") {
            if (!member.is_boolean()) return "workload_set must be true, false or a workload set";
            request.workload_update = member.get<bool>();
        } else {
            return "unknown member \"" + key + "\": only op_rate and workload_set";
        }
    }
    if (!request.rate_update && !request.workload_update) return "nothing to set: give op_rate or workload_set true";
    return std::nullopt;
}

}  // namespace

std::optional<BodyRefusal> check_control_body(std::string_view body, tools::ModifyRequest& request) {
    if (body.size() > kMaxBodyBytes) return BodyRefusal{413, kBodyTooLarge};
    nlohmann::ordered_json value;
    if (auto refusal = tools::parse_json_text(body, value)) return BodyRefusal{400, "the body, " + *refusal};
    if (!value.is_object()) return BodyRefusal{400, "the body is not a JSON object"};
    if (body.size() > kMaxRateBodyBytes && !carries_workload_set(value))
        return BodyRefusal{413, "the body is larger than 4096 bytes, and only a workload set may be larger"};
    if (auto refusal = take_members(value, request)) return BodyRefusal{400, std::move(*refusal)};
    return std::nullopt;
}

std::optional<std::string> parse_control_body(std::string_view body, tools::ModifyRequest& request) {
    if (auto refusal = check_control_body(body, request)) return std::move(refusal->text);
    return std::nullopt;
}

JsonText workload_set_answer(const std::byte* mo_area, const AreaEntry& mo, long client_id) {
    if (mo_area == nullptr) return {503, error_json("the master's MO area is not attached").dump()};
    const tools::ModifyRequest request{.client_id = client_id, .workload_update = true};
    const tools::Placement placement = tools::place_request(request, mo);
    if (placement != tools::Placement::kFits)
        return {placement == tools::Placement::kNoSuchClient ? 400 : 409,
                error_json(tools::refusal_text(placement, request, mo)).dump()};
    tools::WorkloadSet set;
    std::memcpy(&set, mo_area + client_id * mo.seg_size + offsetof(tools::ControlRecord, workloads), sizeof set);
    return {200, tools::workload_set_text(set)};
}

ControlAnswer apply_control(std::byte* mo_area, const AreaEntry& mo, std::optional<long> client_id,
                            tools::ModifyRequest request) {
    const long first = client_id.value_or(0);
    const long end = client_id ? first + 1 : mo.number_of_segs;
    for (long client = first; client < end; ++client) {
        request.client_id = client;
        const tools::Placement placement = tools::place_request(request, mo);
        if (placement != tools::Placement::kFits)
            return {400, error_json(tools::refusal_text(placement, request, mo))};
    }
    if (first >= end) return {400, error_json("the master has no clients")};

    nlohmann::json messages = nlohmann::json::array();
    nlohmann::json clients = nlohmann::json::array();
    for (long client = first; client < end; ++client) {
        request.client_id = client;
        tools::apply_modify_request(mo_area, mo, request);
        const std::string lines = tools::setting_text(request);
        for (std::size_t at = 0, next; at < lines.size(); at = next + 1) {
            next = lines.find('\n', at);
            messages.push_back(lines.substr(at, next - at));
        }
        clients.push_back(control_json(mo_area, mo, client));
    }
    return {200, {{"messages", std::move(messages)}, {"clients", std::move(clients)}}};
}

}  // namespace gorv::dashboard
