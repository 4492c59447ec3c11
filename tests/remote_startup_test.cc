// gorv_remote's start-up as a user sees it: output, exit status, areas,
// client registry file. Each test runs in namespaces of its own.
#include <gtest/gtest.h>
#include <sys/shm.h>
#include <sys/stat.h>

#include <algorithm>

#include "common/constants.h"
#include "tests/harness/process_harness.h"

namespace gorv::test {
namespace {

// A limit on the address space leaves the address sanitizer no room.
#if defined(__SANITIZE_ADDRESS__)
constexpr bool kAddressSanitizer = true;
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
constexpr bool kAddressSanitizer = true;
#else
constexpr bool kAddressSanitizer = false;
#endif
#else
constexpr bool kAddressSanitizer = false;
#endif

// Client id 5's keys and registry file.
constexpr key_t kMoKey = 0x271828b;
constexpr key_t kRoKey = 0x271828c;
const std::string kRegistry = "/tmp/gorv_registry_client_5";

Finished remote(std::vector<std::string> arguments) {
    arguments.insert(arguments.begin(), program("gorv_remote"));
    return run(arguments);
}

std::string usage() {
    return "gorv_remote: [-h] [-H Master_hostname] [-n client_id] [-r] [-v]\n"
           "\t[-h].................... Help screen\n"
           "\t[-H Master_hostname].... Hostname of the master.\n"
           "\t[-n client_id].......... Unique client identifier.\n"
           "\t[-s].................... Size of shared memory in bytes.\n"
           "\t[-r].................... Release shared memory.\n"
           "\t[-y 6].................. Use IPv6.\n"
           "\t[-k].................... Service mode: links that heal (the master needs -k too).\n"
           "\t[-v].................... Print version number and exit.\n\n";
}

// An area marked for removal can no longer be found by its key, only by its id.
int area_id(key_t key) { return shmget(key, 0, 0); }
bool marked_for_removal(int id) {
    shmid_ds status{};
    return shmctl(id, IPC_STAT, &status) == 0 && (status.shm_perm.mode & SHM_DEST) != 0;
}

bool filled_with(std::span<const std::byte> area, std::byte value) {
    return !area.empty() && std::ranges::all_of(area, [value](std::byte b) { return b == value; });
}

TEST(RemoteCommandLine, UsageVersionAndMissingOptionsTouchNoArea) {
    for (const std::vector<std::string>& arguments :
         {std::vector<std::string>{}, {"-h", "-H", "master", "-n", "5"}, {"-n", "5"}, {"-H", "master", "-r"}}) {
        const Finished finished = remote(arguments);
        EXPECT_EQ(finished.exit_status, 0);
        EXPECT_EQ(finished.out, usage());
    }
    const Finished version = remote({"-H", "master", "-v", "-n", "5"});
    EXPECT_EQ(version.exit_status, 0);
    EXPECT_EQ(version.out, "gorv_remote: Version         $Revision: 793 $\n");

    EXPECT_FALSE(area_info(kMoKey).has_value());
    EXPECT_FALSE(area_info(0x2718281).has_value());
    EXPECT_FALSE(file_exists(kRegistry));
}

TEST(RemoteCommandLine, RefusedValuesTouchNoArea) {
    const Finished id = remote({"-H", "master", "-n", "255"});
    EXPECT_EQ(id.exit_status, 1);
    EXPECT_EQ(id.out, "Remote: client id 255 refused: give 0 to 254\n");
    EXPECT_FALSE(area_info(0x2718281 + 2 * 255).has_value());

    const Finished size = remote({"-H", "master", "-n", "5", "-s", "-1"});
    EXPECT_EQ(size.exit_status, 1);
    EXPECT_EQ(size.out, "Remote: segment size -1 refused: give 0 to 2147479552 bytes\n");

    const Finished host = remote({"-H", std::string(256, 'h'), "-n", "5"});
    EXPECT_EQ(host.exit_status, 1);
    EXPECT_EQ(host.out, "Remote: master host name longer than 255 characters\n");

    EXPECT_FALSE(area_info(kMoKey).has_value());
    EXPECT_FALSE(area_info(kRoKey).has_value());
    EXPECT_FALSE(file_exists(kRegistry));
}

TEST(RemoteCommandLine, BuffersThatCannotBeAllocatedTouchNoArea) {
    if (kAddressSanitizer) GTEST_SKIP() << "no address-space limit under the address sanitizer";
    const Finished finished = run({"/bin/sh", "-c", "ulimit -v 262144; exec \"$0\" -H master -n 5 -s 1000000000",
                                   program("gorv_remote")});
    EXPECT_EQ(finished.exit_status, 1);
    EXPECT_EQ(finished.out, "Remote: cannot allocate buffers for a segment size of 1000001536 bytes\n");
    EXPECT_FALSE(area_info(kMoKey).has_value());
    EXPECT_FALSE(file_exists(kRegistry));
}

TEST(RemoteStartup, CreatesBothAreasWritesTheRegistryAndForks) {
    Running daemon({program("gorv_remote"), "-H", "master", "-n", "5"});
    ASSERT_TRUE(wait_until([] { return file_exists(kRegistry); }));
    // The sender and its one child, the receiver.
    ASSERT_TRUE(wait_until([&] { return children_of(daemon.pid()).size() == 1; }));
    EXPECT_EQ(read_file(kRegistry), "GORV_MO_key 0x271828b GORV_MO_size 4096 \nGORV_RO_key 0x271828c GORV_RO_size 4096\n");
    for (key_t key : {kMoKey, kRoKey}) {
        const auto info = area_info(key);
        ASSERT_TRUE(info.has_value());
        EXPECT_EQ(info->size, 4096u);
        EXPECT_EQ(info->mode, 0666u);
        EXPECT_FALSE(info->marked_for_removal);
    }
    EXPECT_EQ(daemon.out(),
              "Remote allocated/attached 4096 bytes of MO gorv memory. Key is 0x271828b\n"
              "Remote allocated/attached 4096 bytes of RO gorv memory. Key is 0x271828c\n");
    EXPECT_EQ(daemon.err(), "");
}

TEST(RemoteStartup, AreasThatExistKeepTheirWords) {
    create_area(kMoKey, 4096);
    create_area(kRoKey, 8192);  // larger than asked for is attached as it is
    std::ranges::fill(attach_area(kMoKey), std::byte{0x5a});
    std::ranges::fill(attach_area(kRoKey), std::byte{0xa5});

    Running daemon({program("gorv_remote"), "-H", "master", "-n", "5"});
    ASSERT_TRUE(wait_until([&] { return children_of(daemon.pid()).size() == 1; }));
    EXPECT_TRUE(filled_with(attach_area(kMoKey), std::byte{0x5a}));
    EXPECT_TRUE(filled_with(attach_area(kRoKey), std::byte{0xa5}));
}

TEST(RemoteStartup, AReleaseRunRemovesTheFileAndMarksTheAreas) {
    Running daemon({program("gorv_remote"), "-H", "master", "-n", "5"});
    ASSERT_TRUE(wait_until([&] { return children_of(daemon.pid()).size() == 1; }));
    const int mo_id = area_id(kMoKey);
    const int ro_id = area_id(kRoKey);
    ASSERT_GE(mo_id, 0);
    ASSERT_GE(ro_id, 0);

    const Finished release = remote({"-r", "-H", "anything", "-n", "5"});
    EXPECT_EQ(release.exit_status, 0);
    EXPECT_EQ(release.out,
              "Remote released 4096 bytes of MO gorv memory. Key is 0x271828b\n"
              "Remote released 4096 bytes of RO gorv memory. Key is 0x271828c\n");
    EXPECT_FALSE(file_exists(kRegistry));
    // The running daemon still holds both areas; they go when it ends.
    EXPECT_TRUE(marked_for_removal(mo_id));
    EXPECT_TRUE(marked_for_removal(ro_id));
    daemon.kill_group();
    EXPECT_TRUE(wait_until([&] { return !marked_for_removal(mo_id) && !marked_for_removal(ro_id); }));
}

TEST(RemoteStartup, AReleaseRunWithoutAreasMakesAndReleasesThem) {
    const Finished release = remote({"-H", "master", "-n", "5", "-r", "-s", "8000"});
    EXPECT_EQ(release.exit_status, 0);
    EXPECT_EQ(release.out,
              "Remote released 8192 bytes of MO gorv memory. Key is 0x271828b\n"
              "Remote released 8192 bytes of RO gorv memory. Key is 0x271828c\n");
    EXPECT_FALSE(file_exists(kRegistry));
    EXPECT_FALSE(area_info(kMoKey).has_value());
    EXPECT_FALSE(area_info(kRoKey).has_value());
}

TEST(RemoteStartup, SizeZeroAcquiresNoAreaAndWritesNoFile) {
    {
        Running daemon({program("gorv_remote"), "-H", "master", "-n", "5", "-s", "0"});
        ASSERT_TRUE(wait_until([&] { return children_of(daemon.pid()).size() == 1; }));
        EXPECT_EQ(daemon.out(), "");
    }
    EXPECT_FALSE(area_info(kMoKey).has_value());
    EXPECT_FALSE(file_exists(kRegistry));

    write_file(kRegistry, "left by an earlier run\n");
    const Finished release = remote({"-H", "master", "-n", "5", "-s", "0", "-r"});
    EXPECT_EQ(release.exit_status, 0);
    EXPECT_EQ(release.out,
              "Remote released 0 bytes of MO gorv memory. Key is 0x271828b\n"
              "Remote released 0 bytes of RO gorv memory. Key is 0x271828c\n");
    EXPECT_TRUE(file_exists(kRegistry));
}

TEST(RemoteStartup, AnAreaSmallerThanAskedForStopsTheDaemon) {
    create_area(kMoKey, 4096);
    const Finished started = remote({"-H", "master", "-n", "5", "-s", "8192"});
    EXPECT_EQ(started.exit_status, 1);
    EXPECT_EQ(started.out, "Shmid -1 Errno 22\nUnable to attach to MO segment \n");
    EXPECT_FALSE(area_info(kRoKey).has_value());
    EXPECT_FALSE(file_exists(kRegistry));
}

TEST(RemoteStartup, ARegistryThatCannotBeWrittenIsReportedAndTheDaemonGoesOn) {
    ASSERT_EQ(mkdir(kRegistry.c_str(), 0755), 0);
    Running daemon({program("gorv_remote"), "-H", "master", "-n", "5"});
    ASSERT_TRUE(wait_until([&] { return !daemon.err().empty(); }));
    EXPECT_EQ(daemon.err(), "/tmp/gorv_registry_client_5: Is a directory\n");
    EXPECT_TRUE(wait_until([&] { return children_of(daemon.pid()).size() == 1; }));
}

}  // namespace
}  // namespace gorv::test
