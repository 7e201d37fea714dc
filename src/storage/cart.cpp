// Text and binary cartridges: readers that fill a RAM folder through the file table, writers
// that pack the RAM files under a root, and the pxa code block decoder.
#include "storage/cart.h"

#include <lz4.h>
#include <lz4hc.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <new>
#include <string>
#include <string_view>
#include <vector>

#include "storage/base64.h"
#include "storage/image.h"
#include "kernel/process.h"
#include "storage/pdisk.h"

namespace {

constexpr const char* Q64_HEADER = "orvalune cartridge // www.orvalune.net\n";
constexpr int Q64_WRITE_VERSION = 2;
constexpr int B64_FIRST_LINE_BYTES = 54;
constexpr int B64_LINE_BYTES = 57;
constexpr int HEX_FIRST_LINE_BYTES = 36;
constexpr int HEX_LINE_BYTES = 38;
constexpr int64_t ROM_LIST_INITIAL = 64 * 1024;
constexpr int LZ4_HC_LEVEL = 9;
constexpr int32_t MAX_UNREAD_FOLDERS = MAX_MOUNTS;

const char* text_of(const pbuffer* b) { return b && b->data ? reinterpret_cast<const char*>(b->data) : ""; }

std::string root_of(const char* root) {
    std::string r = root ? root : "";
    while (!r.empty() && r.back() == '/') r.pop_back();
    return r;
}

bool starts_with(std::string_view s, std::string_view prefix) { return s.substr(0, prefix.size()) == prefix; }

bool contains(std::string_view s, std::string_view part) { return s.find(part) != std::string_view::npos; }

// An entry the readers will not place: a ".." anywhere, or a path that runs through a name
// that is itself a cartridge (it would land in that cartridge's mount instead of this folder).
bool unplaceable_entry(const std::string& name) {
    if (contains(name, "..")) return true;
    // Every name that a '/' ends: a folder on the way, or a folder entry itself, which would be
    // mounted as a cartridge. An extension lies within one name, so each is tested alone.
    size_t start = 0;
    for (size_t slash = name.find('/'); slash != std::string::npos; slash = name.find('/', slash + 1)) {
        if (q64_path_kind(name.substr(start, slash - start).c_str()) != 0) return true;
        start = slash + 1;
    }
    return false;
}

// ---------------------------------------------------------------------------
// Folders whose reading failed. The mount folders are never reused within a run, and a
// note whose folder has gone is dropped when room is needed.

// Grown as folders are noted (at most MAX_UNREAD_FOLDERS), so that a run that notes none
// holds no table for them.
std::vector<std::string> unread_folders;
int32_t unread_count = 0;

int32_t find_unread(const std::string& folder) {
    for (int32_t i = 0; i < unread_count; i++) {
        if (unread_folders[i] == folder) return i;
    }
    return -1;
}

void forget_unread_at(int32_t i) {
    unread_folders.erase(unread_folders.begin() + i);
    unread_count--;
}

bool ram_folder_has_entries(const std::string& folder) {
    if (find_ram_file(folder.c_str())) return true;
    std::string prefix = folder + "/";
    for (int32_t i = pfile_range_start(prefix.c_str()); i < num_pfiles; i++) {
        if (pfile[i]->kind != PFILE_RAM) continue;
        int c = strncmp(text_of(pfile[i]->name), prefix.c_str(), prefix.size());
        if (c == 0) return true;
        if (c > 0) break;
    }
    return false;
}

void note_unread(const std::string& folder) {
    if (find_unread(folder) >= 0) return;
    if (unread_count == MAX_UNREAD_FOLDERS) {
        for (int32_t i = unread_count - 1; i >= 0; i--) {
            if (!ram_folder_has_entries(unread_folders[i])) forget_unread_at(i);
        }
    }
    if (unread_count == MAX_UNREAD_FOLDERS) forget_unread_at(0);
    unread_folders.push_back(folder);
    unread_count++;
}

void forget_unread(const std::string& folder) {
    int32_t i = find_unread(folder);
    if (i >= 0) forget_unread_at(i);
}

// ---------------------------------------------------------------------------
// Making files and folders

// Filling a folder places its files as they are: nothing on the way is mounted, not even a
// file named like a cartridge that an earlier entry of the same name made.
struct automount_hold {
    uint32_t was = automount_blocked;
    automount_hold() { automount_blocked = 1; }
    ~automount_hold() { automount_blocked = was; }
    automount_hold(const automount_hold&) = delete;
    automount_hold& operator=(const automount_hold&) = delete;
};

// Writes a whole file through the file table; false when it cannot be opened.
bool put_file(const std::string& path, const uint8_t* data, int64_t length) {
    automount_hold hold;
    ram_file* f = pfopen(path.c_str(), "w");
    if (!f) return false;
    bool ok = length <= 0 || pfwrite(data, 1, length, f) == length;
    pfclose(f);
    return ok;
}

bool put_file(const std::string& path, const std::string& data) {
    return put_file(path, reinterpret_cast<const uint8_t*>(data.data()), int64_t(data.size()));
}

// True when the folder was made or is already there (pmkdir gives 2 when a table is full).
bool make_folder(const std::string& path) {
    automount_hold hold;
    return pmkdir(path.c_str()) != 2;
}

int hex_value(uint8_t c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return 0;
}

// Digit pairs of s[begin, end); an odd last digit is ignored.
void append_hex_pairs(std::string& out, std::string_view s, size_t begin, size_t end) {
    if (end > s.size()) end = s.size();
    for (size_t i = begin; i + 1 < end; i += 2) {
        out.push_back(char(hex_value(uint8_t(s[i])) << 4 | hex_value(uint8_t(s[i + 1]))));
    }
}

void append_b64(std::string& out, std::string_view s, base64_decodestate* state) {
    size_t at = out.size();
    out.resize(at + s.size() * 3 / 4 + 2);
    int64_t n = base64_decode_block(s.data(), int64_t(s.size()), out.data() + at, state);
    out.resize(at + size_t(n));
}

// Lines of a buffer from its cursor, split at byte 10 only (so carriage returns in text
// files are kept). The last line may lack its newline.
struct line_reader {
    const char* data;
    int64_t pos;
    int64_t end;
    bool next(std::string_view* line) {
        if (pos >= end) return false;
        const void* nl = memchr(data + pos, '\n', size_t(end - pos));
        int64_t stop = nl ? static_cast<const char*>(nl) - data : end;
        *line = std::string_view(data + pos, size_t(stop - pos));
        pos = nl ? stop + 1 : end;
        return true;
    }
};

line_reader lines_of(const pbuffer* b) {
    int64_t start = b->cursor < 0 ? 0 : b->cursor;
    if (start > b->length) start = b->length;
    return line_reader{text_of(b), start, b->length};
}

std::string entry_path(std::string_view line, size_t from) {
    size_t i = from;
    while (i < line.size() && uint8_t(line[i]) >= 33) i++;
    return std::string(line.substr(from, i - from));
}

// ---------------------------------------------------------------------------
// The RAM files under a root

struct cart_entry {
    std::string name;  // relative to the root
    const ram_file* file;
    bool folder;
};

std::vector<cart_entry> entries_under(const std::string& root) {
    std::vector<cart_entry> out;
    std::string prefix = root + "/";
    for (int32_t i = pfile_range_start(prefix.c_str()); i < num_pfiles; i++) {
        const ram_file* f = pfile[i];
        if (f->kind != PFILE_RAM) continue;
        const char* name = text_of(f->name);
        int c = strncmp(name, prefix.c_str(), prefix.size());
        if (c < 0) continue;
        if (c > 0) break;
        if (!name[prefix.size()]) continue;
        out.push_back(cart_entry{name + prefix.size(), f, (f->flags & PFILE_FLAG_FOLDER) != 0});
    }
    return out;
}

std::string_view contents_of(const ram_file* f) {
    if (!f->contents || !f->contents->data || f->contents->length <= 0) return {};
    return std::string_view(reinterpret_cast<const char*>(f->contents->data), size_t(f->contents->length));
}

// A refused write-back keeps the file on disk as it was, so the changes in memory go when the
// mount is dropped: the user is told as well as the log.
void report_refusal(const char* text) {
    printf("%s\n", text);
    notify(text);
}

bool refuse_unread(const std::string& root, const char* kind) {
    if (find_unread(root) < 0) return false;
    char text[1200];
    snprintf(text, sizeof text, "** %s was not read whole from its cartridge: not written as %s", root.c_str(), kind);
    report_refusal(text);
    return true;
}

void refuse(const std::string& root, const char* kind, const char* reason, const std::string& name) {
    char text[1200];
    snprintf(text, sizeof text, "** can not write %s as %s: %s%s%.960s", root.c_str(), kind, reason,
             name.empty() ? "" : ": ", name.c_str());
    report_refusal(text);
}

bool append_whole(pbuffer* out, const std::string& bytes) {
    if (bytes.empty()) return true;
    return bwrite(bytes.data(), 1, int64_t(bytes.size()), out) == int32_t(bytes.size());
}

// ---------------------------------------------------------------------------
// Text cartridge writer

bool is_info_mox(const std::string& name) { return contains(name, ".info.mox"); }

bool passes_text_test(const std::string& name, std::string_view contents) {
    const char* ext = get_ext(name.c_str());
    if (!is_info_mox(name) && strcmp(ext, "txt") != 0 && strcmp(ext, "lua") != 0) return false;
    for (char c : contents) {
        if (c == 0 || uint8_t(c) >= 128) return false;
    }
    // A first line that opens with a marker or an entry line would be read as one.
    if (starts_with(contents, "hex$") || starts_with(contents, "b64$") || starts_with(contents, ":: ")) return false;
    return !contains(contents, "\n:: ");
}

void write_encoded_body(std::string& s, std::string_view data, bool hex) {
    static const char digits[] = "0123456789abcdef";
    int first = hex ? HEX_FIRST_LINE_BYTES : B64_FIRST_LINE_BYTES;
    int rest = hex ? HEX_LINE_BYTES : B64_LINE_BYTES;
    s += hex ? "hex$" : "b64$";
    size_t pos = 0;
    int chunk = first;
    do {
        size_t n = std::min(size_t(chunk), data.size() - pos);
        if (hex) {
            for (size_t i = 0; i < n; i++) {
                uint8_t c = uint8_t(data[pos + i]);
                s.push_back(digits[c >> 4]);
                s.push_back(digits[c & 15]);
            }
        } else {
            char line[2 * B64_LINE_BYTES + 8];
            base64_encodestate st;
            base64_init_encodestate(&st);
            int64_t k = base64_encode_block(data.data() + pos, int64_t(n), line, &st);
            k += base64_encode_blockend(line + k, &st);
            s.append(line, size_t(k));
        }
        s.push_back('\n');
        pos += n;
        chunk = rest;
    } while (pos < data.size());
}

void write_text_entry(std::string& s, const cart_entry& e, bool text, bool hex) {
    s += ":: ";
    s += e.name;
    if (e.folder) {
        s += "/\n";
        return;
    }
    s += "\n";
    std::string_view data = contents_of(e.file);
    if (text) {
        s.append(data);
        s += "\n";
    } else {
        write_encoded_body(s, data, hex);
    }
}

// ---------------------------------------------------------------------------
// pxa

struct bit_reader {
    const uint8_t* data;
    int64_t end_bit;  // bits that may be read
    int64_t bit;
    bool overrun;
    int get() {
        if (bit >= end_bit) {
            overrun = true;
            return 0;
        }
        int v = (data[bit >> 3] >> (bit & 7)) & 1;
        bit++;
        return v;
    }
    int64_t get(int n) {
        int64_t v = 0;
        for (int i = 0; i < n; i++) v |= int64_t(get()) << i;
        return v;
    }
};

// Decodes into out (limit + 1 bytes); *produced gets the bytes made. True when the block
// decoded cleanly to its stated length.
bool pxa_decode(const pbuffer* in, uint8_t* out, int64_t limit, int64_t* produced) {
    int64_t pos = 0;
    *produced = 0;
    if (!out || limit < 0) return false;
    out[0] = 0;
    if (!in || !in->data || in->length < 8) return false;
    const uint8_t* d = in->data;
    if (d[0] != 0 || d[1] != 'p' || d[2] != 'x' || d[3] != 'a') return false;
    int64_t raw_len = int64_t(d[4]) << 8 | d[5];
    int64_t comp_len = int64_t(d[6]) << 8 | d[7];
    int64_t in_len = std::min<int64_t>(comp_len, in->length);
    bit_reader r{d, in_len * 8, 64, false};
    uint8_t mtf[256];
    for (int i = 0; i < 256; i++) mtf[i] = uint8_t(i);
    bool clean = true;
    while ((r.bit >> 3) < comp_len && pos < raw_len && pos < limit) {
        if (r.get()) {
            int k = 0;
            while (k < 16 && r.get()) k++;
            int64_t index = 16 * ((int64_t(1) << k) - 1) + r.get(4 + k);
            if (r.overrun || index > 255) {
                clean = false;
                break;
            }
            uint8_t c = mtf[index];
            memmove(mtf + 1, mtf, size_t(index));
            mtf[0] = c;
            out[pos++] = c;
        } else {
            int bits = 15;
            if (r.get()) bits = r.get() ? 5 : 10;
            int64_t field = r.get(bits);
            if (r.overrun) {
                clean = false;
                break;
            }
            if (bits == 10 && field == 0) {
                while (true) {
                    int64_t v = r.get(8);
                    if (r.overrun || v == 0 || pos >= limit) {
                        out[pos] = 0;
                        break;
                    }
                    out[pos++] = uint8_t(v);
                }
                if (r.overrun) {
                    clean = false;
                    break;
                }
                continue;
            }
            int64_t offset = field + 1;
            int64_t length = 3;
            int64_t group;
            do {
                group = r.get(3);
                length += group;
            } while (group == 7 && !r.overrun);
            if (r.overrun || offset > pos || pos + length > limit) {
                clean = false;
                break;
            }
            for (int64_t i = 0; i < length; i++, pos++) out[pos] = out[pos - offset];
        }
        out[pos] = 0;
    }
    out[pos] = 0;
    *produced = pos;
    return clean && pos >= raw_len;
}

// ---------------------------------------------------------------------------
// .q64.rom entry list

void put_rom_size(std::string& list, uint32_t size) {
    if (size < 255) {
        list.push_back(char(size));
        return;
    }
    list.push_back(char(255));
    for (int i = 0; i < 4; i++) list.push_back(char(size >> (8 * i)));
}

pbuffer* captured_metadata = nullptr;

void capture_metadata(const std::string& root) {
    destroy_buffer(captured_metadata);
    captured_metadata = nullptr;
    const ram_file* f = find_ram_file((root + "/.info.mox").c_str());
    if (!f || (f->flags & PFILE_FLAG_FOLDER)) return;
    std::string_view data = contents_of(f);
    captured_metadata = create_buffer_2(int64_t(data.size()) + 1, BUFFER_TAG_FILE);
    if (!captured_metadata) return;
    if (!data.empty()) bwrite(data.data(), 1, int64_t(data.size()), captured_metadata);
    captured_metadata->cursor = 0;
}

// True when path is folder itself or lies inside it.
bool inside_folder(const std::string& path, const std::string& folder) {
    return path.compare(0, folder.size(), folder) == 0 && (path.size() == folder.size() || path[folder.size()] == '/');
}

// Reads the entry list of a .q64.rom payload into root; entries that would land outside
// folder are refused. False when it stopped early or refused an entry.
bool read_rom_entries(const uint8_t* p, int64_t n, const std::string& root, const std::string& folder,
                      bool keep_existing) {
    int64_t pos = 0;
    bool whole = true;
    for (int32_t count = 0; pos < n; count++) {
        if (count == Q64_ROM_MAX_ENTRIES) return false;
        const void* zero = memchr(p + pos, 0, size_t(n - pos));
        int64_t name_len = zero ? static_cast<const uint8_t*>(zero) - (p + pos) : n - pos;
        if (!zero || name_len == 0 || name_len > Q64_ROM_NAME_MAX) {
            printf("  *** q64.rom filename parsing failed\n");
            return false;
        }
        std::string name(reinterpret_cast<const char*>(p + pos), size_t(name_len));
        pos += name_len + 1;
        std::string path = root + "/" + name;
        if (unplaceable_entry(name) || path.size() >= size_t(Q64_PATH_MAX)) {
            printf("** bad file description while mounting .q64.rom: %s\n", name.c_str());
            return false;
        }
        bool inside = inside_folder(name.back() == '/' ? path.substr(0, path.size() - 1) : path, folder);
        if (!inside) {
            printf("** %s lies outside %s: not placed\n", name.c_str(), folder.c_str());
            whole = false;
        }
        if (name.back() == '/') {
            path.pop_back();
            if (inside && !make_folder(path)) return false;
            continue;
        }
        int64_t left = n - pos;
        int64_t size = -1;
        if (left >= 1 && p[pos] < 255) {
            size = p[pos];
            pos += 1;
        } else if (left >= 5) {
            uint32_t v = uint32_t(p[pos + 1]) | uint32_t(p[pos + 2]) << 8 | uint32_t(p[pos + 3]) << 16 |
                         uint32_t(p[pos + 4]) << 24;
            size = int32_t(v);
            pos += 5;
        }
        left = n - pos;
        if (size > left) {
            size = left;
            whole = false;
        }
        if (size < 0) {
            printf("** bad file length %d (%d) while mounting .q64.rom: %s\n", int(size), int(left), name.c_str());
            return false;
        }
        if (inside && !(keep_existing && pdisk_file_exists(path.c_str()))) {
            if (!put_file(path, p + pos, size)) {
                printf("** could not make %s while mounting .q64.rom\n", path.c_str());
                whole = false;
            }
        }
        pos += size;
    }
    return whole;
}

}  // namespace

