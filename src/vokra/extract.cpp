// The extraction and install run: find the payload, check for room, stream it
// into the extract command, then run the install command with the features in
// its environment (after confirmation in verbose mode).
//
// While the run owns a relocation link it must not leave it behind on any way
// out: the normal end unlinks it, a fatal stream error reaches the link through
// the stream layer's fatal clean-up (set_fatal_cleanup), and SIGINT, SIGTERM
// and SIGHUP through a handler. What the handler reads of the run (the link,
// the command and its pipe) are the volatile members of `driver`. Both
// commands run through "/bin/sh -c" with their process id known (not popen or
// system), so such a signal can be passed on to a command that is running and
// the run can wait for it: a command must never go on working through a link
// that is already gone. SIGPIPE is ignored while the data moves, so an extract
// command that stops reading turns into an EPIPE write error with a message
// instead of silently killing the process.
#include <cctype>
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <iterator>
#include <fcntl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include "progress.h"
#include "strsplit.h"
#include "vokra.h"

extern char** environ;

namespace {

constexpr const char* DEFAULT_EXTRACT = "cat > %p/%o";
constexpr std::size_t ANSWER_MAX = 512;  // one answer line at the prompt

// Removes the link only while it is still the one the space check made,
// pointing to its directory: whatever has taken its place since is not ours.
void remove_relocation_link()
{
    char* link = driver.relocation_link;
    if (link == nullptr || link[0] == '\0') return;
    char target[SYMPATH_BUFSIZ];
    const ssize_t n = readlink(link, target, sizeof target);
    if (n < 0 || static_cast<std::size_t>(n) >= sizeof target) return;
    target[n] = '\0';
    if (std::strcmp(target, driver.relocation_target) == 0) unlink(link);
}

// The end of a run cut short (a fatal stream error or a signal): the
// extract command, if running, sees the end of its input and is waited for,
// then the link goes. Only async-signal-safe calls: close, waitpid, readlink,
// unlink.
void end_cut_short()
{
    const int fd = driver.command_input;
    driver.command_input = -1;
    if (fd >= 0) close(fd);
    const pid_t pid = driver.command_pid;
    if (pid > 0) {
        while (waitpid(pid, nullptr, 0) < 0 && errno == EINTR) {
        }
    }
    remove_relocation_link();
}

// Whether a signal was sent by the kernel for the terminal: it went to the
// whole foreground process group, the command included, so passing it on
// would deliver it twice. Where the kernel does not say so, it is passed on.
bool from_terminal(const siginfo_t* info)
{
#ifdef SI_KERNEL
    return info != nullptr && info->si_code == SI_KERNEL;
#else
    (void)info;
    return false;
#endif
}

// A signal is passed on to the command that is running (unless it came from
// the terminal or from the command itself). During the install command the
// run then waits for it in the normal way and ends with status 1; otherwise
// the run ends here, after the extract command, if any, has ended.
extern "C" void on_fatal_signal(int sig, siginfo_t* info, void*)
{
    const int saved_errno = errno;
    const pid_t pid = driver.command_pid;
    if (pid > 0) {
        driver.interrupted = 1;
        if (!from_terminal(info) && (info == nullptr || info->si_pid != pid)) kill(pid, sig);
        if (!driver.extracting) {
            errno = saved_errno;
            return;
        }
    }
    progress_abandon();  // write is async-signal-safe
    end_cut_short();
    _exit(1);
}

constexpr int CAUGHT_SIGNALS[] = {SIGINT, SIGTERM, SIGHUP};

// Installs the run's signal handling and puts the previous dispositions back
// when the run ends (in-process callers keep theirs).
class RunSignals {
public:
    RunSignals()
    {
        // SA_NODEFER: a second signal while the handler waits for the
        // extract command is passed on too.
        struct sigaction sa {};
        sa.sa_sigaction = on_fatal_signal;
        sa.sa_flags = SA_SIGINFO | SA_NODEFER;
        sigemptyset(&sa.sa_mask);
        for (std::size_t i = 0; i < std::size(CAUGHT_SIGNALS); i++) {
            sigaction(CAUGHT_SIGNALS[i], nullptr, &saved_[i]);
            // A signal ignored by whoever started us (a background job) stays ignored.
            if (saved_[i].sa_handler != SIG_IGN) sigaction(CAUGHT_SIGNALS[i], &sa, nullptr);
        }
        struct sigaction ign {};
        ign.sa_handler = SIG_IGN;
        sigemptyset(&ign.sa_mask);
        sigaction(SIGPIPE, &ign, &saved_pipe_);
    }
    ~RunSignals()
    {
        sigaction(SIGPIPE, &saved_pipe_, nullptr);
        for (std::size_t i = 0; i < std::size(CAUGHT_SIGNALS); i++) {
            sigaction(CAUGHT_SIGNALS[i], &saved_[i], nullptr);
        }
    }
    RunSignals(const RunSignals&) = delete;
    RunSignals& operator=(const RunSignals&) = delete;

