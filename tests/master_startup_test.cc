// gorv_master's start-up as a user sees it: output, exit status, areas,
// registry file. Each test runs in namespaces of its own.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <algorithm>
#include <cstring>

#include "common/constants.h"
#include "tests/harness/process_harness.h"

namespace gorv::test {
namespace {

const std::string kList = "/tmp/clients";
const std::string kWorkedExample =
    "# two load generators on gen1, one on gen2\n"
    "Clientname=gen1 Instances=2\n"
    "instances=1 CLIENTNAME=gen2\n";

bool starts_with(const std::string& text, const std::string& prefix) { return text.starts_with(prefix); }

Finished master(std::vector<std::string> arguments) {
    arguments.insert(arguments.begin(), program("gorv_master"));
    return run(arguments);
}

std::string usage() {
    return "gorv_master: [-h] [-r] [-s size ] [-g filename] [-v ]\n"
           "\t[-h] ............... help screen.\n"
           "\t[-r] ............... Release of shared memory.\n"
           "\t[-g config_file ]... Configuration filename.\n"
           "\t[-s size ].......... Size of shared memory in bytes.\n"
           "\t[-y 6] ............. Use IPv6.\n"
           "\t[-k] ............... Service mode: links that heal (remotes need -k too).\n"
           "\t[-v] ............... Print version number and exit.\n\n";
}

TEST(MasterCommandLine, UsageVersionAndMissingList) {
    const Finished bare = master({});
    EXPECT_EQ(bare.exit_status, 0);
    EXPECT_EQ(bare.out, usage());

    const Finished release_only = master({"-r"});
    EXPECT_EQ(release_only.exit_status, 1);
    EXPECT_EQ(release_only.out, usage());

    write_file(kList, kWorkedExample);
    const Finished version = master({"-v", "-g", kList});
    EXPECT_EQ(version.exit_status, 0);
    EXPECT_EQ(version.out, "gorv_master: Version         $Revision: 793 $\n");

    const Finished bad_file = master({"-g", "/tmp/none"});
    EXPECT_EQ(bad_file.exit_status, 0);
    EXPECT_EQ(bad_file.out, "Bad client filename > /tmp/none <\n");
    EXPECT_FALSE(file_exists(kMasterRegistryPath));
}

TEST(MasterStartup, WorkedExampleCreatesZeroedAreasWritesTheRegistryAndForks) {
    write_file(kList, kWorkedExample);
    create_area(kMasterMoKey, 12288);
    std::ranges::fill(attach_area(kMasterMoKey), std::byte{0x5a});  // left over from an earlier run

    Running daemon({program("gorv_master"), "-g", kList});
    ASSERT_TRUE(wait_until([] { return file_exists(kMasterRegistryPath); }));
    EXPECT_EQ(read_file(kMasterRegistryPath),
              "GORV_MO_key 0x3141592 GORV_MO_size 12288 Number_of_segs 3 Seg_size 4096\n"
              "GORV_RO_key 0x3141593 GORV_RO_size 12288 Number_of_segs 3 Seg_size 4096\n");
    for (key_t key : {kMasterMoKey, kMasterRoKey}) {
        const auto info = area_info(key);
        ASSERT_TRUE(info.has_value());
        EXPECT_EQ(info->size, 12288u);
        EXPECT_EQ(info->mode, 0666u);
        EXPECT_FALSE(info->marked_for_removal);
        const auto area = attach_area(key);
        EXPECT_TRUE(std::ranges::all_of(area, [](std::byte b) { return b == std::byte{0}; }));
    }
    // The started process is the sender; its one child the receiver spawner.
    EXPECT_TRUE(wait_until([&] { return children_of(daemon.pid()).size() == 1; }));
    // The start-up lines come first; the sender and the receivers follow.
    EXPECT_PRED2(starts_with, daemon.out(),
                 "Clientname is gen1\nClientname is gen1\nClientname is gen2\n"
                 "Trying to get shared memory segment with key 3141592\n"
                 "Got shared memory with key 3141592\n"
                 "Attached to shared memory with key 3141592\n"
                 "Shared memory key 3141592 Size = 12288\n"
                 "Master allocated/attached 12288 bytes of (MO) gorv. Key = 3141592\n"
                 "Trying to get shared memory segment with key 3141593\n"
                 "Got shared memory with key 3141593\n"
                 "Attached to shared memory with key 3141593\n"
                 "Shared memory key 3141593 Size = 12288\n"
                 "Remote allocated/attached 12288 bytes of (RO) gorv. Key = 3141593\n");
    daemon.kill_group();

    const Finished release = master({"-r", "-g", kList});
    EXPECT_EQ(release.exit_status, 0);
    EXPECT_TRUE(release.out.ends_with("Shared memory key 3141593 Size = 12288\n"
                                      "Master released 12288 bytes of (MO) gorv. Key = 3141592\n"
                                      "Remote released 12288 bytes of (RO) gorv. Key = 3141593\n"));
    EXPECT_EQ(release.out.find("allocated"), std::string::npos);
    EXPECT_FALSE(area_info(kMasterMoKey).has_value());
    EXPECT_FALSE(area_info(kMasterRoKey).has_value());
    EXPECT_FALSE(file_exists(kMasterRegistryPath));
}

TEST(MasterStartup, NoClientsOrSizeZeroMakeNoAreas) {
    write_file(kList, "# nobody yet\n");
    {
        Running daemon({program("gorv_master"), "-g", kList});
        ASSERT_TRUE(wait_until([] { return file_exists(kMasterRegistryPath); }));
        EXPECT_EQ(read_file(kMasterRegistryPath),
                  "GORV_MO_key 0x3141592 GORV_MO_size 0 Number_of_segs 0 Seg_size 4096\n"
                  "GORV_RO_key 0x3141593 GORV_RO_size 0 Number_of_segs 0 Seg_size 4096\n");
        EXPECT_FALSE(area_info(kMasterMoKey).has_value());
    }
    write_file(kList, "Clientname=gen1\n");
    {
        Running daemon({program("gorv_master"), "-s", "0", "-g", kList});
        ASSERT_TRUE(wait_until([] { return read_file(kMasterRegistryPath).find("Seg_size 0\nGORV_RO") != std::string::npos; }));
        EXPECT_FALSE(area_info(kMasterRoKey).has_value());
    }
    const Finished release = master({"-r", "-s", "0", "-g", kList});
    EXPECT_EQ(release.exit_status, 0);
    EXPECT_EQ(release.out,
              "Clientname is gen1\n"
              "Master released 0 bytes of (MO) gorv. Key = 3141592\n"
              "Remote released 0 bytes of (RO) gorv. Key = 3141593\n");
    EXPECT_FALSE(file_exists(kMasterRegistryPath));
}

TEST(MasterStartup, AnAreaSmallerThanAskedForStopsTheMaster) {
    write_file(kList, kWorkedExample);
    create_area(kMasterRoKey, 4096);
    const Finished started = master({"-g", kList});
    EXPECT_EQ(started.exit_status, 1);
    EXPECT_TRUE(started.out.ends_with("Trying to get shared memory segment with key 3141593\n"
                                      "Shmid -1 Errno 22\n"
                                      "Unable to attach to RO segment\n"));
    EXPECT_FALSE(file_exists(kMasterRegistryPath));
}

TEST(MasterStartup, RefusedListsAndSizesTouchNoArea) {
    write_file(kList, "Clientname=gen1\n\n");
    const Finished empty_line = master({"-g", kList});
    EXPECT_EQ(empty_line.exit_status, 1);
    EXPECT_EQ(empty_line.out,
              "Clientname is gen1\nParsing error while looking for Clientname=\nError parsing config\n");

    write_file(kList, "Clientname=gen1 Instances=255\n");
    const Finished too_big = master({"-s", "8425472", "-g", kList});
    EXPECT_EQ(too_big.exit_status, 1);
    EXPECT_TRUE(too_big.out.ends_with("Master: 255 segments of 8425472 bytes do not fit in one area\n"));

    const Finished long_path = master({"-g", "/tmp/" + std::string(251, 'p')});
    EXPECT_EQ(long_path.exit_status, 1);
    EXPECT_EQ(long_path.out, "Master: client list path longer than 255 characters\n");

    EXPECT_FALSE(area_info(kMasterMoKey).has_value());
    EXPECT_FALSE(area_info(kMasterRoKey).has_value());
    EXPECT_FALSE(file_exists(kMasterRegistryPath));
}

TEST(MasterStartup, ARegistryThatCannotBeWrittenIsReportedAndTheMasterGoesOn) {
    write_file(kList, "Clientname=gen1\n");
    ASSERT_EQ(mkdir(kMasterRegistryPath, 0755), 0);
    Running daemon({program("gorv_master"), "-g", kList});
    ASSERT_TRUE(wait_until([&] { return !daemon.err().empty(); }));
    EXPECT_PRED2(starts_with, daemon.err(), "/tmp/gorv_master_registry: Is a directory\n");
    EXPECT_TRUE(wait_until([&] { return children_of(daemon.pid()).size() == 1; }));
}

}  // namespace
}  // namespace gorv::test