// ---------------------------------------------------------------------------
// Text cartridge

int populate_ram_folder_from_q64_buffer(const char* root_path, pbuffer* b) {
    std::string root = root_of(root_path);
    forget_unread(root);
    if (!b) return 1;
    line_reader lines = lines_of(b);
    if (lines.pos >= lines.end) return 0;  // an empty file is an empty cartridge
    std::string_view line;
    int version = 0;
    lines.next(&line);
    if (lines.next(&line)) {
        char text[32];
        snprintf(text, sizeof text, "%.*s", int(std::min<size_t>(line.size(), sizeof text - 1)), line.data());
        if (sscanf(text, "version %d", &version) != 1) version = 0;
    }
    if (version == 1) return populate_ram_folder_from_q64_buffer_v1(root_path, b);
    if (version == 2) return populate_ram_folder_from_q64_buffer_v2(root_path, b);
    b->cursor = b->length;
    note_unread(root);
    return 1;
}

int populate_ram_folder_from_q64_buffer_v2(const char* root_path, pbuffer* b) {
    std::string root = root_of(root_path);
    if (!b) return 1;
    line_reader lines = lines_of(b);
    std::string_view line;
    lines.next(&line);
    lines.next(&line);

    enum body_mode { NONE, FRESH, TEXT, HEX, B64 };
    body_mode mode = NONE;
    std::string open_path;
    std::string contents;
    base64_decodestate b64;
    bool whole = true;
    bool ended = false;

    auto close_open = [&]() {
        if (mode == NONE) return;
        // The writer ends a text body with one newline of its own.
        if (mode == TEXT && contents.size() >= 2 && contents.back() == '\n') contents.pop_back();
        if (!put_file(open_path, contents)) {
            printf("** could not make %s while mounting .q64\n", open_path.c_str());
            whole = false;
        }
        mode = NONE;
        contents.clear();
    };

    while (lines.next(&line)) {
        if (starts_with(line, ":: [eoc]")) {
            close_open();
            ended = true;
            break;
        }
        if (starts_with(line, ":: ")) {
            close_open();
            std::string name = entry_path(line, 3);
            if (name.empty() || name == "/" || unplaceable_entry(name)) {
                whole = false;  // ignored together with its body
                continue;
            }
            std::string path = root + "/" + name;
            if (path.size() >= size_t(Q64_PATH_MAX)) {
                printf("** bad file description while mounting .q64: %s\n", name.c_str());
                whole = false;
                ended = true;
                break;
            }
            if (name.back() == '/') {
                path.pop_back();
                if (!make_folder(path)) whole = false;
                continue;
            }
            open_path = path;
            mode = FRESH;
            continue;
        }
        switch (mode) {
        case NONE:
            break;
        case FRESH:
            if (starts_with(line, "hex$")) {
                mode = HEX;
                append_hex_pairs(contents, line, 4, line.size());
            } else if (starts_with(line, "b64$")) {
                mode = B64;
                base64_init_decodestate(&b64);
                append_b64(contents, line.substr(4), &b64);
            } else {
                mode = TEXT;
                contents.append(line);
                contents.push_back('\n');
            }
            break;
        case TEXT:
            contents.append(line);
            contents.push_back('\n');
            break;
        case HEX:
            append_hex_pairs(contents, line, 0, line.size());
            break;
        case B64:
            if (line.size() > size_t(Q64_B64_LINE_MAX)) whole = false;
            else append_b64(contents, line, &b64);
            break;
        }
    }
    if (!ended) {
        close_open();
        printf("** warning: no [eoc] found while mounting %s\n", root.c_str());
    }
    b->cursor = b->length;
    if (!whole) note_unread(root);
    return whole ? 0 : 1;
}

