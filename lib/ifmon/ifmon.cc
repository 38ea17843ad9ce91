#include "ifmon/ifmon.h"

#include <arpa/inet.h>
#include <errno.h>
#include <fcntl.h>
#include <net/if.h>
#include <netinet/in.h>
#include <stddef.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <unistd.h>

#include "common/buffer.h"
#include "common/log.h"
#include "common/net.h"

int *sdrfd;
NetlinkWatch st;

static int entry_kind = SOCK_DGRAM;
static char **outdev_names;
unsigned ifmon_outdev_count;
static IfmonStep entry_step;
// The monitor socket's receive buffer grows after an overrun up to this.
static const int kMonitorBufMax = 4 << 20;
// Per entry: the interface is there with an address as far as the monitor
// knows, so the entry belongs open (the program may close it for a while).
static unsigned char *entry_present;
// Per entry, filled by each address dump: its interface has an IPv4 address
// in the kernel's list (the second half of entry_present's block, so that no
// handler allocates).
static unsigned char *entry_has;
// Per entry: the kernel's index of its interface when last seen (0 none),
// so that an entry is closed when that interface goes, even once its name
// can no longer be looked up.
static int *entry_ifindex;
// Set when the program's step tore the cycle down during the dump.
static int dump_abandoned;
// An address dump is asked again at most this often when the kernel says
// addresses changed while it answered; then the table is set from a later
// dump (every change is also a notice, which brings ipstat_cb back).
static const int kDumpTries = 3;
static const int kDumpInterrupted = -2;
static int recheck;

void ifmon_setup(int sock_type, char **outdev, unsigned count, IfmonStep step)
{
    entry_kind = sock_type;
    outdev_names = outdev;
    ifmon_outdev_count = count;
    entry_step = step;
    free(entry_present);
    free(entry_ifindex);
    entry_present = static_cast<unsigned char *>(ss_malloc(2 * (count + 1)));
    entry_has = entry_present + count + 1;
    entry_ifindex = static_cast<int *>(ss_malloc(sizeof(int) * (count + 1)));
}

int ifmon_present(int i)
{
    return entry_present && i >= 0 && (unsigned)i < ifmon_outdev_count && entry_present[i];
}

static int tell_step(int i, IfmonEvent event, const char *name, const char *func)
{
    return entry_step ? entry_step(i, event, name, func) : 0;
}

int nl_walk(const void *buf, int len, NlVisit visit, void *ctx)
{
    const char *p = static_cast<const char *>(buf);
    int left = len;
    int visited = 0;
    while (left >= (int)sizeof(nlmsghdr)) {
        const nlmsghdr *nlh = reinterpret_cast<const nlmsghdr *>(p);
        if (nlh->nlmsg_len < sizeof(nlmsghdr) || nlh->nlmsg_len > (unsigned)left)
            break;
        visited++;
        if (visit(nlh, left, ctx))
            break;
        unsigned step = NLMSG_ALIGN(nlh->nlmsg_len);
        if (step >= (unsigned)left)
            break;
        left -= (int)step;
        p += step;
    }
    return visited;
}

int rta_walk(const void *start, int len, RtaVisit visit, void *ctx)
{
    const char *p = static_cast<const char *>(start);
    int left = len;
    int visited = 0;
    while (left >= (int)sizeof(rtattr)) {
        const rtattr *rta = reinterpret_cast<const rtattr *>(p);
        if (rta->rta_len < sizeof(rtattr) || rta->rta_len > left)
            break;
        visited++;
        if (visit(rta, ctx))
            break;
        int step = RTA_ALIGN(rta->rta_len);
        if (step >= left)
            break;
        left -= step;
        p += step;
    }
    return visited;
}

static int fixed_attrs(const nlmsghdr *nlh, size_t fixed, const rtattr **first)
{
    size_t head = NLMSG_LENGTH(fixed);
    if (nlh->nlmsg_len < head)
        return -1;
    *first = reinterpret_cast<const rtattr *>(reinterpret_cast<const char *>(nlh) + head);
    return (int)(nlh->nlmsg_len - head);
}

int ifa_attrs(const nlmsghdr *nlh, const rtattr **first)
{
    return fixed_attrs(nlh, sizeof(ifaddrmsg), first);
}

int ifi_attrs(const nlmsghdr *nlh, const rtattr **first)
{
    return fixed_attrs(nlh, sizeof(ifinfomsg), first);
}

