// The extraction and install run: find the payload, check it, make room for
// it, stream it into the extract command, then run the install command with
// the features in its environment (after confirmation in verbose mode).
//
// The run is a row of named steps (open_payload, check_payload, make_room,
// start_extract_command, deliver, end_extract_command, run_install_command)
// and one clean-up, clean_up_run. Everything the run makes and must undo is
// recorded in the volatile members of `driver` (the relocation link, the
// command's process group and its input, the terminal handed to it), and
// every way out goes through clean_up_run: the end of the steps, whether
// they succeeded or a step failed (RunCleanup's destructor), and a
// terminating signal (on_fatal_signal).
//
// Both commands run as "/bin/sh -c" in a process group of their own, and the
// run outlives the whole group, not just its shell: a pipeline or a
// background child must never go on working, perhaps as root, through a link
// that is already gone. A signal is passed on to the group; the link goes
// only once no process of the group is left, and what is left after a grace
// period gets SIGKILL.
#include <cctype>
#include <cerrno>
#include <climits>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <iterator>
#include <memory>
#include <fcntl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>
#ifdef __linux__
#include <sys/prctl.h>
#endif

#include "progress.h"
#include "strsplit.h"
#include "vokra.h"

extern char** environ;

namespace {

constexpr const char* DEFAULT_EXTRACT = "cat > %p/%o";
// A tar payload (feature PAYLOAD=tar) without a stored extract command is
// unpacked into the staging directory, where the install command then runs.
constexpr const char* TAR_PAYLOAD = "PAYLOAD=tar";
constexpr const char* DEFAULT_TAR_EXTRACT = "tar -xf - -C %d";
constexpr std::size_t ANSWER_MAX = 512;  // one answer line at the prompt
// How long what is left of a command's group (after its shell has ended, or
// after a signal was passed on) may take to end by itself before SIGKILL.
constexpr long GROUP_GRACE_MS = 5000;
constexpr long GROUP_POLL_MS = 10;

// Every catchable signal whose default action ends the process: each ends
// the run the same way, through clean_up_run.
constexpr int CAUGHT_SIGNALS[] = {SIGINT,  SIGTERM, SIGHUP,    SIGQUIT, SIGUSR1, SIGUSR2,
                                  SIGALRM, SIGPIPE, SIGVTALRM, SIGPROF, SIGXCPU, SIGXFSZ};

// ---- the platform-specific part: orphans, and who sent a signal ----

// When a command's shell ends before the rest of its group, the rest is
// reparented. On Linux the run takes them as their reaper, so it reaps them
// itself and sees the group's end at once; elsewhere init reaps them and the
// run probes the group until it is gone, which works the same, only later.
void adopt_orphans(bool on)
{
#ifdef __linux__
    prctl(PR_SET_CHILD_SUBREAPER, on ? 1 : 0);
#else
    (void)on;
#endif
}

// Whether a SIGPIPE or SIGXFSZ is the kernel's answer to a write of this
// process: that write fails with EPIPE or EFBIG and is reported as a write
// error. The kernel sends it as from the writer itself (Linux); where a
// system says otherwise the signal counts as sent from outside.
bool raised_by_own_write(const siginfo_t* info)
{
    return info != nullptr && info->si_code == SI_USER && info->si_pid == getpid();
}

// Whether a signal was sent by the kernel for the terminal: it went to the
// terminal's whole foreground process group. Where the kernel does not say
// so, it counts as sent from outside.
bool from_terminal(const siginfo_t* info)
{
#ifdef SI_KERNEL
    return info != nullptr && info->si_code == SI_KERNEL;
#else
    (void)info;
    return false;
#endif
}

void pause_ms(long ms)
{
    timespec ts{ms / 1000, (ms % 1000) * 1000000L};
    nanosleep(&ts, nullptr);  // a signal cutting it short only makes the next probe sooner
}

// Blocks the run's signals for a few calls, so that no handler runs between
// them. Async-signal-safe.
class HoldSignals {
public:
    HoldSignals()
    {
        sigset_t set;
        sigemptyset(&set);
        for (int sig : CAUGHT_SIGNALS) sigaddset(&set, sig);
        // While held, the terminal may be taken back from a background group.
        sigaddset(&set, SIGTTOU);
        sigprocmask(SIG_BLOCK, &set, &old_);
    }
    ~HoldSignals() { sigprocmask(SIG_SETMASK, &old_, nullptr); }
    HoldSignals(const HoldSignals&) = delete;
    HoldSignals& operator=(const HoldSignals&) = delete;

private:
    sigset_t old_;
};

// ---- the command's process group ----

// Reaps what of the group is ours and tells whether any process of it is
// left; when none is, the group is no longer the run's. Signals are held, so
// no handler passes a signal on to a group id that is free again.
bool group_left(pid_t group)
{
    HoldSignals hold;
    while (waitpid(-group, nullptr, WNOHANG) > 0) {
    }
    // EPERM: a member we may not signal is still a member.
    const bool left = kill(-group, 0) == 0 || errno == EPERM;
    if (!left && driver.command_group == group) driver.command_group = 0;
    return left;
}

// Waits until no process of the group is left: GROUP_GRACE_MS for them to
// end by themselves, then SIGKILL, and as long again for that to take
// effect (a process even SIGKILL cannot end is beyond the run).
void end_group(pid_t group)
{
    long waited = 0;
    while (group_left(group) && waited <= 2 * GROUP_GRACE_MS) {
        if (waited == GROUP_GRACE_MS) kill(-group, SIGKILL);
        pause_ms(GROUP_POLL_MS);
        waited += GROUP_POLL_MS;
    }
}

// ---- the terminal ----
// While the install command runs, the terminal's foreground is its group,
// when the run held the foreground: Ctrl-C, Ctrl-\ and Ctrl-Z reach the
// command and its pipeline as they would if the shell had started it, and an
// interactive install command can read the terminal (a background group that
// reads it is stopped by SIGTTIN). The run itself then gets none of the
// terminal's signals, so none is delivered twice; what the command's end
// means for the run is read from its status (a command killed by Ctrl-C
// fails the run). Passing the terminal's signals on from a run kept in the
// foreground instead would leave such a command stopped at its first prompt.
//
// The extract command reads the run, not the terminal, and the run must stay
// the foreground while it feeds it: Ctrl-Z then stops the run (the command
// soon waits on the empty pipe), and Ctrl-C and Ctrl-\ reach the run, which
// passes them on to the extract command's group as any other signal. Were
// that group the foreground instead, Ctrl-Z would stop it while the run
// blocks on the full pipe, and the shell would never get the terminal back.

// The terminal to hand over, or -1 when the run is not in its foreground.
int terminal_to_hand_over()
{
    int fd = open("/dev/tty", O_RDWR | O_NOCTTY | O_CLOEXEC);
    if (fd >= 0 && tcgetpgrp(fd) != getpgrp()) {
        close(fd);
        fd = -1;
    }
    return fd;
}

// Takes the terminal back for the run's own group. Async-signal-safe.
void take_terminal_back()
{
    const int tty = driver.command_terminal;
    if (tty < 0) return;
    HoldSignals hold;  // SIGTTOU held: a background group may take the terminal back
    tcsetpgrp(tty, getpgrp());
    driver.command_terminal = -1;
    close(tty);
}

// Ctrl-Z stopped the command, which holds the terminal: the run stops too,
// so the shell that started it gets the terminal back; once continued (fg),
// the run hands the terminal over again and continues the command's group.
void stop_with_group(pid_t group)
{
    const int tty = driver.command_terminal;
    if (tty < 0) return;
    {
        HoldSignals hold;
        tcsetpgrp(tty, getpgrp());
    }
    kill(getpid(), SIGSTOP);
    {
        HoldSignals hold;
        tcsetpgrp(tty, group);
    }
    kill(-group, SIGCONT);
}

// Reaps the command's shell once it has ended, and tells its wait status.
// It stays a zombie until then, and is reaped with the group probed at once
// under held signals, so a late signal never reaches a group id that is free
// again. With `stops`, a shell stopped from the terminal stops the run with
// it. Returns -1 when it cannot be waited for.
int reap_leader(pid_t pid, bool stops)
{
    for (;;) {
        siginfo_t info{};
        if (waitid(P_PID, static_cast<id_t>(pid), &info, WEXITED | (stops ? WSTOPPED : 0) | WNOWAIT) != 0) {
            if (errno == EINTR) continue;
            return -1;
        }
        if (info.si_code != CLD_STOPPED) break;
        waitid(P_PID, static_cast<id_t>(pid), &info, WSTOPPED);  // this stop is seen
        stop_with_group(pid);
    }
    HoldSignals hold;
    int status = -1;
    waitpid(pid, &status, 0);
    group_left(pid);
    return status;
}

// ---- the one clean-up ----

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

// Undoes what the run made, on every way out. The extract command, if it is
// still fed, sees the end of its input; then the run waits until no process
// of the running command's group is left, leader first unless the group was
// already told to stop (`signalled`), takes the terminal back, and only then
// removes what the command worked in. Async-signal-safe: close, waitpid,
// kill, nanosleep, sigprocmask, tcsetpgrp, readlink, unlink.
void clean_up_run(bool signalled)
{
    const int fd = driver.command_input;
    driver.command_input = -1;
    if (fd >= 0) close(fd);
    const pid_t group = driver.command_group;
    if (group > 0) {
        if (!signalled) reap_leader(group, false);
        end_group(group);
    }
    take_terminal_back();
    // The staging directory goes once no command can work in it any more,
    // and before the link.
    remove_staging();
    remove_relocation_link();
    driver.relocation_link = nullptr;
}

// Runs one step with its messages to standard error held back under
// --quiet: they are shown only when the step fails (returns other than 0).
// The step's messages on the way to success (a relocation's search, a
// refused $TMPDIR) are not what a quiet run shows.
template <typename Step>
int quietly(Step step)
{
    if (!driver.quiet || gzip.verbose) return step();
    std::fflush(stderr);
    FILE* held = std::tmpfile();
    const int saved = held != nullptr ? dup(STDERR_FILENO) : -1;
    if (saved < 0 || dup2(fileno(held), STDERR_FILENO) < 0) {
        if (saved >= 0) close(saved);
        if (held != nullptr) std::fclose(held);
        return step();
    }
    const int result = step();
    std::fflush(stderr);
    dup2(saved, STDERR_FILENO);
    close(saved);
    if (result != 0) {
        std::rewind(held);
        char buf[512];
        std::size_t n;
        while ((n = std::fread(buf, 1, sizeof buf, held)) > 0) std::fwrite(buf, 1, n, stderr);
    }
    std::fclose(held);
    return result;
}

// A terminating signal is passed on to the command's group (unless the
// terminal already delivered it there). During the install command the run
// then waits for the command in the normal way and ends with status 1;
// otherwise the run ends here, through the clean-up. A SIGPIPE or SIGXFSZ
// raised by a write of our own is left to that write's error.
extern "C" void on_fatal_signal(int sig, siginfo_t* info, void*)
{
    if ((sig == SIGPIPE || sig == SIGXFSZ) && raised_by_own_write(info)) return;
    const int saved_errno = errno;
    const pid_t group = driver.command_group;
    if (group > 0) {
        driver.interrupted = 1;
        if (!(from_terminal(info) && driver.command_terminal >= 0)) kill(-group, sig);
        if (!driver.extracting) {
            errno = saved_errno;
            return;
        }
    }
    progress_abandon();  // write is async-signal-safe
    clean_up_run(group > 0);
    _exit(1);
}

// The owner of the run's undoing: installs the run's signal handling, and on
// destruction runs the clean-up and puts the previous dispositions back
// (in-process callers keep theirs).
class RunCleanup {
public:
    RunCleanup()
    {
        // SA_NODEFER: a second signal while the handler waits for the
        // command's group is passed on too.
        struct sigaction sa {};
        sa.sa_sigaction = on_fatal_signal;
        sa.sa_flags = SA_SIGINFO | SA_NODEFER;
        sigemptyset(&sa.sa_mask);
        for (std::size_t i = 0; i < std::size(CAUGHT_SIGNALS); i++) {
            sigaction(CAUGHT_SIGNALS[i], nullptr, &saved_[i]);
            // A signal ignored by whoever started us (a background job)
            // stays ignored, except SIGPIPE, caught so that a write to a
            // command that stopped reading is an EPIPE error with a message.
            if (saved_[i].sa_handler != SIG_IGN || CAUGHT_SIGNALS[i] == SIGPIPE)
                sigaction(CAUGHT_SIGNALS[i], &sa, nullptr);
        }
        adopt_orphans(true);
    }
    ~RunCleanup()
    {
        clean_up_run(false);
        adopt_orphans(false);
        for (std::size_t i = 0; i < std::size(CAUGHT_SIGNALS); i++) {
            sigaction(CAUGHT_SIGNALS[i], &saved_[i], nullptr);
        }
        driver.extracting = 0;
        driver.interrupted = 0;
    }
    RunCleanup(const RunCleanup&) = delete;
    RunCleanup& operator=(const RunCleanup&) = delete;

