// Table-driven option parser and configuration-file reader.
//
// All messages go straight to stderr: the log level is not known yet.

#include "cmdline.h"

#include <fcntl.h>
#include <getopt.h>
#include <limits.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

#include "common/buffer.h"
#include "common/log.h"

namespace {

constexpr int kMaxOptions = 32;
constexpr int kConfigLineMax = 2047;  // characters before the newline

char *dup_text(const char *text)
{
    size_t n = strlen(text) + 1;
    char *copy = static_cast<char *>(ss_malloc(n));
    memcpy(copy, text, n);
    return copy;
}

template <typename T>
T &field(gengetopt_args_info *ai, size_t offset)
{
    return *reinterpret_cast<T *>(reinterpret_cast<char *>(ai) + offset);
}

// Values of a multiple option collected during one pass.
struct PieceList {
    char **values = nullptr;
    int count = 0;

    void add(const char *text, size_t len)
    {
        values = static_cast<char **>(ss_realloc(values, (count + 1) * sizeof *values));
        char *piece = static_cast<char *>(ss_malloc(len + 1));
        memcpy(piece, text, len);
        values[count++] = piece;
    }
    void clear()
    {
        for (int i = 0; i < count; i++)
            free(values[i]);
        free(values);
        values = nullptr;
        count = 0;
    }
};

// Splits at commas; "\," keeps the comma and drops the backslash.  A leading
// comma or two commas in a row give an empty piece, a trailing comma none,
// and an empty text one empty piece.
void split_multiple(const char *text, PieceList *out)
{
    size_t len = strlen(text);
    char *piece = static_cast<char *>(ss_malloc(len + 1));
    const char *p = text;
    for (;;) {
        size_t n = 0;
        while (*p && *p != ',') {
            if (p[0] == '\\' && p[1] == ',') {
                piece[n++] = ',';
                p += 2;
            } else {
                piece[n++] = *p++;
            }
        }
        out->add(piece, n);
        if (*p == '\0')
            break;
        ++p;  // the comma
        if (*p == '\0')
            break;
    }
    free(piece);
}

// Occurrence bounds of one multiple option; 0 when met, 1 after a message.
int check_occurrences(const char *prog_name, int count, int min, int max, const char *desc)
{
    if (count == 0 || (min == 0 && max == 0))
        return 0;
    if (min != 0 && max != 0) {
        if (min == max && count != min) {
            fprintf(stderr, "%s: %s option occurrences must be %d\n", prog_name, desc, min);
            return 1;
        }
        if (count < min || count > max) {
            fprintf(stderr, "%s: %s option occurrences must be between %d and %d\n", prog_name,
                    desc, min, max);
            return 1;
        }
        return 0;
    }
    if (min != 0 && count < min) {
        fprintf(stderr, "%s: %s option occurrences must be at least %d\n", prog_name, desc, min);
        return 1;
    }
    if (max != 0 && count > max) {
        fprintf(stderr, "%s: %s option occurrences must be at most %d\n", prog_name, desc, max);
        return 1;
    }
    return 0;
}

int required_all(gengetopt_args_info *ai, const char *prog_name)
{
    int error = 0;
    for (int i = 0; i < cmdline_table.count; i++) {
        const OptionDesc &o = cmdline_table.options[i];
        if (o.kind != OptKind::MultiString)
            continue;
        char desc[64];
        snprintf(desc, sizeof desc, "'--%s'", o.long_name);
        error += check_occurrences(prog_name, field<unsigned>(ai, o.given), field<int>(ai, o.min),
                                   field<int>(ai, o.max), desc);
    }
    return error ? 1 : 0;
}

int to_int(long v)
{
    if (v > INT_MAX)
        return INT_MAX;
    if (v < INT_MIN)
        return INT_MIN;
    return static_cast<int>(v);
}

// Stores one occurrence of a single-valued option.  0 on success, 1 after a
// message.
int store_value(gengetopt_args_info *ai, const OptionDesc &o, unsigned *local_given,
                const char *text, const cmdline_parser_params *params, const char *pass_name,
                const char *additional)
{
    unsigned &given = field<unsigned>(ai, o.given);
    if (*local_given || (params->check_ambiguity && given)) {
        if (o.short_name)
            fprintf(stderr, "%s: `--%s' (`-%c') option given more than once%s\n", pass_name,
                    o.long_name, o.short_name, additional);
        else
            fprintf(stderr, "%s: `--%s' option given more than once%s\n", pass_name, o.long_name,
                    additional);
        return 1;
    }
    if (given && !params->override)
        return 0;
    ++*local_given;
    ++given;

    switch (o.kind) {
    case OptKind::Flag:
        field<int>(ai, o.arg) = !field<int>(ai, o.arg);
        return 0;
    case OptKind::Int: {
        char *end = nullptr;
        long v = strtol(text, &end, 0);
        field<int>(ai, o.arg) = to_int(v);
        if (*end != '\0') {
            fprintf(stderr, "%s: invalid numeric value: %s\n", pass_name, text);
            return 1;
        }
        break;
    }
    case OptKind::String: {
        char *&value = field<char *>(ai, o.arg);
        free(value);
        value = dup_text(text);
        break;
    }
    default:
        return 0;
    }
    char *&orig = field<char *>(ai, o.orig);
    free(orig);
    orig = dup_text(text);
    return 0;
}

// Appends the values a pass collected to the option's arrays in args_info.
void move_pieces(gengetopt_args_info *ai, const OptionDesc &o, PieceList *pieces)
{
    if (pieces->count == 0)
        return;
    unsigned &given = field<unsigned>(ai, o.given);
    char **&arg = field<char **>(ai, o.arg);
    char **&orig = field<char **>(ai, o.orig);
    size_t total = given + pieces->count;
    arg = static_cast<char **>(ss_realloc(arg, total * sizeof *arg));
    orig = static_cast<char **>(ss_realloc(orig, total * sizeof *orig));
    for (int i = 0; i < pieces->count; i++) {
        orig[given + i] = dup_text(pieces->values[i]);
        arg[given + i] = pieces->values[i];  // the list's copy moves over
    }
    given = total;
    free(pieces->values);
    pieces->values = nullptr;
    pieces->count = 0;
}

// One pass of getopt_long over argv.  argv[0] names the pass in messages;
// `additional` ends them ("" on the command line).
int run_pass(int argc, char **argv, gengetopt_args_info *ai, cmdline_parser_params *params,
             const char *additional)
{
    const CmdlineTable &t = cmdline_table;
    const char *pass_name = argv[0];
    if (params->initialize)
        cmdline_parser_init(ai);

    unsigned local_given[kMaxOptions] = {};
    PieceList pieces[kMaxOptions];
    struct option longopts[kMaxOptions + 1];
    memset(longopts, 0, sizeof longopts);
    for (int i = 0; i < t.count; i++) {
        const OptionDesc &o = t.options[i];
        longopts[i].name = o.long_name;
        longopts[i].has_arg =
            (o.kind == OptKind::None || o.kind == OptKind::Flag) ? no_argument : required_argument;
        longopts[i].flag = nullptr;
        longopts[i].val = o.short_name;
    }

    optarg = nullptr;
    optind = 0;
    opterr = params->print_errors;
    optopt = '?';

    int error = 0;
    for (;;) {
        int option_index = 0;
        int c = getopt_long(argc, argv, t.short_opts, longopts, &option_index);
        if (c == -1)
            break;
        if (c == '?') {
            error = 1;
            break;
        }
        int idx = -1;
        if (c == 0) {
            const char *name = longopts[option_index].name;
            for (int i = 0; i < t.count && idx < 0; i++)
                if (t.options[i].short_name == 0 && strcmp(name, t.options[i].long_name) == 0)
                    idx = i;
        } else {
            for (int i = 0; i < t.count && idx < 0; i++)
                if (t.options[i].short_name == c)
                    idx = i;
        }
        if (idx < 0) {
            fprintf(stderr, "%s: option unknown: %c%s\n", t.package, c, additional);
            abort();
        }
        const OptionDesc &o = t.options[idx];
        if (o.kind == OptKind::None) {
            if (c == 'h')
                cmdline_parser_print_help();
            else
                cmdline_parser_print_version();
            for (int i = 0; i < t.count; i++)
                pieces[i].clear();
            exit(0);
        }
        if (o.kind == OptKind::MultiString) {
            split_multiple(optarg, &pieces[idx]);
            continue;
        }
        if (store_value(ai, o, &local_given[idx], optarg, params, pass_name, additional)) {
            error = 1;
            break;
        }
    }

    if (!error) {
        for (int i = 0; i < t.count; i++)
            if (t.options[i].kind == OptKind::MultiString)
                move_pieces(ai, t.options[i], &pieces[i]);
        if (params->check_required)
            error = required_all(ai, pass_name);
    }
    for (int i = 0; i < t.count; i++)
        pieces[i].clear();
    return error ? 1 : 0;
}

// The configuration word list: package name first, then one word per line.
struct WordList {
    char **words = nullptr;
    int count = 0;

