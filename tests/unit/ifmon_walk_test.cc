// The netlink walkers and handlers of the interface monitor on crafted
// kernel buffers.
#include <arpa/inet.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <net/if.h>
#include <string.h>
#include <unistd.h>

#include "common/log.h"
#include "ifmon/ifmon.h"

namespace {

// Builds netlink messages into an aligned buffer.
struct Msg {
    alignas(nlmsghdr) unsigned char buf[512];
    int len = 0;  // bytes used, the last message unpadded

    Msg() { memset(buf, 0, sizeof buf); }

    nlmsghdr *begin(int type, const void *fixed, int fixed_len)
    {
        len = NLMSG_ALIGN(len);
        nlmsghdr *h = reinterpret_cast<nlmsghdr *>(buf + len);
        h->nlmsg_type = type;
        h->nlmsg_len = NLMSG_LENGTH(fixed_len);
        if (fixed_len)
            memcpy(NLMSG_DATA(h), fixed, fixed_len);
        cur = h;
        len += h->nlmsg_len;
        return h;
    }
    void attr(int type, const void *data, int data_len)
    {
        unsigned at = NLMSG_ALIGN(cur->nlmsg_len);
        rtattr *a = reinterpret_cast<rtattr *>(reinterpret_cast<unsigned char *>(cur) + at);
        a->rta_type = type;
        a->rta_len = RTA_LENGTH(data_len);
        if (data_len)
            memcpy(RTA_DATA(a), data, data_len);
        cur->nlmsg_len = at + a->rta_len;
        len = (reinterpret_cast<unsigned char *>(cur) - buf) + cur->nlmsg_len;
    }
    nlmsghdr *cur = nullptr;
};

int count_msg(const nlmsghdr *, int, void *ctx)
{
    ++*static_cast<int *>(ctx);
    return 0;
}

int count_attr(const rtattr *, void *ctx)
{
    ++*static_cast<int *>(ctx);
    return 0;
}

struct StepCall {
    int i;
    IfmonEvent event;
    int fd_open;  // the entry's descriptor was still open when told
};
StepCall calls[16];
int ncalls;
int stop_on_open;

int record_step(int i, IfmonEvent event, const char *, const char *)
{
    if (ncalls < 16)
        calls[ncalls++] = {i, event, sdrfd[i] > 0 && fcntl(sdrfd[i], F_GETFD) >= 0};
    return event == IFMON_OPENED_DUMP && stop_on_open;
}

class Monitor : public ::testing::Test {
protected:
    char *names[2];
    int table[2];

    void use(const char *a, const char *b, int count)
    {
        names[0] = const_cast<char *>(a);
        names[1] = const_cast<char *>(b);
        table[0] = table[1] = -1;
        sdrfd = table;
        ncalls = 0;
        stop_on_open = 0;
        ifmon_setup(SOCK_DGRAM, names, count, record_step);
    }
    void TearDown() override
    {
        for (int fd : table)
            if (fd > 0)
                close(fd);
        sdrfd = nullptr;
        ifmon_setup(SOCK_DGRAM, nullptr, 0, nullptr);
    }
    // SO_BINDTODEVICE needs privileges on older kernels.
    bool can_bind()
    {
        int s = socket(AF_INET, SOCK_DGRAM, 0);
        char opt[32] = "lo";
        bool ok = setsockopt(s, SOL_SOCKET, SO_BINDTODEVICE, opt, sizeof opt) == 0;
        close(s);
        return ok;
    }
};

Msg addr_msg(int type, unsigned index, const char *local)
{
    Msg m;
    ifaddrmsg ifa;
    memset(&ifa, 0, sizeof ifa);
    ifa.ifa_family = AF_INET;
    ifa.ifa_index = index;
    m.begin(type, &ifa, sizeof ifa);
    if (local) {
        in_addr a;
        inet_pton(AF_INET, local, &a);
        m.attr(IFA_ADDRESS, &a, 4);
        m.attr(IFA_LOCAL, &a, 4);
    }
    return m;
}

Msg link_msg(const char *name)
{
    Msg m;
    ifinfomsg ifi;
    memset(&ifi, 0, sizeof ifi);
    ifi.ifi_index = 7;
    m.begin(RTM_NEWLINK, &ifi, sizeof ifi);
    m.attr(IFLA_MTU, "\0\0\0\0", 4);
    m.attr(IFLA_IFNAME, name, strlen(name) + 1);
    return m;
}

}  // namespace

