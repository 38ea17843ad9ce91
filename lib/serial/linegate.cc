// The line-direction script: linegate.sh, found on PATH, run with "in" or
// "out" straight from the bridge (no shell in between, except for a script
// without a "#!" line, which only a shell runs), waited for, its status and
// output ignored.
//
// The script is looked up once at start-up and its path kept, so a
// turnaround costs one spawn and one wait.  While none is found, a
// turnaround costs nothing; the search is repeated before an "in" at most
// once a second, so a script installed later is taken up (an "out" never
// runs without its "in").  A script that cannot be started any more is
// dropped and searched for again the same way.
//
// A turn is open from the start of an "in" to the end of its "out".  TERM or
// INT while none is open ends the process at once, as by default; while one
// is, the signal is noted and the process ends by it right after the turn is
// ended: the "in" under way is waited for, then "out" is run, so a line is
// never left turned in.  The bridge notices the noted signal after a script
// run, in its loop (a pipe the handler writes to) and in serial_pause.
#include <errno.h>
#include <fcntl.h>
#include <limits.h>
#include <signal.h>
#include <spawn.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include "common/log.h"
#include "serial.h"

extern char **environ;

namespace {

constexpr const char kScript[] = "linegate.sh";
// Milliseconds between searches while no script is found.
constexpr long kSearchInterval = 1000;

struct Gate {
    bool found;                // path names the script
    bool shell;                // it has no "#!" line: run it through /bin/sh
    struct timespec searched;  // monotonic time of the last search
    char path[PATH_MAX];
};

Gate gate;

// Written by the signal handler, read by the bridge.
volatile sig_atomic_t turn_open;    // "in" started, its "out" not yet done
volatile sig_atomic_t stop_signal;  // TERM or INT that came during a turn
int stop_pipe[2] = {-1, -1};        // readable once stop_signal is set
ev_io stop_watcher;

bool executable_file(const char *path)
{
    struct stat st;
    return stat(path, &st) == 0 && S_ISREG(st.st_mode) && access(path, X_OK) == 0;
}

// The first executable linegate.sh in the directories of PATH, in the order
// the exec family searches them (an empty entry is the working directory).
bool search_path(char *path, size_t size)
{
    const char *dirs = getenv("PATH");
    char fallback[256];
    if (dirs == NULL) {
        size_t n = confstr(_CS_PATH, fallback, sizeof fallback);
        dirs = (n > 0 && n <= sizeof fallback) ? fallback : "/bin:/usr/bin";
    }
    for (const char *p = dirs;;) {
        const char *end = strchr(p, ':');
        size_t len = end ? static_cast<size_t>(end - p) : strlen(p);
        int n = len == 0 ? snprintf(path, size, "./%s", kScript)
                         : snprintf(path, size, "%.*s/%s", static_cast<int>(len), p, kScript);
        if (n > 0 && static_cast<size_t>(n) < size && executable_file(path))
            return true;
        if (end == NULL)
            return false;
        p = end + 1;
    }
}

// A script without a "#!" line is what the kernel cannot start (ENOEXEC);
// the shell used to run such a one itself.  Told from its first bytes, as
// an emulator may not report a failed exec; an unreadable file is taken to
// start by itself.
bool needs_shell(const char *path)
{
    int fd = open(path, O_RDONLY | O_CLOEXEC);
    if (fd < 0)
        return false;
    char head[4] = {0, 0, 0, 0};
    ssize_t n = read(fd, head, sizeof head);
    close(fd);
    if (n < 0)
        return false;
    return !(n >= 2 && head[0] == '#' && head[1] == '!') &&
           !(n == 4 && memcmp(head, "\177ELF", 4) == 0);
}

// Looks for the script; gate.found and gate.shell tell what it found.
void search()
{
    clock_gettime(CLOCK_MONOTONIC, &gate.searched);
    gate.found = search_path(gate.path, sizeof gate.path);
    gate.shell = gate.found && needs_shell(gate.path);
}

// Child set-up: the daemons ignore SIGPIPE, and an ignored signal stays
// ignored across exec; the loop may have signals blocked.
posix_spawnattr_t *spawn_attr()
{
    static posix_spawnattr_t attr;
    static bool ready;
    if (!ready) {
        sigset_t none, dflt;
        sigemptyset(&none);
        sigemptyset(&dflt);
        sigaddset(&dflt, SIGPIPE);
        sigaddset(&dflt, SIGTERM);
        sigaddset(&dflt, SIGINT);
        posix_spawnattr_init(&attr);
        posix_spawnattr_setflags(&attr, POSIX_SPAWN_SETSIGMASK | POSIX_SPAWN_SETSIGDEF);
        posix_spawnattr_setsigmask(&attr, &none);
        posix_spawnattr_setsigdefault(&attr, &dflt);
        ready = true;
    }
    return &attr;
}

int spawn_script(const char *direction, pid_t *pid)
{
    char sh[] = "/bin/sh";
    char name[sizeof kScript];
    memcpy(name, kScript, sizeof kScript);
    char dir[8];
    snprintf(dir, sizeof dir, "%s", direction);
    if (gate.shell) {
        char *argv[] = {sh, gate.path, dir, NULL};
        return posix_spawn(pid, sh, NULL, spawn_attr(), argv, environ);
    }
    char *argv[] = {name, dir, NULL};
    return posix_spawn(pid, gate.path, NULL, spawn_attr(), argv, environ);
}

// Starts the script with `direction` and waits for it; 0, or the error of
// posix_spawn.
int run_script(const char *direction)
{
    pid_t pid;
    int rc = spawn_script(direction, &pid);
    if (rc == ENOEXEC && !gate.shell) {
        gate.shell = true;
        rc = spawn_script(direction, &pid);
    }
    if (rc != 0)
        return rc;
    int status;
    while (waitpid(pid, &status, 0) < 0 && errno == EINTR) {
    }
    return 0;
}

// Only async-signal-safe work here: the rest is done by linegate_finish.
void on_stop_signal(int sig)
{
    if (!turn_open) {
        // Installed with SA_RESETHAND: the default action is back, and the
        // signal, blocked while we run, takes it as soon as we return.
        raise(sig);
        return;
    }
    stop_signal = sig;
    int saved = errno;
    ssize_t n = write(stop_pipe[1], "", 1);
    (void)n;
    errno = saved;
}

void stop_cb(struct ev_loop *, ev_io *, int)
{
    linegate_finish();
}

}  // namespace

