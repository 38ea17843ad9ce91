// serstream's option record: one field group per option, in table order.
#pragma once

#include "cmdline/cmdline.h"

struct gengetopt_args_info {
    const char *help_help;
    const char *version_help;
    char *config_arg;
    char *config_orig;
    const char *config_help;
    char *dev_arg;
    char *dev_orig;
    const char *dev_help;
    int speed_arg;
    char *speed_orig;
    const char *speed_help;
    int stop_arg;
    char *stop_orig;
    const char *stop_help;
    char *parity_arg;
    char *parity_orig;
    const char *parity_help;
    int data_arg;
    char *data_orig;
    const char *data_help;
    int vmin_arg;
    char *vmin_orig;
    const char *vmin_help;
    int vtime_arg;
    char *vtime_orig;
    const char *vtime_help;
    char *nic_arg;
    char *nic_orig;
    const char *nic_help;
    char *uuid_arg;
    char *uuid_orig;
    const char *uuid_help;
    int alivetimer_arg;
    char *alivetimer_orig;
    const char *alivetimer_help;
    char *tcpserver_arg;
    char *tcpserver_orig;
    const char *tcpserver_help;
    char *tcpport_arg;
    char *tcpport_orig;
    const char *tcpport_help;
    int daemon_flag;
    const char *daemon_help;
    int debug_arg;
    char *debug_orig;
    const char *debug_help;

    unsigned int help_given;
    unsigned int version_given;
    unsigned int config_given;
    unsigned int dev_given;
    unsigned int speed_given;
    unsigned int stop_given;
    unsigned int parity_given;
    unsigned int data_given;
    unsigned int vmin_given;
    unsigned int vtime_given;
    unsigned int nic_given;
    unsigned int uuid_given;
    unsigned int alivetimer_given;
    unsigned int tcpserver_given;
    unsigned int tcpport_given;
    unsigned int daemon_given;
    unsigned int debug_given;
};
