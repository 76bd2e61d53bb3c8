// libFuzzer target: replace_program_parms on arbitrary command templates and
// output names, checked against a plain reading of the placeholder rules
// where the values need no quoting (a name of letters, digits and _-./,+:@
// only, a plain directory): the expansion is then byte for byte. Other names
// must give a bounded command or a refusal, never a cut one.
//
// Input: the bytes up to the first NUL are the output name (ofname, cut to
// 1023), the rest up to the next NUL is the template. The harness works in a
// directory about 1000 characters deep, so "%p" twice already passes the
// 2047-character limit: the result must then be null, never a cut command.
#include <cerrno>
#include <cstring>
#include <string>
#include <sys/stat.h>
#include <unistd.h>

#include "fuzz_util.h"
#include "vokra.h"

namespace {

std::string cwd;

constexpr const char* STAGING = "/tmp/vokra-parms-fuzz-staging";

// "%o" is the output name, "%p" the directory, "%d" the staging directory;
// any other "%x" stays, and a "%" at the very end stays.
std::string expand(const std::string& pgm)
{
    std::string out;
    for (std::size_t i = 0; i < pgm.size(); i++) {
        if (pgm[i] != '%' || i + 1 == pgm.size()) {
            out += pgm[i];
        } else if (pgm[i + 1] == 'o') {
            out += stream.ofname;
            i++;
        } else if (pgm[i + 1] == 'p') {
            out += cwd;
            i++;
        } else if (pgm[i + 1] == 'd') {
            out += STAGING;
            i++;
        } else {
            out += pgm.substr(i, 2);
            i++;
        }
    }
    return out;
}

std::string top;

void remove_deep_directory()
{
    if (chdir("/") != 0) return;
    for (std::string dir = cwd; dir.size() >= top.size(); dir.resize(dir.rfind('/'))) rmdir(dir.c_str());
}

void enter_deep_directory()
{
    top = "/tmp/vokra-parms-fuzz-" + std::to_string(getpid());
    std::string dir = top;
    for (int i = 0; i < 10; i++) {
        if (mkdir(dir.c_str(), 0700) != 0 && errno != EEXIST) std::abort();
        dir += "/" + std::string(99, 'd');
    }
    if (mkdir(dir.c_str(), 0700) != 0 && errno != EEXIST) std::abort();
    if (chdir(dir.c_str()) != 0) std::abort();
    std::atexit(remove_deep_directory);
    char buf[4096];
    if (getcwd(buf, sizeof buf) == nullptr) std::abort();
    cwd = buf;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    static bool entered = (enter_deep_directory(), true);
    (void)entered;
    std::string in(reinterpret_cast<const char*>(data), size);
    std::size_t nul = in.find('\0');
    std::string name = in.substr(0, std::min(nul, PREAMBLE_BUFSIZ - 1));
    std::string pgm = nul == std::string::npos ? std::string() : in.substr(nul + 1);
    pgm = pgm.c_str();
    set_ofname(name.c_str());
    set_progname("fuzz");
    std::strcpy(driver.staging_path, STAGING);

    int saved = fuzz::silence_stderr();
    char* got = replace_program_parms(pgm.c_str());
    fuzz::restore_stderr(saved);

    const bool plain = !name.empty() && name.find_first_not_of(
                                            "abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ0123456789"
                                            "_-./,+:@%") == std::string::npos;
    std::string want = expand(pgm);
    if (!plain) {
        FUZZ_CHECK(got == nullptr || std::strlen(got) < EXPAND_BUFSIZ);
    } else if (want.size() < EXPAND_BUFSIZ) {
        FUZZ_CHECK(got != nullptr);
        FUZZ_CHECK(want == got);
    } else {
        FUZZ_CHECK(got == nullptr);
    }
    std::free(got);
    return 0;
}
