// Rows of a program's option table, for the program's cmdline.cc, where
// gengetopt_args_info is complete.
#pragma once

#include <stddef.h>

#include "cmdline/cmdline.h"

#define FW_OPT_NONE(name, letter)                                                            \
    {#name, letter, OptKind::None, nullptr, kNoField, kNoField,                             \
     offsetof(gengetopt_args_info, name##_help), offsetof(gengetopt_args_info, name##_given), \
     kNoField, kNoField, 0, 0, false}

#define FW_OPT_VALUE_AS(name, letter, kind, def, is_port)                                    \
    {#name, letter, kind, def, offsetof(gengetopt_args_info, name##_arg),                     \
     offsetof(gengetopt_args_info, name##_orig), offsetof(gengetopt_args_info, name##_help),  \
     offsetof(gengetopt_args_info, name##_given), kNoField, kNoField, 0, 0, is_port}

#define FW_OPT_VALUE(name, letter, kind, def) FW_OPT_VALUE_AS(name, letter, kind, def, false)

#define FW_OPT_STRING(name, letter, def) FW_OPT_VALUE(name, letter, OptKind::String, def)
#define FW_OPT_INT(name, letter, def) FW_OPT_VALUE(name, letter, OptKind::Int, def)
// A port: checked at start-up (check_ports).
#define FW_OPT_PORT_STRING(name, def) FW_OPT_VALUE_AS(name, 0, OptKind::String, def, true)
#define FW_OPT_PORT_INT(name, def) FW_OPT_VALUE_AS(name, 0, OptKind::Int, def, true)

#define FW_OPT_FLAG(name)                                                                    \
    {#name, 0, OptKind::Flag, nullptr, offsetof(gengetopt_args_info, name##_flag), kNoField, \
     offsetof(gengetopt_args_info, name##_help), offsetof(gengetopt_args_info, name##_given), \
     kNoField, kNoField, 0, 0, false}

#define FW_OPT_MULTI(name, lower, upper)                                                     \
    {#name, 0, OptKind::MultiString, nullptr, offsetof(gengetopt_args_info, name##_arg),      \
     offsetof(gengetopt_args_info, name##_orig), offsetof(gengetopt_args_info, name##_help),  \
     offsetof(gengetopt_args_info, name##_given), offsetof(gengetopt_args_info, name##_min),  \
     offsetof(gengetopt_args_info, name##_max), lower, upper, false}

// A row whose long name is not a C name ("udp-timeout"): its fields are
// named by `field` (udp_timeout_arg, ...).
#define FW_OPT_VALUE_NAMED(text, field, letter, kind, def)                                   \
    {text, letter, kind, def, offsetof(gengetopt_args_info, field##_arg),                     \
     offsetof(gengetopt_args_info, field##_orig), offsetof(gengetopt_args_info, field##_help), \
     offsetof(gengetopt_args_info, field##_given), kNoField, kNoField, 0, 0, false}
