// Fuzz target: a day log of the file history taken from the input, read by the table loader, the
// month filter and every query. Whatever the log holds, they return (or give nothing) without
// reading out of bounds, and every listed name or moment has the shape the query promises.
//
// Input length at most: 2048
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <sys/stat.h>

#include "base/machine.h"
#include "base/pbuffer.h"
#include "kernel/slice.h"
#include "storage/anywhen.h"
#include "storage/listing.h"

// A small quarantine: the buffers every query reads the log through are used again while they
// are still in the cache, which makes inputs twice as fast; a use after free within the last few
// megabytes freed is still caught.
extern "C" const char* __asan_default_options() { return "quarantine_size_mb=4"; }

namespace {

std::string log_path;

// A fresh application-data folder under HOME (which the fuzz runs set to a folder they remove)
// with one month of history and one blob, made once per run.
bool set_up() {
    const char* home = getenv("HOME");
    std::string pattern = std::string(home && home[0] ? home : "/tmp") + "/anywhen_fuzz_XXXXXX";
    char folder[1024];
    snprintf(folder, sizeof folder, "%s", pattern.c_str());
    if (!mkdtemp(folder)) abort();
    snprintf(config.home_folder, sizeof config.home_folder, "%s", folder);
    std::string top = std::string(folder) + "/anywhen";
    for (const char* sub : {"", "/2025-03", "/blob"}) mkdir((top + sub).c_str(), 0755);
    // "Hello, base!" as one LZ4 block of literals, named by 32 '1' digits.
    static const char blob[] = "\x0d\0\0\0\x0c\0\0\0\xc0Hello, base!";
    FILE* f = fopen((top + "/blob/" + std::string(32, '1') + ".lz4").c_str(), "wb");
    if (!f) abort();
    fwrite(blob, 1, sizeof blob - 1, f);
    fclose(f);
    log_path = top + "/2025-03/04.log";
    return true;
}

// Runs a listing query into one reused listing and checks what it listed.
void list(int (*query)(const char*, listing*), const std::string& location) {
    static listing* const l = create_listing();
    int n = query(location.c_str(), l);
    if (n < -1 || n > l->count) abort();
    for (int32_t i = 0; i < l->count; i++) {
        if (!l->item[i] || l->item[i]->length < 1) abort();
        destroy_buffer(l->item[i]);
    }
    l->count = 0;
}

// The path of the first record line, so that the queries also ask about what the log names.
std::string first_path(const uint8_t* data, size_t size) {
    std::string text(reinterpret_cast<const char*>(data), size);
    for (size_t s = 0; s < text.size();) {
        size_t e = text.find('\n', s);
        if (e == std::string::npos) e = text.size();
        std::string line = text.substr(s, e - s);
        if (line.size() > 36 && strchr("$:+", line[0])) return line.substr(35);
        if (line.size() > 2 && strchr("->^", line[0])) return line.substr(2);
        s = e + 1;
    }
    return "/a.txt";
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    static const bool ready = set_up();
    (void)ready;
    FILE* f = fopen(log_path.c_str(), "wb");
    if (!f) abort();
    if (size > 0 && fwrite(data, 1, size, f) != size) abort();
    fclose(f);
    anywhen_close();
    load_log(log_path.c_str());
    cpu_cycles = 0;  // the queries charge their work; each input starts a fresh count

    // The path the log names first (or "/a.txt", which the blob belongs to), or a folder: one of
    // the two an input, picked by its length, so that each input asks half as many queries.
    const std::string path = first_path(data, size);
    const std::string folder = path == "/d" ? "/a.txt" : "/d";
    for (const std::string& p : {size % 2 == 0 ? path : folder}) {
        list(anywhen_list_by_loc, p);
        list(anywhen_list_by_day, p + " @ 2025-03-04");
        list(anywhen_list_by_folder_moment, p + " @ 2025-03-04_12:00:00");
        if (anywhen_get_attr(("anywhen:/" + p + " @ 2025-03-04_00:00:00").c_str()) > 1) abort();
        for (const char* moment : {"2025-03-04_12:00:00", "2025-03-31_23:59:59"}) {
            pbuffer* b = anywhen_fetch((p + " @ " + moment).c_str());
            if (b && (b->length < 0 || b->cursor != 0)) abort();
            destroy_buffer(b);
        }
    }
    list(anywhen_list_by_folder_moment, " @ 2025-03-04_23:59:59");
    anywhen_close();
    return 0;
}