    void add(char *word)
    {
        words = static_cast<char **>(ss_realloc(words, (count + 1) * sizeof *words));
        words[count++] = word;
    }
    void clear()
    {
        for (int i = 0; i < count; i++)
            free(words[i]);
        free(words);
        words = nullptr;
        count = 0;
    }
};

WordList config_words;

const char *const kBlanks = " \t\r\n";

// Opens a configuration file for reading: only a regular file.  O_NONBLOCK
// keeps the open from waiting on a FIFO; it changes nothing for a regular
// file.  NULL after a message.
FILE *open_config(const char *filename)
{
    const char *pkg = cmdline_table.package;
    int fd = open(filename, O_RDONLY | O_CLOEXEC | O_NONBLOCK);
    if (fd < 0) {
        fprintf(stderr, "%s: Error opening configuration file '%s'\n", pkg, filename);
        return NULL;
    }
    struct stat st;
    if (fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
        fprintf(stderr, "%s: configuration file '%s' is not a regular file\n", pkg, filename);
        close(fd);
        return NULL;
    }
    FILE *file = fdopen(fd, "r");
    if (file == NULL) {
        fprintf(stderr, "%s: Error opening configuration file '%s'\n", pkg, filename);
        close(fd);
    }
    return file;
}

enum class LineRead { Line, End, Error, TooLong, Nul };

// One line without its newline into buf (NUL-terminated).  A line is too
// long when more than kConfigLineMax characters precede its newline, not
// counting a '\r' right before it ("\r\n" reads like "\n").
LineRead read_line(FILE *file, char *buf, size_t size)
{
    static_assert(kConfigLineMax + 3 <= 4096, "line buffer");
    size_t n = 0;
    bool nul = false;
    int c;
    while ((c = getc(file)) != EOF && c != '\n') {
        if (c == '\0')
            nul = true;
        // Room for the longest line and its '\r'; one more character tells
        // a line that is too long.
        if (n + 1 >= size || n > static_cast<size_t>(kConfigLineMax) + 1)
            return LineRead::TooLong;
        buf[n++] = static_cast<char>(c);
    }
    buf[n] = '\0';
    if (c == EOF && ferror(file))
        return LineRead::Error;
    size_t content = (n > 0 && buf[n - 1] == '\r') ? n - 1 : n;
    if (content > static_cast<size_t>(kConfigLineMax))
        return LineRead::TooLong;
    if (nul)
        return LineRead::Nul;
    if (c == EOF && n == 0)
        return LineRead::End;
    return LineRead::Line;
}

// Reads one configuration file (and its includes) into config_words.
// 0 on success, 1 after a message.
int read_config(const char *filename, int depth)
{
    const char *pkg = cmdline_table.package;
    if (depth > kMaxIncludeDepth) {
        fprintf(stderr, "%s: configuration file '%s' is included more than %d levels deep\n", pkg,
                filename, kMaxIncludeDepth);
        return 1;
    }
    FILE *file = open_config(filename);
    if (file == NULL)
        return 1;

    char linebuf[kConfigLineMax + 3];
    int line_num = 0;
    int result = 0;
    for (;;) {
        LineRead got = read_line(file, linebuf, sizeof linebuf);
        if (got == LineRead::End)
            break;
        ++line_num;
        if (got == LineRead::Error) {
            fprintf(stderr, "%s: Error reading configuration file '%s'\n", pkg, filename);
            result = 1;
            break;
        }
        if (got == LineRead::TooLong) {
            fprintf(stderr, "%s:%s:%d: Line too long in configuration file\n", pkg, filename,
                    line_num);
            result = 1;
            break;
        }
        if (got == LineRead::Nul) {
            fprintf(stderr, "%s:%s:%d: NUL byte in configuration file\n", pkg, filename,
                    line_num);
            result = 1;
            break;
        }

        char *str = linebuf + strspn(linebuf, kBlanks);
        if (*str == '\0' || *str == '#')
            continue;

        char *name = str;
        const char *value = "";
        bool equal = false;
        str += strcspn(str, " \t\r\n=");
        if (*str != '\0') {
            equal = (*str == '=');
            *str++ = '\0';
            str += strspn(str, kBlanks);
            if (!equal && *str == '=') {
                equal = true;
                ++str;
                str += strspn(str, kBlanks);
            }
            char *end;
            char *rest;
            if (*str == '"' || *str == '\'') {
                char quote = *str++;
                end = strchr(str, quote);
                if (end == NULL) {
                    fprintf(stderr, "%s:%s:%d: unterminated string in configuration file\n", pkg,
                            filename, line_num);
                    result = 1;
                    break;
                }
                rest = end + 1;
            } else {
                end = str + strcspn(str, " \t\r\n#'\"");
                rest = end;
            }
            if (*rest != '#') {
                rest += strspn(rest, kBlanks);
                if (*rest != '\0' && *rest != '#') {
                    fprintf(stderr, "%s:%s:%d: malformed string in configuration file\n", pkg,
                            filename, line_num);
                    result = 1;
                    break;
                }
            }
            *end = '\0';
            value = str;
        }

        if (strcmp(name, "include") == 0) {
            if (*value == '\0') {
                fprintf(stderr, "%s:%s:%d: include requires a filename argument.\n", pkg, filename,
                        line_num);
                continue;
            }
            if (read_config(value, depth + 1) != 0) {
                result = 1;
                break;
            }
            continue;
        }

        size_t name_len = strlen(name);
        size_t value_len = strlen(value);
        char *word = static_cast<char *>(ss_malloc(name_len + value_len + 4));
        if (name_len < 2)
            snprintf(word, name_len + value_len + 4, "-%s%s", name, value);
        else
            snprintf(word, name_len + value_len + 4, "--%s%s%s", name,
                     (value_len > 0 || equal) ? "=" : "", value);
        config_words.add(word);
    }
    fclose(file);
    return result;
}

}  // namespace