const char *rta_ifname(const rtattr *rta)
{
    if (rta->rta_len < RTA_LENGTH(0))
        return NULL;
    const char *data = static_cast<const char *>(RTA_DATA(rta));
    size_t room = rta->rta_len - RTA_LENGTH(0);
    const char *end = static_cast<const char *>(memchr(data, 0, room));
    if (!end || end - data >= IF_NAMESIZE)
        return NULL;
    return data;
}

int rta_ipv4(const rtattr *rta, unsigned int *addr)
{
    if (RTA_PAYLOAD(rta) < 4)
        return -1;
    memcpy(addr, RTA_DATA(rta), 4);
    return 0;
}

// The index of the --outdev value `name`, or -1; lines carry `func` (none
// when func is NULL).
static int find_outdev(const char *func, const char *name)
{
    if (!sdrfd)
        return -1;
    for (unsigned i = 0; i < ifmon_outdev_count; i++) {
        if (strcmp(name, outdev_names[i]) == 0)
            return (int)i;
        if (func)
            log_debug_as(func, "eth: %s not hit %s", name, outdev_names[i]);
    }
    return -1;
}

// The entry whose interface had kernel index `index`, or -1.
static int entry_of_index(int index)
{
    for (unsigned i = 0; sdrfd && index > 0 && i < ifmon_outdev_count; i++)
        if (entry_ifindex[i] == index)
            return (int)i;
    return -1;
}

// Closes entry i after telling the program, so it can stop its watchers.
static void close_entry(int i, const char *name, const char *func)
{
    if (sdrfd[i] > 0) {
        tell_step(i, IFMON_CLOSING, name, func);
        close(sdrfd[i]);
    }
    sdrfd[i] = -1;
}

// Entry i's interface has no IPv4 address left, or is gone: closed until
// an interface of its name gets an address.
__attribute__((noinline)) static void drop_entry(int i, int gone, const char *func)
{
    if (gone)
        log_info_as(func, "%s is gone, sdrfd[%d] = %d closed", outdev_names[i], i, sdrfd[i]);
    close_entry(i, outdev_names[i], func);
    entry_present[i] = 0;
    entry_ifindex[i] = 0;
}

// A fresh socket of the program's kind in entry i, bound to interface name.
static void open_entry(int i, const char *name, const char *func)
{
    close_entry(i, name, func);
    int fd = socket(AF_INET, entry_kind, 0);
    if (fd == 0) {
        // With standard input closed the socket can come out as 0, which
        // every user of the table reads as "no socket": move it up.
        int moved = fcntl(fd, F_DUPFD, 1);
        close(fd);
        fd = moved;
    }
    if (fd < 0)
        log_err_as(func, "socket failed: %m(%d)", errno);
    sdrfd[i] = fd;
    // A socket that cannot take more must say so, never stop the loop.
    if (fd > 0)
        setnonblocking(fd);

    char opt[32];
    memset(opt, 0, sizeof opt);
    strncpy(opt, name, IF_NAMESIZE - 1);
    if (setsockopt(sdrfd[i], SOL_SOCKET, SO_BINDTODEVICE, opt, sizeof opt) < 0) {
        log_err_as(func, "bind nic %s failed: %m(%d)", name, errno);
        if (sdrfd[i] > 0)
            close(sdrfd[i]);
        sdrfd[i] = -1;
    }
}

int ifmon_open(int i, const char *func)
{
    open_entry(i, outdev_names[i], func);
    return sdrfd[i];
}

void ifmon_close(int i, const char *func)
{
    close_entry(i, outdev_names[i], func);
}

int srecv(int s, void *buf, int size)
{
    if (s < 0)
        return -1;
    for (;;) {
        ssize_t n = recv(s, buf, size, 0);
        if (n >= 0)
            return (int)n;
        if (errno == EINTR)
            continue;
        if (errno == EAGAIN || errno == EWOULDBLOCK)
            return 0;
        if (errno == ENOBUFS)
            return kSrecvOverrun;
        log_warning("Recv buffer failed: %m(%d)", errno);
        return -1;
    }
}

// A route netlink socket, or -1 (logged under func).
static int nl_socket(const char *func)
{
    int fd = socket(AF_NETLINK, SOCK_RAW, NETLINK_ROUTE);
    if (fd < 0)
        log_err_as(func, "create socket failed: %m(%d)", errno);
    return fd;
}

