#include "daemon.h"

#include <errno.h>
#include <ev.h>
#include <signal.h>
#include <string.h>
#include <unistd.h>

#include "log.h"

struct ev_loop *start_daemon(int nochdir)
{
    if (daemon_mode && daemon(nochdir, 0) < 0)
        log_err("daemon failed: %m(%d)\n", errno);
    signal(SIGPIPE, SIG_IGN);
    return ev_default_loop(0);
}
