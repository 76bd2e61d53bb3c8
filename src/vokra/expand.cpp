// Placeholder expansion of the extract and install commands: %o (output name),
// %p (current directory) and %d (staging directory), each written so that
// /bin/sh reads it back as exactly that one literal word.
//
// The command template is walked as the shell will read it, so each value is
// written for the quoting in force where it stands:
//
//   unquoted    special: the empty value, blanks and newline, the operators
//               | & ; < > ( ), the quotes ' " ` and \, $, the glob characters
//               * ? [ ], and # ~ = { } ! ^ (comments, tilde, assignments,
//               brace expansion and history in shells that have them).
//               A value holding one is wrapped in '...', a ' inside as '\''.
//   '...'       special: '. Written as '\''.
//   "..."       special: $ ` " \. Each gets a backslash.
//   after \     the backslash takes the value's first character, which it
//               turns into that literal character; the rest is unquoted.
//               Special: an empty value or a leading newline (the backslash
//               would take what follows, or vanish with the newline as a line
//               continuation), and the rest's unquoted specials. A newline is
//               written first, so the backslash and it vanish, and the value
//               is then written unquoted.
//   "...\"      a backslash inside "..." before % is a literal backslash; it
//               stays one when the value starts with $ ` " \ or a newline
//               (or is empty) by one more backslash, then "..." applies.
//   # comment   special: newline, which would end the comment: refused.
//
// $(...) is a new unquoted context inside the one around it; a ( ) pair inside
// it is counted, so case patterns there should be written (a) to keep them
// balanced. Inside `...`, ${...}, $((...)) and a here-document the shell reads
// the text again or by other rules; a value there is written as is only when
// every character is one no context treats specially (letters, digits and
// _ - . / , + : @ %), and is refused otherwise. A value with no special
// character expands byte for byte, so commands over plain names stay as they
// were. Whatever the context, "%%" stays "%%", "%x" stays "%x", a final "%"
// stays.
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <unistd.h>

#include "vokra.h"

namespace {

constexpr const char* UNQUOTED_SPECIAL = " \t\n|&;<>()'\"`\\$*?[]#~={}!^";
constexpr const char* DOUBLE_SPECIAL = "$`\"\\";
constexpr const char* SAFE_ANYWHERE =
    "abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ0123456789_-./,+:@%";
constexpr const char* WORD_BREAK = " \t\n;&|()<>";  // # after these starts a comment
constexpr std::size_t MAX_NESTING = 32;             // frames: $( ) ${ } ` ` " " ' '

enum class Frame : unsigned char {
    unquoted,    // the command itself, or inside $(...)
    single,      // '...'
    dquoted,     // "..."
    backquote,   // `...`: read again by rules not followed here
    brace,       // ${...}
    arithmetic,  // $((...))
};

// Where the walk stands in the template. A placeholder's context is the
// innermost frame, with `escaped` after a backslash.
struct Quoting {
    Frame frames[MAX_NESTING] = {Frame::unquoted};
    unsigned parens[MAX_NESTING] = {};  // open ( within an unquoted or arithmetic frame
    std::size_t depth = 1;
    bool escaped = false;    // the previous character was a quoting backslash
    bool word_start = true;  // a # here starts a comment
    bool comment = false;    // up to the next newline
    bool heredoc_pending = false;
    bool heredoc = false;  // past the line of a << : not followed any more
    bool too_deep = false;

