// Escaping text from outside for a terminal, and the message printers built
// on it (see escape.h).
#include "escape.h"

#include <cerrno>
#include <clocale>
#include <cstdint>
#include <cstring>
#include <langinfo.h>
#include <unistd.h>

#include "vokra.h"

namespace {

// Pairs of (byte, letter) for the bytes with a C letter escape.
constexpr char LETTERS[] = "\aa\bb\tt\nn\vv\ff\rr\\\\";

void put_octal(FILE* out, unsigned char b)
{
    std::fprintf(out, "\\%03o", b);
}

// The length of the well-formed UTF-8 sequence at s (at most len bytes) and
// its code point, or 0 when none starts there. The ranges of the second byte
// are those of the Unicode standard's table of well-formed sequences: they
// exclude overlong forms (C0, C1, E0 80-9F, F0 80-8F), surrogates (ED A0-BF)
// and values past U+10FFFF (F4 90-BF, F5-FF).
std::size_t utf8_sequence(const unsigned char* s, std::size_t len, std::uint32_t& cp)
{
    const unsigned char b = s[0];
    std::size_t n;
    unsigned char lo = 0x80, hi = 0xbf;  // the second byte's range
    if (b >= 0xc2 && b <= 0xdf) {
        n = 2;
        cp = b & 0x1fu;
    } else if (b >= 0xe0 && b <= 0xef) {
        n = 3;
        cp = b & 0x0fu;
        if (b == 0xe0) lo = 0xa0;
        if (b == 0xed) hi = 0x9f;
    } else if (b >= 0xf0 && b <= 0xf4) {
        n = 4;
        cp = b & 0x07u;
        if (b == 0xf0) lo = 0x90;
        if (b == 0xf4) hi = 0x8f;
    } else {
        return 0;
    }
    if (len < n || s[1] < lo || s[1] > hi) return 0;
    for (std::size_t i = 1; i < n; i++) {
        if ((s[i] & 0xc0) != 0x80) return 0;
        cp = cp << 6 | (s[i] & 0x3fu);
    }
    return n;
}

// Characters that are well formed but act on the terminal or on the order in
// which the text around them is shown.
bool shows_as_itself(std::uint32_t cp)
{
    const bool c1 = cp >= 0x80 && cp <= 0x9f;
    const bool bidi = (cp >= 0x202a && cp <= 0x202e) || (cp >= 0x2066 && cp <= 0x2069);
    return !c1 && !bidi;
}

void put_text(FILE* out, bool escape, const char* s, std::size_t len)
{
    if (escape) {
        escape_text(out, s, len, driver.text_utf8);
    } else {
        std::fwrite(s, 1, len, out);
    }
}

bool is_digit(char c)
{
    return c >= '0' && c <= '9';
}

// An integer conversion's value, of type S when it is signed (d, i), else U.
template <typename S, typename U>
void put_integer(FILE* out, const char* conversion, bool is_signed, va_list& ap)
{
    if (is_signed) {
        std::fprintf(out, conversion, va_arg(ap, S));
    } else {
        std::fprintf(out, conversion, va_arg(ap, U));
    }
}

// One conversion other than %s, from its text [begin, end) with the value it
// takes from ap: the printf of the C library does the formatting. The
// conversions are the program's own, a few characters each.
void put_conversion(FILE* out, const char* begin, const char* end, const char* length, char conv, va_list& ap)
{
    char one[64];
    const auto n = static_cast<std::size_t>(end - begin);
    if (n >= sizeof one) return;
    std::memcpy(one, begin, n);
    one[n] = '\0';
    const bool is_signed = conv == 'd' || conv == 'i';
    auto is = [length](const char* l) { return std::strcmp(length, l) == 0; };
    if (conv == 'c') {
        std::fprintf(out, one, va_arg(ap, int));
    } else if (conv == 'p') {
        std::fprintf(out, one, va_arg(ap, void*));
    } else if (is("l")) {
        put_integer<long, unsigned long>(out, one, is_signed, ap);
    } else if (is("ll")) {
        put_integer<long long, unsigned long long>(out, one, is_signed, ap);
    } else if (is("z")) {
        put_integer<ssize_t, std::size_t>(out, one, is_signed, ap);
    } else if (is("j")) {
        put_integer<std::intmax_t, std::uintmax_t>(out, one, is_signed, ap);
    } else if (is("t")) {
        put_integer<std::ptrdiff_t, std::ptrdiff_t>(out, one, is_signed, ap);
    } else {
        put_integer<int, unsigned>(out, one, is_signed, ap);  // hh, h and none: promoted to int
    }
}

}  // namespace

