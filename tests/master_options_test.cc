#include "master/options.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "tests/harness/command_line.h"

namespace gorv::master {
namespace {

struct Parsed {
    std::optional<int> status;
    MasterSettings settings;
    std::string out;
};

Parsed parse(std::vector<std::string> words) {
    test::CommandLine line("gorv_master", std::move(words));
    Parsed parsed;
    testing::internal::CaptureStdout();
    testing::internal::CaptureStderr();
    parsed.status = parse_master_options(line.argc(), line.argv(), 4096, parsed.settings);
    parsed.out = testing::internal::GetCapturedStdout();
    testing::internal::GetCapturedStderr();
    return parsed;
}

TEST(MasterOptions, SizeIsRoundedUpToThePage) {
    EXPECT_EQ(parse({"-s", "1"}).settings.seg_size, 4096);
    EXPECT_EQ(parse({"-s", "4096"}).settings.seg_size, 4096);
    EXPECT_EQ(parse({"-s", "4097"}).settings.seg_size, 8192);
    EXPECT_EQ(parse({"-s", "5000"}).settings.seg_size, 8192);
    EXPECT_EQ(parse({"-s", "0"}).settings.seg_size, 0);
    EXPECT_EQ(parse({"-s", "abc"}).settings.seg_size, 0);
    EXPECT_EQ(parse({}).settings.seg_size, 4096);
}

TEST(MasterOptions, SizesThatCannotMakeAMessageAreRefused) {
    for (const char* size : {"-1", "2147483647", "99999999999"}) {
        const Parsed parsed = parse({"-s", size, "-g", "list"});
        EXPECT_EQ(parsed.status, 1) << size;
        EXPECT_EQ(parsed.out, "Master: segment size " + std::string(size) + " refused: give 0 to 2147479552 bytes\n");
        EXPECT_FALSE(parsed.settings.list_given);
    }
    EXPECT_EQ(parse({"-s", "2147479552"}).settings.seg_size, 2147479552);
}

TEST(MasterOptions, HelpAndVersionActTheMomentTheyAreMet) {
    const Parsed version = parse({"-v", "-g", "list"});
    EXPECT_EQ(version.status, 0);
    EXPECT_EQ(version.out, "gorv_master: Version         $Revision: 793 $\n");
    EXPECT_FALSE(version.settings.list_given);

    const Parsed help = parse({"-r", "-h", "-s", "-5"});
    EXPECT_EQ(help.status, 0);
    EXPECT_TRUE(help.out.starts_with("gorv_master: [-h] [-r] [-s size ] [-g filename] [-v ]\n"));
    EXPECT_TRUE(help.out.ends_with("\t[-v] ............... Print version number and exit.\n\n"));
    EXPECT_TRUE(help.settings.release);
}

TEST(MasterOptions, SettingsTakeTheirValues) {
    const Parsed parsed = parse({"-r", "-x", "-y", "6", "-g", "clients.txt", "extra"});
    EXPECT_EQ(parsed.status, std::nullopt);
    EXPECT_TRUE(parsed.settings.release);
    EXPECT_TRUE(parsed.settings.ipv6);
    EXPECT_TRUE(parsed.settings.list_given);
    EXPECT_STREQ(parsed.settings.list_path, "clients.txt");

    EXPECT_TRUE(parse({"-y", "1"}).settings.ipv6);
    EXPECT_FALSE(parse({"-y", "0"}).settings.ipv6);
    EXPECT_FALSE(parse({"-y", "six"}).settings.ipv6);
}

TEST(MasterOptions, AListPathLongerThan255CharactersIsRefused) {
    EXPECT_TRUE(parse({"-g", std::string(255, 'p')}).settings.list_given);
    const Parsed parsed = parse({"-g", std::string(256, 'p')});
    EXPECT_EQ(parsed.status, 1);
    EXPECT_EQ(parsed.out, "Master: client list path longer than 255 characters\n");
}

}  // namespace
}  // namespace gorv::master