int populate_ram_folder_from_q64_buffer_v1(const char* root_path, pbuffer* b) {
    std::string root = root_of(root_path);
    if (!b) return 1;
    line_reader lines = lines_of(b);
    std::string_view line;
    lines.next(&line);
    lines.next(&line);
    bool whole = true;
    while (lines.next(&line)) {
        if (line.size() < 2) break;
        if (starts_with(line, "##")) continue;
        size_t space = line.find(' ');
        if (space == std::string_view::npos) space = line.size();
        std::string name(line.substr(0, space));
        std::string_view rest = line.substr(space);
        char numbers[64];
        snprintf(numbers, sizeof numbers, "%.*s", int(std::min<size_t>(rest.size(), sizeof numbers - 1)), rest.data());
        int first = 0, attribs = 0;
        if (sscanf(numbers, " %d:%d", &first, &attribs) != 2) attribs = 0;
        if (name.empty() || unplaceable_entry(attribs & 1 ? name + "/" : name)) {
            whole = false;
            continue;
        }
        std::string path = root + "/" + name;
        if (path.size() >= size_t(Q64_PATH_MAX)) {
            printf("** bad file description while mounting .q64: %s\n", name.c_str());
            whole = false;
            break;
        }
        if (attribs & 1) {
            if (!make_folder(path)) whole = false;
            continue;
        }
        std::string data;
        size_t open = rest.find('[');
        if (open == std::string_view::npos) {
            printf("******** could not read legacy q64; file contents missing. missing null terminator issue?\n");
            printf("attribs: %d new_path: %s c_p1: %s\n\n", attribs, path.c_str(), std::string(rest).c_str());
            whole = false;
        } else {
            size_t close = rest.rfind(']');
            size_t from = open + 3;
            if (close == std::string_view::npos || close < open) whole = false;
            else if (close > from) append_hex_pairs(data, rest, from, close);
        }
        if (!put_file(path, data)) {
            printf("** could not make %s while mounting .q64\n", path.c_str());
            whole = false;
        }
    }
    b->cursor = b->length;
    if (!whole) note_unread(root);
    return whole ? 0 : 1;
}