TEST(NetlinkWalk, MessagesAreFramedByTheirCheckedLengths)
{
    Msg m;
    char one = 0;
    m.begin(NLMSG_DONE, &one, 1);  // 17 bytes, padded to 20
    m.begin(RTM_NEWADDR, "12345678", 8);
    m.begin(NLMSG_NOOP, nullptr, 0);
    int n = 0;
    EXPECT_EQ(3, nl_walk(m.buf, m.len, count_msg, &n));
    EXPECT_EQ(3, n);

    // Shorter than a header: nothing.
    EXPECT_EQ(0, nl_walk(m.buf, 15, count_msg, &n));
    // The second message runs past the buffer: only the first is seen.
    EXPECT_EQ(1, nl_walk(m.buf, 20 + 23, count_msg, &n));
    // A length below the header size stops the walk (no endless loop on 0).
    reinterpret_cast<nlmsghdr *>(m.buf + 20)->nlmsg_len = 0;
    EXPECT_EQ(1, nl_walk(m.buf, m.len, count_msg, &n));
    reinterpret_cast<nlmsghdr *>(m.buf)->nlmsg_len = 15;
    EXPECT_EQ(0, nl_walk(m.buf, m.len, count_msg, &n));
    // A huge length is refused, not used.
    reinterpret_cast<nlmsghdr *>(m.buf)->nlmsg_len = 0xfffffff0u;
    EXPECT_EQ(0, nl_walk(m.buf, m.len, count_msg, &n));
}

TEST(NetlinkWalk, AttributesWithOddLengthsStepAligned)
{
    Msg m;
    m.begin(RTM_NEWLINK, "0123456789abcdef", 16);
    m.attr(IFLA_IFNAME, "a", 1);       // rta_len 5, next at +8
    m.attr(IFLA_MTU, "\1\2\3\4", 4);
    m.attr(IFLA_IFNAME, "xyz", 3);     // last, unpadded
    const rtattr *first;
    int len = ifi_attrs(m.cur, &first);
    ASSERT_EQ(5 + 3 + 8 + 7, len);
    int n = 0;
    EXPECT_EQ(3, rta_walk(first, len, count_attr, &n));

    // An attribute claiming more than is left, or less than its header.
    EXPECT_EQ(2, rta_walk(first, len - 1, count_attr, &n));
    const_cast<rtattr *>(first)->rta_len = 3;
    EXPECT_EQ(0, rta_walk(first, len, count_attr, &n));
    EXPECT_EQ(0, rta_walk(first, 3, count_attr, &n));
}

TEST(NetlinkWalk, FixedPartsAndAttributeValuesAreChecked)
{
    Msg m;
    m.begin(RTM_NEWADDR, "1234", 4);  // shorter than ifaddrmsg
    const rtattr *first;
    EXPECT_EQ(-1, ifa_attrs(m.cur, &first));
    Msg l;
    l.begin(RTM_NEWLINK, "12345678", 8);  // shorter than ifinfomsg
    EXPECT_EQ(-1, ifi_attrs(l.cur, &first));

    Msg a = addr_msg(RTM_NEWADDR, 1, nullptr);
    a.attr(IFA_LOCAL, "\1\2\3", 3);
    a.attr(IFLA_IFNAME, "fwd0", 4);                     // not terminated
    a.attr(IFLA_IFNAME, "0123456789abcdef", 17);        // 16 characters
    a.attr(IFLA_IFNAME, "fwd0\0junk", 9);               // terminated inside
    a.attr(IFLA_IFNAME, "", 0);                         // no data at all
    int len = ifa_attrs(a.cur, &first);
    const rtattr *at[5];
    const unsigned char *p = reinterpret_cast<const unsigned char *>(first);
    for (int k = 0; k < 5; k++) {
        at[k] = reinterpret_cast<const rtattr *>(p);
        p += RTA_ALIGN(at[k]->rta_len);
    }
    ASSERT_EQ(p - reinterpret_cast<const unsigned char *>(first), NLMSG_ALIGN(len));
    unsigned int ip;
    EXPECT_EQ(-1, rta_ipv4(at[0], &ip));
    EXPECT_EQ(nullptr, rta_ifname(at[1]));
    EXPECT_EQ(nullptr, rta_ifname(at[2]));
    EXPECT_STREQ("fwd0", rta_ifname(at[3]));
    EXPECT_EQ(nullptr, rta_ifname(at[4]));
}

