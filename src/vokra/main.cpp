// Entry point: decide between build mode and archive mode, parse the options
// and run exactly one road (build, extraction, utility extraction, listing).
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include "vokra.h"

namespace {

constexpr const char* OPTION_STRING = "h?ucvxnlap:C:r:f:V:S:t:O:F:";
// The arguments reach getopt already ordered (see options_first), so glibc
// must not permute them again.
#ifdef __GLIBC__
constexpr const char* OPTIONS = "+h?ucvxnlap:C:r:f:V:S:t:O:F:";
#else
constexpr const char* OPTIONS = OPTION_STRING;
#endif

// The long options, which count only as whole words where an option may
// stand (getopt alone would read them as clusters of one-letter options).
// --target takes the next word, or the text after "--target=".
struct LongOption {
    const char* name;
    bool takes_argument;
};
constexpr LongOption LONG_OPTIONS[] = {
    {"--help", false}, {"--version", false}, {"--keep", false}, {"--quiet", false}, {"--target", true},
};

// The long option that word is (with its argument in *arg, or null when the
// next word holds it), or null.
const LongOption* long_option(const char* word, const char** arg = nullptr)
{
    for (const LongOption& o : LONG_OPTIONS) {
        const std::size_t n = std::strlen(o.name);
        if (std::strncmp(word, o.name, n) != 0) continue;
        if (word[n] == '\0') {
            if (arg != nullptr) *arg = nullptr;
            return &o;
        }
        if (o.takes_argument && word[n] == '=') {
            if (arg != nullptr) *arg = word + n + 1;
            return &o;
        }
    }
    return nullptr;
}

// Answers --help or --version on standard output and exits: 0, or 1 when the
// answer could not be written.
[[noreturn]] void answer_long_option(const char* word, int is_compressed)
{
    if (std::strcmp(word, "--help") == 0) {
        Help(is_compressed);
    } else {
        Version();
    }
    if (std::fflush(stdout) != 0 || std::ferror(stdout)) {
        print_stored(stderr, "%s: standard output: %s\n", stream.progname, std::strerror(errno));
        std::exit(1);
    }
    std::exit(0);
}

// Acts on a long option: --help and --version answer at once; the others
// are archive mode's, skipped in build mode as -t is.
void take_long_option(const char* name, const char* arg, int is_compressed)
{
    if (std::strcmp(name, "--help") == 0 || std::strcmp(name, "--version") == 0)
        answer_long_option(name, is_compressed);
    if (!is_compressed) return;
    if (std::strcmp(name, "--keep") == 0) driver.keep_staging = 1;
    if (std::strcmp(name, "--quiet") == 0) driver.quiet = 1;
    if (std::strcmp(name, "--target") == 0 && set_option_string('T', arg) != 0) std::exit(1);
}

// Moves every option (with its argument) ahead of the operands, keeping both
// in command-line order, and puts "--" between them. Options after an operand
// therefore still count, on every platform: `vokra -u app.run -x` extracts
// only, where a getopt that stopped at app.run would have run the installer.
// An argument after "--", and "-" alone, stay operands; where the words after
// a "--" of the command line start among them is kept in driver.args_at (for
// an archive they are the install command's arguments).
char** options_first(int argc, char** argv)
{
    char** out = static_cast<char**>(std::malloc((static_cast<std::size_t>(argc) + 2) * sizeof(char*)));
    char** operands = static_cast<char**>(std::malloc((static_cast<std::size_t>(argc) + 1) * sizeof(char*)));
    if (out == nullptr || operands == nullptr) {
        print_stored(stderr, "%s: out of memory\n", stream.progname);
        std::exit(1);
    }
    int n = 0, m = 0;
    out[n++] = argv[0];
    int i = 1;
    bool dashes = false;
    for (; i < argc; i++) {
        char* a = argv[i];
        if (std::strcmp(a, "--") == 0) {
            dashes = true;
            i++;
            break;
        }
        if (a[0] != '-' || a[1] == '\0') {
            operands[m++] = a;
            continue;
        }
        out[n++] = a;
        const char* arg = nullptr;
        if (const LongOption* o = long_option(a, &arg)) {
            if (o->takes_argument && arg == nullptr && i + 1 < argc) out[n++] = argv[++i];
            continue;
        }
        for (int j = 1; a[j] != '\0'; j++) {
            const char* letter = a[j] == ':' ? nullptr : std::strchr(OPTION_STRING, a[j]);
            if (letter == nullptr || letter[1] != ':') continue;
            // The rest of the word is the argument; or else the next word is.
            if (a[j + 1] == '\0') {
                if (i + 1 == argc) {
                    // Its argument is missing: getopt must meet the end of the
                    // words here and refuse, not take "--" for the argument.
                    out[n] = nullptr;
                    std::free(operands);
                    return out;
                }
                out[n++] = argv[++i];
            }
            break;
        }
    }
    const int before = m;
    for (; i < argc; i++) operands[m++] = argv[i];
    out[n++] = const_cast<char*>("--");
    driver.args_at = dashes ? n + before : -1;
    for (int k = 0; k < m; k++) out[n++] = operands[k];
    out[n] = nullptr;
    std::free(operands);
    return out;
}

// Records where each part of the feature string came from, so that the build
// can check the composed string against them and name the part that misreads.
void add_source(const char* text, const char* label, bool one_item)
{
    const std::size_t used = std::strlen(driver.features);
    if (add_feature(text) != 0) std::exit(1);
    const std::size_t start = used != 0 ? used + 1 : 0;
    driver.feature_sources[driver.feature_source_count++] = {start, std::strlen(driver.features) - start,
                                                             label, one_item};
}

// Adds the item prefix + arg, composed in a 256-byte work buffer, or refuses.
void add_composed_feature(const char* prefix, const char* arg, const char* label = nullptr)
{
    char item[FEATURE_ITEM_MAX];
    std::size_t prefix_len = std::strlen(prefix);
    std::size_t arg_len = std::strlen(arg);
    if (prefix_len + arg_len >= sizeof item) {
        print_stored(stderr, "%s: feature item too long (at most %zu characters): %s%s\n", stream.progname,
                     sizeof item - 1, prefix, arg);
        std::exit(1);
    }
    std::memcpy(item, prefix, prefix_len);
    std::memcpy(item + prefix_len, arg, arg_len + 1);
    add_source(item, label, true);
}

[[noreturn]] void build_road(int argc, char** argv, int first)
{
    // Everything that can refuse the build is checked before the first byte
    // goes to standard output.
    if (driver.vokra_path[0] == '\0' && driver.own_image == nullptr) {
        print_stored(stderr, "%s: cannot locate my own executable; name it with -p\n", stream.progname);
        std::exit(1);
    }
    for (int i = first; i < argc; i++) {
        if (std::strlen(argv[i]) >= sizeof stream.ifname) {
            print_stored(stderr, "%s: file name too long (at most %zu characters): %.40s...\n",
                         stream.progname, sizeof stream.ifname - 1, argv[i]);
            std::exit(1);
        }
    }
    // A directory's payload is a tar stream, named after the directory.
    char tar_name[PREAMBLE_BUFSIZ];
    if (directory_payload_name(argv[first], tar_name, sizeof tar_name)) {
        add_composed_feature("PAYLOAD=", "tar");
        add_composed_feature("NAME=", tar_name, argv[first]);
    } else {
        add_composed_feature("NAME=", gz_basename(argv[first]), argv[first]);
    }
    if (check_features(driver.feature_sources, driver.feature_source_count) != 0) std::exit(1);

    struct stat out;
    if (fstat(STDOUT_FILENO, &out) != 0) {
        if (errno == EBADF) {
            print_stored(stderr, "%s: standard output is closed\n", stream.progname);
        } else {
            perror_stored("standard output");
        }
        std::exit(1);
    }
    if (isatty(STDOUT_FILENO)) {
        print_stored(stderr, "%s: an archive is not written to a terminal; redirect standard output\n",
                     stream.progname);
        std::exit(1);
    }
    const int count = argc - first;
    BuildInput* inputs =
        static_cast<BuildInput*>(std::malloc(static_cast<std::size_t>(count) * sizeof(BuildInput)));
    if (inputs == nullptr) {
        print_stored(stderr, "%s: out of memory\n", stream.progname);
        std::exit(1);
    }
    // When no input can be read, nothing is written.
    const int usable = check_inputs(argv + first, count, inputs);
    if (usable <= 0) std::exit(1);

    // Without its image and preamble the output is no archive: the payloads
    // are not worth compressing. The inputs left out above are missing from
    // the archive while the others go in, and the build ends with status 1,
    // so a script never ships an archive that lacks one of its inputs.
    if (build_preamble(driver.vokra_path[0] != '\0' ? driver.vokra_path : driver.own_name, STDOUT_FILENO) != 0)
        std::exit(1);
    const bool raw = get_feature("NOCOMPR") != nullptr;
    bool complete = usable == count;
    for (int i = 0; i < count; i++) {
        if (inputs[i].kind != BuildInput::left_out && !append_payload(argv[first + i], inputs[i], raw))
            complete = false;
    }
    std::exit(complete ? driver.exit_code : 1);
}

}  // namespace