int populate_ram_folder_from_q64_png_buffer(const char* root_path, pbuffer* b) {
    std::string root = root_of(root_path);
    forget_unread(root);
    if (!b || b->length <= 0) return 0;
    b->cursor = b->length;
    uint8_t* picture = decode_q64_png_picture(b);
    pbuffer* data = picture ? q64_png_picture_data(picture) : nullptr;
    if (!data || !is_q64_rom_image(data)) {
        printf("can not populate %s\n", root.c_str());
        printf("** not an image cartridge: no .q64.rom image in a 512x384 picture\n");
        destroy_buffer(data);
        free(picture);
        note_unread(root);
        return 1;
    }
    int result = populate_ram_folder_from_q64_rom_buffer(data, root.c_str());
    destroy_buffer(data);
    // The label picture is not part of the .q64.rom image: it is taken back from the picture
    // (without the data bits), so that writing the cartridge again shows the same label.
    pbuffer* label = nullptr;
    if (result == 0 && !find_ram_file((root + "/label.png").c_str()) && !find_ram_file((root + "/label.qoi").c_str()))
        label = q64_png_picture_label(picture);
    free(picture);
    if (label && !put_file(root + "/label.png", label->data, label->length)) {
        printf("** could not make %s/label.png while mounting .q64.png\n", root.c_str());
        note_unread(root);
        result = 1;
    }
    destroy_buffer(label);
    return result;
}