    // Starts "/bin/sh -c command" with `input` (or our standard input, for -1)
    // as its standard input, and returns its process id, or -1 with errno
    // set. The command gets the signal dispositions we were started with,
    // not our handlers or our ignored SIGPIPE (an ignored disposition would
    // survive its exec).
    //
    // A command that cannot be started must be an error, not a command that
    // exits 127: POSIX lets posix_spawn report a failed exec either way (and
    // under emulators such as qemu-user it does the latter). So the child
    // reports a failed exec through a close-on-exec pipe, which a successful
    // exec closes with nothing written.
    pid_t start_command(const char* command, int input) const
    {
        int report[2];
        if (pipe(report) != 0) return -1;
        fcntl(report[0], F_SETFD, FD_CLOEXEC);
        fcntl(report[1], F_SETFD, FD_CLOEXEC);
        char sh[] = "sh", dash_c[] = "-c", dashes[] = "--";
        char* argv[] = {sh, dash_c, dashes, const_cast<char*>(command), nullptr};
        // Until the child has put its dispositions back, no handler of ours
        // may run in it: it would act on the run's link and command.
        sigset_t all, old;
        sigfillset(&all);
        sigprocmask(SIG_SETMASK, &all, &old);
        const pid_t pid = fork();
        if (pid == 0) {
            for (std::size_t i = 0; i < std::size(CAUGHT_SIGNALS); i++) {
                sigaction(CAUGHT_SIGNALS[i], &saved_[i], nullptr);
            }
            sigaction(SIGPIPE, &saved_pipe_, nullptr);
            sigprocmask(SIG_SETMASK, &old, nullptr);
            if (input < 0 || dup2(input, STDIN_FILENO) == STDIN_FILENO) execve("/bin/sh", argv, environ);
            const int e = errno;
            ssize_t w = write(report[1], &e, sizeof e);
            (void)w;
            _exit(127);
        }
        const int fork_errno = errno;
        sigprocmask(SIG_SETMASK, &old, nullptr);
        close(report[1]);
        int child_errno = 0;
        ssize_t n = -1;
        if (pid > 0) {
            while ((n = read(report[0], &child_errno, sizeof child_errno)) < 0 && errno == EINTR) {
            }
        }
        close(report[0]);
        if (pid < 0) {
            errno = fork_errno;
            return -1;
        }
        if (n == static_cast<ssize_t>(sizeof child_errno)) {
            while (waitpid(pid, nullptr, 0) < 0 && errno == EINTR) {
            }
            errno = child_errno;
            return -1;
        }
        driver.command_pid = pid;
        return pid;
    }

private:
    struct sigaction saved_[std::size(CAUGHT_SIGNALS)]{};
    struct sigaction saved_pipe_ {};
};

// Waits for the command to end and returns its wait status, or -1. The
// command stays a zombie until command_pid no longer names it, so a late
// signal is never passed on to another process that got its id.
int wait_command(pid_t pid)
{
    siginfo_t info;
    while (waitid(P_PID, static_cast<id_t>(pid), &info, WEXITED | WNOWAIT) != 0 && errno == EINTR) {
    }
    driver.command_pid = 0;
    int status;
    while (waitpid(pid, &status, 0) < 0) {
        if (errno != EINTR) return -1;
    }
    return status;
}

// Appends text to the expansion, wrapped in single quotes for the shell when
// asked (a ' inside becomes '\''). Returns false when it would not fit.
bool append(char* out, std::size_t& len, const char* text, bool quote)
{
    auto put = [&](char c) {
        if (len >= EXPAND_BUFSIZ - 1) return false;
        out[len++] = c;
        return true;
    };
    if (quote && !put('\'')) return false;
    for (const char* p = text; *p != '\0'; p++) {
        if (quote && *p == '\'') {
            for (const char* q = "'\\''"; *q != '\0'; q++) {
                if (!put(*q)) return false;
            }
        } else if (!put(*p)) {
            return false;
        }
    }
    return !quote || put('\'');
}

// The expansion behind replace_program_parms; the default extract command
// quotes its two expansions so any directory or output name is one word.
char* expand_command(const char* pgm, bool quote)
{
    char* out = static_cast<char*>(std::calloc(EXPAND_BUFSIZ, 1));
    if (out == nullptr) {
        std::fprintf(stderr, "%s: out of memory\n", stream.progname);
        return nullptr;
    }
    std::size_t len = 0;
    bool fits = true;
    for (const char* p = pgm; *p != '\0' && fits; p++) {
        if (*p != '%' || p[1] == '\0') {
            const char one[] = {*p, '\0'};
            fits = append(out, len, one, false);
        } else if (p[1] == 'o') {
            fits = append(out, len, stream.ofname, quote);
            p++;
        } else if (p[1] == 'p') {
            char cwd[EXPAND_BUFSIZ];
            if (getcwd(cwd, sizeof cwd) == nullptr) {
                if (errno != ERANGE) {
                    std::fprintf(stderr, "%s: cannot get the current directory: %s\n", stream.progname,
                                 std::strerror(errno));
                    std::free(out);
                    return nullptr;
                }
                fits = false;
            } else {
                fits = append(out, len, cwd, quote);
            }
            p++;
        } else {
            const char two[] = {p[0], p[1], '\0'};
            fits = append(out, len, two, false);
            p++;
        }
    }
    if (!fits) {
        std::fprintf(stderr, "%s: command too long after expansion (at most %zu characters): %s\n",
                     stream.progname, EXPAND_BUFSIZ - 1, pgm);
        std::free(out);
        return nullptr;
    }
    return out;
}

// The extract command's status does not stop the run (tar, for one, exits
// non-zero on mere warnings, and stored archives rely on their install
// command running); one other than 0 is only reported.
void warn_extract_status(const char* program, const char* command, int status)
{
    if (status == -1) {
        std::fprintf(stderr, "%s: warning: cannot wait for extract command: %s: %s\n", program,
                     std::strerror(errno), command);
    } else if (WIFSIGNALED(status)) {
        std::fprintf(stderr, "%s: warning: extract command was killed by signal %d: %s\n", program,
                     WTERMSIG(status), command);
    } else if (WIFEXITED(status) && WEXITSTATUS(status) != 0) {
        std::fprintf(stderr, "%s: warning: extract command exited with status %d: %s\n", program,
                     WEXITSTATUS(status), command);
    }
}

// The stored name is data, not a path: only its last component is used, so
// the output never lands outside the directory the command expects, and a
// name that names no file (empty, ".", "..", or ending in "/") counts as no
// name at all.
void set_output_name(char* stored)
{
    char* base = gz_basename(stored);
    if (base[0] == '\0' || std::strcmp(base, ".") == 0 || std::strcmp(base, "..") == 0) {
        set_ofname("stdout");
    } else {
        set_ofname(base);
    }
}

// The verbose confirmation: 1 to run the command, 0 not to.
int confirm_install(const char* command)
{
    std::printf("This archive requires more processing using the following command:\n");
    // The command about to run, perhaps as root: on a terminal nothing in it
    // may hide the rest behind a carriage return or a control sequence.
    std::fputs("    ", stdout);
    put_stored(stdout, command);
    std::fputs("\n", stdout);
    if (!isatty(fileno(stdin))) {
        std::printf("but stdin is not a terminal. So forget it.\n");
        std::fflush(stdout);
        return 0;
    }
    std::printf("OK to run the command? ");
    char answer[ANSWER_MAX];
    for (;;) {
        std::fflush(stdout);
        // End of input (or a read error) is no answer: the command does not run.
        if (read_answer_line(answer, sizeof answer) != 0) {
            std::printf("\n");
            std::fflush(stdout);
            return 0;
        }
        int c = std::toupper(static_cast<unsigned char>(answer[0]));
        if (c == 'N') return 0;
        if (c == 'Y') return 1;
        std::printf("\n? (y/n): ");
    }
}

// Whether the member is decoded once more before its data goes anywhere.
// Another program reading the data as it comes (the extract command, or a
// pipe or socket on standard output with -x) would act on the windows
// decoded ahead of any damage: a tar would already have unpacked them. Into
// a file or a device nothing acts on them, and the end of the run reports
// the damage as a decompressor does, so the second decode would be waste.
bool needs_verify_pass()
{
    if (!driver.extract_only) return true;
    struct stat st;
    return fstat(STDOUT_FILENO, &st) != 0 || S_ISFIFO(st.st_mode) || S_ISSOCK(st.st_mode);
}

// Shows the progress of one pass over the payload, counted in payload bytes
// read from the archive, so the two passes each run from the header to 100%.
// With -x onto a terminal the data itself is on the screen: no line there.
void start_payload_progress(const char* step)
{
    if (driver.extract_only && isatty(STDOUT_FILENO)) return;
    struct stat st;
    off_t at = lseek(stream.ifd, 0, SEEK_CUR);
    if (at < 0 || fstat(stream.ifd, &st) != 0) return;
    progress_start(step, st.st_size - driver.preamble_end, at - driver.preamble_end);
}

// Decodes the whole member once into /dev/null before anything is started, so
// a damaged payload (format violation, truncation, CRC-32 or length mismatch)
// ends the run through the fatal exit before a single byte reaches the
// reader of the data. Costs one more inflate of the payload. On return the
// input is back at the first byte after the gzip header.
int verify_payload()
{
    off_t at = lseek(stream.ifd, 0, SEEK_CUR);
    int null_fd = open("/dev/null", O_WRONLY);
    if (at < 0 || null_fd < 0) {
        std::perror(at < 0 ? stream.ifname : "/dev/null");
        if (null_fd >= 0) close(null_fd);
        return -1;
    }
    off_t body = at - static_cast<off_t>(stream.insize - stream.inptr);
    int out = stream.ofd;
    set_byte_counts(0, 0);  // the length check compares this pass's output alone
    start_payload_progress("checking");
    unzip(stream.ifd, null_fd);
    progress_end();
    close(null_fd);
    start_output(out);
    if (lseek(stream.ifd, body, SEEK_SET) != body) {
        std::perror(stream.ifname);
        return -1;
    }
    start_input(stream.ifd);  // the body again, from its first byte
    set_byte_counts(0, 0);
    return 0;
}

// Steps after the preamble is loaded and ifd is set: the data step and the
// install run. Returns the run's result; the caller closes the archive and
// removes the relocation link.
int extract_and_install(const char* program, char* sympath, RunSignals& signals)
{
    const bool raw = get_feature("NOCOMPR") != nullptr;
    int method_read = 0;
    if (raw) {
        char* name = get_feature("NAME=");
        char* eq = name != nullptr ? std::strchr(name, '=') : nullptr;
        if (eq != nullptr) set_output_name(eq + 1);  // a lookup holds at most 255 characters
        // An empty raw payload is refused before the extract command starts:
        // it is also what a file cut short inside the preamble leaves, whose
        // commands may be cut short too and must not run.
        struct stat st;
        if (fstat(stream.ifd, &st) == 0 && st.st_size <= driver.preamble_end) {
            std::fprintf(stderr, "%s: the archive holds no data\n", program);
            return 1;
        }
    } else {
        method_read = get_method(stream.ifd);
        set_output_name(stream.ofname);
        if (method_read == DEFLATED && needs_verify_pass() && verify_payload() != 0) return -1;
    }
    // Before the space check: a payload that cannot be read gets no directory
    // and no link made for it.
    if (method_read == -1) {
        std::fprintf(stderr, "%s: unknown compression method\n", program);
        return -1;
    }

    const char* vfy = driver.extract_only ? nullptr : get_feature("VFYFS=");
    off_t data_start =
        vfy != nullptr && std::strchr(vfy, '=') != nullptr ? lseek(stream.ifd, 0, SEEK_CUR) : -1;
    if (data_start != -1) {
        // The last 8 bytes are the gzip trailer: CRC-32, then ISIZE, both least
        // significant byte first. Only ISIZE is needed: whole MiB, plus one.
        off_t trailer = lseek(stream.ifd, -8, SEEK_END);
        uch tail[8];
        if (trailer < 0 || read(stream.ifd, tail, 8) != 8) read_error();
        set_byte_counts(trailer + 8 - driver.preamble_end, stream.bytes_out);  // the payload's length
        ulg isize = get_le32(tail + 4);
        std::memset(sympath, 0, SYMPATH_BUFSIZ);
        if (verify_fs(static_cast<int>(isize >> 20) + 1, sympath) == -1) return -1;
        // Only now does sympath name a link of ours: while the check runs it
        // holds candidate paths that must never be unlinked.
        if (sympath[0] != '\0') {
            driver.relocation_link = sympath;
            set_fatal_cleanup(end_cut_short);
        }
        lseek(stream.ifd, data_start, SEEK_SET);
    }

    pid_t extractor = 0;
    char* extract_cmd = nullptr;
    if (driver.extract_only) {
        set_to_stdout(1);
    } else {
        bool default_extract = driver.pipe_program[0] == '\0';
        if (default_extract) std::strcpy(driver.pipe_program, DEFAULT_EXTRACT);
        extract_cmd = expand_command(driver.pipe_program, default_extract);
        if (extract_cmd == nullptr) return -1;
        std::fflush(nullptr);  // the child must not inherit unwritten output
        // Both ends close on exec: the command's standard input is a copy,
        // and no later command inherits the write end.
        int fds[2];
        if (pipe(fds) == 0) {
            fcntl(fds[0], F_SETFD, FD_CLOEXEC);
            fcntl(fds[1], F_SETFD, FD_CLOEXEC);
            driver.command_input = fds[1];
            driver.extracting = 1;
            set_fatal_cleanup(end_cut_short);
            extractor = signals.start_command(extract_cmd, fds[0]);
            int saved = errno;
            close(fds[0]);
            if (extractor == -1) {
                driver.command_input = -1;
                close(fds[1]);
            }
            errno = saved;
        } else {
            extractor = -1;
        }
        if (extractor == -1) {
            std::perror(extract_cmd);
            std::free(extract_cmd);
            return -1;
        }
        set_to_stdout(0);
        start_output(fds[1]);
    }

    // The comment and the name are the archive's; on a terminal they are shown
    // escaped (see put_stored).
    if (driver.comment[0] != '\0') {
        std::fputs("\n", stderr);
        put_stored(stderr, driver.comment);
        std::fputs("\n\nPlease wait...\n", stderr);
    }
    if (gzip.verbose || driver.extract_only) {
        std::fputs("Deflating ", stderr);
        put_stored(stderr, stream.ofname);
        std::fputs("...\n", stderr);
    }

    int result;
    start_payload_progress("extracting");
    if (!raw) {
        result = unzip(stream.ifd, stream.ofd);
    } else {
        // A raw payload runs to the end of the file; an empty one counts as a
        // failed extraction. Read and write failures are fatal stream errors.
        result = copy_raw(stream.ifd, stream.ofd) == 0 ? 1 : 0;
    }
    progress_end();

    if (driver.extract_only) std::fflush(nullptr);
    if (driver.extract_pause_seconds != 0) sleep(driver.extract_pause_seconds);

    if (extractor > 0) {
        // Closing the data descriptor lets the extract command see the end
        // of its input; then the run waits for it to finish.
        driver.command_input = -1;
        close(stream.ofd);
        int status = wait_command(extractor);
        driver.extracting = 0;
        warn_extract_status(program, extract_cmd, status);
        std::free(extract_cmd);
    }

    if (driver.extract_only || gzip.to_stdout || result != 0 || driver.dont_run_program ||
        driver.run_program[0] == '\0')
        return result;

    char* install_cmd = replace_program_parms(driver.run_program);
    if (install_cmd == nullptr) return -1;
    export_features();
    std::fflush(nullptr);
    // In verbose mode the dialogue has spoken; no failure message follows.
    if (!gzip.verbose || confirm_install(install_cmd)) {
        // As system() does, the run ignores SIGQUIT while the command runs:
        // from the terminal it reaches the command, which decides.
        struct sigaction quit {};
        struct sigaction ign {};
        ign.sa_handler = SIG_IGN;
        sigemptyset(&ign.sa_mask);
        pid_t pid = signals.start_command(install_cmd, -1);
        sigaction(SIGQUIT, &ign, &quit);
        if (pid == -1) std::perror(install_cmd);
        result = pid == -1 ? -1 : wait_command(pid);
        sigaction(SIGQUIT, &quit, nullptr);
        if (!gzip.verbose && ((result >> 8) & 0xff) != 0) {
            std::fprintf(stderr, "\n%s: final processing of ", program);
            put_stored(stderr, stream.ofname);
            std::fputs(" failed\n\nCommand: ", stderr);
            put_stored(stderr, install_cmd);
            std::fputs("\n", stderr);
        }
        // A run told to stop fails, however the command ended.
        if (driver.interrupted && result == 0) result = -1;
    }
    std::free(install_cmd);
    return result;
}

}  // namespace