    Frame top() const { return frames[depth - 1]; }
    void push(Frame f)
    {
        if (depth == MAX_NESTING) {
            too_deep = true;
            return;
        }
        parens[depth] = 0;
        frames[depth++] = f;
    }
    void pop()
    {
        if (depth > 1) depth--;
    }
    // Whether the shell reads a value here by rules the walk does not follow.
    bool unfollowed() const
    {
        if (heredoc || too_deep) return true;
        for (std::size_t i = 0; i < depth; i++) {
            if (frames[i] == Frame::backquote || frames[i] == Frame::brace || frames[i] == Frame::arithmetic)
                return true;
        }
        return false;
    }
    // Moves past the template character at p.
    void step(const char* p);
};

void Quoting::step(const char* p)
{
    const char c = p[0], next = p[1];
    const Frame subst = next == '(' && p[2] == '(' ? Frame::arithmetic : Frame::unquoted;
    const bool was_escaped = escaped;
    escaped = false;
    const bool at_word_start = word_start;
    word_start = std::strchr(WORD_BREAK, c) != nullptr;
    if (comment) {
        if (c == '\n') comment = false;
        word_start = true;
        return;
    }
    if (c == '\n' && heredoc_pending && top() != Frame::single && top() != Frame::dquoted) heredoc = true;
    if (was_escaped) return;
    switch (top()) {
        case Frame::single:
            if (c == '\'') pop();
            return;
        case Frame::backquote:
            if (c == '\\') escaped = true;
            if (c == '`') pop();
            return;
        case Frame::dquoted:
            if (c == '\\') escaped = true;
            if (c == '"') pop();
            if (c == '`') push(Frame::backquote);
            if (c == '$' && next == '(') push(subst);  // its ( are counted as the new frame's own
            if (c == '$' && next == '{') push(Frame::brace);
            return;
        case Frame::unquoted:
        case Frame::brace:
        case Frame::arithmetic:
            break;
    }
    Frame& f = frames[depth - 1];
    unsigned& open = parens[depth - 1];
    switch (c) {
        case '\\':
            escaped = true;
            break;
        case '\'':
            push(Frame::single);
            break;
        case '"':
            push(Frame::dquoted);
            break;
        case '`':
            push(Frame::backquote);
            break;
        case '#':
            if (at_word_start && f == Frame::unquoted) comment = true;
            break;
        case '<':
            if (next == '<' && f == Frame::unquoted) heredoc_pending = true;
            break;
        case '$':
            if (next == '{') push(Frame::brace);
            if (next == '(') push(subst);
            break;
        case '{':
            if (f == Frame::brace) open++;
            break;
        case '}':
            if (f != Frame::brace) break;
            if (open == 0) {
                pop();
            } else {
                open--;
            }
            break;
        case '(':
            open++;
            break;
        case ')':
            // A frame of $( or $(( ends where its first ( is matched.
            if (f != Frame::brace && depth > 1 && open > 0 && --open == 0) pop();
            break;
        default:
            break;
    }
}

// The output being built: at most EXPAND_BUFSIZ - 1 characters.
struct Output {
    char* text;
    std::size_t len = 0;
    bool fits = true;
    void put(char c)
    {
        if (len >= EXPAND_BUFSIZ - 1) {
            fits = false;
            return;
        }
        text[len++] = c;
    }
    void put(const char* s)
    {
        while (*s != '\0') put(*s++);
    }
};

bool has_any(const char* value, const char* set)
{
    return value[std::strcspn(value, set)] != '\0';
}

void put_unquoted(Output& out, const char* value, bool empty_is_special)
{
    if (!(value[0] == '\0' ? empty_is_special : has_any(value, UNQUOTED_SPECIAL))) {
        out.put(value);
        return;
    }
    out.put('\'');
    for (const char* p = value; *p != '\0'; p++) {
        if (*p == '\'') {
            out.put("'\\''");
        } else {
            out.put(*p);
        }
    }
    out.put('\'');
}

void put_dquoted(Output& out, const char* value)
{
    for (const char* p = value; *p != '\0'; p++) {
        if (std::strchr(DOUBLE_SPECIAL, *p) != nullptr) out.put('\\');
        out.put(*p);
    }
}

// Writes value for the context q stands in; false when it cannot be written
// there as one literal word.
bool put_value(Output& out, const Quoting& q, const char* value)
{
    if (q.comment) {
        if (std::strchr(value, '\n') != nullptr) return false;
        out.put(value);
        return true;
    }
    if (q.unfollowed()) {
        if (value[0] == '\0' || value[std::strspn(value, SAFE_ANYWHERE)] != '\0') return false;
        out.put(value);
        return true;
    }
    const Frame f = q.top();
    if (f == Frame::single) {
        for (const char* p = value; *p != '\0'; p++) {
            if (*p == '\'') {
                out.put("'\\''");
            } else {
                out.put(*p);
            }
        }
    } else if (f == Frame::dquoted) {
        if (q.escaped &&
            (value[0] == '\0' || value[0] == '\n' || std::strchr(DOUBLE_SPECIAL, value[0]) != nullptr))
            out.put('\\');
        put_dquoted(out, value);
    } else if (q.escaped) {
        if (value[0] == '\0' || value[0] == '\n') {
            out.put('\n');  // with the backslash before it, a line continuation: both vanish
            put_unquoted(out, value, true);
        } else {
            out.put(value[0]);
            put_unquoted(out, value + 1, false);
        }
    } else {
        put_unquoted(out, value, true);
    }
    return true;
}

void report(const char* what, const char* pgm)
{
    print_stored(stderr, "%s: %s: ", stream.progname, what);
    put_stored(stderr, pgm);
    std::fputs("\n", stderr);
}

// A placeholder's letter after the % at p, or 0 for none (then the % and the
// character after it are copied as they are).
char placeholder_at(const char* p)
{
    return p[0] == '%' && (p[1] == 'o' || p[1] == 'p' || p[1] == 'd') ? p[1] : 0;
}

}  // namespace

