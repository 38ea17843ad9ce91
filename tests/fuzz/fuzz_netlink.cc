// libFuzzer harness: kernel buffers through the interface monitor's
// walkers and handlers, as ipstat_cb and the start-up dump see them.
// Build: cmake -DFW_FUZZ=ON with CC/CXX=clang (see tests/fuzz/CMakeLists.txt).
#include <stdint.h>
#include <string.h>
#include <sys/socket.h>

#include "common/log.h"
#include "ifmon/ifmon.h"

namespace {

char lo_name[] = "lo";
char other_name[] = "fwfuzz0";
char *names[] = {lo_name, other_name};
int table[2];

int step(int, IfmonEvent, const char *, const char *)
{
    return 0;
}

int visit(const nlmsghdr *nlh, int, void *)
{
    switch (nlh->nlmsg_type) {
    case RTM_NEWADDR:
        rtm_newaddr(nlh);
        break;
    case RTM_DELADDR:
        rtm_deladdr(nlh);
        break;
    case RTM_NEWLINK:
        rtnl_print_link(nlh);
        break;
    default:
        break;
    }
    return 0;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    static bool ready = false;
    if (!ready) {
        ifmon_setup(SOCK_DGRAM, names, 2, step);
        sdrfd = table;
        table[0] = table[1] = -1;
        ready = true;
    }
    alignas(nlmsghdr) char buf[4096];
    if (size > sizeof buf)
        size = sizeof buf;
    memcpy(buf, data, size);
    nl_walk(buf, static_cast<int>(size), visit, nullptr);
    return 0;
}
