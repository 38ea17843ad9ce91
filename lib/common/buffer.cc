#include "buffer.h"

#include <stdlib.h>
#include <string.h>

void *ss_malloc(size_t size)
{
    void *p = malloc(size);
    if (p == NULL)
        exit(1);
    memset(p, 0, size);
    return p;
}

void *ss_realloc(void *ptr, size_t size)
{
    void *p = realloc(ptr, size);
    if (p == NULL) {
        free(ptr);
        exit(1);
    }
    return p;
}

int balloc(ByteBuffer *buf, int size)
{
    memset(buf, 0, sizeof *buf);
    buf->data = static_cast<char *>(ss_malloc(size));
    buf->capacity = size;
    return size;
}

int brealloc(ByteBuffer *buf, uint32_t len, uint32_t capacity)
{
    if (buf == NULL)
        return -1;
    uint32_t size = capacity < len ? len : capacity;
    if (buf->capacity < size) {
        buf->data = static_cast<char *>(ss_realloc(buf->data, size));
        buf->capacity = size;
    }
    return size;
}

ByteBuffer *bconcat(ByteBuffer *buf, const char *src, int count)
{
    if (count <= 0)
        return buf;
    brealloc(buf, buf->len + count, buf->capacity);
    memcpy(buf->data + buf->len, src, count);
    buf->len += count;
    return buf;
}

void breset(ByteBuffer *buf)
{
    buf->len = 0;
    buf->idx = 0;
}

void bshrink(ByteBuffer *buf, int count)
{
    buf->len -= count;
    buf->idx = count;
    memmove(buf->data, buf->data + buf->idx, buf->len);
    buf->idx = 0;
}

int bufempty(const ByteBuffer *buf)
{
    return buf->len == 0;
}

void bfree(ByteBuffer *buf)
{
    if (buf == NULL)
        return;
    buf->idx = 0;
    buf->len = 0;
    buf->capacity = 0;
    if (buf->data != NULL) {
        free(buf->data);
        buf->data = NULL;
    }
}