void linegate_signals(struct ev_loop *loop)
{
    if (pipe2(stop_pipe, O_CLOEXEC | O_NONBLOCK) < 0) {
        log_err("pipe failed: %m(%d)\n", errno);
        exit(-1);
    }
    ev_io_init(&stop_watcher, stop_cb, stop_pipe[0], EV_READ);
    ev_io_start(loop, &stop_watcher);
    // No SA_RESTART: a blocking write to the port or a connect gives way,
    // so that the signal is acted on in the loop or the pause.
    struct sigaction sa;
    memset(&sa, 0, sizeof sa);
    sa.sa_handler = on_stop_signal;
    sa.sa_flags = SA_RESETHAND;
    sigemptyset(&sa.sa_mask);
    sigaction(SIGTERM, &sa, NULL);
    sigaction(SIGINT, &sa, NULL);
}

int linegate_stop_fd()
{
    return stop_pipe[0];
}

void linegate_finish()
{
    int sig = stop_signal;
    if (sig == 0)
        return;
    if (turn_open) {
        log_info("signal %d: the line is turned out first\n", sig);
        run_script("out");
        turn_open = 0;
    }
    signal(sig, SIG_DFL);
    raise(sig);
    _exit(128 + sig);
}

void linegate_init()
{
    search();
    if (gate.found)
        log_info("%s found: %s\n", kScript, gate.path);
    else
        log_info("no %s on PATH: the line is not turned around\n", kScript);
}

void linegate(const char *direction)
{
    if (!gate.found) {
        // Only before an "in", so that a script found now runs in pairs.
        if (strcmp(direction, "in") != 0 || ms_since(&gate.searched) < kSearchInterval)
            return;
        search();
        if (!gate.found)
            return;
        log_info("%s found: %s\n", kScript, gate.path);
    }
    bool in = strcmp(direction, "in") == 0;
    if (in)
        turn_open = 1;
    int rc = run_script(direction);
    if (!in || rc != 0)
        turn_open = 0;
    if (rc != 0) {
        // Said once: a script that keeps failing is searched for (and
        // found) again every second.
        static bool warned;
        if (!warned)
            log_warning("cannot run %s: %s(%d)\n", gate.path, strerror(rc), rc);
        else
            log_debug("cannot run %s: %s(%d)\n", gate.path, strerror(rc), rc);
        warned = true;
        gate.found = false;
        clock_gettime(CLOCK_MONOTONIC, &gate.searched);
    }
    linegate_finish();
}
