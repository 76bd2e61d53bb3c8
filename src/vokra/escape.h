// Text from outside (an archive's strings and stored name, file names, the
// environment) written into messages: on a terminal with every byte the
// terminal could interpret escaped, elsewhere exactly as it is.
//
// A terminal acts on what it is sent: a carriage return repaints the line, an
// escape sequence moves the cursor, retitles the window or writes the
// clipboard (OSC 52), a bidirectional override shows the characters after it
// in another order. So whatever a message shows on a terminal that someone
// else chose is escaped the way `ls -b` does: C's letter escapes (\a \b \t \n
// \v \f \r), \\ for the backslash, and a backslash with three octal digits for
// any other byte that is escaped. In a UTF-8 locale a printable character
// shows as it is; in any other every byte from 0x80 up is escaped. Into a pipe
// or a file the bytes go out as they are, so scripts see the text as stored.
#pragma once

#include <cstdarg>
#include <cstddef>
#include <cstdio>

// Writes the first len bytes of text to out with every byte outside printable
// ASCII, and the backslash, escaped; with utf8, a well-formed UTF-8 sequence
// of a character that is printable shows as it is. Escaped there are the C1
// controls (U+0080 to U+009F) and the bidirectional embeddings, overrides and
// isolates (U+202A to U+202E, U+2066 to U+2069), byte by byte; a byte that
// starts no well-formed sequence (a stray continuation byte, an overlong
// form, a surrogate, a value past U+10FFFF, a sequence cut short) is escaped
// alone and the next byte is looked at afresh. A pure function of its
// arguments: the caller decides whether to escape and in which locale.
void escape_text(FILE* out, const char* text, std::size_t len, bool utf8);

// Whether the character type locale the environment asks for (LC_ALL, else
// LC_CTYPE, else LANG) is one of UTF-8, as setlocale(LC_CTYPE, "") and
// nl_langinfo(CODESET) tell; a locale the system does not have is the C
// locale. The program's own locale is left as it was (the C locale).
bool locale_is_utf8();
// How escape_text is called for the messages: in a UTF-8 locale or not. Off
// (every byte from 0x80 up escaped) until main sets it from locale_is_utf8().
void set_text_utf8(bool utf8);

// fprintf for messages: each %s argument (also with a precision, %.*s) is
// text from outside, written through escape_text when `escape`, as it is
// otherwise, with no padding (a width given for %s is ignored). The other
// conversions are printf's (d i u o x X c p, with the length modifiers hh h l
// ll z j t), their width written as digits, not "*".
void vprint_stored(FILE* out, bool escape, const char* fmt, va_list ap);
// Escapes when out is a terminal.
void print_stored(FILE* out, const char* fmt, ...) __attribute__((format(printf, 2, 3)));
// A prompt's text: the person who answers reads it, so it is escaped when out
// or standard input is a terminal (standard output may be a pipe into tee).
void print_prompt(FILE* out, const char* fmt, ...) __attribute__((format(printf, 2, 3)));
// The text alone, escaped when out is a terminal.
void put_stored(FILE* out, const char* s);
// perror(name) with name escaped when standard error is a terminal.
void perror_stored(const char* name);
