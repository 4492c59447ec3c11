#include "dashboard/request_head.h"

#include <cctype>
#include <cstdint>

namespace gorv::dashboard {
namespace {

bool same_name(std::string_view line, std::string_view name) {
    if (line.size() <= name.size() || line[name.size()] != ':') return false;
    for (std::size_t i = 0; i < name.size(); ++i)
        if (std::tolower(static_cast<unsigned char>(line[i])) != name[i]) return false;
    return true;
}

std::string_view header_value(std::string_view line, std::size_t name_size) {
    std::string_view value = line.substr(name_size + 1);
    while (!value.empty() && (value.front() == ' ' || value.front() == '\t')) value.remove_prefix(1);
    while (!value.empty() && (value.back() == ' ' || value.back() == '\t')) value.remove_suffix(1);
    return value;
}

}  // namespace

RequestSeen inspect_request(std::string_view bytes, std::size_t max_body) {
    RequestSeen seen;
    const std::size_t head_end = bytes.find("\r\n\r\n");
    if (head_end == std::string_view::npos) return seen;
    seen.event_stream = bytes.starts_with("GET /api/events ") || bytes.starts_with("GET /api/events?");
    const std::size_t body_at = head_end + 4;

    std::string_view head = bytes.substr(0, head_end + 2);
    head.remove_prefix(head.find("\r\n") + 2);  // the request line
    bool chunked = false;
    std::uint64_t length = 0;
    bool length_refused = false;
    for (std::size_t end; (end = head.find("\r\n")) != std::string_view::npos; head.remove_prefix(end + 2)) {
        const std::string_view line = head.substr(0, end);
        if (same_name(line, "transfer-encoding")) chunked = true;
        if (!same_name(line, "content-length")) continue;
        const std::string_view value = header_value(line, std::string_view("content-length").size());
        length = 0;
        length_refused = value.empty() || value.size() > 12;
        for (const char c : value) {
            if (c < '0' || c > '9') length_refused = true;
            length = length * 10 + static_cast<std::uint64_t>(c - '0');
        }
    }
    if (chunked)
        seen.whole = bytes.find("\r\n0\r\n\r\n", head_end) != std::string_view::npos;
    else
        seen.whole = length_refused || length > max_body || bytes.size() - body_at >= length;
    return seen;
}

}  // namespace gorv::dashboard
