#include "remote/options.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "tests/harness/command_line.h"

namespace gorv::remote {
namespace {

struct Parsed {
    std::optional<int> status;
    RemoteSettings settings;
    std::string out;
};

Parsed parse(std::vector<std::string> words) {
    test::CommandLine line("gorv_remote", std::move(words));
    Parsed parsed;
    testing::internal::CaptureStdout();
    testing::internal::CaptureStderr();
    parsed.status = parse_remote_options(line.argc(), line.argv(), 4096, parsed.settings);
    parsed.out = testing::internal::GetCapturedStdout();
    testing::internal::GetCapturedStderr();
    return parsed;
}

TEST(RemoteOptions, SizeIsRoundedUpToThePage) {
    EXPECT_EQ(parse({}).settings.seg_size, 4096);
    EXPECT_EQ(parse({"-s", "1"}).settings.seg_size, 4096);
    EXPECT_EQ(parse({"-s", "1000"}).settings.seg_size, 4096);
    EXPECT_EQ(parse({"-s", "4096"}).settings.seg_size, 4096);
    EXPECT_EQ(parse({"-s", "4097"}).settings.seg_size, 8192);
    EXPECT_EQ(parse({"-s", "0"}).settings.seg_size, 0);
    EXPECT_EQ(parse({"-s", "12k"}).settings.seg_size, 4096);
    EXPECT_EQ(parse({"-s", "2147479552"}).settings.seg_size, 2147479552);
}

TEST(RemoteOptions, SizesThatCannotMakeAMessageAreRefused) {
    for (const char* size : {"-1", "-4096", "2147479553", "2147483647", "99999999999"}) {
        const Parsed parsed = parse({"-s", size, "-n", "3"});
        EXPECT_EQ(parsed.status, 1) << size;
        EXPECT_EQ(parsed.out, "Remote: segment size " + std::string(size) + " refused: give 0 to 2147479552 bytes\n");
        EXPECT_FALSE(parsed.settings.id_given);
    }
}

TEST(RemoteOptions, ClientIdAndItsKeys) {
    const Parsed five = parse({"-n", "5"});
    EXPECT_TRUE(five.settings.id_given);
    EXPECT_EQ(five.settings.client_id, 5);
    EXPECT_EQ(remote_mo_key(five.settings.client_id), 0x271828b);
    EXPECT_EQ(remote_ro_key(five.settings.client_id), 0x271828c);

    const Parsed negative = parse({"-n", "-4"});
    EXPECT_TRUE(negative.settings.id_given);
    EXPECT_EQ(negative.settings.client_id, 0);
    EXPECT_EQ(remote_mo_key(0), 0x2718281);
    EXPECT_EQ(remote_ro_key(0), 0x2718282);

    EXPECT_EQ(parse({"-n", "abc"}).settings.client_id, 0);
    EXPECT_EQ(parse({"-n", "12xyz"}).settings.client_id, 12);
    EXPECT_EQ(parse({"-n", "3", "-n", "7"}).settings.client_id, 7);
    EXPECT_EQ(parse({"-n", "254"}).settings.client_id, 254);
    EXPECT_EQ(remote_ro_key(254), 0x271847e);
}

TEST(RemoteOptions, ClientIdsPastTheLinkTableAreRefused) {
    for (const char* id : {"255", "1000", "99999999999999999999"}) {
        const Parsed parsed = parse({"-H", "master", "-n", id});
        EXPECT_EQ(parsed.status, 1) << id;
        EXPECT_EQ(parsed.out, "Remote: client id " + std::string(id) + " refused: give 0 to 254\n");
        EXPECT_FALSE(parsed.settings.id_given);
    }
}

TEST(RemoteOptions, HelpAndVersionActTheMomentTheyAreMet) {
    const Parsed version = parse({"-H", "master", "-v", "-n", "3"});
    EXPECT_EQ(version.status, 0);
    EXPECT_EQ(version.out, "gorv_remote: Version         $Revision: 793 $\n");
    EXPECT_TRUE(version.settings.host_given);
    EXPECT_FALSE(version.settings.id_given);

    const Parsed help = parse({"-r", "-h", "-n", "300"});
    EXPECT_EQ(help.status, 0);
    EXPECT_TRUE(help.out.starts_with("gorv_remote: [-h] [-H Master_hostname] [-n client_id] [-r] [-v]\n"));
    EXPECT_TRUE(help.out.ends_with("\t[-v].................... Print version number and exit.\n\n"));
    EXPECT_TRUE(help.settings.release);
    EXPECT_FALSE(help.settings.id_given);

    EXPECT_EQ(parse({"-n", "300", "-v"}).status, 1);
}

TEST(RemoteOptions, SettingsTakeTheirValues) {
    const Parsed parsed = parse({"-H", "gen-master", "-x", "-r", "-y", "6", "-n", "2", "extra"});
    EXPECT_EQ(parsed.status, std::nullopt);
    EXPECT_STREQ(parsed.settings.master_host, "gen-master");
    EXPECT_TRUE(parsed.settings.host_given);
    EXPECT_TRUE(parsed.settings.release);
    EXPECT_TRUE(parsed.settings.ipv6);

    EXPECT_TRUE(parse({"-y", "4"}).settings.ipv6);
    EXPECT_FALSE(parse({"-y", "0"}).settings.ipv6);
    EXPECT_FALSE(parse({}).settings.ipv6);
    EXPECT_FALSE(parse({"-H", "m"}).settings.release);
}

TEST(RemoteOptions, AMasterHostNameLongerThan255CharactersIsRefused) {
    EXPECT_TRUE(parse({"-H", std::string(255, 'h')}).settings.host_given);
    const Parsed parsed = parse({"-H", std::string(256, 'h'), "-n", "1"});
    EXPECT_EQ(parsed.status, 1);
    EXPECT_EQ(parsed.out, "Remote: master host name longer than 255 characters\n");
    EXPECT_FALSE(parsed.settings.host_given);
}

}  // namespace
}  // namespace gorv::remote
