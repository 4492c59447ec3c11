// The operator's own workload sets as JSON, read and written by
// ostrela_modify (-W, -J) and the dashboard with these same routines.
//
//   {"workloads": [ {"name": "SMALL",                 1 to 99 printable ASCII, unique
//                    "op_mix": {"Read": 70, ...},      the op_mix names, 0 to 100 each, sum 100
//                    "read_xfer":  [{"min_size": 65536, "max_size": 65536, "percent": 100}],
//                    "write_xfer": [...],              1 to 16 bands each, percents sum 100
//                    "percent_write_commit": 0, "percent_direct": 0, "percent_osync": 0,
//                    "percent_geometric": 0, "align": 0,        optional, 0 when left out
//                    "further_data": "00..00"},        optional, 80 hexadecimal digits
//                   ... ]}                              1 to 4 workloads
//
// Workload w goes into slot w of the WorkloadSet, every op_mix entry with
// its name; slots, entries and bands past the last given are zero bytes.
// Every refusal names its place in the document as a path
// ("workloads[1].op_mix.Raed: no such operation"); a syntax error names its
// line and column.
#pragma once

#include <optional>
#include <string>
#include <string_view>

#include <nlohmann/json.hpp>

#include "tools/client_records.h"

namespace gorv::tools {

// Parses JSON text, refusing a member given twice in one object. The
// refusal line when the text is not JSON.
std::optional<std::string> parse_json_text(std::string_view text, nlohmann::ordered_json& value);

// Checks `value` as a workload set whose place in its document is `root`
// ("" for the whole document) and writes it into `set`; `set` is left alone
// when refused.
std::optional<std::string> workload_set_from_json(const nlohmann::ordered_json& value, const std::string& root,
                                                  WorkloadSet& set);

// Both steps for a whole document.
std::optional<std::string> workload_set_from_text(std::string_view text, WorkloadSet& set);

// The set in this format: slots up to the last one that holds a byte, all
// 24 operations, the bands up to the last that holds a byte, further_data.
// A set from workload_set_from_json comes back as the same bytes.
nlohmann::ordered_json workload_set_json(const WorkloadSet& set);

// workload_set_json indented by two, a band to a line, ending in a newline.
std::string workload_set_text(const WorkloadSet& set);

}  // namespace gorv::tools
