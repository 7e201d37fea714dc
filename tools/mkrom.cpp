// mkrom: builds a system image (sysrom.dat) from a folder of scripts with the system's own
// .q64.rom writer. Every file under the folder becomes the ROM entry "system/<relative path>".
//
//   mkrom [-name <text>] [-cart <folder or .q64.rom file>] [-flags <number>]
//         [-add <host file> <relative path>]... <folder> <output>
//
// -add puts a file made elsewhere (such as the generated system font) into the image as
// "system/<relative path>", beside the folder's own files; it may be given more than once.
//
// Records: 0 the name (empty unless -name), 1 the system ROM, 2 the exported cartridge
// (-cart), 3 the flags word as a big-endian u32 (-flags; bit 0 = cartridge-player mode).
#include <dirent.h>
#include <sys/stat.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "base/pbuffer.h"
#include "storage/cart.h"
#include "storage/pdisk.h"

namespace {

constexpr uint32_t IMAGE_RECORD_MAX = 0x2000000;  // the longest record the program reads

int usage() {
    fprintf(stderr,
            "usage: mkrom [-name <text>] [-cart <folder or .q64.rom file>] [-flags <number>]\n"
            "             [-add <host file> <relative path>]... <folder> <output>\n");
    return 2;
}

bool is_folder(const std::string& path) {
    struct stat st;
    return stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

bool read_host_file(const std::string& path, std::string* out) {
    FILE* f = fopen(path.c_str(), "rb");
    if (!f) return false;
    out->clear();
    char chunk[65536];
    size_t n;
    while ((n = fread(chunk, 1, sizeof chunk, f)) > 0) out->append(chunk, n);
    bool ok = !ferror(f);
    fclose(f);
    return ok;
}

// Copies the host file into the RAM file ram.
bool copy_file(const std::string& host, const std::string& ram) {
    std::string data;
    if (!read_host_file(host, &data)) {
        fprintf(stderr, "mkrom: can not read %s\n", host.c_str());
        return false;
    }
    ram_file* f = pfopen(ram.c_str(), "w");
    if (!f) {
        fprintf(stderr, "mkrom: can not hold %s (unusable name?)\n", ram.c_str());
        return false;
    }
    bool ok = data.empty() || pfwrite(data.data(), 1, int64_t(data.size()), f) == int32_t(data.size());
    pfclose(f);
    if (!ok) fprintf(stderr, "mkrom: %s is too large\n", host.c_str());
    return ok;
}

// Copies the host folder into the RAM folder ram (names sorted, so the result does not
// depend on the order the host lists them in). False after printing the first failure.
bool copy_folder(const std::string& host, const std::string& ram) {
    DIR* d = opendir(host.c_str());
    if (!d) {
        fprintf(stderr, "mkrom: can not read folder %s: %s\n", host.c_str(), strerror(errno));
        return false;
    }
    std::vector<std::string> names;
    while (dirent* e = readdir(d)) {
        if (strcmp(e->d_name, ".") != 0 && strcmp(e->d_name, "..") != 0) names.push_back(e->d_name);
    }
    closedir(d);
    std::sort(names.begin(), names.end());
    for (const std::string& name : names) {
        std::string h = host + "/" + name;
        std::string r = ram + "/" + name;
        struct stat st;
        if (stat(h.c_str(), &st) != 0) {
            fprintf(stderr, "mkrom: can not read %s: %s\n", h.c_str(), strerror(errno));
            return false;
        }
        if (S_ISDIR(st.st_mode)) {
            // A folder named like a cartridge would be mounted as one instead of made.
            if (q64_path_kind(r.c_str()) != 0) {
                fprintf(stderr, "mkrom: a folder named like a cartridge can not go in an image: %s\n", h.c_str());
                return false;
            }
            if (pmkdir(r.c_str()) != 0) {
                fprintf(stderr, "mkrom: can not make the folder for %s\n", h.c_str());
                return false;
            }
            if (!copy_folder(h, r)) return false;
            continue;
        }
        if (S_ISREG(st.st_mode) && !copy_file(h, r)) return false;
    }
    return true;
}

// The .q64.rom image of the RAM folder root, or false when the writer refused it.
bool rom_of(const char* root, std::string* out) {
    pbuffer* b = create_buffer_2(65536, BUFFER_TAG_FILE);
    if (!b) return false;
    write_q64_rom_from_ram_files(b, root, 0);
    bool ok = b->length > 0;
    if (ok) out->assign(reinterpret_cast<const char*>(b->data), size_t(b->length));
    destroy_buffer(b);
    return ok;
}

bool put_record(FILE* f, const std::string& bytes, const char* what) {
    if (bytes.size() > IMAGE_RECORD_MAX) {
        fprintf(stderr, "mkrom: the %s is %zu bytes; at most %u fit in a record\n", what, bytes.size(),
                unsigned(IMAGE_RECORD_MAX));
        return false;
    }
    uint32_t n = uint32_t(bytes.size());
    uint8_t length[4] = {uint8_t(n >> 24), uint8_t(n >> 16), uint8_t(n >> 8), uint8_t(n)};
    return fwrite(length, 1, 4, f) == 4 && fwrite(bytes.data(), 1, bytes.size(), f) == bytes.size();
}

}  // namespace

int main(int argc, char** argv) {
    std::string name;
    std::string cart;
    bool have_flags = false;
    uint32_t flags = 0;
    std::vector<std::string> plain;
    std::vector<std::pair<std::string, std::string>> added;  // host file, path in the image
    for (int i = 1; i < argc; i++) {
        std::string a = argv[i];
        if (a == "-add") {
            if (i + 2 >= argc) return usage();
            std::string host = argv[i + 1], path = argv[i + 2];
            i += 2;
            if (path.empty() || path[0] == '/' || path.find("..") != std::string::npos) {
                fprintf(stderr, "mkrom: -add needs a relative path inside the system folder, not %s\n", path.c_str());
                return 2;
            }
            added.emplace_back(host, path);
        } else if (a == "-name" || a == "-cart" || a == "-flags") {
            if (i + 1 >= argc) return usage();
            std::string v = argv[++i];
            if (a == "-name") {
                name = v;
            } else if (a == "-cart") {
                cart = v;
            } else {
                char* end = nullptr;
                errno = 0;
                unsigned long long x = strtoull(v.c_str(), &end, 0);
                if (v.empty() || *end || errno || x > 0xFFFFFFFFull || v[0] == '-') {
                    fprintf(stderr, "mkrom: bad flags word %s\n", v.c_str());
                    return 2;
                }
                flags = uint32_t(x);
                have_flags = true;
            }
        } else if (!a.empty() && a[0] == '-') {
            return usage();
        } else {
            plain.push_back(a);
        }
    }
    if (plain.size() != 2) return usage();
    if (have_flags && cart.empty()) {
        fprintf(stderr, "mkrom: -flags needs -cart (the flags word is the record after the cartridge)\n");
        return 2;
    }
    const std::string& folder = plain[0];
    const std::string& output = plain[1];
    if (!is_folder(folder)) {
        fprintf(stderr, "mkrom: %s is not a folder\n", folder.c_str());
        return 1;
    }

    pfile_init();
    pfile_reset();
    mount_ram_folder("/ram");
    pmkdir("/ram/mkrom");
    std::string system_rom;
    bool copied = copy_folder(folder, "/ram/mkrom/system");
    for (const auto& [host, path] : added) {
        std::string ram = "/ram/mkrom/system/" + path;
        for (size_t slash = ram.find('/', 1); slash != std::string::npos; slash = ram.find('/', slash + 1))
            pmkdir(ram.substr(0, slash).c_str());  // the folders on its way; existing ones stay
        copied = copied && copy_file(host, ram);
    }
    if (!copied || !rom_of("/ram/mkrom", &system_rom)) {
        fprintf(stderr, "mkrom: can not build the system ROM from %s\n", folder.c_str());
        return 1;
    }

    std::string cart_rom;
    if (!cart.empty()) {
        if (is_folder(cart)) {
            pmkdir("/ram/mkcart");
            if (!copy_folder(cart, "/ram/mkcart") || !rom_of("/ram/mkcart", &cart_rom)) {
                fprintf(stderr, "mkrom: can not build the cartridge from %s\n", cart.c_str());
                return 1;
            }
        } else {
            if (!read_host_file(cart, &cart_rom)) {
                fprintf(stderr, "mkrom: can not read %s\n", cart.c_str());
                return 1;
            }
            if (cart_rom.size() < 8 || cart_rom.compare(0, 3, "q64") != 0) {
                fprintf(stderr, "mkrom: %s is not a .q64.rom image\n", cart.c_str());
                return 1;
            }
        }
    }

    std::string partial = output + ".part";
    FILE* f = fopen(partial.c_str(), "wb");
    if (!f) {
        fprintf(stderr, "mkrom: can not write %s: %s\n", partial.c_str(), strerror(errno));
        return 1;
    }
    bool ok = put_record(f, name, "name") && put_record(f, system_rom, "system ROM");
    if (ok && !cart.empty()) ok = put_record(f, cart_rom, "exported cartridge");
    if (ok && have_flags) {
        std::string word = {char(flags >> 24), char(flags >> 16), char(flags >> 8), char(flags)};
        ok = put_record(f, word, "flags word");
    }
    if (fclose(f) != 0) ok = false;
    if (!ok || rename(partial.c_str(), output.c_str()) != 0) {
        fprintf(stderr, "mkrom: could not write %s\n", output.c_str());
        remove(partial.c_str());
        return 1;
    }
    pfile_reset();
    return 0;
}
