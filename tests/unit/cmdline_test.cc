// Option parser and configuration reader, run against streamhop's table
// (string, integer, flag and the multiple --outdev option).
#include <gtest/gtest.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>

#include <string>
#include <vector>

#include "cmdline.h"
#include "common/log.h"

namespace {

// A mutable argument vector, as main gets it.
class Args {
public:
    Args(std::initializer_list<const char *> words)
    {
        for (const char *w : words)
            store_.emplace_back(w);
        for (auto &s : store_)
            ptrs_.push_back(&s[0]);
        ptrs_.push_back(nullptr);
    }
    int argc() const { return static_cast<int>(ptrs_.size()) - 1; }
    char **argv() { return ptrs_.data(); }

private:
    std::vector<std::string> store_;
    std::vector<char *> ptrs_;
};

class TempFile {
public:
    explicit TempFile(const std::string &text)
    {
        char name[] = "/tmp/fwcfgXXXXXX";
        int fd = mkstemp(name);
        path_ = name;
        if (fd >= 0) {
            ssize_t n = write(fd, text.data(), text.size());
            (void)n;
            close(fd);
        }
    }
    ~TempFile() { unlink(path_.c_str()); }
    const char *path() const { return path_.c_str(); }

private:
    std::string path_;
};

class Parser : public ::testing::Test {
protected:
    void SetUp() override { memset(&args_info, 0, sizeof args_info); }
    void TearDown() override { cmdline_parser_free(&args_info); }

