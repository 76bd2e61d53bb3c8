// Splitting a text into an APLIST of newly allocated fields at any of a set of
// separator characters, honouring double quotes and backslash escapes.
//
// Rules: a backslash makes the next character literal and marks the field, so
// every backslash is removed from it when it ends; a double quote (not after a
// backslash) opens a quoted part, which drops what the field held before it
// and runs to the next double quote, during which separators do not split; a
// closing quote is removed and the character after it is read by the same
// rules, so later quoted fields group just like the first.
#include "strsplit.h"

#include <cstdlib>
#include <cstring>

#include "strdel.h"

namespace {

void add_field(APLIST* list, const char* start, bool escaped)
{
    char* copy = strdup(start);
    if (copy == nullptr) return;
    if (escaped) strdel(copy, '\\');
    if (ap_add_item(list, copy) != 0) std::free(copy);  // a field that cannot be added is dropped
}

}  // namespace

APLIST ap_strsplit(const char* text, const char* separators)
{
    APLIST list = ap_create(5, std::free);
    if (list == nullptr || text == nullptr || *text == '\0') return list;
    char* copy = strdup(text);
    if (copy == nullptr) return list;

    char* start = copy;
    char* cur = copy;
    bool escaped = false;
    bool quoted = false;
    while (*cur != '\0') {
        if (*cur == '\\') {
            escaped = true;
            if (cur[1] == '\0') break;
            cur += 2;
            continue;
        }
        if (*cur == '"' && !escaped) {
            if (!quoted) {
                quoted = true;
                start = ++cur;
                continue;
            }
            std::memmove(cur, cur + 1, std::strlen(cur + 1) + 1);
            quoted = false;
            if (*cur == '\0') {
                // A closing quote at the end ends the field, even an empty one.
                add_field(&list, start, escaped);
                start = cur;
                break;
            }
            continue;
        }
        if (!quoted && std::strchr(separators, *cur) != nullptr) {
            *cur = '\0';
            add_field(&list, start, escaped);
            escaped = false;
            start = cur + 1;
        }
        cur++;
    }
    if (*start != '\0') add_field(&list, start, escaped);
    std::free(copy);
    return list;
}