int ip_monitor()
{
    int fd = nl_socket(__func__);
    if (fd < 0)
        exit(-1);
    sockaddr_nl addr;
    memset(&addr, 0, sizeof addr);
    addr.nl_family = AF_NETLINK;
    addr.nl_pid = 0;
    addr.nl_groups = RTMGRP_IPV4_IFADDR | RTMGRP_LINK;
    if (bind(fd, reinterpret_cast<sockaddr *>(&addr), sizeof addr) < 0) {
        log_err("bind failed: %m(%d)", errno);
        exit(-1);
    }
    if (setnonblocking(fd) < 0) {
        log_err("set nonblocking failed: %m(%d)", errno);
        exit(-1);
    }
    return fd;
}

// Prints the IFA_LOCAL lines of an address message.
struct AddrPrint {
    const char *func;
    const char *name;
    int added;
};

static int print_addr_attr(const rtattr *rta, void *ctx)
{
    const AddrPrint *ap = static_cast<const AddrPrint *>(ctx);
    log_debug_as(ap->func, "monitor type: %d", rta->rta_type);
    in_addr a;
    if (rta->rta_type == IFA_LOCAL && rta_ipv4(rta, &a.s_addr) == 0) {
        printf("%s is %s %s\n", ap->name, ap->added ? "add" : "del", inet_ntoa(a));
        fflush(stdout);
    }
    return 0;
}

// The name of the address message's interface, or NULL (logged under func).
// An interface that is gone has no name left, but the entry that was on it
// still knows it by its index: its name comes back, and *gone is set.
static const char *addr_ifname(const nlmsghdr *nlh, char *name, const rtattr **attrs, int *len,
                               int *gone, const char *func)
{
    *len = ifa_attrs(nlh, attrs);
    if (*len < 0)
        return NULL;
    const ifaddrmsg *ifa = static_cast<const ifaddrmsg *>(NLMSG_DATA(nlh));
    *gone = 0;
    if (!if_indextoname(ifa->ifa_index, name)) {
        int i = entry_of_index((int)ifa->ifa_index);
        if (i < 0) {
            log_err_as(func, "index to name failed: %m(%d)", errno);
            return NULL;
        }
        *gone = 1;
        strncpy(name, outdev_names[i], IF_NAMESIZE - 1);
        name[IF_NAMESIZE - 1] = 0;
    }
    return name;
}

static int addr_dump(unsigned char *has, const char *func);

// An address came (added) or went on the message's interface: a configured
// interface's entry is re-opened or closed, and its IPv4 address printed.
static void addr_notice(const nlmsghdr *nlh, int added, const char *func)
{
    char name[IF_NAMESIZE];
    const rtattr *attrs;
    int len, gone;
    if (!addr_ifname(nlh, name, &attrs, &len, &gone, func))
        return;
    int i = find_outdev(func, name);
    if (i < 0 || (gone && added))
        return;
    if (added) {
        open_entry(i, name, func);
        entry_present[i] = 1;
        entry_ifindex[i] = (int)static_cast<const ifaddrmsg *>(NLMSG_DATA(nlh))->ifa_index;
    } else if (int rc = gone ? -1 : addr_dump(entry_has, func); rc == 0 && entry_has[i]) {
        // One address of several went (judged by the kernel's present list,
        // whatever the labels): the path is still good.
        log_debug_as(func, "%s keeps an IPv4 address, sdrfd[%d] = %d stays", name, i, sdrfd[i]);
    } else if (rc == kDumpInterrupted) {
        log_debug_as(func, "%s: addresses still changing, sdrfd[%d] = %d stays for now", name, i,
                     sdrfd[i]);
        recheck = 1;
    } else {
        drop_entry(i, gone, func);
    }
    AddrPrint ap = {func, name, added};
    rta_walk(attrs, len, print_addr_attr, &ap);
    if (added)
        tell_step(i, IFMON_REOPENED, name, func);
}

void rtm_newaddr(const nlmsghdr *nlh)
{
    addr_notice(nlh, 1, __func__);
}

void rtm_deladdr(const nlmsghdr *nlh)
{
    addr_notice(nlh, 0, __func__);
}

static int link_name_attr(const rtattr *rta, void *ctx)
{
    if (rta->rta_type == IFLA_IFNAME)
        *static_cast<const char **>(ctx) = rta_ifname(rta);
    return rta->rta_type == IFLA_IFNAME;
}

