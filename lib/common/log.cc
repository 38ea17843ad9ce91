#include "log.h"

#include <stdarg.h>

int debug;
int daemon_mode;

void fw_log_emit(int priority, const char *fmt, ...)
{
    va_list ap;
    va_start(ap, fmt);
    if (daemon_mode)
        vsyslog(priority, fmt, ap);
    else
        vfprintf(stderr, fmt, ap);
    va_end(ap);
}

void fw_dump_piece(int threshold, int priority, const char *fmt, ...)
{
    if (debug <= threshold)
        return;
    va_list ap;
    va_start(ap, fmt);
    if (daemon_mode)
        vsyslog(priority, fmt, ap);
    else
        vfprintf(stderr, fmt, ap);
    va_end(ap);
}

void fw_dump_hex(int threshold, int priority, const char *title, const void *data, int count)
{
    if (debug == 0)
        return;
    const unsigned char *p = static_cast<const unsigned char *>(data);
    fw_dump_piece(threshold, priority, "%s\n", title);
    for (int i = 0; i < count; i++) {
        fw_dump_piece(threshold, priority, "%02x ", p[i]);
        if ((i + 1) % 8 == 0)
            fw_dump_piece(threshold, priority, "   ");
        if ((i + 1) % 16 == 0)
            fw_dump_piece(threshold, priority, "\n");
    }
    fw_dump_piece(threshold, priority, "\n");
}
