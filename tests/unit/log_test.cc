// Log levels, the line prefix and the hex dump layout.
#include <errno.h>
#include <gtest/gtest.h>
#include <string.h>
#include <stdio.h>
#include <unistd.h>

#include <string>

#include "common/log.h"

namespace {

// Collects what the code under test writes to stderr.
class StderrCapture {
public:
    StderrCapture()
    {
        fflush(stderr);
        file_ = tmpfile();
        saved_ = dup(2);
        dup2(fileno(file_), 2);
    }
    std::string text()
    {
        fflush(stderr);
        dup2(saved_, 2);
        close(saved_);
        std::string out;
        rewind(file_);
        char buf[4096];
        size_t n;
        while ((n = fread(buf, 1, sizeof buf, file_)) > 0)
            out.append(buf, n);
        fclose(file_);
        return out;
    }

private:
    FILE *file_;
    int saved_;
};

int evaluations;
const char *counted() { ++evaluations; return "x"; }

std::string log_all_levels(int level)
{
    debug = level;
    StderrCapture cap;
    log_err("e\n");
    log_warning("w\n");
    log_info("i\n");
    log_debug("d %s\n", counted());
    std::string out = cap.text();
    debug = 0;
    return out;
}

std::string levels_seen(const std::string &out)
{
    std::string seen;
    for (const char *w : {"ERR: e", "WARNING: w", "INFO: i", "DEBUG: d"})
        if (out.find(w) != std::string::npos)
            seen += w[0];
    return seen;
}

TEST(Log, Thresholds)
{
    EXPECT_EQ(levels_seen(log_all_levels(-1)), "");
    EXPECT_EQ(levels_seen(log_all_levels(0)), "");
    EXPECT_EQ(levels_seen(log_all_levels(3)), "E");
    EXPECT_EQ(levels_seen(log_all_levels(4)), "EW");
    EXPECT_EQ(levels_seen(log_all_levels(5)), "EW");
    EXPECT_EQ(levels_seen(log_all_levels(6)), "EWI");
    EXPECT_EQ(levels_seen(log_all_levels(7)), "EWID");
}

TEST(Log, ArgumentsBelowThresholdAreNotEvaluated)
{
    evaluations = 0;
    log_all_levels(6);
    EXPECT_EQ(evaluations, 0);
    log_all_levels(7);
    EXPECT_EQ(evaluations, 1);
}

TEST(Log, LinePrefix)
{
    debug = 4;
    StderrCapture cap;
    int line = __LINE__ + 1;
    log_warning("n=%d", 5);
    std::string out = cap.text();
    debug = 0;
    EXPECT_EQ(out, "log_test.cc +" + std::to_string(line) + " TestBody(): WARNING: n=5");
}

TEST(Log, LongRecordIsWhole)
{
    std::string text(3000, 'x');
    debug = 3;
    StderrCapture cap;
    int line = __LINE__ + 1;
    log_err("%s|%d", text.c_str(), 7);
    std::string out = cap.text();
    debug = 0;
    EXPECT_EQ(out, "log_test.cc +" + std::to_string(line) + " TestBody(): ERR: " + text + "|7");
}

TEST(Log, ErrnoTextOfTheCaller)
{
    debug = 3;
    StderrCapture cap;
    errno = EBADF;
    log_err("f: %m(%d)", errno);
    std::string out = cap.text();
    debug = 0;
    std::string want = std::string("f: ") + strerror(EBADF) + "(" + std::to_string(EBADF) + ")";
    ASSERT_GE(out.size(), want.size());
    EXPECT_EQ(out.substr(out.size() - want.size()), want);
}

std::string dump(int level, int count)
{
    unsigned char bytes[32];
    for (int i = 0; i < 32; i++)
        bytes[i] = static_cast<unsigned char>(i);
    debug = level;
    StderrCapture cap;
    dump_hex_debug("head", bytes, count);
    std::string out = cap.text();
    debug = 0;
    return out;
}

TEST(Log, HexDumpLayout)
{
    EXPECT_EQ(dump(7, 20),
              "head\n00 01 02 03 04 05 06 07    08 09 0a 0b 0c 0d 0e 0f    \n10 11 12 13 \n");
    EXPECT_EQ(dump(7, 16), "head\n00 01 02 03 04 05 06 07    08 09 0a 0b 0c 0d 0e 0f    \n\n");
    EXPECT_EQ(dump(7, 0), "head\n\n");
    EXPECT_EQ(dump(6, 20), "");
    EXPECT_EQ(dump(0, 20), "");
}

TEST(Log, MacText)
{
    const unsigned char a[6] = {0x00, 0x1a, 0x2b, 0x3c, 0x4d, 0xff};
    const unsigned char b[6] = {1, 2, 3, 4, 5, 6};
    const char *first = mac_ntoa(a);
    EXPECT_STREQ(first, "00:1a:2b:3c:4d:ff");
    const char *second = mac_ntoa(b);
    EXPECT_EQ(first, second);  // one static buffer per source file
    EXPECT_STREQ(second, "01:02:03:04:05:06");
}

}  // namespace
