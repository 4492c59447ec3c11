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

bool regular_with_mode(const std::string& path, mode_t mode) {
    struct stat status {};
    return lstat(path.c_str(), &status) == 0 && S_ISREG(status.st_mode) && (status.st_mode & 07777) == mode;
}

// Ways to plant a registry file; each leaves `text` readable at `path`.
enum class Plant { kLink, kFifo, kWritable, kOtherOwner };

bool plant(Plant how, const std::string& path, const std::string& text) {
    unlink(path.c_str());
    const std::string copy = path + ".planted";
    write_file(copy, text);
    switch (how) {
        case Plant::kLink:
            return symlink(copy.c_str(), path.c_str()) == 0;
        case Plant::kFifo:
            return mkfifo(path.c_str(), 0666) == 0;
        case Plant::kWritable:
            return rename(copy.c_str(), path.c_str()) == 0 && chmod(path.c_str(), 0666) == 0;
        case Plant::kOtherOwner:
            return rename(copy.c_str(), path.c_str()) == 0 && chmod(path.c_str(), 0644) == 0 &&
                   chown(path.c_str(), 65534, 65534) == 0;
    }
    return false;
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
    EXPECT_TRUE(regular_with_mode(kMasterRegistryPath, 0644));
    EXPECT_TRUE(regular_with_mode(kClientRegistry, 0644));
    const std::string master_registry = read_file(kMasterRegistryPath);
    const std::string client_registry = read_file(kClientRegistry);
    EXPECT_TRUE(master_registry.starts_with("GORV_MO_key 0x3141592 GORV_MO_size 4096"));
    EXPECT_TRUE(client_registry.starts_with("GORV_MO_key 0x271828b GORV_MO_size 4096 \n"));

    struct Tool {
        std::vector<std::string> argv;
        std::string path, registry, failure_line;
    };
    const Tool tools[] = {
        {{program("ostrela_modify"), "-r", "0", "-o", "5"}, kMasterRegistryPath, master_registry,
         "Get_master_master_zone failed\n"},
        {{program("ostrela_monitor")}, kMasterRegistryPath, master_registry, "Get_master_zone failed\n"},
        {{program("ostrela_client"), "-n", "5"}, kClientRegistry, client_registry,
         "Client 5: cannot read /tmp/gorv_registry_client_5\n"}};
    const std::pair<Plant, std::string> plants[] = {{Plant::kLink, "a symbolic link"},
                                                    {Plant::kFifo, "not a regular file"},
                                                    {Plant::kWritable, "writable by group or others"},
                                                    {Plant::kOtherOwner, "owned by another user"}};
    for (const Tool& tool : tools) {
        for (const auto& [how, reason] : plants) {
            // A user namespace that maps one user only has no other owner to give.
            if (!plant(how, tool.path, tool.registry)) continue;
            const Finished refused = run(tool.argv, 3s);
            EXPECT_EQ(refused.exit_status, 1) << tool.argv[0] << ": " << reason;
            EXPECT_EQ(refused.err, tool.path + " refused: " + reason + "\n");
            EXPECT_EQ(refused.out, tool.failure_line);
        }
    }
}

TEST(ReleaseFailures, ARegistryFileThatCannotBeRemovedFailsTheRun) {
    write_file(kList, "Clientname=gen1\n");
    write_file(kMasterRegistryPath, "");
    write_file("/tmp/over", "");
    // A mount point cannot be unlinked, whoever asks.
    ASSERT_EQ(mount("/tmp/over", kMasterRegistryPath, nullptr, MS_BIND, nullptr), 0);
    const Finished release = run({program("gorv_master"), "-r", "-s", "0", "-g", kList});
    EXPECT_EQ(release.exit_status, 1);
    EXPECT_EQ(release.out,
              "Clientname is gen1\n"
              "Master released 0 bytes of (MO) gorv. Key = 3141592\n"
              "Remote released 0 bytes of (RO) gorv. Key = 3141593\n");
    EXPECT_EQ(release.err, "/tmp/gorv_master_registry: Device or resource busy\n");
}

std::vector<std::string> as_nobody(std::vector<std::string> argv) {
    argv.insert(argv.begin(), {"/usr/bin/setpriv", "--reuid=65534", "--regid=65534", "--clear-groups"});
    return argv;
}

