#include "linkhead.h"

#include <net/if.h>
#include <stdio.h>
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

int extinfo_uuid(const char *text, uint8_t *uuid)
{
    // Each separator conversion takes at most three hyphens, so the scratch
    // area cannot overflow.  A longer run would let its fourth hyphen pass
    // as the sign of the next hex pair (and the text parse with a wrong
    // byte), so such a run is refused.
    char sep[4];
    int used = 0;
    int n = sscanf(text,
                   "%02hhx%02hhx%02hhx%02hhx%3[-]%02hhx%02hhx%3[-]%02hhx%02hhx%3[-]"
                   "%02hhx%02hhx%3[-]%02hhx%02hhx%02hhx%02hhx%02hhx%02hhx%n",
                   &uuid[0], &uuid[1], &uuid[2], &uuid[3], sep, &uuid[4], &uuid[5], sep, &uuid[6],
                   &uuid[7], sep, &uuid[8], &uuid[9], sep, &uuid[10], &uuid[11], &uuid[12],
                   &uuid[13], &uuid[14], &uuid[15], &used);
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
