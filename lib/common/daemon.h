// The step every daemon takes between its checks and its main loop.
#pragma once

struct ev_loop;

// With --daemon (daemon_mode) detaches with daemon(nochdir, 0); ignores
// SIGPIPE, so a write to a dead peer fails with EPIPE instead of ending the
// process; returns the libev default loop.
struct ev_loop *start_daemon(int nochdir);
