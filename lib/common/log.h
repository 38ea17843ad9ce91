// Leveled logging and diagnostic dumps shared by every farwire daemon.
//
// Each line is "<file> +<line> <function>(): <LEVEL>: <message>".  The
// arguments of a message below the threshold are not evaluated.  Lines go to
// standard error, or to syslog (facility LOG_USER) when daemon_mode is set.
#pragma once

#include <stdio.h>
#include <syslog.h>

extern int debug;        // log level, from --debug
extern int daemon_mode;  // nonzero: log to syslog

constexpr const char *fw_basename(const char *path)
{
    const char *base = path;
    for (const char *p = path; *p; ++p)
        if (*p == '/')
            base = p + 1;
    return base;
}

// The source file's base name: a literal of its own where the compiler has
// one (no address arithmetic at each line that logs).
#ifdef __FILE_NAME__
#define FW_FILE_NAME __FILE_NAME__
#else
#define FW_FILE_NAME fw_basename(__FILE__)
#endif

// One record "<file> +<line> <function>(): <LEVEL>: <message>", <message>
// from fmt: vsyslog in daemon mode, one write to stderr otherwise.  The
// level is the low three bits of line_level (LOG_ERR, LOG_WARNING, LOG_INFO
// or LOG_DEBUG), the line the rest: every line that logs carries only its own
// message text and four arguments in registers.  %m in fmt is the text of
// the errno the caller had (strerror), as in the C library's printf.
void fw_log_emit(const char *file, unsigned line_level, const char *func, const char *fmt, ...)
    __attribute__((format(printf, 4, 5)));

// `func` lets a shared helper log under the name of the operation that called
// it (the line then names the public entry point, not the helper).  The
// file's base name is a constant (left to the optimizer, the search for the
// last '/' would run at every line that logs).
#define FW_LOG_AS(func, threshold, level, fmt, ...)                                       \
    do {                                                                                  \
        if (debug > (threshold)) {                                                        \
            constexpr const char *fw_file_ = FW_FILE_NAME;                                \
            fw_log_emit(fw_file_, (unsigned)__LINE__ << 3 | (level), (func), fmt,         \
                        ##__VA_ARGS__);                                                   \
        }                                                                                 \
    } while (0)

#define FW_ERR_THRESHOLD 2
#define FW_WARNING_THRESHOLD 3
#define FW_INFO_THRESHOLD 5
#define FW_DEBUG_THRESHOLD 6

#define log_err_as(func, fmt, ...) \
    FW_LOG_AS(func, FW_ERR_THRESHOLD, LOG_ERR, fmt, ##__VA_ARGS__)
#define log_warning_as(func, fmt, ...) \
    FW_LOG_AS(func, FW_WARNING_THRESHOLD, LOG_WARNING, fmt, ##__VA_ARGS__)
#define log_info_as(func, fmt, ...) \
    FW_LOG_AS(func, FW_INFO_THRESHOLD, LOG_INFO, fmt, ##__VA_ARGS__)
#define log_debug_as(func, fmt, ...) \
    FW_LOG_AS(func, FW_DEBUG_THRESHOLD, LOG_DEBUG, fmt, ##__VA_ARGS__)

#define log_err(fmt, ...) log_err_as(__func__, fmt, ##__VA_ARGS__)
#define log_warning(fmt, ...) log_warning_as(__func__, fmt, ##__VA_ARGS__)
#define log_info(fmt, ...) log_info_as(__func__, fmt, ##__VA_ARGS__)
#define log_debug(fmt, ...) log_debug_as(__func__, fmt, ##__VA_ARGS__)

// Pieces of a hex or text dump: one record each in daemon mode.
void fw_dump_piece(int threshold, int priority, const char *fmt, ...) __attribute__((format(printf, 3, 4)));
void fw_dump_hex(int threshold, int priority, const char *title, const void *data, int count);

// Diagnostics.  Every source file that includes this header has its own copy
// of these, and so its own static buffer for mac_ntoa.
#ifdef FW_MAC_HYPHEN
#define FW_MAC_FMT "%02x-%02x-%02x-%02x-%02x-%02x"
#else
#define FW_MAC_FMT "%02x:%02x:%02x:%02x:%02x:%02x"
#endif

[[maybe_unused]] static const char *mac_ntoa(const unsigned char *mac)
{
    static char text[18];
    snprintf(text, sizeof text, FW_MAC_FMT, mac[0], mac[1], mac[2], mac[3], mac[4], mac[5]);
    return text;
}

[[maybe_unused]] static void dump_hex_debug(const char *title, const void *data, int count)
{
    fw_dump_hex(FW_DEBUG_THRESHOLD, LOG_USER | LOG_DEBUG, title, data, count);
}

[[maybe_unused]] static void dump_hex_err(const char *title, const void *data, int count)
{
    fw_dump_hex(FW_ERR_THRESHOLD, LOG_USER | LOG_ERR, title, data, count);
}

#ifdef FW_TEXT_DUMP
[[maybe_unused]] static void dump_text_debug(const char *title, const void *data, int count)
{
    if (debug == 0)
        return;
    const unsigned char *p = static_cast<const unsigned char *>(data);
    fw_dump_piece(FW_DEBUG_THRESHOLD, LOG_USER | LOG_DEBUG, "%s", title);
    for (int i = 0; i < count; i++)
        fw_dump_piece(FW_DEBUG_THRESHOLD, LOG_USER | LOG_DEBUG, "%c", p[i]);
    fw_dump_piece(FW_DEBUG_THRESHOLD, LOG_USER | LOG_DEBUG, "\n");
}
#endif
