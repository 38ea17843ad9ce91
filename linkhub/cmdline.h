// linkhub's option record: one field group per option, in table order.
#pragma once

#include "cmdline/cmdline.h"

struct gengetopt_args_info {
    const char *help_help;
    const char *version_help;
    char *config_arg;
    char *config_orig;
    const char *config_help;
    char *listen_arg;
    char *listen_orig;
    const char *listen_help;
    char **group_arg;
    char **group_orig;
    int group_min;
    int group_max;
    const char *group_help;
    char **device_arg;
    char **device_orig;
    int device_min;
    int device_max;
    const char *device_help;
    char *status_arg;
    char *status_orig;
    const char *status_help;
    int udp_timeout_arg;
    char *udp_timeout_orig;
    const char *udp_timeout_help;
    int debug_arg;
    char *debug_orig;
    const char *debug_help;
    int daemon_flag;
    const char *daemon_help;

    unsigned int help_given;
    unsigned int version_given;
    unsigned int config_given;
    unsigned int listen_given;
    unsigned int group_given;
    unsigned int device_given;
    unsigned int status_given;
    unsigned int udp_timeout_given;
    unsigned int debug_given;
    unsigned int daemon_given;
};