bool command_uses(const char* pgm, char placeholder)
{
    for (const char* p = pgm; *p != '\0'; p++) {
        if (*p != '%' || p[1] == '\0') continue;
        if (placeholder_at(p) == placeholder) return true;
        p++;
    }
    return false;
}

char* replace_program_parms(const char* pgm)
{
    char* text = static_cast<char*>(std::calloc(EXPAND_BUFSIZ, 1));
    if (text == nullptr) {
        print_stored(stderr, "%s: out of memory\n", stream.progname);
        return nullptr;
    }
    Output out{text};
    Quoting q;
    for (const char* p = pgm; *p != '\0' && out.fits; p++) {
        const char letter = placeholder_at(p);
        if (letter == 0) {
            // A % before any other character copies both; a final one stays.
            const std::size_t n = *p == '%' && p[1] != '\0' ? 2 : 1;
            for (std::size_t i = 0; i < n; i++) {
                out.put(p[i]);
                q.step(p + i);
            }
            p += n - 1;
            continue;
        }
        char cwd[EXPAND_BUFSIZ];
        const char* value = stream.ofname;
        if (letter == 'p') {
            if (getcwd(cwd, sizeof cwd) == nullptr) {
                if (errno != ERANGE) {
                    print_stored(stderr, "%s: cannot get the current directory: %s\n", stream.progname,
                                 std::strerror(errno));
                    std::free(text);
                    return nullptr;
                }
                out.fits = false;
                break;
            }
            value = cwd;
        } else if (letter == 'd') {
            value = driver.staging_path;
            if (value[0] == '\0') {
                report("no staging directory for %d", pgm);
                std::free(text);
                return nullptr;
            }
        }
        if (!put_value(out, q, value)) {
            char what[] = "cannot quote %? here (in a comment, `...`, ${...}, $((...)) or a here-document)";
            *std::strchr(what, '?') = letter;
            report(what, pgm);
            std::free(text);
            return nullptr;
        }
        // The value is one word: what follows it continues that word.
        q.escaped = false;
        q.word_start = false;
        p++;
    }
    if (!out.fits) {
        char what[80];
        std::snprintf(what, sizeof what, "command too long after expansion (at most %zu characters)",
                      EXPAND_BUFSIZ - 1);
        report(what, pgm);
        std::free(text);
        return nullptr;
    }
    return text;
}
