// dgramhop builds the common header with hyphenated MAC text and a text dump;
// each source file has its own copies of these helpers.
#define FW_MAC_HYPHEN
#define FW_TEXT_DUMP
#include <gtest/gtest.h>
#include <stdio.h>
#include <unistd.h>

#include <string>

#include "common/log.h"

TEST(LogDgramhop, HyphenatedMac)
{
    const unsigned char mac[6] = {0xde, 0xad, 0xbe, 0xef, 0x00, 0x01};
    EXPECT_STREQ(mac_ntoa(mac), "de-ad-be-ef-00-01");
}

TEST(LogDgramhop, TextDump)
{
    fflush(stderr);
    FILE *f = tmpfile();
    int saved = dup(2);
    dup2(fileno(f), 2);
    debug = 7;
    dump_text_debug("got: ", "abc", 3);
    debug = 6;
    dump_text_debug("hidden", "abc", 3);
    debug = 0;
    fflush(stderr);
    dup2(saved, 2);
    close(saved);
    rewind(f);
    char buf[64] = {0};
    size_t n = fread(buf, 1, sizeof buf - 1, f);
    fclose(f);
    EXPECT_EQ(std::string(buf, n), "got: abc\n");
}
