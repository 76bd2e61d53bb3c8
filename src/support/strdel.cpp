// Deleting every occurrence of one character from a string in place.
#include "strdel.h"

int strdel(char* s, int c)
{
    if (s == nullptr) return 0;
    char* out = s;
    int removed = 0;
    for (char* p = s; *p != '\0'; p++) {
        if (*p == static_cast<char>(c)) {
            removed++;
        } else {
            *out++ = *p;
        }
    }
    *out = '\0';
    return removed;
}