void cmdline_parser_params_init(cmdline_parser_params *params)
{
    if (params == NULL)
        return;
    params->override = 0;
    params->initialize = 1;
    params->check_required = 1;
    params->check_ambiguity = 0;
    params->print_errors = 1;
}

cmdline_parser_params *cmdline_parser_params_create(void)
{
    auto *params = static_cast<cmdline_parser_params *>(ss_malloc(sizeof(cmdline_parser_params)));
    cmdline_parser_params_init(params);
    return params;
}

void cmdline_parser_init(gengetopt_args_info *ai)
{
    for (int i = 0; i < cmdline_table.count; i++) {
        const OptionDesc &o = cmdline_table.options[i];
        field<const char *>(ai, o.help) = gengetopt_args_info_help[i];
        field<unsigned>(ai, o.given) = 0;
        switch (o.kind) {
        case OptKind::String:
            field<char *>(ai, o.arg) = o.default_text ? dup_text(o.default_text) : nullptr;
            field<char *>(ai, o.orig) = nullptr;
            break;
        case OptKind::Int:
            if (o.default_text)
                field<int>(ai, o.arg) = to_int(strtol(o.default_text, nullptr, 0));
            field<char *>(ai, o.orig) = nullptr;
            break;
        case OptKind::Flag:
            field<int>(ai, o.arg) = 0;
            break;
        case OptKind::MultiString:
            field<char **>(ai, o.arg) = nullptr;
            field<char **>(ai, o.orig) = nullptr;
            field<int>(ai, o.min) = o.min_value;
            field<int>(ai, o.max) = o.max_value;
            break;
        case OptKind::None:
            break;
        }
    }
}

