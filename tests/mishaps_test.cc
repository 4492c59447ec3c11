// What a local attacker or an unlucky operator does to the programs: files
// planted at the registry paths, release runs without the right to release,
// areas left too small by an earlier run, odd client lists.
#include <gtest/gtest.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <unistd.h>

#include <string>
#include <vector>

#include "common/constants.h"
#include "tests/harness/process_harness.h"

namespace gorv::test {
namespace {

const std::string kList = "/tmp/clients";
const std::string kClientRegistry = "/tmp/gorv_registry_client_5";

// Plants a registry file holding `text` at `path` that the tools refuse for
// `reason`; false when the namespace has no other user to give it to.
bool plant(const std::string& reason, const std::string& path, const std::string& text) {
    const std::string copy = path + ".planted";
    unlink(path.c_str());
    write_file(copy, text);
    if (reason == "a symbolic link") return symlink(copy.c_str(), path.c_str()) == 0;
    if (reason == "not a regular file") return mkfifo(path.c_str(), 0666) == 0;
    rename(copy.c_str(), path.c_str());
    if (reason == "writable by group or others") return chmod(path.c_str(), 0666) == 0;
    return chmod(path.c_str(), 0644) == 0 && chown(path.c_str(), 65534, 65534) == 0;
}

TEST(PlantedFiles, DaemonsReplaceWhatStandsAtTheirPathsAndToolsRefusePlantedFiles) {
    write_file(kList, "Clientname=localhost\n");
    write_file("/tmp/target", "kept\n");
    ASSERT_EQ(symlink("/tmp/target", kMasterRegistryPath), 0);
    ASSERT_EQ(mkfifo(kClientRegistry.c_str(), 0666), 0);
    umask(077);
    Running master({program("gorv_master"), "-g", kList});
    Running remote({program("gorv_remote"), "-H", "localhost", "-n", "5"});
    ASSERT_TRUE(wait_until([&] { return children_of(remote.pid()).size() == 1; }));
    ASSERT_TRUE(wait_until([&] { return children_of(master.pid()).size() == 1; }));
    EXPECT_EQ(read_file("/tmp/target"), "kept\n");
    for (const std::string& path : {std::string(kMasterRegistryPath), kClientRegistry}) {
        struct stat written {};
        EXPECT_EQ(lstat(path.c_str(), &written), 0);
        EXPECT_EQ(written.st_mode, S_IFREG | 0644) << path;
    }
    struct Tool {
        std::vector<std::string> argv;
        std::string path, failure_line;
    };
    const Tool tools[] = {
        {{program("ostrela_modify"), "-o", "5"}, kMasterRegistryPath, "Get_master_master_zone failed\n"},
        {{program("ostrela_monitor")}, kMasterRegistryPath, "Get_master_zone failed\n"},
        {{program("ostrela_client"), "-n", "5"}, kClientRegistry, "Client 5: cannot read " + kClientRegistry + "\n"}};
    for (const Tool& tool : tools) {
        const std::string registry = read_file(tool.path);
        for (const std::string reason :
             {"a symbolic link", "not a regular file", "writable by group or others", "owned by another user"}) {
            if (!plant(reason, tool.path, registry)) continue;
            const Finished refused = run(tool.argv, 3s);
            EXPECT_EQ(refused.exit_status, 1) << tool.argv[0] << ": " << reason;
            EXPECT_EQ(refused.err, tool.path + " refused: " + reason + "\n");
            EXPECT_EQ(refused.out, tool.failure_line);
        }
    }
}

std::vector<std::string> as_nobody(std::vector<std::string> argv) {
    argv.insert(argv.begin(), {"/usr/bin/setpriv", "--reuid=65534", "--regid=65534", "--clear-groups"});
    return argv;
}

TEST(ReleaseFailures, WhatCannotBeReleasedIsNotReportedReleasedAndFailsTheRun) {
    write_file(kList, "Clientname=gen1\n");
    write_file(kMasterRegistryPath, "");
    write_file("/tmp/over", "");
    // A mount point cannot be unlinked, whoever asks.
    ASSERT_EQ(mount("/tmp/over", kMasterRegistryPath, nullptr, MS_BIND, nullptr), 0);
    const Finished unlink_failed = run({program("gorv_master"), "-r", "-s", "0", "-g", kList});
    EXPECT_EQ(unlink_failed.exit_status, 1);
    EXPECT_EQ(unlink_failed.out,
              "Clientname is gen1\nMaster released 0 bytes of (MO) gorv. Key = 3141592\n"
              "Remote released 0 bytes of (RO) gorv. Key = 3141593\n");
    EXPECT_EQ(unlink_failed.err, "/tmp/gorv_master_registry: Device or resource busy\n");

    if (run(as_nobody({program("gorv_master"), "-v"})).exit_status != 0)
        GTEST_SKIP() << "no second user to run a release as";
    create_area(kMasterMoKey, 4096);
    const Finished master = run(as_nobody({program("gorv_master"), "-r", "-g", kList}));
    EXPECT_EQ(master.exit_status, 1);
    EXPECT_TRUE(master.out.ends_with("Shared memory key 3141593 Size = 4096\n"
                                     "Remote released 4096 bytes of (RO) gorv. Key = 3141593\n"));
    EXPECT_EQ(master.err,
              "shmctl IPC_RMID of key 0x3141592: Operation not permitted\n"
              "/tmp/gorv_master_registry: Operation not permitted\n");
    EXPECT_FALSE(area_info(kMasterMoKey)->marked_for_removal);
}

TEST(OperatorMishaps, StrandedAreasFifoOrDirectoryListsAndCarriageReturnsAreExplained) {
    write_file(kList, "Clientname=gen1 Instances=3\n");
    create_area(kMasterMoKey, 4096);
    const Finished master = run({program("gorv_master"), "-g", kList});
    EXPECT_TRUE(master.out.ends_with("Shmid -1 Errno 22\nUnable to attach to MO segment\n"));
    EXPECT_EQ(master.err,
              "Master: an area with key 0x3141592 exists with 4096 bytes, fewer than the 12288 needed; free it with "
              "a release run (-r) given the client list and -s that made it, or with ipcrm -M 0x3141592\n");
    create_area(kRemoteMoKeyBase + 10, 4096);
    const Finished remote = run({program("gorv_remote"), "-H", "m", "-n", "5", "-s", "8192"});
    EXPECT_EQ(remote.err,
              "Remote: an area with key 0x271828b exists with 4096 bytes, fewer than the 8192 needed; free it with "
              "a release run (-r) given the -n and -s that made it, or with ipcrm -M 0x271828b\n");

    ASSERT_EQ(mkfifo("/tmp/fifo", 0666), 0);
    ASSERT_EQ(mkdir("/tmp/dir", 0755), 0);
    for (const std::string list : {"/tmp/fifo", "/tmp/dir"}) {
        const Finished odd_list = run({program("gorv_master"), "-g", list}, 3s);
        EXPECT_EQ(odd_list.exit_status, 0);
        EXPECT_EQ(odd_list.out, "Bad client filename > " + list + " <\n");
    }

    write_file(kList, "Clientname=gen1\r\nClientname=gen2 Instances=2\r\nInstances=2 Clientname=gen3\r\n");
    const Finished dos_lines = run({program("gorv_master"), "-r", "-s", "0", "-g", kList});
    EXPECT_EQ(dos_lines.err,
              "Master: the host name of row 0 ends in a carriage return (DOS line ends?)\n"
              "Master: the host name of rows 3 to 4 ends in a carriage return (DOS line ends?)\n");
}

}  // namespace
}  // namespace gorv::test
