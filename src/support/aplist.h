// APLIST: a growable NULL-terminated pointer array whose bookkeeping lives in a
// hidden header just before element 0, so code that walks a plain char** works.
#pragma once

#include <cstdint>

using APLIST = void**;
using ap_release_fn = void (*)(void*);

struct ap_header {
    std::int32_t count;     // items; 0 until counted
    std::int32_t capacity;  // item slots, not counting the NULL terminator slot
    std::int32_t no_free;   // 1 when the list does not own its items
    ap_release_fn release;  // called on each item by ap_destroy, or null
    std::uint32_t tag;      // AP_TAG while live; the word right before element 0
};

constexpr std::uint32_t AP_TAG = 13688;  // 0x3578

APLIST ap_create(int capacity, ap_release_fn release);
ap_header* ap_tohead(APLIST list);
int ap_len(APLIST list);
int ap_add_item(APLIST* list, void* item);
APLIST ap_expand(APLIST list, int extra);
void ap_del(APLIST list);
void ap_destroy(APLIST list);
int ap_rlen(APLIST list);
int ap_valid(APLIST list);
int ap2charlist(APLIST* list, char*** array);
int charlist2ap(char** array, APLIST* list);