void write_q64_from_ram_files(pbuffer* out, const char* root_path, int flags) {
    if (!out) return;
    std::string root = root_of(root_path);
    if (refuse_unread(root, "a .q64 cartridge")) return;
    std::vector<cart_entry> entries = entries_under(root);
    for (const cart_entry& e : entries) {
        const char* reason = nullptr;
        if (e.name.size() > size_t(Q64_TEXT_NAME_MAX)) reason = "name too long";
        else if (contains(e.name, "..")) reason = "name holds \"..\"";
        for (char c : e.name) {
            if (uint8_t(c) < 33) reason = "name holds a space or control character";
        }
        if (reason) {
            refuse(root, "a .q64 cartridge", reason, e.name);
            return;
        }
    }
    std::vector<bool> text(entries.size());
    for (size_t i = 0; i < entries.size(); i++) text[i] = passes_text_test(entries[i].name, contents_of(entries[i].file));

    std::string s = Q64_HEADER;
    s += "version " + std::to_string(Q64_WRITE_VERSION) + "\n\n";
    bool hex = flags != 0;
    for (const cart_entry& e : entries) {
        if (e.folder) write_text_entry(s, e, false, hex);
    }
    for (size_t i = 0; i < entries.size(); i++) {
        if (text[i] && !is_info_mox(entries[i].name)) write_text_entry(s, entries[i], true, hex);
    }
    for (size_t i = 0; i < entries.size(); i++) {
        const cart_entry& e = entries[i];
        if (!e.folder && (is_info_mox(e.name) || !text[i])) write_text_entry(s, e, text[i], hex);
    }
    s += ":: [eoc]\n";
    if (s.size() > size_t(PBUFFER_MAX_LENGTH) - size_t(out->length) || !append_whole(out, s)) {
        refuse(root, "a .q64 cartridge", "too large", "");
    }
}

