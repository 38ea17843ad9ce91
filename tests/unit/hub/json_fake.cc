// Temporary: the status writer until the core's lands.
#include <stdio.h>
#include <string.h>
#include "hub/json.h"
static void put(JsonOut *j, const char *s) { bconcat(&j->buf, s, (int)strlen(s)); }
static void key(JsonOut *j, const char *k) {
    if (j->need_comma) put(j, ",");
    if (k) { put(j, "\""); put(j, k); put(j, "\":"); }
}
void json_open(JsonOut *j, const char *k) { key(j, k); put(j, "{"); j->need_comma = false; }
void json_close(JsonOut *j) { put(j, "}"); j->need_comma = true; }
void json_open_array(JsonOut *j, const char *k) { key(j, k); put(j, "["); j->need_comma = false; }
void json_close_array(JsonOut *j) { put(j, "]"); j->need_comma = true; }
void json_str(JsonOut *j, const char *k, const char *v) {
    key(j, k);
    if (!v) put(j, "null"); else { put(j, "\""); for (const char *p = v; *p; p++) { char b[8]; if (*p == '"' || *p == '\\') snprintf(b, sizeof b, "\\%c", *p); else if ((unsigned char)*p < 0x20) snprintf(b, sizeof b, "\\u%04x", *p); else snprintf(b, sizeof b, "%c", *p); put(j, b);} put(j, "\""); }
    j->need_comma = true;
}
void json_u64(JsonOut *j, const char *k, uint64_t v) { char b[32]; key(j, k); snprintf(b, sizeof b, "%llu", (unsigned long long)v); put(j, b); j->need_comma = true; }
void json_i64(JsonOut *j, const char *k, int64_t v) { char b[32]; key(j, k); snprintf(b, sizeof b, "%lld", (long long)v); put(j, b); j->need_comma = true; }
void json_bool(JsonOut *j, const char *k, bool v) { key(j, k); put(j, v ? "true" : "false"); j->need_comma = true; }
void json_null(JsonOut *j, const char *k) { key(j, k); put(j, "null"); j->need_comma = true; }
