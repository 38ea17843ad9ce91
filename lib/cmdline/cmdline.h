// The option parser shared by the five programs.
//
// One engine, driven by each program's option table (its cmdline.cc) as data.
// A program defines `struct gengetopt_args_info` with its fields, the global
// `args_info`, the help texts and `cmdline_table`; everything here works on
// that record through the offsets the table gives.
#pragma once

#include <stddef.h>
#include <stdio.h>

struct gengetopt_args_info;  // defined by each program (its cmdline.h)

struct cmdline_parser_params {
    int override;         // a value from an earlier pass may be replaced
    int initialize;       // reset args_info to its defaults first
    int check_required;   // end the pass with the occurrence check
    int check_ambiguity;  // an option given in an earlier pass counts as given
    int print_errors;     // let getopt_long print its own messages
};

enum class OptKind { None, Flag, String, Int, MultiString };

constexpr size_t kNoField = static_cast<size_t>(-1);

// One row of a program's option table.  Offsets are into the program's
// gengetopt_args_info; kNoField where the kind has no such field.
struct OptionDesc {
    const char *long_name;
    char short_name;           // 0 when the option has none
    OptKind kind;
    const char *default_text;  // NULL: no default
    size_t arg;                // _arg (or _flag)
    size_t orig;               // _orig
    size_t help;               // _help
    size_t given;              // _given
    size_t min;                // _min of a multiple option
    size_t max;                // _max of a multiple option
    int min_value, max_value;  // occurrence bounds, 0 meaning none
    bool port;                 // a port: numeric values must lie in 1..65535
};

struct CmdlineTable {
    const char *package;     // program name
    const char *version;     // "1.0.0"
    const char *short_opts;  // getopt short-option string
    const OptionDesc *options;
    int count;
    // Indexes of the options proc_args reads.
    int config, debug, daemon;
};

// Provided by the program.
extern const CmdlineTable cmdline_table;
extern gengetopt_args_info args_info;
extern const char *gengetopt_args_info_purpose;
extern const char *gengetopt_args_info_usage;
extern const char *gengetopt_args_info_versiontext;
extern const char *gengetopt_args_info_description;
extern const char *gengetopt_args_info_help[];

// Start-up: command line, configuration file, occurrence check, the port
// check, then the globals debug and daemon_mode.  Returns only on success.
void proc_args(int argc, char **argv);

// The port options (rows marked `port`): a value given as a number (an
// integer option, or a text that is all decimal digits after optional
// blanks and sign, as the resolver reads it) must lie in 1..65535; a service
// name is left to the resolver.  0, or -1 after a message on standard error
// naming the option.
int check_ports(const gengetopt_args_info *args_info);
// 1 when the text is a number the resolver would take as a port, and the
// number (clamped) in *value.
int port_number(const char *text, long *value);

int cmdline_parser(int argc, char **argv, gengetopt_args_info *args_info);
int cmdline_parser2(int argc, char **argv, gengetopt_args_info *args_info, int override,
                    int initialize, int check_required);
int cmdline_parser_ext(int argc, char **argv, gengetopt_args_info *args_info,
                       cmdline_parser_params *params);
int cmdline_parser_config_file(const char *filename, gengetopt_args_info *args_info,
                               cmdline_parser_params *params);
int cmdline_parser_configfile(const char *filename, gengetopt_args_info *args_info, int override,
                              int initialize, int check_required);
int cmdline_parser_required(gengetopt_args_info *args_info, const char *prog_name);
void cmdline_parser_init(gengetopt_args_info *args_info);
void cmdline_parser_free(gengetopt_args_info *args_info);
void cmdline_parser_params_init(cmdline_parser_params *params);
// Allocates with ss_malloc; the caller frees it.
cmdline_parser_params *cmdline_parser_params_create(void);
void cmdline_parser_print_help(void);
void cmdline_parser_print_version(void);
int cmdline_parser_dump(FILE *outfile, gengetopt_args_info *args_info);
int cmdline_parser_file_save(const char *filename, gengetopt_args_info *args_info);

// Deepest include chain a configuration file may have.
constexpr int kMaxIncludeDepth = 32;