    // Starts "/bin/sh -c command sh args..." in a process group of its own,
    // with `input` (or our standard input, for -1) as its standard input,
    // `dir` (unless null) as its working directory and, when asked and the
    // run holds the terminal, the terminal's foreground; returns its process
    // id (the group's id), or -1 with errno set. The args reach the command
    // as "$@", never as its text. The command gets the signal dispositions we
    // were started with, not our handlers.
    //
    // The group is set in the child and in the parent, and the terminal
    // handed over by both, so whichever runs first, the command is in its
    // group and foreground before it execs and before the run goes on.
    //
    // A command that cannot be started must be an error, not a command that
    // exits 127: POSIX lets posix_spawn report a failed exec either way (and
    // under emulators such as qemu-user it does the latter). So the child
    // reports a failed exec through a close-on-exec pipe, which a successful
    // exec closes with nothing written.
    pid_t start_command(const char* command, int input, bool foreground, const char* dir = nullptr,
                        char* const* args = nullptr, int nargs = 0) const
    {
        static char sh[] = "sh", dash_c[] = "-c", dashes[] = "--";
        char** argv = static_cast<char**>(std::malloc((6 + static_cast<std::size_t>(nargs)) * sizeof(char*)));
        if (argv == nullptr) return -1;
        std::size_t k = 0;
        for (char* a : {sh, dash_c, dashes, const_cast<char*>(command), sh}) argv[k++] = a;
        for (int i = 0; i < nargs; i++) argv[k++] = args[i];
        argv[k] = nullptr;
        const pid_t pid = start_argv(argv, input, foreground, dir);
        const int saved = errno;
        std::free(argv);
        errno = saved;
        return pid;
    }

private:
    pid_t start_argv(char* const* argv, int input, bool foreground, const char* dir) const
    {
        int report[2];
        if (pipe(report) != 0) return -1;
        fcntl(report[0], F_SETFD, FD_CLOEXEC);
        fcntl(report[1], F_SETFD, FD_CLOEXEC);
        const int tty = foreground ? terminal_to_hand_over() : -1;
        // Until the child has put its dispositions back, no handler of ours
        // may run in it: it would act on the run's link and command. Blocked
        // SIGTTOU also lets it take the terminal from the background.
        sigset_t all, old;
        sigfillset(&all);
        sigprocmask(SIG_SETMASK, &all, &old);
        const pid_t pid = fork();
        if (pid == 0) {
            setpgid(0, 0);
            if (tty >= 0) tcsetpgrp(tty, getpid());
            for (std::size_t i = 0; i < std::size(CAUGHT_SIGNALS); i++) {
                sigaction(CAUGHT_SIGNALS[i], &saved_[i], nullptr);
            }
            sigprocmask(SIG_SETMASK, &old, nullptr);
            if ((input < 0 || dup2(input, STDIN_FILENO) == STDIN_FILENO) &&
                (dir == nullptr || chdir(dir) == 0))
                execve("/bin/sh", argv, environ);
            const int e = errno;
            ssize_t w = write(report[1], &e, sizeof e);
            (void)w;
            _exit(127);
        }
        const int fork_errno = errno;
        if (pid > 0) {
            setpgid(pid, pid);
            if (tty >= 0) tcsetpgrp(tty, pid);
            driver.command_group = pid;
            driver.command_terminal = tty;
        } else if (tty >= 0) {
            close(tty);
        }
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
            end_group(pid);
            take_terminal_back();
            errno = child_errno;
            return -1;
        }
        return pid;
    }

