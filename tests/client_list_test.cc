#include "master/client_list.h"

#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

namespace gorv::master {
namespace {

struct ListRead {
    ClientListResult result;
    std::string out;
    std::vector<std::string> rows;
};

ListRead read_list(const std::string& text) {
    std::FILE* file = std::tmpfile();
    std::fwrite(text.data(), 1, text.size(), file);
    std::rewind(file);
    auto table = std::make_unique<ClientTable>();
    testing::internal::CaptureStdout();
    const ClientListResult result = read_client_lines(file, *table);
    ListRead read{result, testing::internal::GetCapturedStdout(), {}};
    std::fclose(file);
    for (int i = 0; i < table->row_count; ++i) read.rows.emplace_back(table->rows[i]);
    return read;
}

using Rows = std::vector<std::string>;

TEST(ClientList, WorkedExampleGivesThreeRows) {
    const ListRead read = read_list(
        "# two load generators on gen1, one on gen2\n"
        "Clientname=gen1 Instances=2\n"
        "instances=1 CLIENTNAME=gen2\n");
    EXPECT_TRUE(read.result.ok);
    EXPECT_EQ(read.rows, (Rows{"gen1", "gen1", "gen2"}));
    EXPECT_EQ(read.out, "Clientname is gen1\nClientname is gen1\nClientname is gen2\n");
}

TEST(ClientList, KeywordsStandAnywhereInAnyCaseAndTheFirstCounts) {
    EXPECT_EQ(read_list("XInstances=4 clientNAME=a\n").rows, (Rows{"a", "a", "a", "a"}));
    EXPECT_EQ(read_list("Clientname=a Clientname=b\n").rows, (Rows{"a"}));
    EXPECT_EQ(read_list(" #Clientname=gen9\n").rows, (Rows{"gen9"}));
}

TEST(ClientList, OnlyABlankEndsAValue) {
    EXPECT_EQ(read_list("Clientname=gen1\tInstances=2\n").rows, (Rows{"gen1\tInstances=2", "gen1\tInstances=2"}));
    // Carriage returns stay part of the line; the count still reads 2.
    EXPECT_EQ(read_list("Clientname=gen1\r\n").rows, (Rows{"gen1\r"}));
    EXPECT_EQ(read_list("Clientname=gen1 Instances=2\r\n").rows, (Rows{"gen1", "gen1"}));
    // A value keeps its first 255 characters: 254 zeros and a 1, not 17.
    EXPECT_EQ(read_list("Clientname=a Instances=" + std::string(254, '0') + "17\n").rows, (Rows{"a"}));
}

TEST(ClientList, InstancesCarriesOverToLaterLines) {
    EXPECT_EQ(read_list("Clientname=gen1 Instances=3\nClientname=gen2\n").rows.size(), 6u);
    EXPECT_EQ(read_list("Clientname=gen1 Instances=3\nClientname=gen2 Instances=\n").rows.size(), 4u);
    EXPECT_EQ(read_list("Clientname=gen1\nClientname=gen2 Instances=2\nClientname=gen3\n").rows,
              (Rows{"gen1", "gen2", "gen2", "gen3", "gen3"}));
}

TEST(ClientList, CountsBelowOneStoreNothingAlsoWhenCarriedOver) {
    const ListRead read =
        read_list("Clientname=a Instances=0\nClientname=b\nClientname=c Instances=-3\nClientname=d Instances=abc\n");
    EXPECT_TRUE(read.result.ok);
    EXPECT_TRUE(read.rows.empty());
    EXPECT_EQ(read.out, "");
    EXPECT_TRUE(read_list("Clientname=a Instances=255\nClientname=b Instances=0\n").result.ok);
}

TEST(ClientList, CommentsAndEmptyFilesGiveNoRows) {
    EXPECT_TRUE(read_list("").rows.empty());
    const ListRead read = read_list("#Clientname=gen9\n# another\n");
    EXPECT_TRUE(read.result.ok);
    EXPECT_TRUE(read.rows.empty());
}

TEST(ClientList, RefusedLinesPrintTheirMessagesAfterTheRowsSoFar) {
    const ListRead empty_line = read_list("Clientname=gen1\n\n");
    EXPECT_FALSE(empty_line.result.ok);
    EXPECT_EQ(empty_line.result.exit_status, 1);
    EXPECT_EQ(empty_line.out,
              "Clientname is gen1\nParsing error while looking for Clientname=\nError parsing config\n");

    const ListRead missing = read_list("Clientname= gen1\n");
    EXPECT_EQ(missing.result.exit_status, 1);
    EXPECT_EQ(missing.out, "Clientname is missing\nError validating config\n");

    EXPECT_EQ(read_list("Instances=2\n").out, "Parsing error while looking for Clientname=\nError parsing config\n");
}

TEST(ClientList, AHostNameWithNoRoomForItsEndIsRefused) {
    const ListRead longest = read_list("Clientname=" + std::string(254, 'h') + "\n");
    EXPECT_TRUE(longest.result.ok);
    EXPECT_EQ(longest.rows, (Rows{std::string(254, 'h')}));

    const ListRead too_long = read_list("Clientname=" + std::string(300, 'h') + "\n");
    EXPECT_FALSE(too_long.result.ok);
    EXPECT_EQ(too_long.result.exit_status, 1);
    EXPECT_EQ(too_long.out,
              "Clientname of 255 characters is too long: a row holds at most 254\nError validating config\n");
}

TEST(ClientList, TheTwoHundredFiftySixthClientIsRefusedAndNeverStored) {
    EXPECT_EQ(read_list("Clientname=gen1 Instances=255\n").rows.size(), 255u);

    const ListRead over = read_list("Clientname=gen1 Instances=255\nClientname=gen2 Instances=1\n");
    EXPECT_FALSE(over.result.ok);
    EXPECT_EQ(over.rows.size(), 255u);
    EXPECT_EQ(over.out.find("gen2"), std::string::npos);
    EXPECT_TRUE(over.out.ends_with("Clientname is gen1\nMaster: Too many clients. Increase MAXREMOTES and recompile.\n"));

    const ListRead crossing = read_list("Clientname=a Instances=254\nClientname=b Instances=2147483647\n");
    EXPECT_EQ(crossing.rows.size(), 255u);
    EXPECT_EQ(crossing.rows.back(), "b");
    EXPECT_TRUE(crossing.out.ends_with(
        "Clientname is a\nClientname is b\nMaster: Too many clients. Increase MAXREMOTES and recompile.\n"));
}

TEST(ClientList, LongLinesAreReadInPiecesOf599Characters) {
    const std::string head = "Clientname=gen1";
    const std::string line_598 = head + std::string(598 - head.size(), ' ');
    EXPECT_EQ(read_list(line_598 + "\n").rows, (Rows{"gen1"}));

    // 599 characters: the newline comes as a piece of its own, an empty line.
    const std::string line_599 = line_598 + " ";
    EXPECT_EQ(read_list(line_599 + "\n").out,
              "Clientname is gen1\nParsing error while looking for Clientname=\nError parsing config\n");

    // Only the first piece of a long comment is a comment.
    const std::string comment = "#" + std::string(598, 'c');
    EXPECT_EQ(read_list(comment + "Clientname=tail\n").rows, (Rows{"tail"}));
}

TEST(FindKeyword, MatchesCaseInsensitivelyAnywhere) {
    const char* line = "xx CLIENTNAME=a";
    EXPECT_EQ(find_keyword(line, "Clientname="), line + 3);
    EXPECT_EQ(find_keyword(line, ""), line);
    EXPECT_EQ(find_keyword("Clientname", "Clientname="), nullptr);
    EXPECT_EQ(find_keyword("", "a"), nullptr);
}

}  // namespace
}  // namespace gorv::master
