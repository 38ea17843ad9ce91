// The interface monitor of the multi-interface relays (streamhop, dgramhop).
//
// It keeps `sdrfd`, one socket per --outdev interface bound to it with
// SO_BINDTODEVICE, in step with the kernel: a start-up link dump opens the
// entries of the configured interfaces present, and the IPv4 address
// notifications of rtnetlink re-open an entry (RTM_NEWADDR) or close it
// when its interface has no IPv4 address left (RTM_DELADDR); an entry is
// also closed when its interface goes (RTM_DELLINK, a rename, or an address
// removal that comes after the interface's name is gone: entries keep the
// kernel's index of their interface).  When
// notifications were lost (ENOBUFS) every entry is set again from the
// kernel's present addresses.  Entry sockets are non-blocking.  One thread; everything runs in main or in callbacks of the
// default loop.
//
// Ownership: the monitor opens and closes the entries' descriptors.  The
// program owns the table's memory (allocates it before get_ifi_info, and
// streamhop frees it at the end of a cycle, closing what is still open) and
// the monitor socket st.fd.  A program that watches an entry hears of every
// change through its step (ifmon_setup) and must stop its watcher on
// IFMON_CLOSING, before the monitor closes the descriptor.
#pragma once

#include <ev.h>
#include <linux/netlink.h>
#include <linux/rtnetlink.h>

// Per-interface socket table: one entry per --outdev value; -1 no socket,
// > 0 an open socket bound to the interface (0 also counts as none).
extern int *sdrfd;

// The monitor record: the netlink socket and its watcher (callback ipstat_cb).
struct NetlinkWatch {
    int fd;
    ev_io io;
};
extern NetlinkWatch st;

// A watcher together with the socket it reads.
struct SocketWatch {
    ev_io io;
    int sock;
};

// What the monitor tells a program about entry i.
enum IfmonEvent {
    IFMON_OPENED_DUMP,  // freshly opened by the start-up dump (may be -1)
    IFMON_REOPENED,     // freshly re-opened by RTM_NEWADDR (may be -1)
    IFMON_CLOSING,      // about to be closed: the descriptor is still open
};

// The program's step for an entry.  `name` is the interface, `func` the
// handler performing it (for log lines).  The result matters only for
// IFMON_OPENED_DUMP: nonzero means the step tore the cycle down (the table
// may be freed), and the dump stops at once.
typedef int (*IfmonStep)(int i, IfmonEvent event, const char *name, const char *func);

// Called once before ip_monitor: the kind of entry socket (SOCK_STREAM or
// SOCK_DGRAM), the --outdev values (kept by reference) and the step.
void ifmon_setup(int sock_type, char **outdev, unsigned count, IfmonStep step);
// The number of entries (set by ifmon_setup).
extern unsigned ifmon_outdev_count;
inline unsigned ifmon_count()
{
    return ifmon_outdev_count;
}

// Whether entry i's interface has an IPv4 address as far as the monitor
// knows: the entry belongs open, even while the program has closed it.
int ifmon_present(int i);
// A fresh socket of the program's kind in entry i, bound to its interface
// and non-blocking (the old one closed after IFMON_CLOSING); the entry's
// value, -1 when that failed.  The program's step is not told of the opening.
int ifmon_open(int i, const char *func);
// Closes entry i (after IFMON_CLOSING) and leaves it -1; it stays present.
void ifmon_close(int i, const char *func);
// Sets every entry from the kernel's present addresses: opens (IFMON_REOPENED)
// the entries of interfaces with an IPv4 address that are closed, closes
// those of interfaces without one.  0, or -1 when the kernel could not be
// asked (logged under func; the table is left alone).
int ifmon_reconcile(const char *func);

// Opens, binds (RTMGRP_IPV4_IFADDR) and makes non-blocking the monitor
// socket; ends the process on failure.
int ip_monitor();

// One recv: -1 for a negative socket or an error (logged), 0 on EAGAIN,
// kSrecvOverrun (not logged) when the kernel dropped notifications because
// the receive buffer was full (ENOBUFS), else the byte count.  EINTR is
// retried.
constexpr int kSrecvOverrun = -2;
int srecv(int s, void *buf, int size);

void ipstat_cb(struct ev_loop *loop, ev_io *w, int revents);
void rtm_newaddr(const nlmsghdr *nlh);
void rtm_deladdr(const nlmsghdr *nlh);
void rtm_link(const nlmsghdr *nlh);

// The blocking start-up link dump; ends the process when its socket cannot
// be made or the request not sent.
void get_ifi_info();
void rtnl_print_link(const nlmsghdr *nlh);

// Checked walkers over kernel buffers, shared by the handlers above.
// A visitor returns nonzero to stop the walk.
//
// nl_walk: messages while left >= 16, 16 <= nlmsg_len <= left; steps by the
// aligned length.  Returns the number of messages visited.
typedef int (*NlVisit)(const nlmsghdr *nlh, int left, void *ctx);
int nl_walk(const void *buf, int len, NlVisit visit, void *ctx);

// rta_walk: attributes while left >= 4, 4 <= rta_len <= left.  Returns the
// number of attributes visited.
typedef int (*RtaVisit)(const rtattr *rta, void *ctx);
int rta_walk(const void *start, int len, RtaVisit visit, void *ctx);

// The attribute area of an address (ifaddrmsg) or link (ifinfomsg) message:
// its start and length, or -1 when the message is shorter than its fixed part.
int ifa_attrs(const nlmsghdr *nlh, const rtattr **first);
int ifi_attrs(const nlmsghdr *nlh, const rtattr **first);

// IFLA_IFNAME's name when it is NUL-terminated within the attribute and
// shorter than 16 bytes; NULL otherwise.
const char *rta_ifname(const rtattr *rta);
// IFA_LOCAL's address (network order) into *addr: 0, or -1 when the
// attribute has fewer than 4 data bytes.
int rta_ipv4(const rtattr *rta, unsigned int *addr);
