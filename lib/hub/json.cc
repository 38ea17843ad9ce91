#include "hub/json.h"

#include <inttypes.h>
#include <stdio.h>
#include <string.h>

static void put(JsonOut *j, const char *p, size_t n)
{
    // Grown by doubling: a document of thousands of devices is built from
    // many small pieces.
    uint32_t need = static_cast<uint32_t>(j->buf.len + n);
    if (need > j->buf.capacity)
        brealloc(&j->buf, need, j->buf.capacity < 2048 ? 4096 : 2 * j->buf.capacity);
    bconcat(&j->buf, p, static_cast<int>(n));
}

// The comma before a member or element, then "key": when there is a key.
static void member(JsonOut *j, const char *key)
{
    if (j->need_comma)
        put(j, ",", 1);
    j->need_comma = true;
    if (key != nullptr) {
        json_str_text(j, key);
        put(j, ":", 1);
    }
}

void json_str_text(JsonOut *j, const char *text)
{
    put(j, "\"", 1);
    const char *run = text;
    for (const char *p = text; *p; p++) {
        unsigned char c = static_cast<unsigned char>(*p);
        if (c >= 0x20 && c != '"' && c != '\\')
            continue;
        put(j, run, p - run);
        char esc[8];
        if (c == '"' || c == '\\')
            snprintf(esc, sizeof esc, "\\%c", c);
        else if (c == '\n')
            snprintf(esc, sizeof esc, "\\n");
        else
            snprintf(esc, sizeof esc, "\\u%04x", c);
        put(j, esc, strlen(esc));
        run = p + 1;
    }
    put(j, run, strlen(run));
    put(j, "\"", 1);
}

void json_open(JsonOut *j, const char *key)
{
    member(j, key);
    put(j, "{", 1);
    j->need_comma = false;
}

void json_close(JsonOut *j)
{
    put(j, "}", 1);
    j->need_comma = true;
}

void json_open_array(JsonOut *j, const char *key)
{
    member(j, key);
    put(j, "[", 1);
    j->need_comma = false;
}

void json_close_array(JsonOut *j)
{
    put(j, "]", 1);
    j->need_comma = true;
}

void json_str(JsonOut *j, const char *key, const char *value)
{
    if (value == nullptr) {
        json_null(j, key);
        return;
    }
    member(j, key);
    json_str_text(j, value);
}

void json_u64(JsonOut *j, const char *key, uint64_t value)
{
    member(j, key);
    char text[24];
    int n = snprintf(text, sizeof text, "%" PRIu64, value);
    put(j, text, n);
}

void json_i64(JsonOut *j, const char *key, int64_t value)
{
    member(j, key);
    char text[24];
    int n = snprintf(text, sizeof text, "%" PRId64, value);
    put(j, text, n);
}

void json_bool(JsonOut *j, const char *key, bool value)
{
    member(j, key);
    put(j, value ? "true" : "false", value ? 4 : 5);
}

void json_null(JsonOut *j, const char *key)
{
    member(j, key);
    put(j, "null", 4);
}