// A link went (RTM_DELLINK) or changed (RTM_NEWLINK): the entry on it is
// closed when the interface is gone or no longer has the entry's name.  It
// opens again when an interface of that name gets an address.
void rtm_link(const nlmsghdr *nlh)
{
    const rtattr *attrs;
    int len = ifi_attrs(nlh, &attrs);
    if (len < 0)
        return;
    int i = entry_of_index(static_cast<const ifinfomsg *>(NLMSG_DATA(nlh))->ifi_index);
    if (i < 0)
        return;
    const char *name = NULL;
    rta_walk(attrs, len, link_name_attr, &name);
    if (nlh->nlmsg_type == RTM_NEWLINK && (!name || strcmp(name, outdev_names[i]) == 0))
        return;
    drop_entry(i, 1, __func__);
}

static int monitor_msg(const nlmsghdr *nlh, int left, void *)
{
    log_debug_as("ipstat_cb", "monitor: nltype: %d, len: %d, left: %d", nlh->nlmsg_type,
                 (int)nlh->nlmsg_len, left - (int)nlh->nlmsg_len);
    if (nlh->nlmsg_type == RTM_NEWADDR)
        rtm_newaddr(nlh);
    else if (nlh->nlmsg_type == RTM_DELADDR)
        rtm_deladdr(nlh);
    else if (nlh->nlmsg_type == RTM_NEWLINK || nlh->nlmsg_type == RTM_DELLINK)
        rtm_link(nlh);
    return 0;
}

// Sends the kernel a dump request of `type` for address family `family`
// (the first byte of the request's fixed part, `fixed` bytes long) on netlink
// socket fd.  0, or -1 when it could not be sent (logged under func).
static int nl_request_dump(int fd, int type, int family, size_t fixed, unsigned seq,
                           unsigned pid, const char *func)
{
    struct {
        nlmsghdr nlh;
        ifaddrmsg ifa;  // the largest fixed part asked for
    } req;
    memset(&req, 0, sizeof req);
    req.nlh.nlmsg_len = NLMSG_LENGTH(fixed);
    req.nlh.nlmsg_type = type;
    req.nlh.nlmsg_flags = NLM_F_REQUEST | NLM_F_DUMP;
    req.nlh.nlmsg_seq = seq;
    req.nlh.nlmsg_pid = pid;
    req.ifa.ifa_family = family;
    sockaddr_nl peer;
    memset(&peer, 0, sizeof peer);
    peer.nl_family = AF_NETLINK;
    iovec iov = {&req, req.nlh.nlmsg_len};
    msghdr msg;
    memset(&msg, 0, sizeof msg);
    msg.msg_name = &peer;
    msg.msg_namelen = sizeof peer;
    msg.msg_iov = &iov;
    msg.msg_iovlen = 1;
    if (sendmsg(fd, &msg, 0) < 0) {
        log_err_as(func, "sendmsg failed: %m(%d)", errno);
        return -1;
    }
    return 0;
}

// Reads the kernel's answer to a dump request and walks each buffer with
// `visit`, until *stop is set (by the visitor) or a read fails or returns
// nothing (logged under func).  Returns -1 after such a failure, else 0.
static int nl_read_dump(int fd, NlVisit visit, void *ctx, const int *stop, const char *func)
{
    alignas(nlmsghdr) char buf[10240];
    while (!*stop) {
        sockaddr_nl from;
        memset(&from, 0, sizeof from);
        iovec riov = {buf, sizeof buf};
        msghdr rmsg;
        memset(&rmsg, 0, sizeof rmsg);
        rmsg.msg_name = &from;
        rmsg.msg_namelen = sizeof from;
        rmsg.msg_iov = &riov;
        rmsg.msg_iovlen = 1;
        ssize_t n = recvmsg(fd, &rmsg, 0);
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0) {
            log_err_as(func, "recvmsg failed: %m(%d)", errno);
            return -1;
        }
        if (n == 0) {
            log_err_as(func, "recvmsg zero");
            return -1;
        }
        if (from.nl_pid != 0)  // only the kernel answers a dump
            continue;
        nl_walk(buf, (int)n, visit, ctx);
    }
    return 0;
}

struct AddrDump {
    unsigned char *has;
    const char *func;
    int result;  // 1 while reading, then 0 or -1
    int *stop;   // set when the answer is complete
    int intr;    // addresses changed while the kernel answered
    unsigned last_index;  // the interface of the previous message, and its entry
    int last_entry;
};

