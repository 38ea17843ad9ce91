// streamhop-cli's option table; the parser itself lives in lib/cmdline.
#include "cmdline.h"

#include "cmdline/cmdline_table.h"

gengetopt_args_info args_info;

const char *gengetopt_args_info_purpose = "";
const char *gengetopt_args_info_usage = "Usage: streamhop-cli [OPTIONS]...";
const char *gengetopt_args_info_versiontext = "";
const char *gengetopt_args_info_description = "";

const char *gengetopt_args_info_help[] = {
    "  -h, --help              Print help and exit",
    "  -V, --version           Print version and exit",
    "  -f, --config=STRING     config files  (default=`/etc/streamhop-cli.cfg')",
    "      --nic=STRING        nic mac address  (default=`eth0')",
    "      --uuid=STRING       tranport group  (default=`')",
    "      --localip=STRING    local ip  (default=`127.0.0.1')",
    "      --localport=STRING  local port  (default=`9999')",
    "      --dstip=STRING      tcp server addr  (default=`192.168.10.254')",
    "      --dstport=STRING    tcp server port  (default=`10000')",
    "      --daemon            daemon mode  (default=off)",
    "  -d, --debug=INT         debug level  (default=`4')",
    nullptr,
};

static const OptionDesc options[] = {
    FW_OPT_NONE(help, 'h'),
    FW_OPT_NONE(version, 'V'),
    FW_OPT_STRING(config, 'f', "/etc/streamhop-cli.cfg"),
    FW_OPT_STRING(nic, 0, "eth0"),
    FW_OPT_STRING(uuid, 0, ""),
    FW_OPT_STRING(localip, 0, "127.0.0.1"),
    FW_OPT_PORT_STRING(localport, "9999"),
    FW_OPT_STRING(dstip, 0, "192.168.10.254"),
    FW_OPT_PORT_STRING(dstport, "10000"),
    FW_OPT_FLAG(daemon),
    FW_OPT_INT(debug, 'd', "4"),
};

const CmdlineTable cmdline_table = {
    "streamhop-cli", "1.0.0", "hVf:d:", options, sizeof options / sizeof options[0],
    2, 10, 9,
};