// ---------------------------------------------------------------------------
// Binary cartridge

void write_q64_rom_from_ram_files(pbuffer* out, const char* root_path, int flags) {
    if (!out) return;
    std::string root = root_of(root_path);
    if (flags & Q64_ROM_CAPTURE_METADATA) capture_metadata(root);
    if (refuse_unread(root, "a .q64.rom image")) return;
    std::string list;
    list.reserve(size_t(ROM_LIST_INITIAL));
    int32_t count = 0;
    for (const cart_entry& e : entries_under(root)) {
        if ((flags & Q64_ROM_SKIP_LABEL) && (e.name == "label.png" || e.name == "label.qoi")) continue;
        std::string name = e.folder ? e.name + "/" : e.name;
        if (name.size() > size_t(Q64_ROM_NAME_MAX)) {
            refuse(root, "a .q64.rom image", "name longer than 400 bytes", name);
            return;
        }
        if (contains(name, "..")) {
            refuse(root, "a .q64.rom image", "name holds \"..\"", name);
            return;
        }
        if (++count > Q64_ROM_MAX_ENTRIES) {
            refuse(root, "a .q64.rom image", "more than 16384 entries", "");
            return;
        }
        list += name;
        list.push_back(0);
        if (!e.folder) {
            std::string_view data = contents_of(e.file);
            if (list.size() + data.size() + 5 > size_t(Q64_ROM_PAYLOAD_MAX)) {
                refuse(root, "a .q64.rom image", "more than 64 MB", "");
                return;
            }
            put_rom_size(list, uint32_t(data.size()));
            list.append(data);
        }
        if (list.size() > size_t(Q64_ROM_PAYLOAD_MAX)) {
            refuse(root, "a .q64.rom image", "more than 64 MB", "");
            return;
        }
    }
    int bound = LZ4_compressBound(int(list.size()));
    std::string image(size_t(8 + bound), '\0');
    int packed = LZ4_compress_HC(list.data(), image.data() + 8, int(list.size()), bound, LZ4_HC_LEVEL);
    if (packed <= 0) {
        refuse(root, "a .q64.rom image", "compression failed", "");
        return;
    }
    memcpy(image.data(), "q64", 3);
    image[3] = 2;
    for (int i = 0; i < 4; i++) image[size_t(4 + i)] = char(uint32_t(packed) >> (8 * i));
    image.resize(size_t(8 + packed));
    if (!append_whole(out, image)) refuse(root, "a .q64.rom image", "too large", "");
}