    struct sigaction saved_[std::size(CAUGHT_SIGNALS)]{};
};

// Waits for the command to end and then for the rest of its group, and
// returns the command's wait status, or -1.
int wait_command(pid_t pid)
{
    const int status = reap_leader(pid, true);
    const int saved_errno = errno;  // why the command could not be waited for
    end_group(pid);
    take_terminal_back();
    errno = saved_errno;
    return status;
}

// A heap block from replace_program_parms, freed when it goes out of scope.
struct FreeText {
    void operator()(char* p) const { std::free(p); }
};
using HeapText = std::unique_ptr<char, FreeText>;

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
    // The command about to run, perhaps as root: before the person at the
    // terminal (answering on standard input, reading perhaps through a tee)
    // nothing in it may hide the rest behind a carriage return or a control
    // sequence.
    print_prompt(stdout, "    %s\n", command);
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
// Without -x the pass always runs, so the space check always has the
// payload's measured size.
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
    if (driver.quiet || (driver.extract_only && isatty(STDOUT_FILENO))) return;
    struct stat st;
    off_t at = lseek(driver.archive, 0, SEEK_CUR);
    if (at < 0 || fstat(driver.archive, &st) != 0) return;
    progress_start(step, st.st_size - driver.preamble_end, at - driver.preamble_end);
}

