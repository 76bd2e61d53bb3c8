// The feature string: comma-joined items (key=value or a bare key) that steer
// the extraction and are exported to the install command.
#include <cstdio>
#include <cstring>

#include "vokra.h"

int add_feature(const char* f)
{
    std::size_t used = std::strlen(features);
    std::size_t need = used + (used != 0 ? 1 : 0) + std::strlen(f);
    if (need >= PREAMBLE_BUFSIZ) {
        std::fprintf(stderr, "%s: feature string too long (at most %zu characters): %s\n", stream.progname,
                     PREAMBLE_BUFSIZ - 1, f);
        return -1;
    }
    if (used != 0) features[used++] = ',';
    std::strcpy(features + used, f);
    return 0;
}

// The search is a plain substring search, not anchored to an item: "NAME="
// also matches the tail of "FSNAME=", and "NOCOMPR" matches inside a value.
// Callers rely on the first occurrence winning.
char* get_feature(const char* f)
{
    static char result[FEATURE_ITEM_MAX];
    const char* hit = std::strstr(features, f);
    if (hit == nullptr) return nullptr;
    std::strncpy(result, hit, FEATURE_ITEM_MAX - 1);
    result[FEATURE_ITEM_MAX - 1] = '\0';
    // Only an item that a comma closes is trimmed; the last item (or one cut
    // at 255 characters) is returned as it stands.
    char* comma = std::strchr(result, ',');
    if (comma != nullptr) {
        *comma = '\0';
        strtrim(result);
    }
    return result;
}

int strtrim(char* s)
{
    std::size_t len = std::strlen(s);
    while (len > 0) {
        char c = s[len - 1];
        if (c != ' ' && c != '\n' && c != '\t' && c != '\r') break;
        s[--len] = '\0';
    }
    return static_cast<int>(len);
}
