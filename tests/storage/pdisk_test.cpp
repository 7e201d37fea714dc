// The virtual file system: paths, the file table, handles, mounts, write-back, listings,
// pruning and the configuration file, each test on a fresh application-data folder.
#include <gtest/gtest.h>

#include <csignal>
#include <fcntl.h>
#include <functional>
#include <memory>
#include <random>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include "kernel/slice.h"
#include "lauxlib.h"
#include "lua.h"
#include "platform/host.h"
#include "storage/listing.h"
#include "test_support.h"

namespace {

using namespace drive_test;
using names = std::vector<std::string>;

// A valid cartridge with no files: what a freshly made cartridge file holds.
const std::string kEmptyCartridge = "orvalune cartridge // x\nversion 2\n\n:: [eoc]\n";

std::string take(pbuffer* b) {
    std::string s = str(b);
    destroy_buffer(b);
    return s;
}
std::string norm(const char* p) { return take(normalise_orvalune_path(p)); }
std::string collapse(const char* p) { return take(collapse_path(p, int64_t(strlen(p)), 0)); }
std::string origin_of(const char* p, uint32_t* kind = nullptr, int skip_exact = 0) {
    uint32_t k = kind ? *kind : 0;
    std::string s = take(resolve_to_origin(p, &k, skip_exact));
    if (kind) *kind = k;
    return s;
}
bool host_exists(const std::string& p) {
    struct stat st;
    return lstat(p.c_str(), &st) == 0;
}

struct Pdisk : temp_drive {
    process_record* proc = nullptr;

    void TearDown() override {
        temp_drive::TearDown();
        free(proc);
    }

    // Sets the current process's working folder; null leaves no current process.
    void set_pwd(const char* pwd) {
        if (!pwd) {
            cproc = nullptr;
            return;
        }
        if (!proc) proc = static_cast<process_record*>(calloc(1, sizeof(process_record)));
        snprintf(proc->pwd, sizeof(proc->pwd), "%s", pwd);
        cproc = proc;
    }

