// The service-mode greeting's bytes and checks, keyed links' tags and
// proofs, the once-per-reason filter and the master's link state lines.
#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstring>
#include <vector>

#include "common/link_state.h"
#include "common/service_link.h"
#include "master/link_state.h"

namespace gorv {
namespace {

TEST(Greeting, RemoteThreeWithTheDefaultSizeIsSixteenBigEndianBytes) {
    const GreetingBytes bytes = encode_greeting(make_greeting(LinkRole::kRemote, 3, 4096));
    EXPECT_EQ(bytes, (GreetingBytes{0x47, 0x4f, 0x52, 0x56, 0, 1, 2, 0, 0, 0, 0, 3, 0, 0, 0x10, 0}));
    const Greeting back = decode_greeting(bytes);
    char reason[96];
    EXPECT_FALSE(greeting_refused(back, make_greeting(LinkRole::kRemote, 3, 4096), reason));
}

TEST(Greeting, TheFirstFieldThatDiffersIsNamed) {
    const Greeting expected = make_greeting(LinkRole::kMaster, 7, 8192);
    struct Case {
        Greeting got;
        const char* reason;
    };
    Greeting not_ours = expected;
    not_ours.magic = 0;
    Greeting newer = expected;
    newer.version = 2;
    const Case cases[] = {
        {not_ours, "not a greeting"},
        {newer, "greeting version 2, not 1"},
        {make_greeting(LinkRole::kRemote, 7, 8192), "a peer of role 2, not 1"},
        {make_greeting(LinkRole::kMaster, 8, 4096), "client id 8, not 7"},
        {make_greeting(LinkRole::kMaster, 7, 4096), "Seg_size 4096, not 8192"},
    };
    for (const Case& c : cases) {
        char reason[96];
        EXPECT_TRUE(greeting_refused(decode_greeting(encode_greeting(c.got)), expected, reason));
        EXPECT_STREQ(reason, c.reason);
    }
}

TEST(Greeting, AKeyOnOneEndOnlyIsNamedBeforeAnyOtherField) {
    const Greeting keyless = make_greeting(LinkRole::kMaster, 7, 8192);
    Greeting keyed = keyless;
    keyed.version = kKeyedGreetingVersion;
    Greeting keyed_other_size = keyed;
    keyed_other_size.seg_size = 4096;
    char reason[96];
    EXPECT_TRUE(hello_refused(keyed, keyless, reason));
    EXPECT_STREQ(reason, "a peer with a link key, this end has none");
    EXPECT_TRUE(hello_refused(keyless, keyed, reason));
    EXPECT_STREQ(reason, "a peer without a link key, this end has one");
    EXPECT_TRUE(hello_refused(keyed_other_size, keyed, reason));
    EXPECT_STREQ(reason, "Seg_size 4096, not 8192");
    EXPECT_FALSE(hello_refused(keyed, keyed, reason));
}

// A tag holds for its message at its place in the stream only.
TEST(LinkKey, ATagFailsForAnotherMessageAnotherPlaceOrAnotherLink) {
    LinkKey key;
    key.connecting_proof.fill(3);
    key.listening_proof.fill(4);
    key.session_base.fill(5);
    Transcript transcript{};
    transcript.fill(1);
    LinkSession sender = start_session(key, transcript);
    const std::vector<std::byte> first(8, std::byte{1});
    const std::vector<std::byte> second(8, std::byte{2});
    const Tag tag0 = tag_next(sender, first);
    const Tag tag1 = tag_next(sender, second);
    EXPECT_NE(tag0, tag1);
    LinkSession in_order = start_session(key, transcript);
    EXPECT_TRUE(tag_matches_next(in_order, first, tag0));
    EXPECT_TRUE(tag_matches_next(in_order, second, tag1));
    LinkSession replayed = start_session(key, transcript);
    EXPECT_TRUE(tag_matches_next(replayed, first, tag0));
    EXPECT_FALSE(tag_matches_next(replayed, first, tag0)) << "the same message again";
    LinkSession reordered = start_session(key, transcript);
    EXPECT_FALSE(tag_matches_next(reordered, second, tag1));
    transcript[0] = 2;
    LinkSession other_link = start_session(key, transcript);
    EXPECT_FALSE(tag_matches_next(other_link, first, tag0));
    EXPECT_TRUE(proof_matches(key, LinkEnd::kListening, transcript, proof_of(key, LinkEnd::kListening, transcript)));
    EXPECT_FALSE(proof_matches(key, LinkEnd::kConnecting, transcript, proof_of(key, LinkEnd::kListening, transcript)));
}

TEST(RepeatFilter, SaysAReasonOnceUntilAnotherOneOrAReset) {
    RepeatFilter filter;
    const std::vector<bool> said{filter.fresh("a"), filter.fresh("a"), filter.fresh("b"), filter.fresh("a")};
    EXPECT_EQ(said, (std::vector<bool>{true, false, true, true}));
    filter.reset();
    EXPECT_TRUE(filter.fresh("a"));
}

TEST(LinkState, OneLinePerRowWithItsLastChangeAndRelinks) {
    master::ClientTable clients;
    std::strcpy(clients.rows[0], "gen1");
    std::strcpy(clients.rows[1], "gen2");
    master::RowLinks rows[2];
    master::note_link(rows[0], true, true, 100);
    master::note_link(rows[0], false, true, 101);
    master::note_link(rows[0], true, false, 102);
    master::note_link(rows[0], true, true, 103);
    master::note_link(rows[0], true, true, 104);  // no change
    rows[1].since = 99;
    EXPECT_EQ(master::link_state_text(rows, clients),
              "row=0 host=gen1 to_remote=up from_remote=up since=103 relinks=1\n"
              "row=1 host=gen2 to_remote=down from_remote=down since=99 relinks=0\n");
}

TEST(LinkState, TheFileNamesItsMasterAndReadsBackAsWritten) {
    master::ClientTable clients;
    std::strcpy(clients.rows[0], "gen1");
    master::RowLinks rows[1];
    master::note_link(rows[0], false, true, 7);
    const std::string text = master::link_state_text(4321, rows, clients);
    EXPECT_EQ(text, "master_pid=4321\nrow=0 host=gen1 to_remote=down from_remote=up since=7 relinks=0\n");
    const LinkStateFile file = parse_link_state(text + "master_pid=12x\nmaster_pid=-3\n");
    EXPECT_EQ(file.pid, 4321);
    ASSERT_EQ(file.rows.size(), 1U);
    EXPECT_TRUE(file.rows[0].host == "gen1" && !file.rows[0].to_remote && file.rows[0].from_remote);
    EXPECT_EQ(file.rows[0].since, 7);

    const pid_t ended = fork();
    if (ended == 0) _exit(0);
    ASSERT_GT(ended, 0);
    ASSERT_EQ(waitpid(ended, nullptr, 0), ended);
    EXPECT_FALSE(writing_master_alive({ended, {}}));
    EXPECT_TRUE(writing_master_alive({getpid(), {}}));
    EXPECT_TRUE(writing_master_alive({0, {}}));  // a file that names no master
}

}  // namespace
}  // namespace gorv
