// README's table of link lines, read from README.md itself: every text that
// the daemons' link code prints (each string literal of those files that
// holds a word) must appear in the section "When a link does not come up",
// a printf conversion standing for any value of the example there.
#include <gtest/gtest.h>

#include <array>
#include <regex>
#include <sstream>
#include <string>
#include <vector>

#include "tests/harness/process_harness.h"

namespace gorv::test {
namespace {

constexpr std::array kLinkSources = {
    "common/service_link.cc",   "common/service_sender.cc", "common/service_receiver.cc",  "common/link_key.cc",
    "common/secret_file.cc",    "common/host_lookup.cc",    "master/service.cc",           "common/daemon_lock.cc",
    "master/service_sender.cc", "remote/service.cc",        "master/service_receivers.cc", "common/peer_link.cc",
    "master/receivers.cc",      "remote/receiver.cc",       "common/update_message.cc",
};

// Lines whose literals are no message of their own (besides comments): a
// perror's name of the failed call, a build attribute, a key derivation's
// context, a time format.
constexpr std::array kNotMessages = {"#include", "perror(", "static_assert", "target_clones", "kKdfContext",
                                     "strftime"};

const std::regex kConversion("%l{0,2}[dsu]");

// The message texts of one source file, without escapes and the white
// space around them.
std::vector<std::string> messages_of(const std::string& source) {
    static const std::regex literal(R"re("((?:[^"\\]|\\.)*)")re");
    static const std::regex escape(R"(\\n|\\(.))");
    static const std::regex word("[A-Za-z]{2,}");
    std::vector<std::string> messages;
    std::istringstream lines(source);
    for (std::string line; std::getline(lines, line);) {
        bool skipped = line.find_first_not_of(' ') == line.find("//");
        for (const char* marker : kNotMessages) skipped = skipped || line.find(marker) != std::string::npos;
        for (std::sregex_iterator it(line.begin(), line.end(), literal), none; !skipped && it != none; ++it) {
            std::string text = std::regex_replace((*it)[1].str(), escape, "$1");
            text.erase(0, text.find_first_not_of(' '));
            text.erase(text.find_last_not_of(' ') + 1);
            if (std::regex_search(std::regex_replace(text, kConversion, ""), word)) messages.push_back(text);
        }
    }
    return messages;
}

// A pattern of the text: a conversion matches any value, the rest itself.
std::regex pattern_of(const std::string& text) {
    static const std::regex special(R"([.^$|()\[\]{}*+?\\])");
    return std::regex(std::regex_replace(std::regex_replace(text, special, R"(\$&)"), kConversion, ".+?"));
}

TEST(LinkTable, EveryLinkTextOfTheDaemonsIsInReadmesTable) {
    const std::string root = GORV_SOURCE_DIR;
    const std::string readme = read_file(root + "/README.md");
    const std::size_t begin = readme.find("## When a link does not come up\n");
    ASSERT_NE(begin, std::string::npos);
    const std::string table = readme.substr(begin, readme.find("\n## ", begin + 1) - begin);
    int checked = 0;
    for (const char* path : kLinkSources) {
        const std::string source = read_file(root + "/" + path);
        ASSERT_FALSE(source.empty()) << path;
        for (const std::string& text : messages_of(source)) {
            ++checked;
            EXPECT_TRUE(std::regex_search(table, pattern_of(text))) << path << ": \"" << text << "\"";
        }
    }
    EXPECT_GT(checked, 100);
}

}  // namespace
}  // namespace gorv::test
