// Growable byte queue and allocation that never returns NULL.
//
// The queued bytes always start at data (idx is 0 between operations).  The
// ByteBuffer record belongs to whoever holds it; bfree releases only the block.
#pragma once

#include <stddef.h>
#include <stdint.h>

struct ByteBuffer {
    int32_t idx;        // offset of the first valid byte; always 0 between calls
    int32_t len;        // number of valid bytes
    uint32_t capacity;  // size of the block at data
    char *data;         // owned block; NULL before balloc and after bfree
};

// malloc + zero fill; ends the process with status 1 when memory runs out.
void *ss_malloc(size_t size);
// realloc; on failure frees the old block and ends the process with status 1.
void *ss_realloc(void *ptr, size_t size);

int balloc(ByteBuffer *buf, int size);
int brealloc(ByteBuffer *buf, uint32_t len, uint32_t capacity);
ByteBuffer *bconcat(ByteBuffer *buf, const char *src, int count);
void breset(ByteBuffer *buf);
// Drops count bytes from the front; callers pass 0 < count <= len.
void bshrink(ByteBuffer *buf, int count);
int bufempty(const ByteBuffer *buf);
void bfree(ByteBuffer *buf);
