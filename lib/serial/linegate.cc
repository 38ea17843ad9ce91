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

}  // namespace

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
    pid_t pid;
    int rc = spawn_script(direction, &pid);
    if (rc == ENOEXEC && !gate.shell) {
        gate.shell = true;
        rc = spawn_script(direction, &pid);
    }
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
        return;
    }
    int status;
    while (waitpid(pid, &status, 0) < 0 && errno == EINTR) {
    }
}
