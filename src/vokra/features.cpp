// The feature string: comma-joined items (key=value or a bare key) that steer
// the extraction and are exported to the install command.
#include <cstdio>
#include <cstring>

#include "strsplit.h"
#include "vokra.h"

int add_feature(const char* f)
{
    std::size_t used = std::strlen(driver.features);
    std::size_t need = used + (used != 0 ? 1 : 0) + std::strlen(f);
    if (need >= PREAMBLE_BUFSIZ) {
        print_stored(stderr, "%s: feature string too long (at most %zu characters): %s\n", stream.progname,
                     PREAMBLE_BUFSIZ - 1, f);
        return -1;
    }
    if (used != 0) driver.features[used++] = ',';
    std::strcpy(driver.features + used, f);
    return 0;
}

// The search is a plain substring search, not anchored to an item: "NAME="
// also matches the tail of "FSNAME=", and "NOCOMPR" matches inside a value.
// Callers rely on the first occurrence winning.
char* get_feature(const char* f)
{
    auto& result = driver.feature_item;
    const char* hit = std::strstr(driver.features, f);
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

// ---- the build's check that the string reads back as meant ----
//
// The archive reads its feature string two ways: get_feature's substring
// search for the keys the program uses, and ap_strsplit's item split for the
// environment of the install command. A name or value that holds a comma, a
// double quote, a backslash or a key's text would be read back as other
// items, so the composed string is read both ways here, exactly as the
// archive will, and compared with what each option and the input's name put in.

namespace {

// The keys the program looks up; a bare one matches an item "KEY" or "KEY=...".
constexpr const char* LOOKED_UP[] = {"NOCOMPR", "NAME=", "VFYFS=", "FSSUB=", "PAYLOAD="};

// Items as the install command's environment will receive them: split, blanks
// at both ends ignored.
void trim_both(char* s)
{
    strtrim(s);
    std::size_t lead = std::strspn(s, " \t\n\r");
    if (lead != 0) std::memmove(s, s + lead, std::strlen(s + lead) + 1);
}

// The items of a text as the archive reads them, without the empty ones: an
// empty or blank item (as `-F ''` or "A=1," adds) is exported as nothing and
// found by no lookup, so it reads back as it was written.
class Items {
public:
    explicit Items(const char* text) : list_(ap_strsplit(text, ","))
    {
        for (int k = 0; k < ap_len(list_); k++) {
            const char* item = static_cast<const char*>(list_[k]);
            if (item[std::strspn(item, " \t\n\r")] != '\0') kept_[size_++] = k;
        }
    }
    ~Items() { ap_destroy(list_); }
    Items(const Items&) = delete;
    Items& operator=(const Items&) = delete;
    int size() const { return size_; }
    char* operator[](int i) const { return static_cast<char*>(list_[kept_[i]]); }

private:
    APLIST list_;
    int kept_[PREAMBLE_BUFSIZ + 1];  // a text of 1023 characters has at most 1024 items
    int size_ = 0;
};

void refuse(const FeatureSource& s, const char* why, const char* key = "")
{
    const int len = static_cast<int>(s.len);
    if (s.label != nullptr) {
        print_stored(stderr, "%s: %s: %s%s\n", stream.progname, s.label, why, key);
    } else {
        print_stored(stderr, "%s: %.*s: %s%s\n", stream.progname, len, driver.features + s.start, why, key);
    }
}

const char* const NOT_AS_WRITTEN = "would not read back as written in the feature string";

bool same_items(const Items& a, const Items& b)
{
    bool same = a.size() == b.size();
    for (int k = 0; same && k < a.size(); k++) same = std::strcmp(a[k], b[k]) == 0;
    return same;
}

// Each source must split into its items (a single option's item into
// exactly itself, without blanks at either end for the environment to drop)
// and end where the split is back in its plain state, so the
// comma after it separates (the same items with a comma appended; else an
// open quote or a final backslash would take in the next source). And no
// boundary may move: the string up to each source splits into the items
// before it followed by its own.
bool split_as_added(const FeatureSource* src, std::size_t count)
{
    char text[PREAMBLE_BUFSIZ + 1];
    int before = 0;
    for (std::size_t i = 0; i < count; i++) {
        const FeatureSource& s = src[i];
        std::memcpy(text, driver.features + s.start, s.len);
        text[s.len] = '\0';
        Items own(text);
        bool ok = !s.one_item || (own.size() == 1 && std::strcmp(own[0], text) == 0);
        if (ok && s.one_item) {
            trim_both(own[0]);
            ok = std::strcmp(own[0], text) == 0;
        }
        std::strcat(text, ",");
        ok = ok && same_items(own, Items(text));
        std::memcpy(text, driver.features, s.start + s.len);
        text[s.start + s.len] = '\0';
        Items upto(text);
        ok = ok && upto.size() == before + own.size();
        for (int k = 0; ok && k < own.size(); k++) ok = std::strcmp(upto[before + k], own[k]) == 0;
        if (!ok) {
            refuse(s, NOT_AS_WRITTEN);
            return false;
        }
        before += own.size();
    }
    return true;
}

bool item_has_key(const char* item, const char* key)
{
    const std::size_t n = std::strlen(key);
    if (std::strncmp(item, key, n) != 0) return false;
    return key[n - 1] == '=' || item[n] == '\0' || item[n] == '=';
}

// The lookup of key must land on the first item added under that key and
// read it whole, or find nothing when there is none.
bool looks_up_as_added(const FeatureSource* src, std::size_t count, const char* key)
{
    char meant[PREAMBLE_BUFSIZ] = "";
    std::size_t meant_src = count;
    char text[PREAMBLE_BUFSIZ];
    for (std::size_t i = 0; i < count && meant_src == count; i++) {
        std::memcpy(text, driver.features + src[i].start, src[i].len);
        text[src[i].len] = '\0';
        Items items(text);
        for (int k = 0; k < items.size(); k++) {
            if (!src[i].one_item) trim_both(items[k]);
            if (item_has_key(items[k], key)) {
                std::strcpy(meant, src[i].one_item ? text : items[k]);
                meant_src = i;
                break;
            }
        }
    }
    const char* hit = std::strstr(driver.features, key);
    if (hit == nullptr) {
        // Only a quote or backslash can hide an added key from the search.
        if (meant_src != count) refuse(src[meant_src], NOT_AS_WRITTEN);
        return meant_src == count;
    }
    const auto at = static_cast<std::size_t>(hit - driver.features);
    std::size_t hit_src = 0;
    while (hit_src + 1 < count && src[hit_src + 1].start <= at) hit_src++;
    char shown[FEATURE_ITEM_MAX];
    std::snprintf(shown, sizeof shown, "%.*s", static_cast<int>(std::strcspn(key, "=")), key);
    if (hit_src != meant_src) {
        refuse(src[hit_src], "would be read as the feature ", shown);
        return false;
    }
    if (std::strcmp(get_feature(key), meant) != 0) {
        refuse(src[meant_src], NOT_AS_WRITTEN);
        return false;
    }
    return true;
}

// The space check refuses these on every run, so no archive holding them
// could ever be extracted.
bool space_check_possible()
{
    const char* item = get_feature("VFYFS=");
    if (item == nullptr) return true;
    char vfyfs[FEATURE_ITEM_MAX];
    std::strcpy(vfyfs, item);
    const std::size_t fs_len = std::strlen(std::strchr(vfyfs, '=') + 1);
    if (fs_len < 2 || fs_len >= FS_BUFSIZ) {
        print_stored(stderr, "%s: %s: the directory must have 2 to %zu characters\n", stream.progname, vfyfs,
                     FS_BUFSIZ - 1);
        return false;
    }
    item = get_feature("FSSUB=");
    if (item == nullptr) {
        print_stored(stderr, "%s: %s without FSSUB= (-V without -S): no run could extract it\n",
                     stream.progname, vfyfs);
        return false;
    }
    if (std::strlen(std::strchr(item, '=') + 1) < 2) {
        print_stored(stderr, "%s: %s: the directory name must have at least 2 characters\n", stream.progname,
                     item);
        return false;
    }
    return true;
}

}  // namespace

int check_features(const FeatureSource* sources, std::size_t count)
{
    if (count == 0) return 0;
    if (!split_as_added(sources, count)) return -1;
    for (const char* key : LOOKED_UP) {
        if (!looks_up_as_added(sources, count, key)) return -1;
    }
    return space_check_possible() ? 0 : -1;
}