TEST_F(Monitor, DumpOpensOnlyTheFirstOfEqualNames)
{
    if (!can_bind())
        GTEST_SKIP() << "SO_BINDTODEVICE refused here";
    use("lo", "lo", 2);
    Msg m = link_msg("lo");
    rtnl_print_link(m.cur);
    ASSERT_EQ(1, ncalls);
    EXPECT_EQ(0, calls[0].i);
    EXPECT_EQ(IFMON_OPENED_DUMP, calls[0].event);
    EXPECT_GT(table[0], 0);
    EXPECT_EQ(-1, table[1]);

    // Listed again: the old socket is announced as closing while still open.
    rtnl_print_link(m.cur);
    ASSERT_EQ(3, ncalls);
    EXPECT_EQ(IFMON_CLOSING, calls[1].event);
    EXPECT_TRUE(calls[1].fd_open);
    EXPECT_EQ(IFMON_OPENED_DUMP, calls[2].event);

    // A name that is not configured leaves the table alone.
    int before = table[0];
    Msg other = link_msg("eth9");
    rtnl_print_link(other.cur);
    EXPECT_EQ(3, ncalls);
    EXPECT_EQ(before, table[0]);
}

TEST_F(Monitor, AddressNotificationsReopenAndClose)
{
    if (!can_bind())
        GTEST_SKIP() << "SO_BINDTODEVICE refused here";
    unsigned lo = if_nametoindex("lo");
    ASSERT_GT(lo, 0u);
    use("nothere", "lo", 2);
    int saved_debug = debug;
    debug = 0;

    Msg add = addr_msg(RTM_NEWADDR, lo, "127.0.0.9");
    testing::internal::CaptureStdout();
    rtm_newaddr(add.cur);
    EXPECT_EQ("lo is add 127.0.0.9\n", testing::internal::GetCapturedStdout());
    ASSERT_EQ(1, ncalls);
    EXPECT_EQ(1, calls[0].i);
    EXPECT_EQ(IFMON_REOPENED, calls[0].event);
    EXPECT_GT(table[1], 0);
    EXPECT_EQ(-1, table[0]);

    // Without IFA_LOCAL: re-opened all the same, nothing printed.
    Msg bare = addr_msg(RTM_NEWADDR, lo, nullptr);
    testing::internal::CaptureStdout();
    rtm_newaddr(bare.cur);
    EXPECT_EQ("", testing::internal::GetCapturedStdout());
    ASSERT_EQ(3, ncalls);
    EXPECT_EQ(IFMON_CLOSING, calls[1].event);
    EXPECT_TRUE(calls[1].fd_open);
    EXPECT_EQ(IFMON_REOPENED, calls[2].event);

    // lo keeps 127.0.0.1: the removal is printed, the entry stays open.
    Msg del = addr_msg(RTM_DELADDR, lo, "127.0.0.9");
    testing::internal::CaptureStdout();
    rtm_deladdr(del.cur);
    EXPECT_EQ("lo is del 127.0.0.9\n", testing::internal::GetCapturedStdout());
    EXPECT_EQ(3, ncalls);
    EXPECT_GT(table[1], 0);
    EXPECT_TRUE(ifmon_present(1));

    // An index without a name, and a truncated message: ignored.
    Msg gone = addr_msg(RTM_NEWADDR, 0x7ffffff0, "10.0.0.1");
    rtm_newaddr(gone.cur);
    Msg shortmsg;
    shortmsg.begin(RTM_NEWADDR, "1234", 4);
    rtm_newaddr(shortmsg.cur);
    EXPECT_EQ(3, ncalls);
    EXPECT_GT(table[1], 0);
    debug = saved_debug;
}

TEST_F(Monitor, WithoutOutdevValuesNothingIsTouched)
{
    use("lo", "lo", 0);
    Msg add = addr_msg(RTM_NEWADDR, if_nametoindex("lo"), nullptr);
    rtm_newaddr(add.cur);
    Msg m = link_msg("lo");
    rtnl_print_link(m.cur);
    EXPECT_EQ(0, ncalls);
    EXPECT_EQ(-1, table[0]);
}