int main(int argc, char** argv)
{
    const char* own = argc > 0 && argv[0] != nullptr ? argv[0] : "vokra";
    set_progname(own);
    start_driver_state();             // the preamble buffers empty, before anything reads them
    set_text_utf8(locale_is_utf8());  // before the first message

    driver.own_name = own;
    driver.own_image = find_own_image(own);
    int is_compressed = 0;
    int opt_u = 0;
    int fd = find_preamble(own);
    if (fd != -1) {
        close(fd);
        is_compressed = 1;
    }

    // An option's mode is the mode when it is parsed: one before -u counts as
    // a build-mode option.
    if (argc > 0) {
        driver.arranged_argv = options_first(argc, argv);
        argv = driver.arranged_argv;
        argc = 0;
        while (argv[argc] != nullptr) argc++;
    }
    for (;;) {
        // optind moves past a word only once getopt has read all of it, so
        // this sees a word that starts here, never the inside of -cv or the
        // argument of -C.
        const char* arg = nullptr;
        const LongOption* lo = optind < argc ? long_option(argv[optind], &arg) : nullptr;
        if (lo != nullptr) {
            optind++;
            if (lo->takes_argument && arg == nullptr) {
                if (optind >= argc || std::strcmp(argv[optind], "--") == 0) {
                    print_stored(stderr, "%s: option '%s' requires an argument\n", stream.progname, lo->name);
                    Usage(is_compressed);
                    std::exit(1);
                }
                arg = argv[optind++];
            }
            take_long_option(lo->name, arg, is_compressed);
            continue;
        }
        int c = getopt(argc, argv, OPTIONS);
        if (c == -1) break;
        switch (c) {
            case 'u':
                is_compressed = opt_u = 1;
                break;
            case 'c':
                set_to_stdout(1);
                break;
            case 'v':
                set_verbose(1);
                break;
            case 'x':
                driver.extract_only = 1;
                break;
            case 'n':
                driver.dont_run_program = 1;
                break;
            case 'l':
                set_list(1);
                break;
            case 'a':
                if (!is_compressed) add_source("NOCOMPR", nullptr, true);
                break;
            case 'p':
            case 'C':
            case 'r':
            case 'f':
                if (set_option_string(static_cast<char>(c), optarg) != 0) std::exit(1);
                break;
            case 't':
                if (is_compressed && set_option_string('t', optarg) != 0) std::exit(1);
                break;
            case 'V':
                if (!is_compressed) add_composed_feature("VFYFS=", optarg);
                break;
            case 'S':
                if (!is_compressed) add_composed_feature("FSSUB=", optarg);
                break;
            case 'O':
                if (!is_compressed) add_composed_feature(F_OEM, optarg);
                break;
            case 'F':
                if (!is_compressed) add_source(optarg, nullptr, false);
                break;
            default:  // -h, -?, an unknown letter, a missing argument
                Usage(is_compressed);
                std::exit(1);
        }
    }

    if (driver.comment[0] == '\0') std::strcpy(driver.comment, "Self-Extracting archive file");

    const bool have_operand = optind < argc;
    if (gzip.list) {
        if (have_operand && !is_compressed) {
            for (int i = optind; i < argc; i++) do_list(argv[i]);
        } else {
            do_list(own);
        }
        std::exit(driver.exit_code);
    }
    if (!have_operand && !is_compressed) {
        Usage(0);
        print_stored(stderr, "%s: what files do you want to compress?\n", own);
        std::exit(1);
    }
    if (!is_compressed) build_road(argc, argv, optind);

    // The words after "--" are the install command's arguments; with -u and
    // no operand before them, the first of them names the archive.
    int args_at = driver.args_at >= 0 ? driver.args_at : argc;
    if (opt_u && optind == args_at && args_at < argc) args_at++;
    if (opt_u && optind >= args_at) {
        Usage(is_compressed);
        std::exit(1);
    }
    driver.install_args = argv + args_at;
    driver.install_argc = argc - args_at;
    const char* archive = opt_u ? argv[optind] : own;
    std::exit(do_decompress(archive) == 0 ? 0 : 1);
}
