// Start-up steps the two serial bridges share: the per-device lock, the
// timing-option check and the connection walk.
#include <errno.h>
#include <fcntl.h>
#include <netdb.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/file.h>
#include <sys/socket.h>
#include <unistd.h>

#include "common/log.h"
#include "serial.h"

int lock_path(const char *func, const char *dev, char *path, size_t size)
{
    const char *tail = strstr(dev, "tty");
    if (tail == NULL) {
        puts("not find tty");
        exit(-1);
    }
    memset(path, 0, size);
    int n = snprintf(path, size, "/var/run/%s.pid", tail);
    if (n < 0 || static_cast<size_t>(n) >= size) {
        path[0] = '\0';
        log_warning_as(func, "dev name too long for a pid file, running without lock\n");
        return -1;
    }
    return 0;
}

int lock_device(const char *path)
{
    // Never closed: the lock lasts as long as the process, and O_CLOEXEC
    // keeps it from the line-direction script.
    int fd = open(path, O_RDWR | O_CREAT | O_CLOEXEC, 0666);
    if (flock(fd, LOCK_EX | LOCK_NB) < 0 && errno == EAGAIN)
        return -1;
    return 0;
}

void check_timing(const char *func, int *vmin, int *vtime)
{
    if (*vmin > 256 || *vtime > 256) {
        log_err_as(func, "parament value err: vtim or vmin\n");
        *vmin = 0;
        *vtime = 10;
    }
}

int link_to_server(const char *func, const char *name, const char *host, const char *port,
                   int socktype)
{
    struct addrinfo hints;
    memset(&hints, 0, sizeof hints);
    hints.ai_flags = AI_PASSIVE;
    hints.ai_family = AF_UNSPEC;
    hints.ai_socktype = socktype;
    hints.ai_protocol = 0;
    struct addrinfo *result = NULL;
    int s = getaddrinfo(host, port, &hints, &result);
    if (s != 0) {
        fprintf(stderr, "getaddrinfo: %s\n", gai_strerror(s));
        exit(1);
    }
    int fd = -1;
    for (struct addrinfo *rp = result; rp != NULL; rp = rp->ai_next) {
        fd = socket(rp->ai_family, rp->ai_socktype | SOCK_CLOEXEC, rp->ai_protocol);
        if (fd == -1)
            continue;
        if (socktype == SOCK_STREAM) {
            int on = 1;
            setsockopt(fd, SOL_SOCKET, SO_REUSEPORT, &on, sizeof on);
            setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
        }
        if (connect(fd, rp->ai_addr, rp->ai_addrlen) == 0) {
            log_debug_as(func, "connect %s ok\n", name);
            break;
        }
        log_debug_as(func, "connect fail and close(fd)\n");
        close(fd);
        fd = -1;
    }
    if (fd == -1)
        fprintf(stderr, "Could not getaddrinfo\n");
    freeaddrinfo(result);
    return fd;
}