void cmdline_parser_free(gengetopt_args_info *ai)
{
    for (int i = 0; i < cmdline_table.count; i++) {
        const OptionDesc &o = cmdline_table.options[i];
        unsigned &given = field<unsigned>(ai, o.given);
        switch (o.kind) {
        case OptKind::String:
            free(field<char *>(ai, o.arg));
            field<char *>(ai, o.arg) = nullptr;
            [[fallthrough]];
        case OptKind::Int:
            free(field<char *>(ai, o.orig));
            field<char *>(ai, o.orig) = nullptr;
            break;
        case OptKind::MultiString: {
            char **&arg = field<char **>(ai, o.arg);
            char **&orig = field<char **>(ai, o.orig);
            for (unsigned j = 0; j < given; j++) {
                if (arg)
                    free(arg[j]);
                if (orig)
                    free(orig[j]);
            }
            free(arg);
            free(orig);
            arg = nullptr;
            orig = nullptr;
            break;
        }
        default:
            break;
        }
        given = 0;
    }
}

void cmdline_parser_print_version(void)
{
    printf("%s %s\n", cmdline_table.package, cmdline_table.version);
    if (gengetopt_args_info_versiontext && *gengetopt_args_info_versiontext)
        printf("\n%s\n", gengetopt_args_info_versiontext);
}