// Decodes the whole member once, counting and checking only, before
// anything is started, so a damaged payload (format violation, truncation,
// CRC-32 or length mismatch) ends the run before a single byte reaches the
// reader of the data. Costs one more inflate of the payload. On return the
// input is back at the first byte after the gzip header and `size` holds
// the member's exact uncompressed length.
int verify_payload(zoff_t& size)
{
    off_t at = lseek(driver.archive, 0, SEEK_CUR);
    if (at < 0) {
        perror_stored(stream.ifname);
        return -1;
    }
    off_t body = at - static_cast<off_t>(stream.insize - stream.inptr);
    set_byte_counts(0, 0);  // the length check compares this pass's output alone
    start_payload_progress("checking");
    const codec_result r = unzip(progress_source(driver.archive), counting_sink());
    if (failed(r)) {
        report_codec_failure(r);
        return -1;
    }
    progress_end();
    size = stream.bytes_out;
    if (lseek(driver.archive, body, SEEK_SET) != body) {
        perror_stored(stream.ifname);
        return -1;
    }
    start_input(progress_source(driver.archive));  // the body again, from its first byte
    set_byte_counts(0, 0);
    return 0;
}

// What the run knows of its payload.
struct Payload {
    bool raw = false;
    zoff_t size = -1;  // the uncompressed length, once measured
};

