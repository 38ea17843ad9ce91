// serdgram's option table; the parser itself lives in lib/cmdline.
#include "cmdline.h"

#include "cmdline/cmdline_table.h"

gengetopt_args_info args_info;

const char *gengetopt_args_info_purpose = "";
const char *gengetopt_args_info_usage = "Usage: serdgram [OPTIONS]...";
const char *gengetopt_args_info_versiontext = "";
const char *gengetopt_args_info_description = "";

const char *gengetopt_args_info_help[] = {
    "  -h, --help              Print help and exit",
    "  -V, --version           Print version and exit",
    "  -f, --config=STRING     config files  (default=`/etc/serdgram.cfg')",
    "      --dev=STRING        serial  (default=`/dev/ttyS0')",
    "      --speed=INT         speed set  (default=`115200')",
    "      --stop=INT          stop bit (1,2)  (default=`1')",
    "      --parity=STRING     parity (O,E,N)  (default=`N')",
    "      --data=INT          data bits (5,6,7,8)  (default=`8')",
    "      --vmin=INT          server vmin  (default=`1')",
    "      --vtime=INT         server vtime  (default=`1')",
    "      --nic=STRING        nic mac address  (default=`eth0')",
    "      --uuid=STRING       tranport group  (default=`')",
    "      --udpserver=STRING  udp server addr  (default=`127.0.0.1')",
    "      --udpport=STRING    udp server port  (default=`10000')",
    "      --heartbeat=INT     udp heartbeat  (default=`30')",
    "      --daemon            daemon mode  (default=off)",
    "  -d, --debug=INT         debug level  (default=`4')",
    nullptr,
};

static const OptionDesc options[] = {
    FW_OPT_NONE(help, 'h'),
    FW_OPT_NONE(version, 'V'),
    FW_OPT_STRING(config, 'f', "/etc/serdgram.cfg"),
    FW_OPT_STRING(dev, 0, "/dev/ttyS0"),
    FW_OPT_INT(speed, 0, "115200"),
    FW_OPT_INT(stop, 0, "1"),
    FW_OPT_STRING(parity, 0, "N"),
    FW_OPT_INT(data, 0, "8"),
    FW_OPT_INT(vmin, 0, "1"),
    FW_OPT_INT(vtime, 0, "1"),
    FW_OPT_STRING(nic, 0, "eth0"),
    FW_OPT_STRING(uuid, 0, ""),
    FW_OPT_STRING(udpserver, 0, "127.0.0.1"),
    FW_OPT_PORT_STRING(udpport, "10000"),
    FW_OPT_INT(heartbeat, 0, "30"),
    FW_OPT_FLAG(daemon),
    FW_OPT_INT(debug, 'd', "4"),
};

const CmdlineTable cmdline_table = {
    "serdgram", "1.0.0", "hVf:d:", options, sizeof options / sizeof options[0],
    2, 16, 15,
};