static int addr_dump_msg(const nlmsghdr *nlh, int, void *ctx)
{
    AddrDump *ad = static_cast<AddrDump *>(ctx);
    if (nlh->nlmsg_flags & NLM_F_DUMP_INTR)
        ad->intr = 1;
    if (nlh->nlmsg_type == NLMSG_DONE || nlh->nlmsg_type == NLMSG_ERROR) {
        if (nlh->nlmsg_type == NLMSG_ERROR)
            log_err_as(ad->func, "address dump refused");
        ad->result = nlh->nlmsg_type == NLMSG_DONE ? 0 : -1;
        *ad->stop = 1;
        return 1;
    }
    if (nlh->nlmsg_type != RTM_NEWADDR || nlh->nlmsg_len < NLMSG_LENGTH(sizeof(ifaddrmsg)))
        return 0;
    const ifaddrmsg *ifa = static_cast<const ifaddrmsg *>(NLMSG_DATA(nlh));
    if (ifa->ifa_family != AF_INET)
        return 0;
    // The kernel lists an interface's addresses together: one name lookup
    // for each interface, not for each address.
    if (ifa->ifa_index != ad->last_index) {
        char name[IF_NAMESIZE];
        ad->last_index = ifa->ifa_index;
        ad->last_entry = if_indextoname(ifa->ifa_index, name) ? find_outdev(NULL, name) : -1;
    }
    int i = ad->last_entry;
    if (i >= 0) {
        ad->has[i] = 1;
        entry_ifindex[i] = (int)ifa->ifa_index;
    }
    return 0;
}

// Asks the kernel for its IPv4 addresses and marks has[i] for every entry
// whose interface has one.  0, or -1 (logged under func) when the answer
// cannot be had; kDumpInterrupted when the kernel marked every answer as
// interrupted (addresses changed meanwhile, so some may be missing: each
// such answer is asked for again, up to kDumpTries).  Bounded:
// the kernel answers at once, and a receive timeout covers the rest.
static int addr_dump(unsigned char *has, const char *func)
{
    int fd = nl_socket(func);
    if (fd < 0)
        return -1;
    timeval tv = {2, 0};
    setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);
    AddrDump ad;
    for (int tries = 0; tries < kDumpTries; tries++) {
        memset(has, 0, ifmon_outdev_count);
        int stop = 0;
        ad = {has, func, 1, &stop, 0, 0, -1};
        if (nl_request_dump(fd, RTM_GETADDR, AF_INET, sizeof(ifaddrmsg), 2, 0, func) < 0 ||
            nl_read_dump(fd, addr_dump_msg, &ad, &stop, func) < 0) {
            ad.result = -1;
            break;
        }
        if (!ad.intr)
            break;
        log_debug_as(func, "address dump interrupted, asking again");
        ad.result = kDumpInterrupted;
    }
    close(fd);
    return ad.result;
}

int ifmon_reconcile(const char *func)
{
    if (!sdrfd)
        return 0;
    unsigned char *has = entry_has;
    int rc = addr_dump(has, func);
    recheck = rc == kDumpInterrupted;
    for (unsigned i = 0; rc == 0 && i < ifmon_outdev_count; i++) {
        if (find_outdev(NULL, outdev_names[i]) != (int)i)
            continue;  // a later duplicate name: never used
        if (has[i] && (!entry_present[i] || sdrfd[i] <= 0)) {
            open_entry((int)i, outdev_names[i], func);
            entry_present[i] = 1;
            tell_step((int)i, IFMON_REOPENED, outdev_names[i], func);
        } else if (!has[i] && (entry_present[i] || sdrfd[i] > 0)) {
            drop_entry((int)i, 0, func);
        }
    }
    return rc;
}

// Notifications were lost (the socket's receive buffer overran): what is
// left is read, then every entry is set from the kernel's present state.  A
// larger buffer makes the next burst less likely to overrun.
static void monitor_overrun(int fd)
{
    log_warning_as("ipstat_cb", "address notifications lost: %s(%d), asking the kernel again",
                   strerror(ENOBUFS), ENOBUFS);
    int size = 0;
    socklen_t len = sizeof size;
    if (getsockopt(fd, SOL_SOCKET, SO_RCVBUF, &size, &len) == 0 && size < kMonitorBufMax)
        setsockopt(fd, SOL_SOCKET, SO_RCVBUF, &size, sizeof size);  // the kernel doubles it
    ifmon_reconcile("ipstat_cb");
}

