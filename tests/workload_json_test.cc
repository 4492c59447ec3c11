// The workload file format: a set written into the record's bytes at their
// offsets, the built-in set through the writer and back, and one refusal of
// each kind with the place it names.
#include "tools/workload_json.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "dashboard/control.h"

namespace gorv::tools {
namespace {

template <typename T>
T at(const WorkloadSet& set, std::size_t offset) {
    T value{};
    std::memcpy(&value, reinterpret_cast<const char*>(&set) + offset, sizeof value);
    return value;
}

std::string text_at(const WorkloadSet& set, std::size_t offset) { return reinterpret_cast<const char*>(&set) + offset; }

constexpr char kTwoWorkloads[] = R"({"workloads": [
  {"name": "SMALL", "op_mix": {"Read": 60, "Unlink": 40},
   "read_xfer": [{"min_size": 1, "max_size": 511, "percent": 25}, {"min_size": 65536, "max_size": 65536, "percent": 75}],
   "write_xfer": [{"min_size": 4096, "max_size": 4096, "percent": 100}],
   "percent_write_commit": 5, "percent_direct": 6, "align": 4096, "percent_osync": 7, "percent_geometric": 8,
   "further_data": "1e00000000000000000000000000000000000000504f534958000000000000000000000000000000"},
  {"name": "OTHER", "op_mix": {"Custom2": 100},
   "read_xfer": [{"min_size": 2, "max_size": 2, "percent": 100}],
   "write_xfer": [{"min_size": 3, "max_size": 2147483647, "percent": 100}]}]})";

TEST(WorkloadJson, ASetLandsAtTheOffsetsOfTheRecord) {
    WorkloadSet set;
    std::memset(&set, 0x5a, sizeof set);
    ASSERT_EQ(workload_set_from_text(kTwoWorkloads, set), std::nullopt);

    EXPECT_EQ(text_at(set, 0), "SMALL");
    EXPECT_EQ(at<char>(set, 99), '\0');
    for (int k = 0; k < kOpMixEntries; ++k) EXPECT_EQ(text_at(set, 100 + 40 * k + 4), kOpNames[k]);
    EXPECT_EQ(at<std::int32_t>(set, 100), 60);            // Read
    EXPECT_EQ(at<std::int32_t>(set, 100 + 40 * 10), 40);  // Unlink
    EXPECT_EQ(at<std::int32_t>(set, 100 + 40 * 11), 0);
    EXPECT_EQ(at<std::int32_t>(set, 1060 + 12 + 4), 65536);  // read_xfer[1].max_size
    EXPECT_EQ(at<std::int32_t>(set, 1060 + 12 + 8), 75);
    EXPECT_EQ(at<std::int32_t>(set, 1060 + 24), 0);  // bands past the last are zero
    EXPECT_EQ(at<std::int32_t>(set, 1252), 4096);
    EXPECT_EQ(at<std::int32_t>(set, 1444), 5);
    EXPECT_EQ(at<std::int32_t>(set, 1448), 6);
    EXPECT_EQ(at<std::int32_t>(set, 1452), 4096);
    EXPECT_EQ(at<std::int32_t>(set, 1456), 7);
    EXPECT_EQ(at<std::int32_t>(set, 1460), 8);
    EXPECT_EQ(at<std::int32_t>(set, 1464), 30);
    EXPECT_EQ(text_at(set, 1484), "POSIX");
    EXPECT_EQ(text_at(set, 1504), "OTHER");
    EXPECT_EQ(at<std::int32_t>(set, 1504 + 100 + 40 * 23), 100);
    EXPECT_EQ(at<std::int32_t>(set, 1504 + 1252 + 4), 2147483647);
    EXPECT_EQ(at<std::int32_t>(set, 1504 + 1444), 0);  // left out: 0
    for (std::size_t offset = std::size_t{2} * 1504; offset < sizeof set; ++offset) ASSERT_EQ(at<char>(set, offset), 0) << offset;

    // Written and read again: the same bytes, the built-in set too.
    WorkloadSet again{};
    ASSERT_EQ(workload_set_from_text(workload_set_text(set), again), std::nullopt);
    EXPECT_EQ(std::memcmp(&again, &set, sizeof set), 0);
    ASSERT_EQ(workload_set_from_text(workload_set_text(kBuiltinWorkloadSet), again), std::nullopt);
    EXPECT_EQ(std::memcmp(&again, &kBuiltinWorkloadSet, sizeof again), 0);
}

// The refused file is kTwoWorkloads with one text replaced.
struct Refused {
    const char* what;
    const char* instead;
    const char* line;
};