TEST_F(Monitor, ReconcileSetsEveryEntryFromTheKernel)
{
    if (!can_bind())
        GTEST_SKIP() << "SO_BINDTODEVICE refused here";
    use("lo", "nothere", 2);
    if (ifmon_reconcile("test") < 0)
        GTEST_SKIP() << "no address dump from the kernel here";
    // lo has 127.0.0.1: opened and announced; the missing one stays closed.
    ASSERT_EQ(1, ncalls);
    EXPECT_EQ(0, calls[0].i);
    EXPECT_EQ(IFMON_REOPENED, calls[0].event);
    EXPECT_GT(table[0], 0);
    EXPECT_EQ(-1, table[1]);
    EXPECT_TRUE(ifmon_present(0));
    EXPECT_FALSE(ifmon_present(1));

    // In step already: nothing touched.
    int fd = table[0];
    ASSERT_EQ(0, ifmon_reconcile("test"));
    EXPECT_EQ(1, ncalls);
    EXPECT_EQ(fd, table[0]);

    // Closed by the program meanwhile: still present, so opened again.
    ifmon_close(0, "test");
    EXPECT_EQ(-1, table[0]);
    EXPECT_TRUE(ifmon_present(0));
    ASSERT_EQ(0, ifmon_reconcile("test"));
    ASSERT_EQ(3, ncalls);
    EXPECT_EQ(IFMON_CLOSING, calls[1].event);
    EXPECT_EQ(IFMON_REOPENED, calls[2].event);
    EXPECT_GT(table[0], 0);

    // An entry open for an interface without an address is closed, after
    // the program was told while the descriptor was still open.
    table[1] = socket(AF_INET, SOCK_DGRAM, 0);
    ASSERT_EQ(0, ifmon_reconcile("test"));
    ASSERT_EQ(4, ncalls);
    EXPECT_EQ(1, calls[3].i);
    EXPECT_EQ(IFMON_CLOSING, calls[3].event);
    EXPECT_TRUE(calls[3].fd_open);
    EXPECT_EQ(-1, table[1]);
}

TEST_F(Monitor, EntrySocketsAreNonBlocking)
{
    if (!can_bind())
        GTEST_SKIP() << "SO_BINDTODEVICE refused here";
    use("lo", "nothere", 2);
    ASSERT_GT(ifmon_open(0, "test"), 0);
    EXPECT_TRUE(fcntl(table[0], F_GETFL) & O_NONBLOCK);
    EXPECT_EQ(-1, ifmon_open(1, "test"));
}

namespace {

Msg link_change(int type, int index, const char *name)
{
    Msg m;
    ifinfomsg ifi;
    memset(&ifi, 0, sizeof ifi);
    ifi.ifi_index = index;
    m.begin(type, &ifi, sizeof ifi);
    m.attr(IFLA_IFNAME, name, strlen(name) + 1);
    return m;
}

}  // namespace

TEST_F(Monitor, AnInterfaceThatGoesOrIsRenamedClosesItsEntryByIndex)
{
    if (!can_bind())
        GTEST_SKIP() << "SO_BINDTODEVICE refused here";
    int lo = (int)if_nametoindex("lo");
    ASSERT_GT(lo, 0);
    use("nothere", "lo", 2);
    int saved_debug = debug;
    debug = 0;
    Msg add = addr_msg(RTM_NEWADDR, lo, nullptr);
    rtm_newaddr(add.cur);
    ASSERT_GT(table[1], 0);
    int opened = ncalls;

    // A change of the link that keeps its name, or of another link: nothing.
    Msg same = link_change(RTM_NEWLINK, lo, "lo");
    rtm_link(same.cur);
    Msg other = link_change(RTM_DELLINK, lo + 1000, "lo");
    rtm_link(other.cur);
    EXPECT_EQ(opened, ncalls);
    EXPECT_GT(table[1], 0);

    // Renamed: the entry closes (the program told first), and stays closed.
    Msg renamed = link_change(RTM_NEWLINK, lo, "lo9");
    rtm_link(renamed.cur);
    ASSERT_EQ(opened + 1, ncalls);
    EXPECT_EQ(IFMON_CLOSING, calls[opened].event);
    EXPECT_TRUE(calls[opened].fd_open);
    EXPECT_EQ(-1, table[1]);
    EXPECT_FALSE(ifmon_present(1));

    // Back with an address, then removed: closed again.
    rtm_newaddr(add.cur);
    ASSERT_GT(table[1], 0);
    Msg removed = link_change(RTM_DELLINK, lo, "lo");
    rtm_link(removed.cur);
    EXPECT_EQ(-1, table[1]);
    EXPECT_FALSE(ifmon_present(1));
    EXPECT_EQ(IFMON_CLOSING, calls[ncalls - 1].event);
    debug = saved_debug;
}
