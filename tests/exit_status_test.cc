// README's exit-status table, read from README.md itself: every command in
// its last column is run as the table says (in /tmp, with the client list
// `clients`, a master running for those marked "master up") and must end
// with the status of its row.
#include <gtest/gtest.h>
#include <unistd.h>

#include <memory>
#include <regex>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include "common/constants.h"
#include "tests/harness/process_harness.h"

namespace gorv::test {
namespace {

struct Example {
    std::string program;
    std::vector<std::string> arguments;
    int status = 0;
    bool master_up = false;
};

std::vector<Example> readme_examples() {
    const std::string readme = read_file(std::string(GORV_SOURCE_DIR) + "/README.md");
    const std::size_t begin = readme.find("### Exit statuses\n");
    const std::size_t end = readme.find("\n### ", begin + 1);
    std::istringstream section(readme.substr(begin, end - begin));
    const std::regex row(R"(^\| `(\w+)` \| (\d+) \|.*\| ([^|]*) \|$)");
    const std::regex command(R"(`([^`]+)`( \(master up\))?)");
    std::vector<Example> examples;
    for (std::string line; std::getline(section, line);) {
        std::smatch cells;
        if (!std::regex_match(line, cells, row)) continue;
        const std::string last = cells[3];
        for (std::sregex_iterator it(last.begin(), last.end(), command), none; it != none; ++it) {
            std::istringstream words((*it)[1].str());
            Example example;
            example.status = std::stoi(cells[2]);
            example.master_up = (*it)[2].matched;
            words >> example.program;
            for (std::string word; words >> word;) example.arguments.push_back(word);
            EXPECT_EQ(example.program, cells[1].str()) << line;
            examples.push_back(std::move(example));
        }
    }
    return examples;
}

TEST(ExitStatuses, EveryExampleOfReadmesTableEndsWithItsStatus) {
    const std::vector<Example> examples = readme_examples();
    std::set<std::string> programs;
    for (const Example& example : examples) programs.insert(example.program);
    EXPECT_EQ(programs, (std::set<std::string>{"gorv_master", "gorv_remote", "ostrela_modify", "ostrela_monitor",
                                               "ostrela_client", "ostrela_dashboard", "ostrela_record",
                                               "ostrela_report"}));
    ASSERT_EQ(chdir("/tmp"), 0);
    write_file("/tmp/clients", "Clientname=localhost Instances=2\n");
    std::unique_ptr<Running> master;
    for (const bool master_up : {false, true}) {
        if (master_up) {
            master = std::make_unique<Running>(std::vector<std::string>{program("gorv_master"), "-g", "clients"});
            ASSERT_TRUE(wait_until([] { return file_exists(kMasterRegistryPath); }));
        }
        for (const Example& example : examples) {
            if (example.master_up != master_up) continue;
            std::vector<std::string> argv{program(example.program)};
            argv.insert(argv.end(), example.arguments.begin(), example.arguments.end());
            const Finished finished = run(argv);
            std::string shown = example.program;
            for (const std::string& argument : example.arguments) shown += " " + argument;
            EXPECT_EQ(finished.exit_status, example.status) << shown << (master_up ? " (master up)\n" : "\n")
                                                             << finished.out << finished.err;
        }
    }
}

}  // namespace
}  // namespace gorv::test
