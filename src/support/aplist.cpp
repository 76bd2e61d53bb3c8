// APLIST: a growable NULL-terminated pointer array with its bookkeeping in a
// hidden header just before element 0.
//
// Block layout: [ap_header][slot 0] ... [slot capacity], the extra slot keeping
// the array NULL-terminated when it is full. The header's tag, its last field,
// tells a live list made here from anything else; it is cleared just before
// the block is freed. Operations that free (ap_del, ap_destroy) refuse an
// array without the tag: freeing a block of unknown origin could only corrupt
// the heap, so such an array is left alone.
#include "aplist.h"

#include <cstdlib>
#include <cstring>

namespace {

constexpr int AP_MAX_CAPACITY = (1 << 28);  // keeps the block size far from overflow

ap_header* header_of(APLIST list)
{
    return reinterpret_cast<ap_header*>(list) - 1;
}

}  // namespace

APLIST ap_create(int capacity, ap_release_fn release)
{
    if (capacity < 1) capacity = 1;
    if (capacity > AP_MAX_CAPACITY) return nullptr;
    std::size_t size = sizeof(ap_header) + (static_cast<std::size_t>(capacity) + 1) * sizeof(void*);
    void* block = std::calloc(1, size);
    if (block == nullptr) return nullptr;
    ap_header* h = static_cast<ap_header*>(block);
    h->count = 0;
    h->capacity = capacity;
    h->no_free = release == nullptr ? 1 : 0;
    h->release = release;
    h->tag = AP_TAG;
    return reinterpret_cast<APLIST>(h + 1);
}

ap_header* ap_tohead(APLIST list)
{
    ap_header* h = header_of(list);
    return h->tag == AP_TAG ? h : nullptr;
}

int ap_rlen(APLIST list)
{
    if (list == nullptr) return 0;
    int n = 0;
    while (list[n] != nullptr) n++;
    return n;
}

int ap_len(APLIST list)
{
    if (list == nullptr) return 0;
    ap_header* h = ap_tohead(list);
    if (h == nullptr) return ap_rlen(list);
    if (h->count == 0) h->count = ap_rlen(list);
    return h->count;
}

int ap_valid(APLIST list)
{
    return list != nullptr && ap_tohead(list) != nullptr ? 0 : -1;
}

APLIST ap_expand(APLIST list, int extra)
{
    if (list == nullptr) return nullptr;
    ap_header* old = ap_tohead(list);
    if (old == nullptr) return nullptr;
    int len = ap_len(list);
    if (extra > AP_MAX_CAPACITY - len) return nullptr;
    APLIST grown = ap_create(len + extra, old->release);
    if (grown == nullptr) return nullptr;
    std::memcpy(grown, list, static_cast<std::size_t>(len) * sizeof(void*));
    ap_header* h = ap_tohead(grown);
    h->count = old->count;
    h->no_free = old->no_free;
    ap_del(list);  // the items now belong to the new list
    return grown;
}

int ap_add_item(APLIST* list, void* item)
{
    if (list == nullptr || *list == nullptr) return -1;
    int len = ap_len(*list);
    ap_header* h = ap_tohead(*list);
    if (h == nullptr) return -1;
    if (h->capacity <= len) {
        // Growing by the current capacity doubles a full list: amortised O(1).
        APLIST grown = ap_expand(*list, h->capacity);
        if (grown == nullptr) return -1;
        *list = grown;
        h = ap_tohead(grown);
    }
    (*list)[len] = item;
    h->count = len + 1;
    (*list)[len + 1] = nullptr;
    return 0;
}

void ap_del(APLIST list)
{
    if (list == nullptr) return;
    ap_header* h = ap_tohead(list);
    if (h == nullptr) return;
    for (int i = 0; list[i] != nullptr; i++) list[i] = nullptr;
    h->tag = 0;
    std::free(h);
}

void ap_destroy(APLIST list)
{
    if (list == nullptr) return;
    ap_header* h = ap_tohead(list);
    if (h == nullptr) return;
    if (h->no_free == 0 && h->release != nullptr) {
        if (h->count > 0) {
            for (int i = 0; i < h->count; i++) {
                h->release(list[i]);
                list[i] = nullptr;
            }
        } else {
            for (int i = 0; list[i] != nullptr; i++) {
                h->release(list[i]);
                list[i] = nullptr;
            }
        }
    }
    ap_del(list);
}

int ap2charlist(APLIST* list, char*** array)
{
    *array = nullptr;
    APLIST l = list != nullptr ? *list : nullptr;
    int len = ap_len(l);
    if (len == 0) return 0;
    char** out = static_cast<char**>(std::calloc(static_cast<std::size_t>(len) + 1, sizeof(char*)));
    if (out == nullptr) return len;
    for (int i = 0; i < len; i++) {
        out[i] = strdup(static_cast<const char*>(l[i]));
        if (out[i] == nullptr) {
            for (int j = 0; j < i; j++) std::free(out[j]);
            std::free(out);
            return len;
        }
    }
    *array = out;
    return len;
}

int charlist2ap(char** array, APLIST* list)
{
    *list = nullptr;
    if (array == nullptr) return 0;
    APLIST l = ap_create(5, std::free);
    if (l == nullptr) return 0;
    for (int i = 0; array[i] != nullptr; i++) {
        char* copy = strdup(array[i]);
        if (copy == nullptr || ap_add_item(&l, copy) != 0) std::free(copy);
    }
    int len = ap_len(l);
    if (len == 0) {
        ap_destroy(l);
        return 0;
    }
    *list = l;
    return len;
}