void cmdline_parser_print_help(void)
{
    cmdline_parser_print_version();
    if (gengetopt_args_info_purpose && *gengetopt_args_info_purpose)
        printf("\n%s\n", gengetopt_args_info_purpose);
    if (gengetopt_args_info_usage && *gengetopt_args_info_usage)
        printf("\n%s\n", gengetopt_args_info_usage);
    printf("\n");
    if (gengetopt_args_info_description && *gengetopt_args_info_description)
        printf("%s\n\n", gengetopt_args_info_description);
    for (int i = 0; gengetopt_args_info_help[i]; i++)
        printf("%s\n", gengetopt_args_info_help[i]);
}

int cmdline_parser_ext(int argc, char **argv, gengetopt_args_info *ai,
                       cmdline_parser_params *params)
{
    if (run_pass(argc, argv, ai, params, "") != 0) {
        cmdline_parser_free(ai);
        exit(1);
    }
    return 0;
}

int cmdline_parser2(int argc, char **argv, gengetopt_args_info *ai, int override, int initialize,
                    int check_required)
{
    cmdline_parser_params params;
    params.override = override;
    params.initialize = initialize;
    params.check_required = check_required;
    params.check_ambiguity = 0;
    params.print_errors = 1;
    return cmdline_parser_ext(argc, argv, ai, &params);
}

int cmdline_parser(int argc, char **argv, gengetopt_args_info *ai)
{
    return cmdline_parser2(argc, argv, ai, 0, 1, 1);
}

int cmdline_parser_required(gengetopt_args_info *ai, const char *prog_name)
{
    if (required_all(ai, prog_name) != 0) {
        cmdline_parser_free(ai);
        exit(1);
    }
    return 0;
}

int cmdline_parser_config_file(const char *filename, gengetopt_args_info *ai,
                               cmdline_parser_params *params)
{
    config_words.clear();
    config_words.add(dup_text(cmdline_table.package));
    int result = read_config(filename, 0);
    if (result == 0) {
        static const char kIn[] = " in configuration file ";
        size_t n = sizeof kIn + strlen(filename);
        char *additional = static_cast<char *>(ss_malloc(n));
        snprintf(additional, n, "%s%s", kIn, filename);
        // getopt_long permutes the vector, so it gets its own copy of the
        // pointers; the words themselves stay owned by the list.
        int argc = config_words.count;
        char **argv = static_cast<char **>(ss_malloc((argc + 1) * sizeof *argv));
        memcpy(argv, config_words.words, argc * sizeof *argv);
        argv[argc] = nullptr;
        result = run_pass(argc, argv, ai, params, additional);
        free(argv);
        free(additional);
    }
    config_words.clear();
    if (result != 0) {
        cmdline_parser_free(ai);
        exit(1);
    }
    return 0;
}

int cmdline_parser_configfile(const char *filename, gengetopt_args_info *ai, int override,
                              int initialize, int check_required)
{
    cmdline_parser_params params;
    params.override = override;
    params.initialize = initialize;
    params.check_required = check_required;
    params.check_ambiguity = 0;
    params.print_errors = 1;
    return cmdline_parser_config_file(filename, ai, &params);
}

