#include "linkhead.h"

#include <net/if.h>
#include <stdlib.h>
#include <string.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <unistd.h>

#include "log.h"

const uint8_t magic[6] = {'k', 'o', 'v', 'l', 'a', 't'};

int extinfo_nicmac(const char *nic, uint8_t *mac)
{
    int sock = socket(AF_INET, SOCK_DGRAM, 0);
    if (sock < 0) {
        log_err("Create socket failed\n");
        exit(-1);
    }
    struct ifreq ifr;
    memset(&ifr, 0, sizeof ifr);
    // A name that does not fit ifr_name (15 characters and the NUL) would
    // name some other interface once cut: refuse it like an unknown one.
    size_t len = strlen(nic);
    if (len >= sizeof ifr.ifr_name) {
        log_err("Get ap mac failed\n");
        close(sock);
        return -1;
    }
    memcpy(ifr.ifr_name, nic, len);
    if (ioctl(sock, SIOCGIFHWADDR, &ifr) < 0) {
        log_err("Get ap mac failed\n");
        close(sock);
        return -1;
    }
    memcpy(mac, ifr.ifr_hwaddr.sa_data, 6);
    close(sock);
    return 0;
}

// More than three hyphens in a row among the first `count` characters.
static bool long_hyphen_run(const char *text, int count)
{
    int run = 0;
    for (int i = 0; i < count && text[i] != '\0'; i++) {
        run = text[i] == '-' ? run + 1 : 0;
        if (run > 3)
            return true;
    }
    return false;
}

// The UUID text is read the way sscanf reads the format
//   "%02hhx%02hhx%02hhx%02hhx%3[-]%02hhx%02hhx%3[-]%02hhx%02hhx%3[-]"
//   "%02hhx%02hhx%3[-]%02hhx%02hhx%02hhx%02hhx%02hhx%02hhx"
// (glibc's reading, without the size of the C library's scanf family on a
// static build).  Each scanner returns 1 for a conversion made, 0 for a
// matching failure and -1 when the text ends before the conversion starts.

static int hex_digit(char c)
{
    if (c >= '0' && c <= '9')
        return c - '0';
    if (c >= 'a' && c <= 'f')
        return c - 'a' + 10;
    if (c >= 'A' && c <= 'F')
        return c - 'A' + 10;
    return -1;
}

static bool scan_space(char c)
{
    return c == ' ' || (c >= '\t' && c <= '\r');
}

// "%02hhx": white space skipped, then at most two characters of a hex
// number: an optional sign, an optional 0x prefix, hex digits.
static int scan_hex_pair(const char **pos, uint8_t *out)
{
    const char *p = *pos;
    while (scan_space(*p))
        p++;
    if (*p == '\0')
        return -1;
    int width = 2;
    bool negative = false;
    bool digits = false;
    unsigned value = 0;
    if (*p == '+' || *p == '-') {
        negative = *p == '-';
        p++;
        width--;
    }
    if (width > 0 && *p == '0') {
        digits = true;
        p++;
        width--;
        if (width > 0 && (*p == 'x' || *p == 'X')) {
            p++;
            width--;
        }
    }
    for (; width > 0 && hex_digit(*p) >= 0; width--, p++) {
        value = value * 16 + hex_digit(*p);
        digits = true;
    }
    *pos = p;
    if (!digits)
        return 0;
    *out = (uint8_t)(negative ? 0u - value : value);
    return 1;
}

// "%3[-]": one to three hyphens.
static int scan_hyphens(const char **pos)
{
    const char *p = *pos;
    if (*p == '\0')
        return -1;
    int n = 0;
    while (n < 3 && p[n] == '-')
        n++;
    *pos = p + n;
    return n > 0;
}

// The conversions made, or -1 when the text ends before the first; `used`
// gets the characters read when all twenty are made.
static int scan_uuid(const char *text, uint8_t *uuid, int *used)
{
    // 'x': a hex pair into the next byte; '-': a run of hyphens.
    static const char layout[] = "xxxx-xx-xx-xx-xxxxxx";
    const char *p = text;
    int n = 0;
    int r = 1;
    for (const char *c = layout; *c != '\0' && r > 0; c++) {
        r = *c == '-' ? scan_hyphens(&p) : scan_hex_pair(&p, uuid++);
        n += r > 0;
    }
    if (n == 20)
        *used = (int)(p - text);
    return r < 0 && n == 0 ? -1 : n;
}

int extinfo_uuid(const char *text, uint8_t *uuid)
{
    // Each separator takes at most three hyphens.  A longer run would let
    // its fourth hyphen pass as the sign of the next hex pair (and the text
    // parse with a wrong byte), so such a run is refused.
    int used = 0;
    int n = scan_uuid(text, uuid, &used);
    if (n == 20 && !long_hyphen_run(text, used))
        return 0;
    log_err("%s %dprocess failed\n", text, n);
    exit(-1);
}

static int link_head_init(const char *func, LinkHeader *head, const char *nic, const char *uuid)
{
    memcpy(head->magic, magic, sizeof head->magic);
    if (extinfo_nicmac(nic, head->mac) < 0) {
        log_err_as(func, "extinfo_nicmac: %s failed\n", nic);
        exit(-1);
    }
    extinfo_uuid(uuid, head->uuid);
    return 0;
}

int tcp_head_init(LinkHeader *head, const char *nic, const char *uuid)
{
    return link_head_init(__func__, head, nic, uuid);
}

int udp_head_init(LinkHeader *head, const char *nic, const char *uuid)
{
    return link_head_init(__func__, head, nic, uuid);
}
