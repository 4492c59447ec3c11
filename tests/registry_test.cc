#include "common/registry.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <fstream>
#include <sstream>
#include <string>

namespace gorv {
namespace {

class RegistryFile : public testing::Test {
  protected:
    void SetUp() override {
        char pattern[] = "/tmp/registry_test_XXXXXX";
        const int fd = mkstemp(pattern);
        ASSERT_GE(fd, 0);
        close(fd);
        path_ = pattern;
    }
    void TearDown() override { unlink(path_.c_str()); }

    std::string contents() const {
        std::ifstream file(path_);
        std::ostringstream text;
        text << file.rdbuf();
        return text.str();
    }
    void put(const std::string& text) const { std::ofstream(path_) << text; }

    std::string path_;
};

TEST_F(RegistryFile, MasterRegistryHasItsTwoExactLinesAndReadsBack) {
    const MasterRegistry written{{0x3141592, 8192, 2, 4096}, {0x3141593, 8192, 2, 4096}};
    ASSERT_TRUE(write_master_registry(path_.c_str(), written));
    EXPECT_EQ(contents(),
              "GORV_MO_key 0x3141592 GORV_MO_size 8192 Number_of_segs 2 Seg_size 4096\n"
              "GORV_RO_key 0x3141593 GORV_RO_size 8192 Number_of_segs 2 Seg_size 4096\n");

    const auto read = read_master_registry(path_.c_str());
    ASSERT_TRUE(read.has_value());
    EXPECT_EQ(read->mo.key, 0x3141592u);
    EXPECT_EQ(read->ro.key, 0x3141593u);
    EXPECT_EQ(read->ro.size, 8192);
    EXPECT_EQ(read->ro.number_of_segs, 2);
    EXPECT_EQ(read->ro.seg_size, 4096);
}

TEST_F(RegistryFile, ClientRegistryEndsItsFirstLineWithABlank) {
    ASSERT_TRUE(write_client_registry(path_.c_str(), 0x271828b, 0x271828c, 4096));
    EXPECT_EQ(contents(), "GORV_MO_key 0x271828b GORV_MO_size 4096 \nGORV_RO_key 0x271828c GORV_RO_size 4096\n");
}

TEST_F(RegistryFile, ClientRegistryReadsBackAsWritten) {
    ASSERT_TRUE(write_client_registry(path_.c_str(), 0x271828b, 0x271828c, 8192));
    const auto read = read_client_registry(path_.c_str());
    ASSERT_TRUE(read.has_value());
    EXPECT_EQ(read->mo_key, 0x271828bu);
    EXPECT_EQ(read->mo_size, 8192);
    EXPECT_EQ(read->ro_key, 0x271828cu);
    EXPECT_EQ(read->ro_size, 8192);

    put("GORV_MO_key 0x271828b GORV_MO_size 8192 \n");
    const auto half = read_client_registry(path_.c_str());
    EXPECT_EQ(half->mo_size, 8192);
    EXPECT_EQ(half->ro_key, 0u);
    EXPECT_FALSE(read_client_registry("/nonexistent/registry").has_value());
}

TEST_F(RegistryFile, NumbersThatCannotBeReadStayZero) {
    put("GORV_MO_key 0x3141592 GORV_MO_size 4096\n");
    auto read = read_master_registry(path_.c_str());
    EXPECT_EQ(read->mo.key, 0x3141592u);
    EXPECT_EQ(read->mo.size, 4096);
    EXPECT_EQ(read->mo.number_of_segs, 0);
    EXPECT_EQ(read->ro.key, 0u);

    // A short MO line does not keep the RO line from being read.
    put("GORV_MO_key 0x1 GORV_MO_size 5\nGORV_RO_key 0x3141593 GORV_RO_size 12288 Number_of_segs 3 Seg_size 4096\n");
    read = read_master_registry(path_.c_str());
    EXPECT_EQ(read->ro.size, 12288);
    EXPECT_EQ(read->ro.number_of_segs, 3);

    put("garbage\n");
    read = read_master_registry(path_.c_str());
    EXPECT_EQ(read->mo.size, 0);
    EXPECT_EQ(read->ro.size, 0);
}

TEST_F(RegistryFile, MissingFileIsNoRegistry) {
    EXPECT_FALSE(read_master_registry("/nonexistent/gorv_master_registry").has_value());
    EXPECT_FALSE(write_master_registry("/nonexistent/gorv_master_registry", {}));
}

}  // namespace
}  // namespace gorv