    // The names pflist gives for a folder; the table it pushes must match its listing.
    names list(const char* path, int64_t* folders = nullptr) {
        listing* l = create_listing();
        lua_State* L = luaL_newstate();
        names out;
        if (pflist(path, L, l) == 2) {
            if (folders) *folders = lua_tointeger(L, -1);
            lua_Integer len = lua_Integer(lua_rawlen(L, -2));
            EXPECT_EQ(len, l->count);
            for (lua_Integer i = 1; i <= len; i++) {
                lua_rawgeti(L, -2, i);
                out.push_back(lua_tostring(L, -1));
                lua_pop(L, 1);
                EXPECT_EQ(out.back(), reinterpret_cast<const char*>(l->item[i - 1]->data));
            }
        }
        lua_close(L);
        destroy_listing(l);
        return out;
    }
};

// ---------------------------------------------------------------------------
// Paths

TEST_F(Pdisk, NormaliseRefusesBadPathsAndJoinsTheWorkingDirectory) {
    struct { const char* pwd; const char* path; const char* want; } cases[] = {
        {nullptr, "", "<null>"}, {nullptr, "#x", "<null>"}, {nullptr, "-x", "<null>"},
        {nullptr, "/a b", "<null>"}, {nullptr, "/a:b", "<null>"}, {nullptr, "/a\\b", "<null>"},
        {nullptr, "/a#b c", "/a#b c"}, {nullptr, "/", "/"}, {nullptr, "a", "/a"},  // no process: "/"
        {"/ram/x", "y/../z", "/ram/x/z"}, {"/ram/x", "/../..", "/"}, {"/ram/x", "/a//b/./c/", "/a/b/c"},
        {"/ram/x", "..", "/ram"}, {"/ram/x/", "y", "/ram/x/y"},
        // An unchecked working folder still gives absolute paths, or none.
        {"desk", "a", "/desk/a"}, {"", "a", "/a"}, {"/../../up", "a", "/up/a"},
        {"x://", "a", "<null>"}, {"/has space", "a", "<null>"},
    };
    for (const auto& c : cases) {
        set_pwd(c.pwd);
        EXPECT_EQ(norm(c.path), c.want) << (c.pwd ? c.pwd : "(none)") << " + " << c.path;
    }
    EXPECT_EQ(normalise_orvalune_path(nullptr), nullptr);
}

TEST_F(Pdisk, CollapseFoldsSegments) {
    // The kernel's callers keep a scheme prefix, which ".." never reaches into.
    const char* cases[][2] = {{"/a/./b/../c", "/a/c"}, {"a/../b", "b"}, {"a/b", "a/b"}, {"", "/"},
                              {"///", "/"}, {"/..", "/"}, {"anywhen://a/../b", "anywhen://b"},
                              {"anywhen://../../x", "anywhen://x"}};
    for (const auto& c : cases) EXPECT_EQ(collapse(c[0]), c[1]) << c[0];
    EXPECT_EQ(take(collapse_path("/abc/def", 4, 0)), "/abc");
}

TEST_F(Pdisk, LongSegmentsAreRefusedNotDropped) {
    std::string ok = "/ram/" + std::string(254, 'a');
    std::string bad = "/ram/" + std::string(255, 'a');
    EXPECT_EQ(norm(ok.c_str()), ok);
    EXPECT_EQ(norm(bad.c_str()), "<null>");
    EXPECT_EQ(collapse(bad.c_str()), "<null>");
    EXPECT_EQ(pfopen(bad.c_str(), "w"), nullptr);
    EXPECT_EQ(pfopen((bad + "/x").c_str(), "w"), nullptr);
    EXPECT_EQ(get("/ram"), std::nullopt);
    EXPECT_EQ(list("/ram"), names{});
}

TEST_F(Pdisk, LongPathsResolveInOnePass) {
    // Each prefix named like a cartridge is looked at; the others are passed over at once,
    // and nothing is looked for below a cartridge name that names nothing.
    std::string deep = "/ram", carts = "/ram";
    while (deep.size() < (size_t(1) << 20)) deep += "/a";
    while (carts.size() < (size_t(1) << 20)) carts += "/a.q64";
    EXPECT_TRUE(put("/ram/c.q64", kEmptyCartridge));
    for (const std::string& p : {deep, "/ram/c.q64" + deep.substr(4), carts}) {
        EXPECT_EQ(pfopen(p.c_str(), "r"), nullptr);
        EXPECT_EQ(pdisk_directory_exists(p.c_str(), 1), 0);
    }
    EXPECT_NE(mount_at("/ram/c.q64"), nullptr);
    // A mount point below a name that names nothing is still reached, cartridges and all.
    EXPECT_TRUE(put("/ram/data/g.q64", kEmptyCartridge));
    ASSERT_NE(mount_p_path("/ram/v.q64/link", "/ram/data"), nullptr);
    EXPECT_TRUE(put("/ram/v.q64/link/g.q64/f", "F"));
    EXPECT_NE(mount_at("/ram/v.q64/link/g.q64"), nullptr);
    EXPECT_EQ(get("/ram/v.q64/link/g.q64/f"), "F");
}

TEST_F(Pdisk, TraversalAttemptsStayInsideTheDrive) {
    for (const char* p : {"/../../x#:///", "/../../x#://a", "/../../x#:", "/#://../../../x", "/a#/../../../etc/passwd",
                          "/..#/a", "/x#/../../..", "/./../x"}) {
        uint32_t kind = 0;
        std::string o = origin_of(p, &kind);
        ASSERT_FALSE(o.empty()) << p;
        EXPECT_EQ(kind, MOUNT_HOST) << p;
        EXPECT_EQ(o.compare(0, drive.size() + 1, drive + "/"), 0) << p << " -> " << o;
        EXPECT_EQ(o.find("/../"), std::string::npos) << o;
    }
    EXPECT_EQ(pmkdir("/../../x#:///"), 0);
    EXPECT_TRUE(put("/../../x#://a", "data"));
    EXPECT_EQ(host_get(drive + "/x#:/a"), "data");
    EXPECT_FALSE(host_exists(home + "/x#:"));
    EXPECT_FALSE(host_exists(home.substr(0, home.rfind('/')) + "/x#:"));
}

TEST_F(Pdisk, ParentMatchDepthAndExtensions) {
    struct { const char* parent; const char* path; int depth; } depths[] = {
        {"/", "/x", 0}, {"", "/x", 0}, {"", "x", -1}, {"/ram", "/ram", 1}, {"/ram", "/ram/a/b", 1},
        {"/ram", "/ramx", -1}, {"/ram/x", "/ram", -1}, {"/ram/mount/m3", "/ram/mount/m3/a", 3}};
    for (const auto& d : depths)
        EXPECT_EQ(get_path_parent_match_depth(d.parent, d.path), d.depth) << d.parent << " " << d.path;

    std::string e64 = "f." + std::string(64, 'x'), e65 = "f." + std::string(65, 'x');
    const char* exts[][2] = {{"/d/cart.q64.png", "q64.png"}, {"my.cart.q64", "cart.q64"}, {"/d/CART.Q64", "q64"},
                             {"/a.b/c", ""}, {"/a/b", ""}, {"x.", ""}, {"/a.b/c.txt", "txt"},
                             {e64.c_str(), e64.c_str() + 2}, {e65.c_str(), ""},
                             // a leading dot counts as any other: dot-names have extensions
                             {".hidden", "hidden"}, {"/d/.profile.BAK", "profile.bak"}, {".q64.rom", "q64.rom"},
                             {"/d/.q64.png", "q64.png"}, {"/a.b/.c", "c"}};
    for (const auto& e : exts) EXPECT_STREQ(get_ext(e[0]), e[1]) << e[0];
    EXPECT_STREQ(get_ext(nullptr), "");
    struct { const char* path; int kind; } kinds[] = {{"/d/CART.Q64", 1}, {"/d/c.q64.rom", 2}, {"/d/c.q64.png", 3},
                                                      {"/d/my.cart.q64", 0}, {"/d/v1.2.q64", 0}, {"/d.q64/x", 0},
                                                      {".q64.rom", 2}, {"/d/.q64", 1}, {"/d/.x.q64", 0}};
    for (const auto& k : kinds) EXPECT_EQ(q64_path_kind(k.path), k.kind) << k.path;
}

TEST_F(Pdisk, ResolveTakesTheDeepestMount) {
    struct { const char* path; std::string origin; uint32_t kind; } cases[] = {
        {"/a/b", drive + "/a/b", MOUNT_HOST}, {"/ram/x", "/ram/x", MOUNT_RAM},
        {"/ramx", drive + "/ramx", MOUNT_HOST}, {"/", drive + "/", MOUNT_HOST}};
    for (const auto& c : cases) {
        uint32_t kind = 0;
        EXPECT_EQ(origin_of(c.path, &kind), c.origin);
        EXPECT_EQ(kind, c.kind) << c.path;
    }
    // First of two equally deep mounts wins; skip_exact passes over a mount at the path.
    mount_host_path("/hd", (home + "/one/").c_str());
    mount_host_path("/hd", (home + "/two").c_str());
    EXPECT_EQ(origin_of("/hd/f"), home + "/one/f");
    EXPECT_EQ(origin_of("/hd", nullptr, 1), drive + "/hd");
    EXPECT_EQ(origin_of("a b"), "");
}

TEST_F(Pdisk, UnresolvablePathsGiveNothingUntilTheRootIsMounted) {
    pfile_reset();
    mount_ram_folder("/ram");
    uint32_t kind = 77;
    EXPECT_EQ(origin_of("/x", &kind), "");
    EXPECT_EQ(kind, 77u);
    EXPECT_EQ(pfopen("/x", "w"), nullptr);
    EXPECT_EQ(pfopen("x", "w"), nullptr);
    EXPECT_EQ(pdisk_file_exists("/x"), 0);
    EXPECT_EQ(pdisk_directory_exists("/x", 1), 0);
    EXPECT_EQ(pmkdir("/x"), 1);
    EXPECT_EQ(delete_path("/x"), 1);
    EXPECT_EQ(fcopy("/ram/a", "/x"), 0);
    EXPECT_EQ(list("/x"), names{});
    EXPECT_TRUE(put("/ram/ok", "fine"));
    // A script mount of the root.
    ASSERT_NE(mount_p_path("/", "/ram"), nullptr);
    EXPECT_EQ(origin_of("/x"), "/ram/x");
    EXPECT_EQ(origin_of("/"), "/ram");
    EXPECT_TRUE(put("/y", "1"));
    EXPECT_EQ(get("/ram/y"), "1");
}

// ---------------------------------------------------------------------------
// File table

void expect_sorted_and_findable() {
    const char* last = nullptr;
    for (int32_t i = 0; i < num_pfiles; i++) {
        if (pfile[i]->kind == PFILE_EMPTY) continue;
        const char* name = reinterpret_cast<const char*>(pfile[i]->name->data);
        if (last) {
            ASSERT_LE(strcmp(last, name), 0) << i;
        }
        last = name;
        int32_t at = get_index_by_name(name);
        ASSERT_GE(at, 0) << name;
        ASSERT_STREQ(reinterpret_cast<const char*>(pfile[at]->name->data), name);
    }
}

TEST_F(Pdisk, TableStaysSortedOverShuffledInserts) {
    std::mt19937 rng(3);
    names all;
    for (int i = 0; i < 6000; i++)
        all.push_back("/ram/t/" + std::to_string(rng() % 4000) + "_" + std::to_string(i % 7));
    std::shuffle(all.begin(), all.end(), rng);
    std::vector<ram_file*> made;
    for (const auto& n : all) {
        ram_file* f = pfile_insert(n.c_str(), PFILE_RAM, n.c_str());
        ASSERT_NE(f, nullptr);
        EXPECT_EQ(f->origin, f->name);
        made.push_back(f);
    }
    expect_sorted_and_findable();
    // Free a third of them: searches pass over the empty entries, inserts keep the order.
    for (size_t i = 0; i < made.size(); i += 3) free_pfile(made[i]);
    for (int i = 0; i < 1500; i++) {
        std::string n = "/ram/u/" + std::to_string(rng() % 100000);
        ASSERT_NE(pfile_insert(n.c_str(), PFILE_RAM, n.c_str()), nullptr);
    }
    expect_sorted_and_findable();
    int32_t empties = pfile_count_of_kind(PFILE_EMPTY), before = num_pfiles;
    sweep_empty_pfiles();
    EXPECT_EQ(num_pfiles, before - empties);
    EXPECT_EQ(pfile_count_of_kind(PFILE_EMPTY), 0);
    expect_sorted_and_findable();
    EXPECT_EQ(get_index_by_name("/ram/none"), -1);
    EXPECT_EQ(get_index_by_name(nullptr), -1);
    EXPECT_EQ(pfile_by_index(-1), nullptr);
}

TEST_F(Pdisk, FullTableRefusesNewFiles) {
    char name[32];
    for (int32_t i = num_pfiles; i < MAX_PFILES; i++) {
        snprintf(name, sizeof name, "/ram/f/%08d", i);
        ASSERT_NE(pfile_insert(name, PFILE_RAM, name), nullptr);
    }
    EXPECT_EQ(pfile_insert("/ram/one_more", PFILE_RAM, "/ram/one_more"), nullptr);
    EXPECT_EQ(pfopen("/ram/new", "w"), nullptr);
    EXPECT_EQ(pfopen("/file_on_host", "r"), nullptr);
    EXPECT_EQ(pmkdir("/ram/newdir"), 2);
    EXPECT_EQ(num_pfiles, MAX_PFILES);
}

TEST_F(Pdisk, HostEntriesAndRamEntriesWithOneName) {
    // A host entry whose virtual path equals a ram path never stands in for the ram file.
    ASSERT_NE(pfile_insert("/ram/same", PFILE_HOST, "/somewhere/else"), nullptr);
    EXPECT_EQ(get("/ram/same"), std::nullopt);
    EXPECT_TRUE(put("/ram/same", "ram"));
    EXPECT_EQ(get("/ram/same"), "ram");
    EXPECT_EQ(pfile_count_of_kind(PFILE_HOST), 1);
}

// ---------------------------------------------------------------------------
// Handles

TEST_F(Pdisk, RamFiles) {
    EXPECT_EQ(pfopen("/ram/missing", "r"), nullptr);
    ram_file* a = pfopen("/ram/f", "w");
    ASSERT_NE(a, nullptr);
    EXPECT_EQ(pfopen("/ram/f", "r"), a);  // one shared handle
    pfclose(a);
    EXPECT_TRUE(put("/ram/f", "abc"));
    EXPECT_TRUE(put("/ram/f", "def", "a"));
    EXPECT_EQ(get("/ram/f"), "abcdef");
    EXPECT_EQ(get("/ram/f", "re"), "abcdef");
    EXPECT_TRUE(put("/ram/f", "x"));
    ram_file* f = pfopen("/ram/f", "r");
    char buf[8] = {};
    EXPECT_EQ(pfread(buf, 1, 8, f), 1);
    EXPECT_STREQ(buf, "x");
    EXPECT_EQ(pfclose(f), 0);
    EXPECT_EQ(pfclose(nullptr), 0);
    for (const char* mode : {"x", "", (const char*)nullptr}) EXPECT_EQ(pfopen("/ram/f", mode), nullptr);
}

TEST_F(Pdisk, RamFoldersDoNotOpenAsFiles) {
    EXPECT_EQ(pmkdir("/ram/dir"), 0);
    EXPECT_EQ(pmkdir("/ram/dir"), 1);
    for (const char* p : {"/ram/dir", "/ram", "/system"}) EXPECT_EQ(pfopen(p, "w"), nullptr) << p;
    EXPECT_EQ(pfopen("/ram/dir", "r"), nullptr);
    EXPECT_TRUE(put("/ram/file", "1"));
    struct { const char* path; int roots, want; } dirs[] = {
        {"/ram/dir", 0, 1}, {"/ram", 0, 0}, {"/ram", 1, 1}, {"/", 1, 1}, {"/ram/file", 1, 0}};
    for (const auto& d : dirs) EXPECT_EQ(pdisk_directory_exists(d.path, d.roots), d.want) << d.path << d.roots;
    EXPECT_EQ(pdisk_file_exists("/ram/file"), 1);
    EXPECT_EQ(pdisk_file_exists("/ram/dir"), 0);
}

TEST_F(Pdisk, HostFilesAndCycleCharges) {
    std::string text(8000, 'q');
    host_put(drive + "/h.txt", text);
    ram_file* a = pfopen("/h.txt", "r");
    ram_file* b = pfopen("/h.txt", "r");
    ASSERT_TRUE(a && b);
    EXPECT_NE(a, b);  // each its own copy
    EXPECT_EQ(str(a->contents), text);
    EXPECT_EQ(str(a->origin), drive + "/h.txt");
    pfclose(a);
    pfclose(b);

    cpu_cycles = 0;
    pfclose(pfopen("/h.txt", "r"));
    EXPECT_EQ(cpu_cycles, 1000);
    cpu_cycles = 0;
    ram_file* f = pfopen("/h.txt", "re");
    ASSERT_NE(f, nullptr);
    EXPECT_EQ(f->contents->length, 0);
    EXPECT_EQ(cpu_cycles, 16);
    pfclose(f);
    cpu_cycles = 0;
    EXPECT_TRUE(put("/w.txt", std::string(800, 'w')));
    EXPECT_EQ(cpu_cycles, 100 + frame_budget() / 4);
    EXPECT_EQ(host_write_flag, 1u);
    EXPECT_EQ(pfile_size("/h.txt", 0), 8000);
    EXPECT_EQ(pfile_size("/none", 0), 0);
    EXPECT_EQ(pdisk_file_exists("/h.txt"), 1);
    EXPECT_EQ(pdisk_file_exists("/none"), 0);
    // Closed host entries are freed and swept away.
    sweep_empty_pfiles();
    EXPECT_EQ(pfile_count_of_kind(PFILE_HOST), 0);
    ram_file* c = pfile_copy_to_ram("/h.txt");
    ASSERT_NE(c, nullptr);
    EXPECT_EQ(str(c->contents), text);
}

TEST_F(Pdisk, MemoryLimitedRead) {
    host_put(drive + "/big", std::string(HOST_READ_LIMIT_M + 50000, 'b'));
    ram_file* f = pfopen("/big", "rm");
    ASSERT_NE(f, nullptr);
    EXPECT_GE(f->contents->length, HOST_READ_LIMIT_M);
    EXPECT_LT(f->contents->length, HOST_READ_LIMIT_M + HOST_READ_CHUNK);
    pfclose(f);
    host_put(drive + "/small", "tiny");
    EXPECT_EQ(get("/small", "rm"), "tiny");
}

// While it lives, the host refuses to let files grow past bytes (root included).
struct file_size_limit {
    rlimit saved{};
    void (*old_handler)(int);
    explicit file_size_limit(rlim_t bytes) {
        getrlimit(RLIMIT_FSIZE, &saved);
        rlimit small = saved;
        small.rlim_cur = bytes;
        old_handler = signal(SIGXFSZ, SIG_IGN);
        setrlimit(RLIMIT_FSIZE, &small);
    }
    ~file_size_limit() {
        setrlimit(RLIMIT_FSIZE, &saved);
        signal(SIGXFSZ, old_handler);
    }
};

void expect_no_temporary_files(const std::string& dir) {
    for (const auto& n : host_names(dir)) EXPECT_EQ(n.find(".orvalune_wb"), std::string::npos) << n;
}

TEST_F(Pdisk, HostAppendAddsToTheEndAndWriteBackKeepsTheMode) {
    host_put(drive + "/log", "abc");
    ram_file* f = pfopen("/log", "a");
    ASSERT_NE(f, nullptr);
    EXPECT_EQ(f->contents->length, 0);
    pfwrite("def", 1, 3, f);
    EXPECT_EQ(pfclose(f), 0);
    EXPECT_EQ(host_get(drive + "/log"), "abcdef");
    EXPECT_TRUE(put("/newlog", "x", "a"));
    EXPECT_EQ(host_get(drive + "/newlog"), "x");

    // A rewrite keeps the file's mode and leaves no temporary file.
    host_put(drive + "/keep", "old");
    chmod((drive + "/keep").c_str(), 0640);
    host_write_flag = 0;
    EXPECT_TRUE(put("/keep", "new"));
    EXPECT_EQ(host_get(drive + "/keep"), "new");
    struct stat st;
    ASSERT_EQ(stat((drive + "/keep").c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 07777, 0640u);
    EXPECT_EQ(host_write_flag, 1u);
    expect_no_temporary_files(drive);
}

TEST_F(Pdisk, FailedWriteBackKeepsTheOldFileOrFolder) {
    host_put(drive + "/precious", "old contents");
    host_write_flag = 0;
    ram_file* f = pfopen("/precious", "w");
    ASSERT_NE(f, nullptr);
    std::string big(1 << 20, 'n');
    pfwrite(big.data(), 1, int64_t(big.size()), f);
    // The host refuses files above 256 KB while the write-back runs.
    int rc;
    {
        file_size_limit limit(256 * 1024);
        rc = pfclose(f);
    }
    EXPECT_EQ(rc, 1);
    EXPECT_EQ(host_get(drive + "/precious"), "old contents");
    EXPECT_EQ(host_write_flag, 0u);
    expect_no_temporary_files(drive);

    // A folder put in the file's place before the close is left alone.
    host_put(drive + "/swap", "old");
    f = pfopen("/swap", "w");
    ASSERT_NE(f, nullptr);
    pfwrite("new", 1, 3, f);
    unlink((drive + "/swap").c_str());
    mkdir((drive + "/swap").c_str(), 0755);
    host_put(drive + "/swap/inner", "kept");
    EXPECT_EQ(pfclose(f), 1);
    EXPECT_EQ(host_get(drive + "/swap/inner"), "kept");
}

TEST_F(Pdisk, HostFoldersAndSpecialFilesDoNotOpenAsFiles) {
    mkdir((drive + "/folder").c_str(), 0755);
    for (const char* mode : {"r", "re", "w", "a"}) EXPECT_EQ(pfopen("/folder", mode), nullptr) << mode;
    EXPECT_EQ(pdisk_file_exists("/folder"), 0);
    EXPECT_EQ(pdisk_directory_exists("/folder", 0), 1);
    EXPECT_EQ(pfopen("/no/such/folder/file", "w"), nullptr);
    ASSERT_EQ(mkfifo((drive + "/pipe").c_str(), 0644), 0);
    EXPECT_EQ(pfopen("/pipe", "r"), nullptr);  // must not wait for a writer
    EXPECT_EQ(pfopen("/pipe", "w"), nullptr);
    sweep_empty_pfiles();
    EXPECT_EQ(pfile_count_of_kind(PFILE_HOST), 0);
}

TEST_F(Pdisk, HostFilesOfTwoGigabytesAreRefused) {
    int fd = open((drive + "/huge").c_str(), O_CREAT | O_WRONLY, 0644);
    ASSERT_GE(fd, 0);
    ASSERT_EQ(ftruncate(fd, off_t(1) << 31), 0);  // sparse: takes no room
    close(fd);
    for (const char* mode : {"r", "re", "rm"}) EXPECT_EQ(pfopen("/huge", mode), nullptr) << mode;
    EXPECT_EQ(pfile_size("/huge", 0), int64_t(1) << 31);
}

// ---------------------------------------------------------------------------
// Mounts and write-back

TEST_F(Pdisk, DefaultConfigurationFile) {
    EXPECT_EQ(host_get(home + "/orvalune_config.txt"), "# orvalune config\n\nmount / " + drive + "\n");
    EXPECT_TRUE(host_exists(drive));
    ASSERT_NE(mount_at(""), nullptr);
    EXPECT_EQ(str(mount_at("")->origin), drive);
}

TEST_F(Pdisk, ConfigurationMountLines) {
    std::string other = home + "/other dir";
    mkdir(other.c_str(), 0755);
    std::string cfg = "# comment\r\nmount /x " + home + "/x\r\nmount /y\nmount /y2   \nmount  /z\nmountx /q " + home +
                      "\n\nmount /sp   " + other + "\nmount /" + std::string(300, 'v') + " " + home +
                      "\nmount /last " + home;
    host_put(home + "/orvalune_config.txt", cfg);
    pfile_reset();
    process_config();
    EXPECT_EQ(host_get(home + "/orvalune_config.txt"), cfg);  // an existing file is left alone
    ASSERT_EQ(pmounts, 3);
    std::string want[3][2] = {{"/x", home + "/x"}, {"/sp", other}, {"/last", home}};
    for (int i = 0; i < 3; i++) {
        EXPECT_EQ(str(pmount_table[i].mount_point), want[i][0]);
        EXPECT_EQ(str(pmount_table[i].origin), want[i][1]);
    }
    // Without a mount of "/", paths outside the mounts give nothing and the program goes on.
    EXPECT_EQ(pfopen("/elsewhere", "w"), nullptr);
    EXPECT_EQ(origin_of("/x/f"), home + "/x/f");
}

TEST_F(Pdisk, CartridgeWriteBackWaitsThreeHundredMillisecondsAndRunsOnce) {
    host_put(drive + "/c.q64", kEmptyCartridge);
    int32_t before = pmounts;
    EXPECT_TRUE(put("/c.q64/main.lua", "print(1)"));
    ASSERT_EQ(pmounts, before + 1);
    pmount* m = mount_at("/c.q64");
    ASSERT_NE(m, nullptr);
    EXPECT_EQ(m->kind, MOUNT_RAM);
    EXPECT_EQ(str(m->origin).compare(0, 12, "/ram/mount/m"), 0);
    EXPECT_EQ(m->dirty, 1u);
    uint64_t now = os_get_time();
    EXPECT_GT(m->flush_time, now + 250);
    EXPECT_LE(m->flush_time, now + 300);
    uint64_t due = m->flush_time;
    EXPECT_TRUE(put("/c.q64/main.lua", "print(2)"));
    EXPECT_EQ(m->flush_time, due);  // later writes do not move the time
    EXPECT_EQ(get("/c.q64/main.lua"), "print(2)");

    flush_dirty_mounts_delayed();
    EXPECT_EQ(host_get(drive + "/c.q64"), kEmptyCartridge);
    EXPECT_EQ(m->dirty, 1u);
    while (os_get_time() < due) os_sleep(5);
    flush_dirty_mounts_delayed();
    EXPECT_EQ(m->dirty, 0u);
    auto written = host_get(drive + "/c.q64");
    ASSERT_TRUE(written.has_value());
    EXPECT_NE(*written, kEmptyCartridge);
    EXPECT_FALSE(written->empty());
    host_put(drive + "/c.q64", "MARK");
    os_sleep(20);
    flush_dirty_mounts_delayed();
    flush_dirty_mounts_immediately();
    EXPECT_EQ(host_get(drive + "/c.q64"), "MARK");
}

TEST_F(Pdisk, LaterChangesDoNotPostponeTheWriteBack) {
    host_put(drive + "/c.q64", kEmptyCartridge);
    EXPECT_TRUE(put("/c.q64/a", "1"));
    pmount* m = mount_at("/c.q64");
    ASSERT_NE(m, nullptr);
    // As if the first change had been made 300 ms ago: the write-back is due now.
    uint64_t due = os_get_time() + 1;
    m->flush_time = due;
    while (os_get_time() < due) os_sleep(1);
    const std::pair<const char*, std::function<void()>> changes[] = {
        {"write", [] { put("/c.q64/b", "2"); }},
        {"append", [] { put("/c.q64/a", "+", "a"); }},
        {"copy", [] { fcopy("/c.q64/a", "/c.q64/c"); }},
        {"delete", [] { delete_path("/c.q64/b"); }},
    };
    for (const auto& [what, change] : changes) {
        change();
        EXPECT_EQ(m->dirty, 1u) << what;
        EXPECT_EQ(m->flush_time, due) << what;
    }
    flush_dirty_mounts_delayed();
    EXPECT_EQ(m->dirty, 0u);
    auto written = host_get(drive + "/c.q64");
    ASSERT_TRUE(written.has_value());
    EXPECT_NE(written->find(":: c\n"), std::string::npos);  // every change is in it
    EXPECT_EQ(written->find(":: b\n"), std::string::npos);
}

TEST_F(Pdisk, AFolderMadeInsideACartridgeIsWrittenBack) {
    host_put(drive + "/c.q64", kEmptyCartridge);
    EXPECT_EQ(pdisk_directory_exists("/c.q64", 1), 1);  // mounts it, clean
    pmount* m = mount_at("/c.q64");
    ASSERT_NE(m, nullptr);
    EXPECT_EQ(m->dirty, 0u);
    EXPECT_EQ(pmkdir("/c.q64/sub"), 0);
    EXPECT_EQ(m->dirty, 1u);
    flush_dirty_mounts_immediately();
    auto written = host_get(drive + "/c.q64");
    ASSERT_TRUE(written.has_value());
    EXPECT_NE(written->find(":: sub/\n"), std::string::npos);
}

TEST_F(Pdisk, AppendingInsideACartridgeMarksItForWriteBack) {
    host_put(drive + "/c.q64", kEmptyCartridge);
    EXPECT_TRUE(put("/c.q64/log", "start"));
    flush_dirty_mounts_immediately();
    pmount* m = mount_at("/c.q64");
    ASSERT_NE(m, nullptr);
    ASSERT_EQ(m->dirty, 0u);
    EXPECT_TRUE(put("/c.q64/log", "-more", "a"));
    EXPECT_EQ(m->dirty, 1u);
    EXPECT_GT(m->flush_time, 0u);
    flush_dirty_mounts_immediately();
    EXPECT_EQ(m->dirty, 0u);
    EXPECT_TRUE(put("/c.q64/new", "fresh", "a"));  // appending creates the file
    EXPECT_EQ(m->dirty, 1u);
    flush_dirty_mounts_immediately();
    // Read back from the file alone, through a fresh mount.
    pfile_reset();
    mount_ram_folder("/ram");
    process_config();
    EXPECT_EQ(get("/c.q64/log"), "start-more");
    EXPECT_EQ(get("/c.q64/new"), "fresh");
}

TEST_F(Pdisk, AFailedCartridgeWriteBackStaysDirtyAndIsRetried) {
    // Two ways for the host to refuse the write: the file may not grow (checked as the
    // bytes go out), and the cartridge's folder has gone away (checked on opening).
    mkdir((drive + "/sub").c_str(), 0755);
    std::string text;
    for (int i = 0; i < 400; i++) text += "line " + std::to_string(i) + "\n";
    struct failure {
        const char* what;
        std::function<void()> begin, end;
    };
    std::unique_ptr<file_size_limit> limit;
    const failure failures[] = {
        {"file size limit", [&] { limit = std::make_unique<file_size_limit>(1024); }, [&] { limit.reset(); }},
        {"folder gone", [&] { rename((drive + "/sub").c_str(), (home + "/away").c_str()); },
         [&] { rename((home + "/away").c_str(), (drive + "/sub").c_str()); }},
    };
    for (const auto& f : failures) {
        SCOPED_TRACE(f.what);
        host_put(drive + "/sub/c.q64", kEmptyCartridge);
        EXPECT_TRUE(put("/sub/c.q64/main.lua", text));
        pmount* m = mount_at("/sub/c.q64");
        ASSERT_NE(m, nullptr);
        f.begin();
        flush_dirty_mounts_immediately();
        delete_clean_ram_mounts();  // pruning must not drop the unsaved changes
        f.end();
        ASSERT_EQ(m, mount_at("/sub/c.q64"));
        EXPECT_EQ(m->dirty, 1u);
        EXPECT_GT(m->flush_time, 0u);
        EXPECT_EQ(host_get(drive + "/sub/c.q64"), kEmptyCartridge);
        expect_no_temporary_files(drive + "/sub");
        // The next delayed pass after the retry time writes it.
        while (os_get_time() < m->flush_time) os_sleep(5);
        flush_dirty_mounts_delayed();
        EXPECT_EQ(m->dirty, 0u);
        auto written = host_get(drive + "/sub/c.q64");
        ASSERT_TRUE(written.has_value());
        EXPECT_NE(written->find("line 399"), std::string::npos);
        EXPECT_EQ(delete_mount_point("/sub/c.q64"), 1);
    }
}

TEST_F(Pdisk, RemovalNeverReachesASiblingWithTheSamePrefix) {
    // Ram files: /ram/x goes with what is inside it, never /ram/x-1, /ram/x.b, /ram/x0 or /ram/xy.
    EXPECT_EQ(pmkdir("/ram/x"), 0);
    const char* siblings[] = {"/ram/x-1", "/ram/x.b", "/ram/x0", "/ram/xy", "/ram/xy/f"};
    for (const char* f : siblings) EXPECT_TRUE(put(f, f));
    EXPECT_TRUE(put("/ram/x/f", "in"));
    EXPECT_EQ(delete_path("/ram/x"), 0);
    EXPECT_EQ(get("/ram/x/f"), std::nullopt);
    EXPECT_EQ(pdisk_directory_exists("/ram/x", 1), 0);
    for (const char* f : siblings) EXPECT_EQ(get(f), f);

    // Script mounts /m1 and /m10.
    ASSERT_NE(mount_p_path("/m1", "/ram/xy"), nullptr);
    ASSERT_NE(mount_p_path("/m10", "/ram/xy"), nullptr);
    EXPECT_EQ(delete_path("/m1"), 0);
    EXPECT_EQ(mount_at("/m1"), nullptr);
    EXPECT_EQ(get("/m10/f"), "/ram/xy/f");

    // Cartridge folders /ram/mount/m<K> and /ram/mount/m<K>0 (numbers never used before),
    // the first removed three ways.
    const std::pair<const char*, std::function<void()>> removals[] = {
        {"unmount", [] { delete_mount_point("/a.q64"); }},
        {"delete", [] { delete_path("/a.q64"); }},
        {"prune", [] { delete_clean_ram_mounts(); }},  // the other one is dirty
    };
    for (const auto& [what, remove] : removals) {
        SCOPED_TRACE(what);
        host_put(drive + "/a.q64", kEmptyCartridge);
        host_put(drive + "/b.q64", kEmptyCartridge);
        const int64_t k = mount_index;
        const std::string a = "/ram/mount/m" + std::to_string(k), b = a + "0";
        EXPECT_TRUE(put("/a.q64/f", "a"));
        mount_index = k * 10;
        EXPECT_TRUE(put("/b.q64/f", "b"));
        ASSERT_EQ(str(mount_at("/a.q64")->origin), a);
        ASSERT_EQ(str(mount_at("/b.q64")->origin), b);
        flush_dirty_mounts_immediately();
        EXPECT_TRUE(put("/b.q64/f", "b"));
        remove();
        EXPECT_EQ(mount_at("/a.q64"), nullptr);
        EXPECT_EQ(find_ram_file((a + "/f").c_str()), nullptr);
        EXPECT_EQ(get(b + "/f"), "b");
        EXPECT_EQ(get("/b.q64/f"), "b");
        EXPECT_EQ(delete_mount_point("/b.q64"), 1);
        EXPECT_EQ(find_ram_file((b + "/f").c_str()), nullptr);
    }
}

TEST_F(Pdisk, ExclusiveProcessHoldsWriteBack) {
    host_put(drive + "/e.q64", kEmptyCartridge);
    EXPECT_TRUE(put("/e.q64/a", "1"));
    pmount* m = mount_at("/e.q64");
    ASSERT_NE(m, nullptr);
    app.exclusive_process = 9;
    EXPECT_EQ(flush_dirty_mounts_ex(0), 0);
    m->flush_time = 1;
    flush_dirty_mounts_delayed();
    prune_mounts();
    EXPECT_EQ(m->dirty, 1u);
    EXPECT_EQ(host_get(drive + "/e.q64"), kEmptyCartridge);
    app.exclusive_process = 0;
    EXPECT_EQ(flush_dirty_mounts_ex(0), 1);
    EXPECT_NE(host_get(drive + "/e.q64"), kEmptyCartridge);
}

TEST_F(Pdisk, ReadingWithRfAndListingWriteBackFirst) {
    host_put(drive + "/r.q64", kEmptyCartridge);
    EXPECT_TRUE(put("/r.q64/a", "1"));
    auto raw = get("/r.q64", "rf");
    ASSERT_TRUE(raw.has_value());
    EXPECT_NE(*raw, kEmptyCartridge);
    EXPECT_EQ(mount_at("/r.q64")->dirty, 0u);
    EXPECT_EQ(get("/r.q64"), std::nullopt);  // the mount point itself is a folder
    EXPECT_EQ(pdisk_directory_exists("/r.q64", 1), 1);

    host_put(drive + "/w.q64", kEmptyCartridge);
    EXPECT_TRUE(put("/w.q64/a", "1"));
    EXPECT_EQ(list("/w.q64"), names{"a"});
    EXPECT_NE(host_get(drive + "/w.q64"), kEmptyCartridge);
}

TEST_F(Pdisk, DottedCartridgeNamesAreNotCartridges) {
    host_put(drive + "/v1.2.q64", "DATA");
    int32_t before = pmounts;
    EXPECT_EQ(get("/v1.2.q64"), "DATA");
    EXPECT_EQ(pfopen("/v1.2.q64/x", "w"), nullptr);  // refused, not silently dropped
    EXPECT_EQ(pmounts, before);
    host_put(drive + "/UP.Q64", "DATA");
    EXPECT_EQ(pdisk_directory_exists("/UP.Q64", 1), 1);
    EXPECT_EQ(pmounts, before + 1);
}

TEST_F(Pdisk, DeletingAMountedCartridge) {
    host_put(drive + "/d.q64", kEmptyCartridge);
    EXPECT_TRUE(put("/d.q64/f", "1"));
    std::string origin = str(mount_at("/d.q64")->origin);
    EXPECT_EQ(delete_path("/d.q64"), 0);
    EXPECT_EQ(mount_at("/d.q64"), nullptr);
    EXPECT_EQ(find_ram_file((origin + "/f").c_str()), nullptr);
    EXPECT_EQ(find_ram_file(origin.c_str()), nullptr);
    EXPECT_FALSE(host_exists(drive + "/d.q64"));
}

TEST_F(Pdisk, DeletingAFolderOrCartridgeRemovesTheCartridgesMountedInsideIt) {
    // A cartridge kept in a ram folder, and one inside that cartridge, both with changes.
    EXPECT_EQ(pmkdir("/ram/dl"), 0);
    EXPECT_TRUE(put("/ram/dl/c.q64", kEmptyCartridge));
    EXPECT_TRUE(put("/ram/dl/c.q64/a.txt", "1"));
    EXPECT_EQ(pmkdir("/ram/dl/c.q64/in.q64"), 0);
    EXPECT_TRUE(put("/ram/dl/c.q64/in.q64/b.txt", "2"));
    std::string origin = str(mount_at("/ram/dl/c.q64")->origin);
    EXPECT_EQ(delete_path("/ram/dl"), 0);
    EXPECT_EQ(mount_at("/ram/dl/c.q64"), nullptr);
    EXPECT_EQ(mount_at("/ram/dl/c.q64/in.q64"), nullptr);
    EXPECT_EQ(find_ram_file((origin + "/a.txt").c_str()), nullptr);
    flush_dirty_mounts_immediately();  // nothing comes back
    EXPECT_EQ(get("/ram/dl/c.q64/a.txt"), std::nullopt);
    EXPECT_EQ(find_ram_file("/ram/dl/c.q64"), nullptr);
    EXPECT_EQ(pdisk_directory_exists("/ram/dl", 1), 0);

    // The same for a cartridge inside a deleted host cartridge.
    host_put(drive + "/h.q64", kEmptyCartridge);
    EXPECT_EQ(pmkdir("/h.q64/in.q64"), 0);
    EXPECT_TRUE(put("/h.q64/in.q64/b.txt", "2"));
    EXPECT_EQ(delete_path("/h.q64"), 0);
    EXPECT_EQ(mount_at("/h.q64/in.q64"), nullptr);
    flush_dirty_mounts_immediately();
    EXPECT_FALSE(host_exists(drive + "/h.q64"));
    EXPECT_EQ(get("/h.q64/in.q64/b.txt"), std::nullopt);
}

TEST_F(Pdisk, DeleteThroughAnAliasFreesTheTarget) {
    EXPECT_EQ(pmkdir("/ram/data"), 0);
    EXPECT_EQ(pmkdir("/ram/data/sub"), 0);
    EXPECT_TRUE(put("/ram/data/f", "x"));
    EXPECT_TRUE(put("/ram/data/sub/g", "y"));
    ASSERT_NE(mount_p_path("/al", "/ram/data"), nullptr);
    EXPECT_EQ(get("/al/f"), "x");
    EXPECT_EQ(delete_path("/al/f"), 0);
    EXPECT_EQ(get("/ram/data/f"), std::nullopt);
    EXPECT_EQ(delete_path("/al/sub"), 0);
    EXPECT_EQ(get("/ram/data/sub/g"), std::nullopt);
    EXPECT_EQ(pdisk_directory_exists("/ram/data/sub", 1), 0);
    EXPECT_EQ(pdisk_directory_exists("/ram/data", 1), 1);
}

TEST_F(Pdisk, RemovingAnAliasOfACartridgeKeepsTheCartridgeFiles) {
    host_put(drive + "/k.q64", kEmptyCartridge);
    EXPECT_TRUE(put("/k.q64/main.lua", "print(1)"));
    flush_dirty_mounts_immediately();
    std::string saved = *host_get(drive + "/k.q64");
    ASSERT_NE(saved, kEmptyCartridge);
    std::string origin = str(mount_at("/k.q64")->origin);
    ASSERT_NE(mount_p_path("/foo", "/k.q64"), nullptr);
    EXPECT_EQ(str(mount_at("/foo")->origin), origin);
    EXPECT_EQ(delete_path("/foo"), 0);
    EXPECT_EQ(mount_at("/foo"), nullptr);
    ASSERT_NE(mount_at("/k.q64"), nullptr);
    EXPECT_EQ(get("/k.q64/main.lua"), "print(1)");
    // The next write-back still holds the file.
    EXPECT_TRUE(put("/k.q64/other", "2"));
    flush_dirty_mounts_immediately();
    auto written = host_get(drive + "/k.q64");
    ASSERT_TRUE(written.has_value());
    EXPECT_NE(written->find("print(1)"), std::string::npos);
    EXPECT_NE(*written, kEmptyCartridge);
}

TEST_F(Pdisk, DeletingAMountedCartridgeFolderDirectlyIsRefused) {
    host_put(drive + "/j.q64", kEmptyCartridge);
    EXPECT_TRUE(put("/j.q64/main.lua", "print(1)"));
    flush_dirty_mounts_immediately();
    std::string saved = *host_get(drive + "/j.q64");
    std::string origin = str(mount_at("/j.q64")->origin);
    EXPECT_EQ(delete_path(origin.c_str()), 1);
    EXPECT_EQ(delete_path("/ram/mount"), 1);
    EXPECT_EQ(get("/j.q64/main.lua"), "print(1)");
    flush_dirty_mounts_immediately();
    EXPECT_EQ(host_get(drive + "/j.q64"), saved);
    // Files inside the folder still go.
    EXPECT_EQ(delete_path((origin + "/main.lua").c_str()), 0);
    EXPECT_EQ(get("/j.q64/main.lua"), std::nullopt);
}

TEST_F(Pdisk, CartridgeFilesThatCannotBeReadAreNotMounted) {
    int fd = open((drive + "/big.q64").c_str(), O_CREAT | O_WRONLY, 0644);
    ASSERT_GE(fd, 0);
    ASSERT_EQ(ftruncate(fd, off_t(1) << 31), 0);  // sparse: too large to read
    close(fd);
    int32_t before = pmounts;
    EXPECT_EQ(pmkdir("/big.q64"), 2);
    EXPECT_EQ(pfopen("/big.q64/x", "w"), nullptr);
    EXPECT_EQ(pmounts, before);
    flush_dirty_mounts_immediately();
    EXPECT_EQ(pfile_size("/big.q64", 0), int64_t(1) << 31);
    EXPECT_EQ(list("/ram/mount"), names{});  // no folder left behind

    ASSERT_EQ(mkfifo((drive + "/pipe.q64").c_str(), 0644), 0);
    EXPECT_EQ(pmkdir("/pipe.q64"), 2);
    EXPECT_EQ(pmounts, before);
    struct stat st;
    ASSERT_EQ(lstat((drive + "/pipe.q64").c_str(), &st), 0);
    EXPECT_TRUE(S_ISFIFO(st.st_mode));

    // A missing cartridge is still made afresh.
    EXPECT_EQ(pmkdir("/new.q64"), 0);
    flush_dirty_mounts_immediately();
    EXPECT_TRUE(host_exists(drive + "/new.q64"));
}

TEST_F(Pdisk, RootFoldersCannotBeDeleted) {
    EXPECT_TRUE(put("/ram/keep", "1"));
    EXPECT_TRUE(put("/system/keep", "2"));
    host_put(drive + "/keep", "3");
    int32_t before = pmounts;
    for (const char* p : {"/", "/ram", "/ram/", "/system", "/ram/x/.."}) EXPECT_EQ(delete_path(p), 1) << p;
    EXPECT_EQ(pmounts, before);
    EXPECT_EQ(get("/ram/keep"), "1");
    EXPECT_EQ(get("/system/keep"), "2");
    EXPECT_EQ(get("/keep"), "3");
    EXPECT_EQ(delete_path("/keep"), 0);
    EXPECT_FALSE(host_exists(drive + "/keep"));
    // Host folders are made once and deleted.
    EXPECT_EQ(pmkdir("/hostdir"), 0);
    EXPECT_TRUE(host_exists(drive + "/hostdir"));
    EXPECT_NE(pmkdir("/hostdir"), 0);
    EXPECT_EQ(delete_path("/hostdir"), 0);
    EXPECT_FALSE(host_exists(drive + "/hostdir"));
}

TEST_F(Pdisk, CopyingKeepsTheSourceAndAFailedCopyKeepsTheDestination) {
    EXPECT_TRUE(put("/ram/a", "hello"));
    EXPECT_EQ(fcopy("/ram/a", "/ram/a"), 0);  // onto itself, directly or through an alias
    EXPECT_EQ(get("/ram/a"), "hello");
    ASSERT_NE(mount_p_path("/al", "/ram"), nullptr);
    EXPECT_EQ(fcopy("/ram/a", "/al/a"), 0);
    EXPECT_EQ(get("/ram/a"), "hello");
    host_put(drive + "/h", "host");
    EXPECT_EQ(fcopy("/h", "/h"), 0);
    EXPECT_EQ(host_get(drive + "/h"), "host");

    EXPECT_EQ(fcopy("/ram/a", "/copy"), 5);
    EXPECT_EQ(host_get(drive + "/copy"), "hello");
    EXPECT_EQ(fcopy("/copy", "/ram/b"), 5);
    EXPECT_EQ(get("/ram/b"), "hello");
    EXPECT_EQ(fcopy("/ram/none", "/ram/b"), 0);
    EXPECT_EQ(get("/ram/b"), "hello");
    EXPECT_EQ(fcopy("bad path", "/ram/b"), 0);
}

TEST_F(Pdisk, AliasOfACartridgeSubfolderMarksTheCartridge) {
    host_put(drive + "/s.q64", kEmptyCartridge);
    EXPECT_EQ(pmkdir("/s.q64/sub"), 0);
    ASSERT_NE(mount_at("/s.q64"), nullptr);
    flush_dirty_mounts_immediately();
    host_put(drive + "/s.q64", kEmptyCartridge);
    EXPECT_EQ(mount_at("/s.q64")->dirty, 0u);
    ASSERT_NE(mount_p_path("/alias", "/s.q64/sub"), nullptr);
    pmount* cart = mount_at("/s.q64");
    EXPECT_TRUE(put("/alias/f", "1"));
    EXPECT_EQ(cart->dirty, 1u);
    flush_dirty_mounts_immediately();
    EXPECT_NE(host_get(drive + "/s.q64"), kEmptyCartridge);
}

TEST_F(Pdisk, ScriptMountsStopBeforeTheTableFills) {
    int refused = 0;
    char mp[32];
    for (int i = 0; i < MAX_MOUNTS + 10; i++) {
        snprintf(mp, sizeof mp, "/m%d", i);
        if (!mount_p_path(mp, "/ram")) refused++;
    }
    EXPECT_EQ(pmounts, SCRIPT_MOUNT_LIMIT);
    EXPECT_GT(refused, 0);
    EXPECT_EQ(mount_host_path("/more", home.c_str()), 1);
    EXPECT_EQ(mount_ram_folder("/more"), 1);
    prune_mounts();  // must not end the program
    EXPECT_EQ(pmounts, SCRIPT_MOUNT_LIMIT);
    EXPECT_TRUE(put("/m5/x", "still works"));
    EXPECT_EQ(get("/ram/x"), "still works");
}

TEST_F(Pdisk, PruneThresholds) {
    prune_slots_threshold = 4096;
    while (num_pfiles < 4097) ASSERT_TRUE(put("/ram/p" + std::to_string(num_pfiles), "x"));
    prune_mounts();
    EXPECT_EQ(prune_slots_threshold, 6144);

    pfile_reset();
    mount_ram_folder("/ram");
    process_config();
    for (int i = 0; i < 100; i++) ASSERT_TRUE(put("/ram/q" + std::to_string(i), "x"));
    for (int i = 0; pmounts < PRUNE_MOUNT_COUNT; i++)
        ASSERT_NE(mount_p_path(("/n" + std::to_string(i)).c_str(), "/ram"), nullptr);
    prune_mounts();
    EXPECT_EQ(prune_slots_threshold, 4608);
    prune_slots_threshold = 4096;
}

TEST_F(Pdisk, PruningDropsCleanTemporaryMounts) {
    host_put(drive + "/k.q64", kEmptyCartridge);
    EXPECT_TRUE(put("/k.q64/a", "1"));
    EXPECT_TRUE(put("/ram/anywhen/snap", "s"));
    EXPECT_TRUE(put("/ram/keep", "k"));
    std::string origin = str(mount_at("/k.q64")->origin);
    prune_slots_threshold = 1;
    prune_mounts();
    EXPECT_EQ(mount_at("/k.q64"), nullptr);  // written back, then dropped
    EXPECT_NE(host_get(drive + "/k.q64"), kEmptyCartridge);
    EXPECT_EQ(find_ram_file((origin + "/a").c_str()), nullptr);
    EXPECT_EQ(get("/ram/anywhen/snap"), std::nullopt);
    EXPECT_EQ(get("/ram/keep"), "k");
    EXPECT_EQ(pfile_count_of_kind(PFILE_EMPTY), 0);
    prune_slots_threshold = 4096;
    EXPECT_EQ(pdisk_directory_exists("/k.q64", 1), 1);  // the next access mounts it again
}

TEST_F(Pdisk, DroppingMountsKeepsTheirTargets) {
    EXPECT_TRUE(put("/ram/mydata/f", "mine"));
    ASSERT_NE(mount_p_path("/ram/bbs/x", "/ram/mydata"), nullptr);
    delete_clean_ram_mounts();
    EXPECT_EQ(mount_at("/ram/bbs/x"), nullptr);
    EXPECT_EQ(get("/ram/mydata/f"), "mine");

    // A process's history mounts go with it, and only its own ("7_", never "17_").
    EXPECT_TRUE(put("/ram/anywhen/s7/f", "a"));
    EXPECT_TRUE(put("/ram/anywhen/s17/f", "b"));
    ASSERT_NE(mount_p_path("/ram/anywhen/7_x", "/ram/anywhen/s7"), nullptr);
    ASSERT_NE(mount_p_path("/ram/anywhen/17_x", "/ram/anywhen/s17"), nullptr);
    prune_process_mounts(7);
    EXPECT_EQ(mount_at("/ram/anywhen/7_x"), nullptr);
    EXPECT_NE(mount_at("/ram/anywhen/17_x"), nullptr);
    EXPECT_EQ(get("/ram/anywhen/s7/f"), std::nullopt);
    EXPECT_EQ(get("/ram/anywhen/s17/f"), "b");
}

TEST_F(Pdisk, SyncClearsTheHostWriteFlag) {
    host_write_flag = 1;
    host_write_cleared_ms = uint32_t(os_get_time());
    sync_fs(0);
    EXPECT_EQ(host_write_flag, 1u);
    sync_fs(1);
    EXPECT_EQ(host_write_flag, 0u);
    host_write_flag = 1;
    host_write_cleared_ms = uint32_t(os_get_time()) - 2500;
    sync_fs(0);
    EXPECT_EQ(host_write_flag, 0u);
}

TEST_F(Pdisk, ResetFreesEverythingButKeepsTheCartridgeCounter) {
    host_put(drive + "/z.q64", kEmptyCartridge);
    EXPECT_EQ(pdisk_directory_exists("/z.q64", 1), 1);
    int64_t next = mount_index;
    pfile_reset();
    EXPECT_EQ(num_pfiles, 0);
    EXPECT_EQ(pmounts, 0);
    EXPECT_EQ(mount_index, next);
}

// ---------------------------------------------------------------------------
// Listings

TEST_F(Pdisk, RootListingShowsMountsAsFolders) {
    for (const char* d : {"/docs", "/box.q64", "/ram"}) mkdir((drive + d).c_str(), 0755);  // ram: hidden by the mount
    host_put(drive + "/x.q64", kEmptyCartridge);
    host_put(drive + "/.hidden", "h");
    host_put(drive + "/File10.txt", "a");
    host_put(drive + "/file2.txt", "b");
    EXPECT_EQ(pdisk_directory_exists("/x.q64", 1), 1);
    mount_ram_folder("/v1.2");
    int64_t folders = -1;
    EXPECT_EQ(list("/", &folders),
              (names{"docs", "ram", "system", "v1.2", "box.q64", "file2.txt", "File10.txt", "x.q64"}));
    EXPECT_EQ(folders, 4);
}

TEST_F(Pdisk, RamListing) {
    EXPECT_EQ(pmkdir("/ram/l"), 0);
    EXPECT_EQ(pmkdir("/ram/l/Zdir"), 0);
    for (const char* f : {"/ram/l/b10", "/ram/l/b9", "/ram/l/B1", "/ram/l/.dot", "/ram/l/Zdir/deeper", "/ram/lx"})
        EXPECT_TRUE(put(f, "1")) << f;
    int64_t folders = -1;
    EXPECT_EQ(list("/ram/l", &folders), (names{"Zdir", "B1", "b9", "b10"}));
    EXPECT_EQ(folders, 1);
    ASSERT_NE(mount_p_path("/al", "/ram/l"), nullptr);
    EXPECT_EQ(list("/al"), (names{"Zdir", "B1", "b9", "b10"}));
    EXPECT_EQ(pflist("/ram/l", nullptr, nullptr), 2);
    EXPECT_EQ(pflist("bad path", nullptr, nullptr), 0);
    EXPECT_EQ(pflist("/no_such_host_folder", nullptr, nullptr), 0);
}

TEST_F(Pdisk, RamFilesShareOneBudget) {
    ram_file_limit = 100;
    EXPECT_TRUE(put("/ram/a", std::string(60, 'a')));
    EXPECT_EQ(ram_file_bytes, 60);
    // A write past the budget writes nothing; host files do not count.
    ram_file* f = pfopen("/ram/b", "w");
    ASSERT_NE(f, nullptr);
    EXPECT_EQ(pfwrite(std::string(50, 'b').data(), 1, 50, f), 0);
    EXPECT_EQ(pfwrite("bb", 1, 2, f), 2);
    pfclose(f);
    EXPECT_EQ(ram_file_bytes, 62);
    EXPECT_TRUE(put("/host", std::string(500, 'h')));
    // Room is judged against what a file already holds, by mode.
    EXPECT_EQ(pdisk_ram_room("/ram/a", "w", 98), 1);
    EXPECT_EQ(pdisk_ram_room("/ram/a", "w", 99), 0);
    EXPECT_EQ(pdisk_ram_room("/ram/a", "a", 38), 1);
    EXPECT_EQ(pdisk_ram_room("/ram/a", "a", 39), 0);
    EXPECT_EQ(pdisk_ram_room("/host", "w", 1000), 1);
    EXPECT_EQ(fcopy("/host", "/ram/c"), -1);
    EXPECT_EQ(get("/ram/c"), std::nullopt);
    // Deleting, rewriting shorter and resetting give room back.
    EXPECT_TRUE(put("/ram/a", "a"));
    EXPECT_EQ(ram_file_bytes, 3);
    delete_path("/ram/b");
    EXPECT_EQ(ram_file_bytes, 1);
    pfile_reset();
    EXPECT_EQ(ram_file_bytes, 0);
}

TEST_F(Pdisk, CartridgePastTheBudgetIsNotMounted) {
    std::string body = "orvalune cartridge // x\nversion 2\n\n:: a.txt\n" + std::string(80, 'a') +
                       "\n\n:: b.txt\n" + std::string(80, 'b') + "\n\n:: [eoc]\n";
    host_put(drive + "/c.q64", body);
    ram_file_limit = 100;
    int32_t before = pmounts;
    EXPECT_EQ(get("/c.q64/a.txt"), std::nullopt);
    EXPECT_EQ(pmounts, before);
    EXPECT_EQ(ram_file_bytes, 0);
    flush_dirty_mounts_immediately();
    EXPECT_EQ(host_get(drive + "/c.q64"), body);
    ram_file_limit = 200;
    EXPECT_EQ(get("/c.q64/a.txt"), std::string(80, 'a') + "\n");
}

TEST_F(Pdisk, ConfigurationSetsTheRamFileBudget) {
    const std::pair<const char*, int64_t> cases[] = {
        {"ram_limit_mb 16\n", int64_t(16) << 20}, {"ram_limit_mb 2 \r\n", int64_t(2) << 20},
        {"ram_limit_mb 0\n", RAM_FILE_LIMIT_DEFAULT}, {"ram_limit_mb lots\n", RAM_FILE_LIMIT_DEFAULT},
        {"ram_limit_mb 9x\n", RAM_FILE_LIMIT_DEFAULT}, {"# nothing\n", RAM_FILE_LIMIT_DEFAULT},
    };
    for (const auto& [line, want] : cases) {
        ram_file_limit = 1;
        host_put(home + "/orvalune_config.txt", "mount / " + drive + "\n" + line);
        pfile_reset();
        process_config();
        EXPECT_EQ(ram_file_limit, want) << line;
        EXPECT_NE(mount_at(""), nullptr) << line;
    }
}

TEST_F(Pdisk, ListingKeepsAtMostItsLimit) {
    for (int i = 0; i < PFLIST_MAX_NAMES + 20; i++) {
        std::string name = "/ram/many/f" + std::to_string(i);
        ASSERT_NE(pfile_insert(name.c_str(), PFILE_RAM, name.c_str()), nullptr);
    }
    EXPECT_EQ(int32_t(list("/ram/many").size()), PFLIST_MAX_NAMES);
}

}  // namespace