// The open step: the archive's descriptor is at the first payload byte. Takes
// the output name, refuses what cannot be extracted, and for a gzip member
// reads its header. Returns 0 to go on, else the run's result.
int open_payload(const char* program, Payload& payload)
{
    // -x appending to the archive itself would read its own output and grow
    // without end, as a build whose input is its output would.
    if (driver.extract_only && same_file(driver.archive, STDOUT_FILENO)) {
        print_stored(stderr, "%s: %s: the archive is also the output\n", stream.progname, program);
        return -1;
    }
    payload.raw = get_feature("NOCOMPR") != nullptr;
    if (payload.raw) {
        char* name = get_feature("NAME=");
        char* eq = name != nullptr ? std::strchr(name, '=') : nullptr;
        if (eq != nullptr) set_output_name(eq + 1);  // a lookup holds at most 255 characters
        // An empty raw payload is refused before the extract command starts:
        // it is also what a file cut short inside the preamble leaves, whose
        // commands may be cut short too and must not run.
        struct stat st;
        if (fstat(driver.archive, &st) == 0) payload.size = st.st_size - driver.preamble_end;
        if (payload.size == 0 || payload.size < 0) {
            print_stored(stderr, "%s: the archive holds no data\n", program);
            return 1;
        }
        return 0;
    }
    const codec_result r = get_method(stream.in);
    // A payload that cannot be read gets no directory and no link made for it.
    if (!header_read(r)) {
        if (r.status == codec_status::bad_data && (r.reason == NOT_GZIP || r.reason == UNKNOWN_METHOD))
            print_stored(stderr, "%s: unknown compression method\n", program);
        return -1;
    }
    set_output_name(stream.ofname);
    return 0;
}

// The check step: a gzip member is decoded once, whole, before anything is
// made for it (see needs_verify_pass), which also measures it.
int check_payload(Payload& payload)
{
    if (payload.raw || !needs_verify_pass()) return 0;
    return verify_payload(payload.size);
}

