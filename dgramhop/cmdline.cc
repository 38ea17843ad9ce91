// dgramhop's option table; the parser itself lives in lib/cmdline.
#include "cmdline.h"

#include "cmdline/cmdline_table.h"

gengetopt_args_info args_info;

const char *gengetopt_args_info_purpose = "";
const char *gengetopt_args_info_usage = "Usage: dgramhop [OPTIONS]...";
const char *gengetopt_args_info_versiontext = "";
const char *gengetopt_args_info_description = "";

const char *gengetopt_args_info_help[] = {
    "  -h, --help           Print help and exit",
    "  -V, --version        Print version and exit",
    "  -c, --config=STRING  config files  (default=`/etc/dgramhop.cfg')",
    "      --outdev=STRING  outdev",
    "      --port=INT       listen port  (default=`6000')",
    "      --dstip=STRING   dest ip",
    "      --dstport=INT    dest port",
    "      --nic=STRING     nic mac address  (default=`eth0')",
    "      --uuid=STRING    tranport group  (default=`')",
    "  -d, --debug=INT      debug level  (default=`4')",
    "      --daemon         daemon mode  (default=off)",
    nullptr,
};

static const OptionDesc options[] = {
    FW_OPT_NONE(help, 'h'),
    FW_OPT_NONE(version, 'V'),
    FW_OPT_STRING(config, 'c', "/etc/dgramhop.cfg"),
    FW_OPT_MULTI(outdev, 1, 0),
    FW_OPT_PORT_INT(port, "6000"),
    FW_OPT_STRING(dstip, 0, nullptr),
    FW_OPT_PORT_INT(dstport, nullptr),
    FW_OPT_STRING(nic, 0, "eth0"),
    FW_OPT_STRING(uuid, 0, ""),
    FW_OPT_INT(debug, 'd', "4"),
    FW_OPT_FLAG(daemon),
};

const CmdlineTable cmdline_table = {
    "dgramhop", "1.0.0", "hVc:d:", options, sizeof options / sizeof options[0],
    2, 9, 10,
};