char* replace_program_parms(const char* pgm)
{
    return expand_command(pgm, false);
}

int read_answer_line(char* answer, std::size_t size)
{
    if (std::fgets(answer, static_cast<int>(size), stdin) == nullptr) return -1;
    std::size_t len = std::strlen(answer);
    if (len > 0 && answer[len - 1] == '\n') {
        answer[len - 1] = '\0';
        return 0;
    }
    // The rest of an over-long line belongs to this answer, not to the next.
    int c;
    while ((c = std::getchar()) != EOF && c != '\n') {
    }
    return 0;
}

void export_features()
{
    APLIST items = ap_strsplit(driver.features, ",");
    if (items == nullptr) return;
    for (void** p = items; *p != nullptr; p++) {
        // Blanks around an item are layout ("X=1, Y=2"), never part of a name.
        char* item = static_cast<char*>(*p);
        item += std::strspn(item, " \t\n\r");
        strtrim(item);
        if (item[0] == '\0') continue;  // an empty item ("A=1,") names nothing
        char* env;
        if (std::strchr(item, '=') == nullptr) {
            // A bare key becomes a variable with an empty value.
            std::size_t n = std::strlen(item) + 2;
            env = static_cast<char*>(std::malloc(n));
            if (env != nullptr) std::snprintf(env, n, "%s=", item);
        } else {
            env = strdup(item);
        }
        // The environment keeps pointing at env, so it is never freed.
        if (env != nullptr) putenv(env);
    }
    ap_destroy(items);
}

int do_decompress(const char* program)
{
    int in = find_preamble(program);
    if (in == -1) {
        std::fprintf(stderr, "%s: unable to find preamble magic value\n", program);
        return -1;
    }
    if (std::strlen(program) >= sizeof stream.ifname) {
        std::fprintf(stderr, "%s: name too long (at most %zu characters)\n", program,
                     sizeof stream.ifname - 1);
        close(in);
        return -1;
    }
    start_input(in);  // the gzip header is read from the first payload byte
    set_ifname(program);
    start_output(fileno(stdout));
    set_ofname("stdout");

    char sympath[SYMPATH_BUFSIZ] = {};
    int result;
    {
        RunSignals signals;
        result = extract_and_install(program, sympath, signals);
        close(in);
        remove_relocation_link();
        driver.relocation_link = nullptr;
        set_fatal_cleanup(nullptr);
        driver.extracting = 0;
        driver.interrupted = 0;
    }
    return result;
}