    // Command line pass as proc_args runs it (no occurrence check).
    void parse(Args args)
    {
        cmdline_parser_params params;
        cmdline_parser_params_init(&params);
        params.check_required = 0;
        cmdline_parser_ext(args.argc(), args.argv(), &args_info, &params);
    }
    // Configuration pass as proc_args runs it after the command line.
    void parse_file(const char *path)
    {
        cmdline_parser_params params;
        cmdline_parser_params_init(&params);
        params.initialize = 0;
        params.override = 0;
        params.check_required = 0;
        cmdline_parser_config_file(path, &args_info, &params);
    }
    void parse_text(const std::string &text)
    {
        TempFile f(text);
        parse_file(f.path());
    }
};

TEST_F(Parser, DefaultsWithoutOptions)
{
    parse({"streamhop"});
    EXPECT_STREQ(args_info.config_arg, "/etc/streamhop.cfg");
    EXPECT_STREQ(args_info.port_arg, "9999");
    EXPECT_STREQ(args_info.dstip_arg, "192.168.10.118");
    EXPECT_STREQ(args_info.dstport_arg, "10000");
    EXPECT_STREQ(args_info.nic_arg, "eth0");
    EXPECT_STREQ(args_info.uuid_arg, "");
    EXPECT_EQ(args_info.debug_arg, 4);
    EXPECT_EQ(args_info.daemon_flag, 0);
    EXPECT_EQ(args_info.outdev_arg, nullptr);
    EXPECT_EQ(args_info.outdev_given, 0u);
    EXPECT_EQ(args_info.outdev_min, 1);
    EXPECT_EQ(args_info.outdev_max, 0);
    EXPECT_EQ(args_info.port_orig, nullptr);
    EXPECT_EQ(args_info.port_given + args_info.debug_given + args_info.help_given, 0u);
    EXPECT_STREQ(args_info.port_help, gengetopt_args_info_help[4]);
}

TEST_F(Parser, IntegerConversionFollowsCBaseRules)
{
    parse({"streamhop", "--debug=0x10"});
    EXPECT_EQ(args_info.debug_arg, 16);
    EXPECT_STREQ(args_info.debug_orig, "0x10");
    cmdline_parser_free(&args_info);
    parse({"streamhop", "-d", "010"});
    EXPECT_EQ(args_info.debug_arg, 8);
    cmdline_parser_free(&args_info);
    parse({"streamhop", "--debug="});
    EXPECT_EQ(args_info.debug_arg, 0);
    cmdline_parser_free(&args_info);
    parse({"streamhop", "--debug=99999999999"});
    EXPECT_EQ(args_info.debug_arg, 2147483647);
}

TEST_F(Parser, FailuresEndWithStatusOne)
{
    EXPECT_EXIT(parse({"streamhop", "--debug=7x"}), ::testing::ExitedWithCode(1),
                "^streamhop: invalid numeric value: 7x\n$");
    EXPECT_EXIT(parse({"streamhop", "--daemon", "--daemon"}), ::testing::ExitedWithCode(1),
                "^streamhop: `--daemon' option given more than once\n$");
    EXPECT_EXIT(parse({"streamhop", "-d1", "--debug=2"}), ::testing::ExitedWithCode(1),
                "^streamhop: `--debug' \\(`-d'\\) option given more than once\n$");
    EXPECT_EXIT(parse({"streamhop", "-c", "x"}), ::testing::ExitedWithCode(1), "");
    EXPECT_EXIT(parse({"streamhop", "--port"}), ::testing::ExitedWithCode(1), "");
    EXPECT_EXIT(parse({"streamhop", "--daemon=1"}), ::testing::ExitedWithCode(1), "");
}

TEST_F(Parser, HelpAndVersionEndWithStatusZero)
{
    EXPECT_EXIT(parse({"streamhop", "-V"}), ::testing::ExitedWithCode(0), "");
    EXPECT_EXIT(parse({"streamhop", "--port=1", "--help"}), ::testing::ExitedWithCode(0), "");
}

TEST_F(Parser, LongNamesMayBeAbbreviated)
{
    parse({"streamhop", "--dstp=20", "--dae", "nonoption"});
    EXPECT_STREQ(args_info.dstport_arg, "20");
    EXPECT_EQ(args_info.daemon_flag, 1);
}

std::vector<std::string> outdevs()
{
    std::vector<std::string> v;
    for (unsigned i = 0; i < args_info.outdev_given; i++)
        v.emplace_back(args_info.outdev_arg[i]);
    return v;
}

TEST_F(Parser, OutdevSplitsAtUnescapedCommas)
{
    using V = std::vector<std::string>;
    parse({"streamhop", "--outdev=eth0,wlan0"});
    EXPECT_EQ(outdevs(), (V{"eth0", "wlan0"}));
    cmdline_parser_free(&args_info);
    parse({"streamhop", "--outdev=a\\,b"});
    EXPECT_EQ(outdevs(), (V{"a,b"}));
    cmdline_parser_free(&args_info);
    parse({"streamhop", "--outdev=eth0,"});
    EXPECT_EQ(outdevs(), (V{"eth0"}));
    cmdline_parser_free(&args_info);
    parse({"streamhop", "--outdev=,a,,b"});
    EXPECT_EQ(outdevs(), (V{"", "a", "", "b"}));
    cmdline_parser_free(&args_info);
    parse({"streamhop", "--outdev="});
    EXPECT_EQ(outdevs(), (V{""}));
    cmdline_parser_free(&args_info);
    parse({"streamhop", "--outdev", "eth0", "--outdev", "eth1"});
    EXPECT_EQ(outdevs(), (V{"eth0", "eth1"}));
    EXPECT_STREQ(args_info.outdev_orig[1], "eth1");
}

TEST_F(Parser, OccurrenceBounds)
{
    parse({"streamhop", "--outdev=a,b,c"});
    EXPECT_EQ(cmdline_parser_required(&args_info, "streamhop"), 0);
    args_info.outdev_max = 2;
    EXPECT_EXIT(cmdline_parser_required(&args_info, "prog"), ::testing::ExitedWithCode(1),
                "^prog: '--outdev' option occurrences must be between 1 and 2\n$");
    args_info.outdev_min = 0;
    EXPECT_EXIT(cmdline_parser_required(&args_info, "prog"), ::testing::ExitedWithCode(1),
                "^prog: '--outdev' option occurrences must be at most 2\n$");
    args_info.outdev_min = 4;
    args_info.outdev_max = 4;
    EXPECT_EXIT(cmdline_parser_required(&args_info, "prog"), ::testing::ExitedWithCode(1),
                "^prog: '--outdev' option occurrences must be 4\n$");
    args_info.outdev_max = 0;
    EXPECT_EXIT(cmdline_parser_required(&args_info, "prog"), ::testing::ExitedWithCode(1),
                "^prog: '--outdev' option occurrences must be at least 4\n$");
}

TEST_F(Parser, ConfigLinesBecomeOptionWords)
{
    parse({"streamhop"});
    parse_text("# comment\n\n   port 9999\n\tdstport=1\r\n"
               "dstip = '10.0.0.1'\nuuid \"a b # c\"   # trailing\n"
               "nic x # note\ndaemon\nd 7\n");
    EXPECT_STREQ(args_info.port_arg, "9999");
    EXPECT_STREQ(args_info.dstport_arg, "1");
    EXPECT_STREQ(args_info.dstip_arg, "10.0.0.1");
    EXPECT_STREQ(args_info.uuid_arg, "a b # c");
    EXPECT_STREQ(args_info.nic_arg, "x");
    EXPECT_EQ(args_info.daemon_flag, 1);
    EXPECT_EQ(args_info.debug_arg, 7);
}

TEST_F(Parser, CommandLineWinsOverFile)
{
    parse({"streamhop", "--port=1", "--outdev=a"});
    parse_text("port 2\noutdev b,c\ndstport 3\n");
    EXPECT_STREQ(args_info.port_arg, "1");
    EXPECT_STREQ(args_info.dstport_arg, "3");
    EXPECT_EQ(outdevs(), (std::vector<std::string>{"a", "b", "c"}));
}

TEST_F(Parser, NameWithoutValueTakesNextWord)
{
    parse({"streamhop"});
    // The next line becomes a word of its own, "--1234", which is the value.
    parse_text("port\n1234\n");
    EXPECT_STREQ(args_info.port_arg, "--1234");
    TempFile last("port\n");
    EXPECT_EXIT(parse_file(last.path()), ::testing::ExitedWithCode(1), "");
}

TEST_F(Parser, FileErrorsNameFileAndLine)
{
    parse({"streamhop"});
    TempFile twice("port 1\nport 2\n");
    EXPECT_EXIT(parse_file(twice.path()), ::testing::ExitedWithCode(1),
                "^streamhop: `--port' option given more than once in configuration file " +
                    std::string(twice.path()) + "\n$");
    TempFile malformed("\nuuid a b\n");
    EXPECT_EXIT(parse_file(malformed.path()), ::testing::ExitedWithCode(1),
                "^streamhop:" + std::string(malformed.path()) +
                    ":2: malformed string in configuration file\n$");
    TempFile glued("uuid a\"b\"\n");
    EXPECT_EXIT(parse_file(glued.path()), ::testing::ExitedWithCode(1), "malformed string");
    TempFile open_quote("uuid 'abc\n");
    EXPECT_EXIT(parse_file(open_quote.path()), ::testing::ExitedWithCode(1),
                ":1: unterminated string in configuration file\n$");
    EXPECT_EXIT(parse_file("/nonexistent/fw.cfg"), ::testing::ExitedWithCode(1),
                "^streamhop: Error opening configuration file '/nonexistent/fw.cfg'\n$");
    TempFile unknown("colour blue\n");
    EXPECT_EXIT(parse_file(unknown.path()), ::testing::ExitedWithCode(1), "colour");
    TempFile help("h\n");
    EXPECT_EXIT(parse_file(help.path()), ::testing::ExitedWithCode(0), "");
}

TEST_F(Parser, LineLengthLimit)
{
    parse({"streamhop"});
    std::string value(2047 - 5, 'v');  // "uuid " + value = 2047 characters
    parse_text("uuid " + value + "\n");
    EXPECT_EQ(strlen(args_info.uuid_arg), value.size());
    cmdline_parser_free(&args_info);
    parse({"streamhop"});
    parse_text("uuid " + value + "\r\n");
    EXPECT_EQ(strlen(args_info.uuid_arg), value.size());
    TempFile longer("port 1\nuuid " + value + "w\n");
    EXPECT_EXIT(parse_file(longer.path()), ::testing::ExitedWithCode(1),
                ":2: Line too long in configuration file\n$");
}

TEST_F(Parser, Includes)
{
    parse({"streamhop"});
    TempFile inner("dstport 77\n");
    parse_text("port 1\ninclude " + std::string(inner.path()) + "\ninclude\nnic z\n");
    EXPECT_STREQ(args_info.port_arg, "1");
    EXPECT_STREQ(args_info.dstport_arg, "77");
    EXPECT_STREQ(args_info.nic_arg, "z");

    TempFile missing("include /nonexistent/inner.cfg\n");
    EXPECT_EXIT(parse_file(missing.path()), ::testing::ExitedWithCode(1),
                "Error opening configuration file '/nonexistent/inner.cfg'");
}

// /dev/zero used to be read for ever, a directory read as an empty file.
TEST_F(Parser, ConfigThatIsNotARegularFileIsRefused)
{
    parse({"streamhop"});
    char dir[] = "/tmp/fwcfgdirXXXXXX";
    ASSERT_NE(mkdtemp(dir), nullptr);
    for (const char *path : {"/dev/zero", static_cast<const char *>(dir)}) {
        std::string refused = std::string("^streamhop: configuration file '") + path +
                              "' is not a regular file\n$";
        EXPECT_EXIT(parse_file(path), ::testing::ExitedWithCode(1), refused);
        TempFile outer(std::string("port 1\ninclude ") + path + "\n");
        EXPECT_EXIT(parse_file(outer.path()), ::testing::ExitedWithCode(1), refused);
    }
    rmdir(dir);
}

// A NUL byte used to cut its line short without a word.
TEST_F(Parser, ConfigLineWithNulIsRefused)
{
    parse({"streamhop"});
    TempFile nul(std::string("port 1\nuuid ab\0cd\n", 17));
    EXPECT_EXIT(parse_file(nul.path()), ::testing::ExitedWithCode(1),
                "^streamhop:" + std::string(nul.path()) + ":2: NUL byte in configuration file\n$");
    TempFile outer("include " + std::string(nul.path()) + "\n");
    EXPECT_EXIT(parse_file(outer.path()), ::testing::ExitedWithCode(1),
                ":2: NUL byte in configuration file\n$");
}

// A read error used to end the file early without a word.  Reading the
// process's own memory at offset 0 fails (nothing is mapped there).
TEST_F(Parser, ConfigReadErrorIsReported)
{
    parse({"streamhop"});
    EXPECT_EXIT(parse_file("/proc/self/mem"), ::testing::ExitedWithCode(1),
                "^streamhop: Error reading configuration file '/proc/self/mem'\n$");
}

TEST(PortNumber, ReadAsTheResolverReadsIt)
{
    long v = -7;
    EXPECT_EQ(port_number("80", &v), 1);
    EXPECT_EQ(v, 80);
    EXPECT_EQ(port_number(" +65535", &v), 1);
    EXPECT_EQ(v, 65535);
    EXPECT_EQ(port_number("65536", &v), 1);
    EXPECT_EQ(v, 65536);
    EXPECT_EQ(port_number("99999999999999999999", &v), 1);
    EXPECT_GT(v, 65535);
    EXPECT_EQ(port_number("-1", &v), 1);
    EXPECT_LT(v, 1);
    EXPECT_EQ(port_number("", &v), 1);
    EXPECT_EQ(v, 0);
    // Service names (anything else) are the resolver's.
    for (const char *name : {"http", "0x50", "80a", " ", "+", "8 0"})
        EXPECT_EQ(port_number(name, &v), 0) << name;
}

class Ports : public Parser {};

// 99999 used to wrap to 34463 in the resolver.
TEST_F(Ports, OutOfRangeEndsWithStatus255)
{
    for (const char *bad : {"0", "65536", "99999", "-1", ""}) {
        Args args{"streamhop", "-f", "/nonexistent/streamhop.cfg", "--dstport", bad};
        EXPECT_EXIT(proc_args(args.argc(), args.argv()), ::testing::ExitedWithCode(255),
                    std::string("^streamhop: `--dstport' port out of range \\(1 to 65535\\): ") +
                        bad + "\n$");
    }
    TempFile f("port 70000\n");
    Args args{"streamhop", "-f", f.path()};
    EXPECT_EXIT(proc_args(args.argc(), args.argv()), ::testing::ExitedWithCode(255),
                "`--port' port out of range");
    Args good{"streamhop", "-f", "/nonexistent/streamhop.cfg", "--port", "65535", "--dstport",
              "echo"};
    proc_args(good.argc(), good.argv());
    EXPECT_EQ(check_ports(&args_info), 0);
    debug = 0;
}

TEST_F(Parser, SelfIncludeIsBounded)
{
    char name[] = "/tmp/fwselfXXXXXX";
    int fd = mkstemp(name);
    ASSERT_GE(fd, 0);
    std::string text = std::string("include ") + name + "\n";
    ASSERT_EQ(write(fd, text.data(), text.size()), static_cast<ssize_t>(text.size()));
    close(fd);
    parse({"streamhop"});
    EXPECT_EXIT(parse_file(name), ::testing::ExitedWithCode(1),
                std::string("configuration file '") + name + "' is included more than");
    unlink(name);
}

TEST_F(Parser, DumpReadsBackAsConfiguration)
{
    parse({"streamhop", "--port=12", "--daemon", "--outdev=a,b c", "-d", "0x7"});
    char name[] = "/tmp/fwdumpXXXXXX";
    close(mkstemp(name));
    ASSERT_EQ(cmdline_parser_file_save(name, &args_info), 0);
    FILE *f = fopen(name, "r");
    char text[512] = {0};
    ASSERT_EQ(fread(text, 1, sizeof text - 1, f) > 0, true);
    fclose(f);
    EXPECT_STREQ(text, "outdev=\"a\"\noutdev=\"b c\"\nport=\"12\"\ndaemon\ndebug=\"0x7\"\n");

    cmdline_parser_free(&args_info);
    parse({"streamhop"});
    parse_file(name);
    EXPECT_STREQ(args_info.port_arg, "12");
    EXPECT_EQ(args_info.debug_arg, 7);
    EXPECT_EQ(args_info.daemon_flag, 1);
    EXPECT_EQ(outdevs(), (std::vector<std::string>{"a", "b c"}));
    unlink(name);

    EXPECT_EQ(cmdline_parser_dump(nullptr, &args_info), 1);
    EXPECT_EQ(cmdline_parser_file_save("/nonexistent/dir/x", &args_info), 1);
}

TEST_F(Parser, ParamsDefaults)
{
    cmdline_parser_params *p = cmdline_parser_params_create();
    EXPECT_EQ(p->override, 0);
    EXPECT_EQ(p->initialize, 1);
    EXPECT_EQ(p->check_required, 1);
    EXPECT_EQ(p->check_ambiguity, 0);
    EXPECT_EQ(p->print_errors, 1);
    free(p);
}

TEST_F(Parser, AmbiguityCheckCountsEarlierPasses)
{
    parse({"streamhop", "--port=1"});
    TempFile f("port 2\n");
    cmdline_parser_params params;
    cmdline_parser_params_init(&params);
    params.initialize = 0;
    params.check_ambiguity = 1;
    EXPECT_EXIT(cmdline_parser_config_file(f.path(), &args_info, &params),
                ::testing::ExitedWithCode(1), "`--port' option given more than once in");
    // With override, the file's value replaces the command line's.
    params.check_ambiguity = 0;
    params.override = 1;
    cmdline_parser_config_file(f.path(), &args_info, &params);
    EXPECT_STREQ(args_info.port_arg, "2");
}

TEST_F(Parser, ProcArgsSetsLogGlobals)
{
    TempFile f("debug 9\n");
    Args args{"streamhop", "-f", f.path(), "--daemon"};
    proc_args(args.argc(), args.argv());
    EXPECT_EQ(debug, 9);
    EXPECT_EQ(daemon_mode, 1);
    debug = 0;
    daemon_mode = 0;
}

TEST_F(Parser, ProcArgsSkipsMissingConfigFile)
{
    Args args{"streamhop", "-f", "/nonexistent/streamhop.cfg", "-d", "5"};
    proc_args(args.argc(), args.argv());
    EXPECT_EQ(debug, 5);
    debug = 0;
}

}  // namespace
