#include "log.h"

#include <errno.h>
#include <stdarg.h>
#include <stdlib.h>
#include <string.h>

int debug;
int daemon_mode;

// The record is put together here, so that the prefix's format is kept once
// instead of in front of every message text.  A record longer than the
// buffer on the stack is put together again in one of its size.
void fw_log_emit(const char *file, unsigned line_level, const char *func, const char *fmt, ...)
{
    // The level's word: "ERR", "WARNING", "INFO", "DEBUG" at offsets by level.
    static const char words[] = "ERR\0WARNING\0INFO\0DEBUG";
    static const unsigned char word_at[8] = {3, 3, 3, 0, 4, 3, 12, 17};
    int saved_errno = errno;  // for %m in fmt
    int level = (int)(line_level & 7);
    char stack[512];
    char *text = stack;
    int head = snprintf(stack, sizeof stack, "%s +%u %s(): %s: ", file, line_level >> 3, func,
                        words + word_at[level]);
    if (head < 0 || head >= (int)sizeof stack)
        return;
    va_list ap;
    va_start(ap, fmt);
    va_list again;
    va_copy(again, ap);
    errno = saved_errno;
    int len = vsnprintf(stack + head, sizeof stack - head, fmt, ap);
    if (len >= (int)sizeof stack - head) {
        char *big = static_cast<char *>(malloc((size_t)head + len + 1));
        if (big) {
            memcpy(big, stack, head);
            errno = saved_errno;
            vsnprintf(big + head, (size_t)len + 1, fmt, again);
            text = big;
        }
    }
    va_end(again);
    va_end(ap);
    if (daemon_mode)
        syslog(LOG_USER | level, "%s", text);
    else
        fputs(text, stderr);
    if (text != stack)
        free(text);
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
