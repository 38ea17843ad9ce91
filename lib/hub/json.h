// A small writer for the status document: JSON text into a growing buffer,
// strings escaped, commas placed by the writer.
#pragma once

#include <stddef.h>
#include <stdint.h>

#include "common/buffer.h"

struct JsonOut {
    ByteBuffer buf;  // the text so far; the caller bfree()s it
    bool need_comma;
};

void json_open(JsonOut *j, const char *key);        // "key":{  (key NULL inside an array or at the top)
void json_close(JsonOut *j);                        // }
void json_open_array(JsonOut *j, const char *key);  // "key":[
void json_close_array(JsonOut *j);                  // ]
void json_str(JsonOut *j, const char *key, const char *value);  // value NULL: null
void json_u64(JsonOut *j, const char *key, uint64_t value);
void json_i64(JsonOut *j, const char *key, int64_t value);
void json_bool(JsonOut *j, const char *key, bool value);
void json_null(JsonOut *j, const char *key);
// A bare string value, quoted and escaped (no comma, no key).
void json_str_text(JsonOut *j, const char *text);
