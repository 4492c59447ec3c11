#include "common/secret_file.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <string>

namespace {

struct Case {
    const char* content;
    mode_t mode;
    const char* secret;   // expected when read
    const char* refusal;  // expected when refused
};

TEST(SecretFile, ReadsOneLineFromAPrivateFileAndRefusesEverythingElse) {
    const Case cases[] = {
        {"abc\n", 0600, "abc", nullptr},
        {"abc", 0400, "abc", nullptr},
        {"abc\n", 0640, nullptr, "readable or writable by group or others"},
        {"abc\n", 0604, nullptr, "readable or writable by group or others"},
        {"abc\ndef\n", 0600, nullptr, "more than one line"},
        {"\n", 0600, nullptr, "empty"},
    };
    const std::string path = testing::TempDir() + "secret_file_test";
    for (const Case& c : cases) {
        unlink(path.c_str());
        std::FILE* out = std::fopen(path.c_str(), "w");
        ASSERT_NE(out, nullptr);
        std::fputs(c.content, out);
        std::fclose(out);
        ASSERT_EQ(chmod(path.c_str(), c.mode), 0);
        const gorv::SecretFile file = gorv::read_secret_file(path.c_str());
        if (c.refusal != nullptr) {
            ASSERT_NE(file.refusal, nullptr) << c.content;
            EXPECT_STREQ(file.refusal, c.refusal) << c.content;
        } else {
            EXPECT_EQ(file.refusal, nullptr) << c.content;
            EXPECT_EQ(file.secret, c.secret);
        }
    }
    const std::string link = path + ".link";
    unlink(link.c_str());
    ASSERT_EQ(symlink(path.c_str(), link.c_str()), 0);
    EXPECT_STREQ(gorv::read_secret_file(link.c_str()).refusal, "a symbolic link");
    EXPECT_STREQ(gorv::read_secret_file(testing::TempDir().c_str()).refusal, "not a regular file");
    unlink(link.c_str());
    unlink(path.c_str());
}

}  // namespace
