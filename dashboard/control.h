// The dashboard's control: a POST's target and JSON body checked and turned
// into modify requests, then written through the same routine as
// ostrela_modify, with the same order of writes and the same refusals.
//
// Body: {"op_rate": <finite number, at least 0>} and/or {"workload_set":
// true} (the built-in set) or {"workload_set": {"workloads": [...]}} (a set
// in the workload file format, checked by the same routine as
// ostrela_modify -W); no other member. Every value and every target client
// is checked before anything is written; a refused request writes nothing.
// A body may take up to 64 KiB only when it carries a workload set of its
// own; any other body, up to 4096 bytes.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include <nlohmann/json.hpp>

#include "common/registry.h"
#include "tools/modify_request.h"

namespace gorv::dashboard {

inline constexpr std::size_t kMaxBodyBytes = 65536;
inline constexpr std::size_t kMaxRateBodyBytes = 4096;
inline constexpr char kBodyTooLarge[] = "the body is larger than 65536 bytes";

struct ControlAnswer {
    int status = 200;
    nlohmann::json body;
};

// A client id of the request path: decimal digits only, within 0 to 254.
std::optional<long> parse_client_id(std::string_view text);

// Whether a Content-Type names application/json (parameters allowed).
bool is_json_content_type(std::string_view content_type);

// Whether a request's Host header may reach a dashboard listening on
// `bound_address`. On a loopback address only loopback names are taken, so a
// web page whose own host name was made to resolve to 127.0.0.1 (DNS
// rebinding) cannot read or steer the dashboard; on any other address the
// operator chose who may reach it.
bool host_allowed(std::string_view host_header, std::string_view bound_address);

// Whether an address to listen on is a loopback one (127.x.y.z, ::1, localhost).
bool is_loopback_address(std::string_view address);

// Whether an Authorization header is "Bearer <token>"; the token's bytes are
// compared in a time that does not depend on where they first differ.
bool token_accepted(std::string_view authorization, std::string_view token);

struct BodyRefusal {
    int status = 400;  // 413 for a body larger than it may be
    std::string text;
};

// Checks the body into `request` (client id left alone); the refusal when refused.
std::optional<BodyRefusal> check_control_body(std::string_view body, tools::ModifyRequest& request);

// The same, the refusal's text alone.
std::optional<std::string> parse_control_body(std::string_view body, tools::ModifyRequest& request);

// Writes `request` for one client (client_id set) or, with client_id empty,
// for every client of the MO area, checking every client before writing.
// 200 with {"messages": [...], "clients": [{"id", "op_rate", "op_rate_changed",
// "workload_changed"}]}; 400 with {"error": ...} when a placement is refused.
ControlAnswer apply_control(std::byte* mo_area, const AreaEntry& mo, std::optional<long> client_id,
                            tools::ModifyRequest request);

nlohmann::json error_json(const std::string& text);

struct JsonText {
    int status = 200;
    std::string body;
};

// GET /api/clients/<id>/workload_set: the set that stands in the client's
// MO segment, in the workload file format; 409 when the segment cannot hold
// one, 400 for a client the master does not have, 503 without an MO area.
JsonText workload_set_answer(const std::byte* mo_area, const AreaEntry& mo, long client_id);

}  // namespace gorv::dashboard