TEST(WorkloadJson, EveryRefusalNamesItsPlace) {
    const Refused cases[] = {
        {R"("SMALL", "op)", R"("SMALL" "op)",
         "line 2, column 27: syntax error while parsing object - unexpected string literal; expected '}'"},
        {R"("max_size": 511,)", R"("max_size": 5 11,)", "line 3, column 49: syntax error while parsing object - unexpected number literal; expected '}'"},
        {R"("Unlink": 40)", R"("Unlink": 30, "Unlink": 10)", "workloads[0].op_mix.Unlink: given twice"},
        {R"({"workloads")", R"({"loads": [], "workloads")", "loads: no such member"},
        {R"("Custom2": 100)", R"("Custom2": 100, "Raed": 0)", "workloads[1].op_mix.Raed: no such operation"},
        {R"("percent_geometric": 8,)", R"("percent_geometric": 8, "colour": 1,)", "workloads[0].colour: no such member"},
        {R"("name": "OTHER", )", "", "workloads[1].name: missing"},
        {R"("align": 4096)", R"("align": "4096")", "workloads[0].align: \"4096\" is not an integer"},
        {R"("align": 4096)", R"("align": 4096.5)", "workloads[0].align: 4096.5 is not an integer"},
        {R"("align": 4096)", R"("align": 1e999)", "workloads[0].align: number overflow parsing '1e999'"},
        {R"("percent_osync": 7)", R"("percent_osync": 101)", "workloads[0].percent_osync: 101 is out of range 0 to 100"},
        {R"("max_size": 2147483647)", R"("max_size": 2147483648)",
         "workloads[1].write_xfer[0].max_size: 2147483648 is out of range 1 to 2147483647"},
        {R"("min_size": 2, "max_size": 2)", R"("min_size": 3, "max_size": 2)",
         "workloads[1].read_xfer[0]: min_size 3 is above max_size 2"},
        {R"("Read": 60)", R"("Read": 58)", "workloads[0].op_mix: percents add up to 98, not 100"},
        {R"("percent": 75)", R"("percent": 70)", "workloads[0].read_xfer: percents add up to 95, not 100"},
        {R"("percent": 25}, )", R"("percent": 25, "step": 1}, )", "workloads[0].read_xfer[0].step: no such member"},
        {R"([{"min_size": 4096, "max_size": 4096, "percent": 100}])", "[]", "workloads[0].write_xfer: 0 bands, give 1 to 16"},
        {R"("OTHER")", R"("SMALL")", "workloads[1].name: \"SMALL\" is already the name of workloads[0]"},
        {R"("OTHER")", R"("")", "workloads[1].name: 0 characters, give 1 to 99"},
        {R"("OTHER")", R"("OTH\u00e9R")", "workloads[1].name: not printable ASCII"},
        {"1e0000", "1g0000", "workloads[0].further_data: not 80 hexadecimal digits"},
        {R"("op_mix": {"Custom2": 100})", R"("op_mix": [])", "workloads[1].op_mix: [] is not an object"},
    };
    for (const Refused& c : cases) {
        std::string text = kTwoWorkloads;
        const std::size_t place = text.find(c.what);
        ASSERT_NE(place, std::string::npos) << c.what;
        text.replace(place, std::strlen(c.what), c.instead);
        WorkloadSet set{};
        const auto refusal = workload_set_from_text(text, set);
        ASSERT_TRUE(refusal.has_value()) << c.line;
        EXPECT_EQ(refusal->substr(0, std::strlen(c.line)), c.line);
        EXPECT_TRUE(std::all_of(reinterpret_cast<const char*>(&set), reinterpret_cast<const char*>(&set + 1),
                                [](char b) { return b == 0; }))
            << c.line;
    }
    WorkloadSet set{};
    EXPECT_EQ(workload_set_from_text(R"({"workloads": []})", set), "workloads: 0 workloads, give 1 to 4");
    EXPECT_EQ(workload_set_from_text("[1]", set), "top level: [1] is not an object");
    EXPECT_EQ(workload_set_from_text("", set)->substr(0, 19), "line 1, column 1: s");

    // The dashboard's body puts the same checks under its member.
    ModifyRequest request;
    EXPECT_EQ(dashboard::parse_control_body(R"({"workload_set": {"workloads": 4}})", request),
              "workload_set.workloads: 4 is not an array");
    const AreaEntry small{0x3141592, 2 * 4096, 2, 4096};
    EXPECT_EQ(dashboard::workload_set_answer(reinterpret_cast<const std::byte*>(&set), small, 1).status, 409);
}

}  // namespace
}  // namespace gorv::tools