const pbuffer* q64_rom_captured_metadata() { return captured_metadata; }

bool is_q64_rom_image(const pbuffer* b) {
    if (!b || !b->data || b->length < 8 || memcmp(b->data, "q64", 3) != 0) return false;
    const uint8_t* d = b->data;
    uint32_t packed = uint32_t(d[4]) | uint32_t(d[5]) << 8 | uint32_t(d[6]) << 16 | uint32_t(d[7]) << 24;
    return packed > 0 && int64_t(packed) <= int64_t(b->length) - 8;
}

int populate_ram_folder_from_q64_rom_buffer(pbuffer* b, const char* ram_path) {
    return populate_ram_folder_from_q64_rom_buffer_ex(ram_path, b, ram_path, false);
}

int populate_ram_folder_from_q64_rom_buffer_ex(const char* root_path, pbuffer* b, const char* folder_name,
                                               bool keep_existing) {
    std::string root = root_of(root_path);
    std::string folder = folder_name ? root_of(folder_name) : root;
    forget_unread(folder);
    if (!b) return 1;
    int64_t start = b->cursor < 0 ? 0 : std::min<int64_t>(b->cursor, b->length);
    int64_t left = b->length - start;
    const uint8_t* d = b->data;
    bool whole = true;

    if (start == 0 && left >= 4 && d[0] == 0 && d[1] == 'p' && d[2] == 'x' && d[3] == 'a') {
        std::vector<uint8_t> text(size_t(PXA_LIMIT) + 1, 0);
        int64_t produced = 0;
        whole = pxa_decode(b, text.data(), PXA_LIMIT, &produced);
        int64_t n = int64_t(strlen(reinterpret_cast<const char*>(text.data())));
        if (!inside_folder(root + "/main.lua", folder) || !put_file(root + "/main.lua", text.data(), n)) whole = false;
    } else if (left >= 3 && memcmp(d + start, "q64", 3) == 0) {
        uint32_t packed = 0;
        if (left >= 8) {
            packed = uint32_t(d[start + 4]) | uint32_t(d[start + 5]) << 8 | uint32_t(d[start + 6]) << 16 |
                     uint32_t(d[start + 7]) << 24;
        }
        int got = -1;
        std::unique_ptr<uint8_t[]> payload;
        if (left >= 8 && packed > 0 && int64_t(packed) <= left - 8 && packed <= uint32_t(INT32_MAX)) {
            // LZ4 expands at most 255 times: a smaller buffer than the full 64 MB holds any
            // payload that the packed bytes can give.
            int64_t room = std::min<int64_t>(Q64_ROM_PAYLOAD_MAX, int64_t(packed) * 255 + 64);
            payload.reset(new (std::nothrow) uint8_t[size_t(room)]);
            if (payload) {
                got = LZ4_decompress_safe(reinterpret_cast<const char*>(d + start + 8),
                                          reinterpret_cast<char*>(payload.get()), int(packed), int(room));
            }
        }
        if (got < 0) {
            printf("  *** q64.rom decompression failed: %s\n", folder.c_str());
            whole = false;
        } else {
            whole = read_rom_entries(payload.get(), got, root, folder, keep_existing);
        }
    } else if (left >= 3) {
        const void* zero = memchr(d, 0, size_t(b->length));
        int64_t n = zero ? static_cast<const uint8_t*>(zero) - d : b->length;
        if (n < b->length) whole = false;  // bytes after the code are not kept
        if (!inside_folder(root + "/main.lua", folder) || !put_file(root + "/main.lua", d, n)) whole = false;
    } else if (left > 0) {
        whole = false;
    }
    b->cursor = b->length;
    if (!whole) note_unread(folder);
    return whole ? 0 : 1;
}

int pxa_decompress(const pbuffer* in, uint8_t* out, int64_t limit) {
    int64_t produced = 0;
    pxa_decode(in, out, limit, &produced);
    return 0;
}
