#include "tools/workload_json.h"

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <set>
#include <vector>

namespace gorv::tools {
namespace {

using nlohmann::ordered_json;
using Refusal = std::optional<std::string>;

constexpr std::size_t kNameLimit = sizeof(WorkloadDescription::workload_name) - 1;
constexpr std::size_t kFurtherBytes = sizeof(WorkloadDescription) - offsetof(WorkloadDescription, trailer_number);
constexpr std::int64_t kInt32Max = 2147483647;
constexpr std::size_t kShownValue = 40;  // characters of a refused value quoted in its line

std::string member_path(const std::string& path, const std::string& name) {
    return path.empty() ? name : path + "." + name;
}

std::string element_path(const std::string& path, std::size_t index) {
    return path + "[" + std::to_string(index) + "]";
}

std::string refused(const std::string& path, const std::string& reason) {
    return (path.empty() ? "top level" : path) + ": " + reason;
}

std::string shown(const ordered_json& value) {
    std::string text = value.dump(-1, ' ', false, ordered_json::error_handler_t::replace);
    if (text.size() > kShownValue) text = text.substr(0, kShownValue) + "...";
    return text;
}

// Where a parser event stands: the open objects and arrays, outermost first.
struct Frame {
    bool array = false;
    std::size_t index = 0;  // the element being read, in an array
    std::string key{};      // the member being read, in an object
    std::set<std::string> keys{};
};

std::string frames_path(const std::vector<Frame>& frames) {
    std::string path;
    for (const Frame& frame : frames) path = frame.array ? element_path(path, frame.index) : member_path(path, frame.key);
    return path;
}

// Line and column (from 1) of the byte at `offset`.
std::string place_of(std::string_view text, std::size_t offset) {
    offset = std::min(offset, text.size());
    const std::string_view before = text.substr(0, offset);
    const std::size_t line = 1 + static_cast<std::size_t>(std::count(before.begin(), before.end(), '\n'));
    const std::size_t line_start = before.rfind('\n') == std::string_view::npos ? 0 : before.rfind('\n') + 1;
    return "line " + std::to_string(line) + ", column " + std::to_string(offset - line_start + 1);
}

// The library's reason without its own prefix and place.
std::string syntax_reason(const char* what) {
    const std::string text = what;
    const std::size_t column = text.find("column ");
    const std::size_t colon = text.find(": ", column == std::string::npos ? 0 : column);
    return colon == std::string::npos ? text : text.substr(colon + 2);
}

Refusal take_integer(const ordered_json& value, const std::string& path, std::int64_t lowest, std::int64_t highest,
                     std::int32_t& field) {
    if (!value.is_number_integer()) return refused(path, shown(value) + " is not an integer");
    // An unsigned value above the signed range is out of range all the same.
    const bool too_big = value.is_number_unsigned() && value.get<std::uint64_t>() > static_cast<std::uint64_t>(highest);
    const std::int64_t number = too_big ? highest : value.get<std::int64_t>();
    if (too_big || number < lowest || number > highest)
        return refused(path, shown(value) + " is out of range " + std::to_string(lowest) + " to " +
                                 std::to_string(highest));
    field = static_cast<std::int32_t>(number);
    return std::nullopt;
}

// Members of `object` other than those `allowed` names; missing ones of `required`.
Refusal check_members(const ordered_json& object, const std::string& path,
                      std::initializer_list<const char*> allowed, std::initializer_list<const char*> required) {
    if (!object.is_object()) return refused(path, shown(object) + " is not an object");
    for (const auto& member : object.items()) {
        const std::string& key = member.key();
        const bool known = std::ranges::any_of(allowed, [&key](const char* name) { return key == name; });
        if (!known) return refused(member_path(path, key), "no such member");
    }
    for (const char* name : required)
        if (!object.contains(name)) return refused(member_path(path, name), "missing");
    return std::nullopt;
}

Refusal take_name(const ordered_json& value, const std::string& path, char (&field)[100]) {
    if (!value.is_string()) return refused(path, shown(value) + " is not a string");
    const auto& name = value.get_ref<const std::string&>();
    if (name.empty() || name.size() > kNameLimit)
        return refused(path, std::to_string(name.size()) + " characters, give 1 to " + std::to_string(kNameLimit));
    if (!std::ranges::all_of(name, [](char c) { return c >= 0x20 && c <= 0x7e; }))
        return refused(path, "not printable ASCII");
    std::memcpy(field, name.data(), name.size());
    return std::nullopt;
}

Refusal sum_of_100(std::int64_t sum, const std::string& path) {
    if (sum == 100) return std::nullopt;
    return refused(path, "percents add up to " + std::to_string(sum) + ", not 100");
}

Refusal take_op_mix(const ordered_json& value, const std::string& path, OpMixEntry (&entries)[kOpMixEntries]) {
    if (!value.is_object()) return refused(path, shown(value) + " is not an object");
    for (int k = 0; k < kOpMixEntries; ++k)
        std::memcpy(entries[k].op_name, kOpNames[k], std::min(std::strlen(kOpNames[k]), sizeof entries[k].op_name - 1));
    std::int64_t sum = 0;
    for (const auto& member : value.items()) {
        const std::string& key = member.key();
        const ordered_json& percent = member.value();
        const auto* name = std::ranges::find_if(kOpNames, [&key](const char* op) { return key == op; });
        if (name == std::end(kOpNames)) return refused(member_path(path, key), "no such operation");
        OpMixEntry& entry = entries[name - std::begin(kOpNames)];
        if (auto refusal = take_integer(percent, member_path(path, key), 0, 100, entry.percent)) return refusal;
        sum += entry.percent;
    }
    return sum_of_100(sum, path);
}

Refusal take_bands(const ordered_json& value, const std::string& path, XferElement (&bands)[kXferElements]) {
    if (!value.is_array()) return refused(path, shown(value) + " is not an array");
    if (value.empty() || value.size() > kXferElements)
        return refused(path, std::to_string(value.size()) + " bands, give 1 to " + std::to_string(kXferElements));
    std::int64_t sum = 0;
    for (std::size_t j = 0; j < value.size(); ++j) {
        const std::string at = element_path(path, j);
        const ordered_json& band = value[j];
        const auto names = {"min_size", "max_size", "percent"};
        if (auto refusal = check_members(band, at, names, names)) return refusal;
        XferElement& element = bands[j];
        if (auto refusal = take_integer(band["min_size"], member_path(at, "min_size"), 1, kInt32Max, element.min_size))
            return refusal;
        if (auto refusal = take_integer(band["max_size"], member_path(at, "max_size"), 1, kInt32Max, element.max_size))
            return refusal;
        if (element.min_size > element.max_size)
            return refused(at, "min_size " + std::to_string(element.min_size) + " is above max_size " +
                                   std::to_string(element.max_size));
        if (auto refusal = take_integer(band["percent"], member_path(at, "percent"), 0, 100, element.percent))
            return refusal;
        sum += element.percent;
    }
    return sum_of_100(sum, path);
}

int hex_digit(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

Refusal take_further_data(const ordered_json& value, const std::string& path, WorkloadDescription& workload) {
    const bool text = value.is_string();
    const std::string digits = text ? value.get<std::string>() : "";
    if (!text || digits.size() != 2 * kFurtherBytes ||
        !std::ranges::all_of(digits, [](char c) { return hex_digit(c) >= 0; }))
        return refused(path, "not " + std::to_string(2 * kFurtherBytes) + " hexadecimal digits");
    auto* bytes = reinterpret_cast<unsigned char*>(&workload.trailer_number);
    for (std::size_t i = 0; i < kFurtherBytes; ++i)
        bytes[i] = static_cast<unsigned char>(hex_digit(digits[2 * i]) * 16 + hex_digit(digits[2 * i + 1]));
    return std::nullopt;
}

// The members that hold one int32 each, with their range and field.
struct ValueMember {
    const char* name;
    std::int64_t highest;
    std::int32_t WorkloadDescription::*field;
};
constexpr ValueMember kValueMembers[] = {
    {"percent_write_commit", 100, &WorkloadDescription::percent_write_commit},
    {"percent_direct", 100, &WorkloadDescription::percent_direct},
    {"align", kInt32Max, &WorkloadDescription::align},
    {"percent_osync", 100, &WorkloadDescription::percent_osync},
    {"percent_geometric", 100, &WorkloadDescription::percent_geometric},
};

Refusal take_workload(const ordered_json& value, const std::string& path, WorkloadDescription& workload) {
    if (auto refusal = check_members(value, path,
                                     {"name", "op_mix", "read_xfer", "write_xfer", "percent_write_commit",
                                      "percent_direct", "align", "percent_osync", "percent_geometric", "further_data"},
                                     {"name", "op_mix", "read_xfer", "write_xfer"}))
        return refusal;
    if (auto refusal = take_name(value["name"], member_path(path, "name"), workload.workload_name)) return refusal;
    if (auto refusal = take_op_mix(value["op_mix"], member_path(path, "op_mix"), workload.op_mix)) return refusal;
    if (auto refusal = take_bands(value["read_xfer"], member_path(path, "read_xfer"), workload.read_xfer))
        return refusal;
    if (auto refusal = take_bands(value["write_xfer"], member_path(path, "write_xfer"), workload.write_xfer))
        return refusal;
    for (const ValueMember& member : kValueMembers) {
        if (!value.contains(member.name)) continue;
        if (auto refusal = take_integer(value[member.name], member_path(path, member.name), 0, member.highest,
                                        workload.*member.field))
            return refusal;
    }
    if (value.contains("further_data"))
        return take_further_data(value["further_data"], member_path(path, "further_data"), workload);
    return std::nullopt;
}

std::string hex_of(const void* data, std::size_t size) {
    std::string text;
    char pair[3];
    for (std::size_t i = 0; i < size; ++i) {
        std::snprintf(pair, sizeof pair, "%02x", static_cast<const unsigned char*>(data)[i]);
        text += pair;
    }
    return text;
}

template <typename T>
bool all_zero(const T& record) {
    const auto* bytes = reinterpret_cast<const unsigned char*>(&record);
    return std::all_of(bytes, bytes + sizeof record, [](unsigned char b) { return b == 0; });
}

ordered_json bands_json(const XferElement (&bands)[kXferElements]) {
    int used = kXferElements;
    while (used > 0 && all_zero(bands[used - 1])) --used;
    ordered_json list = ordered_json::array();
    for (int j = 0; j < used; ++j)
        list.push_back({{"min_size", bands[j].min_size}, {"max_size", bands[j].max_size}, {"percent", bands[j].percent}});
    return list;
}

ordered_json workload_json(const WorkloadDescription& workload) {
    const char* name = workload.workload_name;
    ordered_json value = {{"name", std::string(name, strnlen(name, sizeof workload.workload_name))}};
    ordered_json mix = ordered_json::object();
    for (int k = 0; k < kOpMixEntries; ++k) mix[kOpNames[k]] = workload.op_mix[k].percent;
    value["op_mix"] = std::move(mix);
    value["read_xfer"] = bands_json(workload.read_xfer);
    value["write_xfer"] = bands_json(workload.write_xfer);
    for (const ValueMember& member : kValueMembers) value[member.name] = workload.*member.field;
    value["further_data"] = hex_of(&workload.trailer_number, kFurtherBytes);
    return value;
}

std::string compact(const ordered_json& value) {
    std::string text = value.dump(-1, ' ', false, ordered_json::error_handler_t::replace);
    // The library writes no blank after a colon or comma; a reader wants one.
    std::string spaced;
    bool in_string = false;
    bool escaped = false;
    for (const char c : text) {
        spaced += c;
        if (in_string) {
            in_string = escaped || c != '"';
            escaped = !escaped && c == '\\';
        } else if (c == '"') {
            in_string = true;
        } else if (c == ':' || c == ',') {
            spaced += ' ';
        }
    }
    return spaced;
}

// Two blanks an indent; an object or array of plain values that fits in a
// short line (a band) stands on one line.
void write_pretty(const ordered_json& value, int indent, std::string& out) {
    constexpr std::size_t kShortLine = 72;
    const bool flat = std::ranges::none_of(value, [](const ordered_json& v) { return v.is_structured(); });
    if (!value.is_structured() || value.empty() || (flat && compact(value).size() <= kShortLine)) {
        out += compact(value);
        return;
    }
    const std::string inner(static_cast<std::size_t>(indent + 2), ' ');
    out += value.is_object() ? "{\n" : "[\n";
    bool first = true;
    for (const auto& [key, member] : value.items()) {
        if (!first) out += ",\n";
        out += inner;
        first = false;
        if (value.is_object()) {
            out += ordered_json(key).dump();
            out += ": ";
        }
        write_pretty(member, indent + 2, out);
    }
    out += '\n';
    out.append(static_cast<std::size_t>(indent), ' ');
    out += value.is_object() ? '}' : ']';
}

}  // namespace

std::optional<std::string> parse_json_text(std::string_view text, ordered_json& value) {
    std::vector<Frame> frames;
    std::string twice;  // the path of the first member given twice
    const auto element_done = [&frames] {
        if (!frames.empty() && frames.back().array) ++frames.back().index;
    };
    const ordered_json::parser_callback_t watch = [&](int /*depth*/, ordered_json::parse_event_t event,
                                                      ordered_json& parsed) {
        switch (event) {
            case ordered_json::parse_event_t::object_start: frames.push_back({}); break;
            case ordered_json::parse_event_t::array_start: frames.push_back({.array = true}); break;
            case ordered_json::parse_event_t::key:
                if (!frames.empty()) {
                    frames.back().key = parsed.get<std::string>();
                    if (!frames.back().keys.insert(frames.back().key).second && twice.empty())
                        twice = frames_path(frames);
                }
                break;
            case ordered_json::parse_event_t::object_end:
            case ordered_json::parse_event_t::array_end:
                if (!frames.empty()) frames.pop_back();
                element_done();
                break;
            case ordered_json::parse_event_t::value: element_done(); break;
        }
        return true;
    };
    try {
        value = ordered_json::parse(text, watch);
    } catch (const ordered_json::parse_error& error) {
        // The library counts bytes read, the offending one included.
        return place_of(text, error.byte == 0 ? 0 : error.byte - 1) + ": " + syntax_reason(error.what());
    } catch (const ordered_json::exception& error) {  // a number too large for a double, at the member being read
        const std::string what = error.what();
        return refused(frames_path(frames), what.substr(what.find(']') + 2));
    }
    if (!twice.empty()) return refused(twice, "given twice");
    return std::nullopt;
}

std::optional<std::string> workload_set_from_json(const ordered_json& value, const std::string& root,
                                                  WorkloadSet& set) {
    if (auto refusal = check_members(value, root, {"workloads"}, {"workloads"})) return refusal;
    const std::string path = member_path(root, "workloads");
    const ordered_json& list = value["workloads"];
    if (!list.is_array()) return refused(path, shown(list) + " is not an array");
    if (list.empty() || list.size() > kWorkloadCount)
        return refused(path, std::to_string(list.size()) + " workloads, give 1 to " + std::to_string(kWorkloadCount));
    WorkloadSet taken{};
    for (std::size_t w = 0; w < list.size(); ++w) {
        const std::string at = element_path(path, w);
        if (auto refusal = take_workload(list[w], at, taken.workloads[w])) return refusal;
        for (std::size_t earlier = 0; earlier < w; ++earlier)
            if (list[earlier]["name"] == list[w]["name"])
                return refused(member_path(at, "name"), shown(list[w]["name"]) + " is already the name of " +
                                                            element_path(path, earlier));
    }
    set = taken;
    return std::nullopt;
}

std::optional<std::string> workload_set_from_text(std::string_view text, WorkloadSet& set) {
    ordered_json value;
    if (auto refusal = parse_json_text(text, value)) return refusal;
    return workload_set_from_json(value, "", set);
}

ordered_json workload_set_json(const WorkloadSet& set) {
    int used = kWorkloadCount;
    while (used > 0 && all_zero(set.workloads[used - 1])) --used;
    ordered_json list = ordered_json::array();
    for (int w = 0; w < used; ++w) list.push_back(workload_json(set.workloads[w]));
    return {{"workloads", std::move(list)}};
}

std::string workload_set_text(const WorkloadSet& set) {
    std::string text;
    write_pretty(workload_set_json(set), 0, text);
    return text + "\n";
}

}  // namespace gorv::tools
