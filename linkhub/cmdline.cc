// linkhub's option table; the parser itself lives in lib/cmdline.
#include "cmdline.h"

#include "cmdline/cmdline_table.h"

gengetopt_args_info args_info;

const char *gengetopt_args_info_purpose = "";
const char *gengetopt_args_info_usage = "Usage: linkhub [OPTIONS]...";
const char *gengetopt_args_info_versiontext = "";
const char *gengetopt_args_info_description = "";

const char *gengetopt_args_info_help[] = {
    "  -h, --help             Print help and exit",
    "  -V, --version          Print version and exit",
    "  -f, --config=STRING    config files  (default=`/etc/linkhub.cfg')",
    "      --listen=STRING    [ADDR:]PORT the boards connect to, TCP and UDP  "
    "(default=`0.0.0.0:10000')",
    "      --group=STRING     accepted transport group (UUID), at least one",
    "      --device=STRING    MAC ENDPOINT [ENDPOINT]...: tcp:ADDR:PORT, pty:PATH, "
    "baud:N, gap:MS",
    "      --status=STRING    status socket  (default=`/run/linkhub/status.sock')",
    "      --udp-timeout=INT  seconds without a datagram before a UDP board is offline  "
    "(default=`90')",
    "  -d, --debug=INT        debug level  (default=`4')",
    "      --daemon           daemon mode  (default=off)",
    nullptr,
};

static const OptionDesc options[] = {
    FW_OPT_NONE(help, 'h'),
    FW_OPT_NONE(version, 'V'),
    FW_OPT_STRING(config, 'f', "/etc/linkhub.cfg"),
    FW_OPT_STRING(listen, 0, "0.0.0.0:10000"),
    FW_OPT_MULTI(group, 0, 0),
    FW_OPT_MULTI(device, 0, 0),
    FW_OPT_STRING(status, 0, "/run/linkhub/status.sock"),
    FW_OPT_VALUE_NAMED("udp-timeout", udp_timeout, 0, OptKind::Int, "90"),
    FW_OPT_INT(debug, 'd', "4"),
    FW_OPT_FLAG(daemon),
};

const CmdlineTable cmdline_table = {
    "linkhub", "1.0.0", "hVf:d:", options, sizeof options / sizeof options[0],
    2, 8, 9,
};
