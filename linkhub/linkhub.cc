// linkhub: the server end of the serial bridges.  Boards connect over TCP
// (serstream) or send datagrams (serdgram) to one port; each configured
// board's line is reached by applications at its tcp: or pty: endpoint.
#include <ev.h>
#include <signal.h>
#include <stdlib.h>

#include "cmdline.h"
#include "common/daemon.h"
#include "common/log.h"
#include "hub/core.h"
#include "hub/internal.h"
#include "mqtt_metrics.h"
#include "hub/relay.h"

static void check_args()
{
    if (args_info.group_given == 0) {
        log_err("please fill group parament: at least one --group is required\n");
        exit(-1);
    }
    if (args_info.udp_timeout_arg < 1) {
        log_err("--udp-timeout must be at least 1 second\n");
        exit(-1);
    }
}

static void stop_cb(struct ev_loop *loop, ev_signal *w, int revents)
{
    (void)w;
    (void)revents;
    log_info("stopping\n");
    ev_break(loop, EVBREAK_ALL);
}

int main(int argc, char **argv)
{
    proc_args(argc, argv);
    check_args();

    // Every fault of the configuration ends the process here, on the
    // terminal, before it detaches; the descriptors made survive the fork.
    struct ev_loop *loop = ev_default_loop(0);
    HubOptions o;
    o.listen = args_info.listen_arg;
    o.groups = args_info.group_arg;
    o.group_count = static_cast<int>(args_info.group_given);
    o.devices = args_info.device_arg;
    o.device_count = static_cast<int>(args_info.device_given);
    o.status = args_info.status_arg;
    o.udp_timeout = args_info.udp_timeout_arg;
    hub_start(loop, &o);
    start_mqtt_and_metrics();
    relay_start();
    start_daemon(0);
    if (daemon_mode)
        ev_loop_fork(loop);

    ev_signal term, intr;
    ev_signal_init(&term, stop_cb, SIGTERM);
    ev_signal_start(loop, &term);
    ev_signal_init(&intr, stop_cb, SIGINT);
    ev_signal_start(loop, &intr);
    ev_run(loop, 0);
    hub_pty_stop_all();
    hub_status_stop();
    return 0;
}