// The make-room step: the space check (and perhaps the relocation) for a
// VFYFS= archive, asking for the payload's measured size, whole MiB plus one.
int make_room(const Payload& payload, char* sympath)
{
    const char* vfy = driver.extract_only ? nullptr : get_feature("VFYFS=");
    if (vfy == nullptr || std::strchr(vfy, '=') == nullptr) return 0;
    const zoff_t mb = (payload.size >> 20) + 1;
    std::memset(sympath, 0, SYMPATH_BUFSIZ);
    if (quietly([&] { return verify_fs(mb > INT_MAX ? INT_MAX : static_cast<int>(mb), sympath); }) == -1)
        return -1;
    // Only now does sympath name a link of ours: while the check runs it
    // holds candidate paths that must never be unlinked.
    if (sympath[0] != '\0') driver.relocation_link = sympath;
    return 0;
}

// Starts the extract command on a pipe, whose write end is then
// driver.command_input. Returns its process id, or -1 after a message.
pid_t start_extract_command(const RunCleanup& run, const char* command)
{
    std::fflush(nullptr);  // the child must not inherit unwritten output
    // Both ends close on exec: the command's standard input is a copy, and
    // no later command inherits the write end.
    int fds[2];
    pid_t pid = -1;
    if (pipe(fds) == 0) {
        fcntl(fds[0], F_SETFD, FD_CLOEXEC);
        fcntl(fds[1], F_SETFD, FD_CLOEXEC);
        driver.command_input = fds[1];
        driver.extracting = 1;
        pid = run.start_command(command, fds[0], false);
        int saved = errno;
        close(fds[0]);
        if (pid == -1) {
            driver.command_input = -1;
            driver.extracting = 0;
            close(fds[1]);
        }
        errno = saved;
    }
    if (pid == -1) {
        perror_stored(command);
        return -1;
    }
    set_to_stdout(0);
    return pid;
}

// What deliver returns when the data could not be delivered whole (its
// message is out): the run ends there, with no pause and no install command.
constexpr int DELIVERY_FAILED = -2;

// The deliver step: the banner, then the data into the output, then the
// pause. Returns the data step's result, or DELIVERY_FAILED.
int deliver(const Payload& payload, const sink& out)
{
    // The comment and the name are the archive's; on a terminal they are shown
    // escaped (see put_stored).
    if (driver.comment[0] != '\0' && !driver.quiet) {
        std::fputs("\n", stderr);
        put_stored(stderr, driver.comment);
        std::fputs("\n\nPlease wait...\n", stderr);
    }
    if ((gzip.verbose || driver.extract_only) && !driver.quiet) {
        std::fputs("Deflating ", stderr);
        put_stored(stderr, stream.ofname);
        std::fputs("...\n", stderr);
    }

    int result = 0;
    codec_result r;
    start_payload_progress("extracting");
    if (!payload.raw) {
        r = unzip(progress_source(driver.archive), out);
    } else {
        zoff_t total = 0;
        r = copy_raw(progress_source(driver.archive), out, total);
        result = total == 0 ? 1 : 0;
    }
    if (failed(r)) {
        report_codec_failure(r);
        return DELIVERY_FAILED;
    }
    progress_end();

    if (driver.extract_only) std::fflush(nullptr);
    if (driver.extract_pause_seconds != 0) sleep(driver.extract_pause_seconds);
    return result;
}

// Closes the extract command's input and waits for it and its group. A
// command that did not exit with status 0 stops the run: whatever it left is
// no ground for the install command. Returns 0, or -1 after one message.
int end_extract_command(const char* program, pid_t pid, const char* command)
{
    const int input = driver.command_input;
    driver.command_input = -1;
    close(input);
    const int status = wait_command(pid);
    driver.extracting = 0;
    if (status == 0) return 0;
    if (status == -1) {
        print_stored(stderr, "%s: cannot wait for extract command: %s: ", program, std::strerror(errno));
    } else if (WIFSIGNALED(status)) {
        print_stored(stderr, "%s: extract command was killed by signal %d: ", program, WTERMSIG(status));
    } else {
        print_stored(stderr, "%s: extract command exited with status %d: ", program, WEXITSTATUS(status));
    }
    put_stored(stderr, command);
    std::fputs("\n", stderr);
    return -1;
}