TEST(ReleaseFailures, AreasThatMayNotBeRemovedAreNotReportedReleased) {
    if (run(as_nobody({program("gorv_master"), "-v"})).exit_status != 0)
        GTEST_SKIP() << "no second user to run the release as";
    write_file(kList, "Clientname=gen1\n");
    create_area(kMasterMoKey, 4096);
    create_area(kMasterRoKey, 4096);
    const Finished master = run(as_nobody({program("gorv_master"), "-r", "-g", kList}));
    EXPECT_EQ(master.exit_status, 1);
    EXPECT_TRUE(master.out.ends_with("Shared memory key 3141593 Size = 4096\n")) << master.out;
    EXPECT_EQ(master.err,
              "shmctl IPC_RMID of key 0x3141592: Operation not permitted\n"
              "shmctl IPC_RMID of key 0x3141593: Operation not permitted\n");
    EXPECT_FALSE(area_info(kMasterMoKey)->marked_for_removal);

    create_area(kRemoteMoKeyBase + 10, 4096);
    const Finished remote = run(as_nobody({program("gorv_remote"), "-r", "-H", "m", "-n", "5"}));
    EXPECT_EQ(remote.exit_status, 1);
    EXPECT_EQ(remote.out, "Remote released 4096 bytes of RO gorv memory. Key is 0x271828c\n");
    EXPECT_EQ(remote.err, "shmctl IPC_RMID of key 0x271828b: Operation not permitted\n");
}

TEST(StrandedAreas, TheDaemonsSayWhichAreaIsTooSmallAndHowToFreeIt) {
    write_file(kList, "Clientname=gen1 Instances=3\n");
    create_area(kMasterMoKey, 4096);
    const std::string master_line =
        "Master: an area with key 0x3141592 exists with 4096 bytes, fewer than the 12288 needed; free it with a "
        "release run (-r) given the client list and -s that made it, or with ipcrm -M 0x3141592\n";
    for (const bool release : {false, true}) {
        std::vector<std::string> argv{program("gorv_master"), "-g", kList};
        if (release) argv.emplace_back("-r");
        const Finished master = run(argv);
        EXPECT_EQ(master.exit_status, 1);
        EXPECT_TRUE(master.out.ends_with("Shmid -1 Errno 22\nUnable to attach to MO segment\n"));
        EXPECT_EQ(master.err, master_line);
    }
    write_file(kMasterRegistryPath, "GORV_MO_key 0x3141592 GORV_MO_size 12288 Number_of_segs 3 Seg_size 4096\n");
    const Finished modify = run({program("ostrela_modify"), "-r", "0", "-o", "5"});
    EXPECT_EQ(modify.out, "3 Active clients\nShmid -1 Errno 22\nGet_master_master_zone failed\n");
    EXPECT_EQ(modify.err, "");

    create_area(kRemoteMoKeyBase + 10, 4096);
    const Finished remote = run({program("gorv_remote"), "-H", "m", "-n", "5", "-s", "8192"});
    EXPECT_EQ(remote.out, "Shmid -1 Errno 22\nUnable to attach to MO segment \n");
    EXPECT_EQ(remote.err,
              "Remote: an area with key 0x271828b exists with 4096 bytes, fewer than the 8192 needed; free it with "
              "a release run (-r) given the -n and -s that made it, or with ipcrm -M 0x271828b\n");
}

TEST(OddClientLists, FifosAndDirectoriesCannotBeOpenedAndCarriageReturnsAreNamed) {
    ASSERT_EQ(mkfifo("/tmp/fifo", 0666), 0);
    ASSERT_EQ(mkdir("/tmp/dir", 0755), 0);
    for (const std::string list : {"/tmp/fifo", "/tmp/dir"}) {
        const Finished master = run({program("gorv_master"), "-g", list}, 3s);
        EXPECT_EQ(master.exit_status, 0);
        EXPECT_EQ(master.out, "Bad client filename > " + list + " <\n");
    }
    EXPECT_FALSE(area_info(kMasterMoKey).has_value());
    EXPECT_FALSE(file_exists(kMasterRegistryPath));

    write_file(kList, "Clientname=gen1\r\nClientname=gen2 Instances=2\r\nInstances=2 Clientname=gen3\r\n");
    const Finished master = run({program("gorv_master"), "-r", "-s", "0", "-g", kList});
    EXPECT_EQ(master.exit_status, 0);
    EXPECT_EQ(master.err,
              "Master: the host name of row 0 ends in a carriage return (DOS line ends?)\n"
              "Master: the host name of rows 3 to 4 ends in a carriage return (DOS line ends?)\n");
}

}  // namespace
}  // namespace gorv::test