int cmdline_parser_dump(FILE *outfile, gengetopt_args_info *ai)
{
    if (outfile == NULL) {
        fprintf(stderr, "%s: cannot dump options to stream\n", cmdline_table.package);
        return 1;
    }
    for (int i = 0; i < cmdline_table.count; i++) {
        const OptionDesc &o = cmdline_table.options[i];
        unsigned given = field<unsigned>(ai, o.given);
        if (given == 0)
            continue;
        switch (o.kind) {
        case OptKind::None:
        case OptKind::Flag:
            fprintf(outfile, "%s\n", o.long_name);
            break;
        case OptKind::String:
        case OptKind::Int: {
            const char *orig = field<char *>(ai, o.orig);
            fprintf(outfile, "%s=\"%s\"\n", o.long_name, orig ? orig : "");
            break;
        }
        case OptKind::MultiString: {
            char **orig = field<char **>(ai, o.orig);
            for (unsigned j = 0; j < given; j++)
                fprintf(outfile, "%s=\"%s\"\n", o.long_name, orig[j]);
            break;
        }
        }
    }
    return 0;
}

int cmdline_parser_file_save(const char *filename, gengetopt_args_info *ai)
{
    FILE *outfile = fopen(filename, "w");
    if (outfile == NULL) {
        fprintf(stderr, "%s: cannot open file for writing: %s\n", cmdline_table.package,
                filename);
        return 1;
    }
    int result = cmdline_parser_dump(outfile, ai);
    fclose(outfile);
    return result;
}

int port_number(const char *text, long *value)
{
    // What the resolver reads as a number (strtoul in base 10 over the
    // whole text); an empty text is no port at all, so it counts as 0.
    const char *p = text;
    while (*p == ' ' || (*p >= '\t' && *p <= '\r'))
        ++p;
    bool negative = *p == '-';
    if (*p == '+' || *p == '-')
        ++p;
    if (*text != '\0' && (*p < '0' || *p > '9'))
        return 0;
    long v = 0;
    for (; *p >= '0' && *p <= '9'; ++p)
        if (v <= 65536)
            v = v * 10 + (*p - '0');
    if (*p != '\0')
        return 0;
    *value = negative && v != 0 ? -1 : v;
    return 1;
}

int check_ports(const gengetopt_args_info *ai)
{
    gengetopt_args_info *rec = const_cast<gengetopt_args_info *>(ai);
    for (int i = 0; i < cmdline_table.count; i++) {
        const OptionDesc &o = cmdline_table.options[i];
        if (!o.port)
            continue;
        long value = 0;
        const char *shown;
        char number[16];
        if (o.kind == OptKind::Int) {
            // No value at all (no default, not given) is the program's to
            // report.
            if (field<unsigned>(rec, o.given) == 0 && o.default_text == nullptr)
                continue;
            value = field<int>(rec, o.arg);
            const char *orig = field<char *>(rec, o.orig);
            snprintf(number, sizeof number, "%ld", value);
            shown = orig ? orig : number;
        } else if (o.kind == OptKind::String) {
            const char *text = field<char *>(rec, o.arg);
            if (text == nullptr || !port_number(text, &value))
                continue;
            shown = text;
        } else {
            continue;
        }
        if (value < 1 || value > 65535) {
            fprintf(stderr, "%s: `--%s' port out of range (1 to 65535): %s\n",
                    cmdline_table.package, o.long_name, shown);
            return -1;
        }
    }
    return 0;
}

void proc_args(int argc, char **argv)
{
    const CmdlineTable &t = cmdline_table;
    cmdline_parser_params *params = cmdline_parser_params_create();
    params->initialize = 1;
    params->check_required = 0;
    int result = cmdline_parser_ext(argc, argv, &args_info, params);
    if (result != 0)
        exit(result);

    params->initialize = 0;
    params->override = 0;
    const char *config = field<char *>(&args_info, t.options[t.config].arg);
    if (config != NULL) {
        // Non-blocking, so that the probe does not wait on a FIFO either.
        int probe = open(config, O_RDONLY | O_CLOEXEC | O_NONBLOCK);
        if (probe >= 0) {
            close(probe);
            result = cmdline_parser_config_file(config, &args_info, params);
            if (result != 0)
                exit(result);
        }
    }
    result = cmdline_parser_required(&args_info, argv[0]);
    if (result != 0)
        exit(result);
    if (check_ports(&args_info) != 0) {
        cmdline_parser_free(&args_info);
        exit(-1);
    }

    debug = field<int>(&args_info, t.options[t.debug].arg);
    daemon_mode = field<int>(&args_info, t.options[t.daemon].arg);
    free(params);
}
