// streamhop's option record: one field group per option, in table order.
#pragma once

#include "cmdline/cmdline.h"

struct gengetopt_args_info {
    const char *help_help;
    const char *version_help;
    char *config_arg;
    char *config_orig;
    const char *config_help;
    char **outdev_arg;
    char **outdev_orig;
    int outdev_min;
    int outdev_max;
    const char *outdev_help;
    char *port_arg;
    char *port_orig;
    const char *port_help;
    char *dstip_arg;
    char *dstip_orig;
    const char *dstip_help;
    char *dstport_arg;
    char *dstport_orig;
    const char *dstport_help;
    char *nic_arg;
    char *nic_orig;
    const char *nic_help;
    char *uuid_arg;
    char *uuid_orig;
    const char *uuid_help;
    int daemon_flag;
    const char *daemon_help;
    int debug_arg;
    char *debug_orig;
    const char *debug_help;

    unsigned int help_given;
    unsigned int version_given;
    unsigned int config_given;
    unsigned int outdev_given;
    unsigned int port_given;
    unsigned int dstip_given;
    unsigned int dstport_given;
    unsigned int nic_given;
    unsigned int uuid_given;
    unsigned int daemon_given;
    unsigned int debug_given;
};