void ipstat_cb(struct ev_loop *, ev_io *w, int)
{
    NetlinkWatch *nw = reinterpret_cast<NetlinkWatch *>(reinterpret_cast<char *>(w) -
                                                        offsetof(NetlinkWatch, io));
    alignas(nlmsghdr) char buf[4096];
    int overrun = 0;
    for (;;) {
        int n = srecv(nw->fd, buf, sizeof buf);
        if (n == kSrecvOverrun) {
            overrun = 1;
            continue;
        }
        if (n <= 0)
            break;
        nl_walk(buf, n, monitor_msg, NULL);
    }
    if (overrun && sdrfd)
        monitor_overrun(nw->fd);
    else if (recheck)
        ifmon_reconcile("ipstat_cb");
}

struct LinkVisit {
    const ifinfomsg *ifi;
    int stop;
};

static int link_attr(const rtattr *rta, void *ctx)
{
    LinkVisit *lv = static_cast<LinkVisit *>(ctx);
    if (rta->rta_type != IFLA_IFNAME)
        return 0;
    const char *name = rta_ifname(rta);
    if (!name)
        return 0;
    log_debug_as("rtnl_print_link", "interface %d: %s", lv->ifi->ifi_index, name);
    int i = find_outdev("rtnl_print_link", name);
    if (i < 0)
        return 0;
    open_entry(i, name, "rtnl_print_link");
    entry_present[i] = 1;
    entry_ifindex[i] = lv->ifi->ifi_index;
    if (tell_step(i, IFMON_OPENED_DUMP, name, "rtnl_print_link")) {
        dump_abandoned = 1;
        lv->stop = 1;
        return 1;
    }
    return 0;
}

void rtnl_print_link(const nlmsghdr *nlh)
{
    const rtattr *attrs;
    int len = ifi_attrs(nlh, &attrs);
    if (len < 0)
        return;
    LinkVisit lv = {static_cast<const ifinfomsg *>(NLMSG_DATA(nlh)), 0};
    rta_walk(attrs, len, link_attr, &lv);
}

struct DumpState {
    int done;
};

static int dump_msg(const nlmsghdr *nlh, int, void *ctx)
{
    DumpState *ds = static_cast<DumpState *>(ctx);
    log_debug_as("get_ifi_info", "nlmsg_type: %d,%d", nlh->nlmsg_type, 16);
    if (nlh->nlmsg_type == NLMSG_DONE) {
        ds->done = 1;
    } else if (nlh->nlmsg_type == RTM_NEWLINK) {
        rtnl_print_link(nlh);
        if (dump_abandoned) {
            ds->done = 1;  // no further message is handled
            return 1;
        }
    } else if (nlh->nlmsg_type == NLMSG_ERROR) {
        // The kernel refused the dump: no NLMSG_DONE will follow.
        int err = 0;
        if (nlh->nlmsg_len >= NLMSG_LENGTH(sizeof(int)))
            memcpy(&err, NLMSG_DATA(nlh), sizeof err);
        log_err_as("get_ifi_info", "link dump failed: %s(%d)", strerror(err < 0 ? -err : err),
                   err);
        ds->done = 1;
    }
    return 0;
}

void get_ifi_info()
{
    int fd = nl_socket(__func__);
    if (fd < 0)
        exit(-1);
    sockaddr_nl local;
    memset(&local, 0, sizeof local);
    local.nl_family = AF_NETLINK;
    local.nl_pid = (unsigned)getpid() + 1000;
    int rc = bind(fd, reinterpret_cast<sockaddr *>(&local), sizeof local);
    if (rc < 0 && errno == EADDRINUSE) {
        // Another socket already holds that port id: let the kernel choose.
        local.nl_pid = 0;
        rc = bind(fd, reinterpret_cast<sockaddr *>(&local), sizeof local);
    }
    if (rc < 0) {
        log_err("bind netlink failed: %m(%d)", errno);
        exit(-1);
    }
    // The request is 17 bytes, not padded.
    if (nl_request_dump(fd, RTM_GETLINK, AF_UNSPEC, sizeof(rtgenmsg), 1, (unsigned)getpid(),
                        __func__) < 0)
        exit(-1);

    dump_abandoned = 0;
    DumpState ds = {0};
    nl_read_dump(fd, dump_msg, &ds, &ds.done, __func__);
    close(fd);
}