// The install step: expands the install command, exports the features and
// runs it (in verbose mode after the dialogue). Returns its wait status, or
// 0 when it did not run.
int run_install_command(const char* program, const RunCleanup& run)
{
    HeapText command(replace_program_parms(driver.run_program));
    if (command == nullptr) return -1;
    export_features();
    std::fflush(nullptr);
    // In verbose mode the dialogue has spoken; no failure message follows.
    if (gzip.verbose && !confirm_install(command.get())) return 0;
    // A tar payload's install command runs where the payload was unpacked.
    const char* dir =
        get_feature(TAR_PAYLOAD) != nullptr && driver.staging_path[0] != '\0' ? driver.staging_path : nullptr;
    if (dir != nullptr) {
        const int fd = open(dir, O_RDONLY | O_DIRECTORY | O_CLOEXEC);
        if (fd < 0) {
            print_stored(stderr, "%s: cannot run the install command in ", program);
            put_stored(stderr, dir);
            print_stored(stderr, ": %s\n", std::strerror(errno));
            return -1;
        }
        close(fd);
    }
    const pid_t pid =
        run.start_command(command.get(), -1, true, dir, driver.install_args, driver.install_argc);
    if (pid == -1) perror_stored(command.get());
    int result = pid == -1 ? -1 : wait_command(pid);
    if (!gzip.verbose && ((result >> 8) & 0xff) != 0) {
        print_stored(stderr, "\n%s: final processing of ", program);
        put_stored(stderr, stream.ofname);
        std::fputs(" failed\n\nCommand: ", stderr);
        put_stored(stderr, command.get());
        std::fputs("\n", stderr);
    }
    // A run told to stop fails, however the command ended.
    if (driver.interrupted && result == 0) result = -1;
    return result;
}

// The run's steps, once the preamble is loaded and ifd is set. Returns the
// run's result; `run` undoes what they made when it goes.
int run_steps(const char* program, const RunCleanup& run, char* sympath)
{
    Payload payload;
    int result = open_payload(program, payload);
    if (result != 0) return result;
    if (check_payload(payload) != 0 || make_room(payload, sympath) != 0) return -1;

    if (driver.extract_only) {
        set_to_stdout(1);
        result = deliver(payload, fd_sink(STDOUT_FILENO));
        return result == DELIVERY_FAILED ? -1 : result;
    }

    if (driver.pipe_program[0] == '\0') std::strcpy(driver.pipe_program, default_extract_command());
    const bool installs = !gzip.to_stdout && !driver.dont_run_program && driver.run_program[0] != '\0';
    if ((command_uses(driver.pipe_program, 'd') || (installs && command_uses(driver.run_program, 'd'))) &&
        quietly(make_staging) != 0)
        return -1;
    HeapText extract_cmd(replace_program_parms(driver.pipe_program));
    if (extract_cmd == nullptr) return -1;
    const pid_t extractor = start_extract_command(run, extract_cmd.get());
    if (extractor == -1) return -1;
    result = deliver(payload, fd_sink(driver.command_input));
    // The clean-up ends the command: what it got is not the whole payload.
    if (result == DELIVERY_FAILED) return -1;
    if (end_extract_command(program, extractor, extract_cmd.get()) != 0) return -1;

    if (gzip.to_stdout || result != 0 || driver.dont_run_program || driver.run_program[0] == '\0')
        return result;
    return run_install_command(program, run);
}

}  // namespace

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

const char* default_extract_command()
{
    return get_feature(TAR_PAYLOAD) != nullptr ? DEFAULT_TAR_EXTRACT : DEFAULT_EXTRACT;
}

int do_decompress(const char* program)
{
    int in = find_preamble(program);
    if (in == -1) {
        print_stored(stderr, "%s: unable to find preamble magic value\n", program);
        return -1;
    }
    UniqueFd archive(in);
    if (std::strlen(program) >= sizeof stream.ifname) {
        print_stored(stderr, "%s: name too long (at most %zu characters)\n", program,
                     sizeof stream.ifname - 1);
        return -1;
    }
    driver.archive = in;
    start_input(progress_source(in));  // the gzip header is read from the first payload byte
    set_ifname(program);
    set_ofname("stdout");

    char sympath[SYMPATH_BUFSIZ] = {};
    int result;
    {
        RunCleanup run;
        result = run_steps(program, run, sympath);
    }
    // Said once the clean-up is done: what stayed of the staging directory.
    if (report_staging() != 0 && result == 0) result = -1;
    return result;
}