void escape_text(FILE* out, const char* text, std::size_t len, bool utf8)
{
    const auto* s = reinterpret_cast<const unsigned char*>(text);
    std::size_t i = 0;
    while (i < len) {
        const unsigned char b = s[i];
        const char* named = b != '\0' ? std::strchr(LETTERS, b) : nullptr;
        if (named != nullptr && (named - LETTERS) % 2 == 0) {
            std::putc('\\', out);
            std::putc(named[1], out);
            i++;
        } else if (b >= 0x20 && b < 0x7f) {
            std::putc(b, out);
            i++;
        } else if (b < 0x80 || !utf8) {
            put_octal(out, b);
            i++;
        } else {
            std::uint32_t cp = 0;
            const std::size_t n = utf8_sequence(s + i, len - i, cp);
            if (n == 0) {
                put_octal(out, b);  // the next byte may start a sequence of its own
                i++;
            } else if (shows_as_itself(cp)) {
                std::fwrite(s + i, 1, n, out);
                i += n;
            } else {
                for (std::size_t k = 0; k < n; k++) put_octal(out, s[i + k]);
                i += n;
            }
        }
    }
}

bool locale_is_utf8()
{
    // The C library reads the variables in their order of precedence; its
    // answer is taken and its locale put back, so nothing else (toupper, the
    // ctype tests) changes behaviour.
    if (std::setlocale(LC_CTYPE, "") == nullptr) return false;
    const char* codeset = nl_langinfo(CODESET);
    const bool utf8 = codeset != nullptr && std::strcmp(codeset, "UTF-8") == 0;
    std::setlocale(LC_CTYPE, "C");
    return utf8;
}

void set_text_utf8(bool utf8)
{
    driver.text_utf8 = utf8;
}

void vprint_stored(FILE* out, bool escape, const char* fmt, va_list ap)
{
    // A copy, so the va_list can travel by reference into put_conversion.
    va_list args;
    va_copy(args, ap);
    const char* p = fmt;
    while (*p != '\0') {
        if (*p != '%') {
            const char* next = std::strchr(p, '%');
            const std::size_t n = next != nullptr ? static_cast<std::size_t>(next - p) : std::strlen(p);
            std::fwrite(p, 1, n, out);
            p += n;
            continue;
        }
        const char* begin = p++;
        if (*p == '%') {
            std::putc('%', out);
            p++;
            continue;
        }
        p += std::strspn(p, "-+ #0");
        while (is_digit(*p)) p++;
        int precision = -1;
        if (*p == '.') {
            p++;
            if (*p == '*') {
                precision = va_arg(args, int);
                p++;
            } else {
                precision = 0;
                while (is_digit(*p)) precision = precision * 10 + (*p++ - '0');
            }
        }
        char length[3] = {};
        for (std::size_t k = 0; k < 2 && *p != '\0' && std::strchr("hlzjt", *p) != nullptr; k++)
            length[k] = *p++;
        const char conv = *p;
        if (conv == '\0') break;
        p++;
        if (conv == 's') {
            const char* s = va_arg(args, const char*);
            if (s == nullptr) s = "(null)";  // as the C library's printf writes it
            const std::size_t n =
                precision >= 0 ? strnlen(s, static_cast<std::size_t>(precision)) : std::strlen(s);
            put_text(out, escape, s, n);
        } else {
            put_conversion(out, begin, p, length, conv, args);
        }
    }
    va_end(args);
}

void print_stored(FILE* out, const char* fmt, ...)
{
    va_list ap;
    va_start(ap, fmt);
    vprint_stored(out, isatty(fileno(out)) != 0, fmt, ap);
    va_end(ap);
}

void print_prompt(FILE* out, const char* fmt, ...)
{
    va_list ap;
    va_start(ap, fmt);
    vprint_stored(out, isatty(fileno(out)) != 0 || isatty(STDIN_FILENO) != 0, fmt, ap);
    va_end(ap);
}

void put_stored(FILE* out, const char* s)
{
    put_text(out, isatty(fileno(out)) != 0, s, std::strlen(s));
}

void perror_stored(const char* name)
{
    const int e = errno;
    if (name != nullptr && name[0] != '\0') print_stored(stderr, "%s: ", name);
    std::fprintf(stderr, "%s\n", std::strerror(e));
    errno = e;
}
