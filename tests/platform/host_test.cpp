// Host services: program, data and desktop folders, the log, the clock, opening paths and
// web addresses, the script functions and worker threads.
#include <gtest/gtest.h>

#include <SDL.h>
#include <algorithm>
#include <atomic>
#include <cctype>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <pthread.h>
#include <pwd.h>
#include <sstream>
#include <string>
#include <sys/stat.h>
#include <thread>
#include <unistd.h>
#include <vector>

#include "api/registry.h"
#include "base/machine.h"
#include "base/pbuffer.h"
#include "lauxlib.h"
#include "lua.h"
#include "platform/audio_device.h"
#include "platform/host.h"
#include "platform/sdl_library.h"
#include "platform/window.h"

namespace fs = std::filesystem;
using lines = std::vector<std::string>;

namespace {

std::string read_file(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::stringstream s;
    s << in.rdbuf();
    return s.str();
}

void write_file(const std::string& path, const std::string& text) { std::ofstream(path, std::ios::binary) << text; }

bool is_dir(const std::string& path) {
    struct stat st;
    return stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

lines split_lines(const std::string& text) {
    lines out;
    std::stringstream s(text);
    for (std::string line; std::getline(s, line);) out.push_back(line);
    return out;
}

// Every test runs with HOME, the XDG folders and PATH pointing into a fresh temporary folder,
// a recording stand-in for xdg-open, and the dummy video driver.
class HostTest : public ::testing::Test {
protected:
    std::string root, home, data, config_home, bin, record;
    std::vector<std::pair<std::string, std::string>> saved_env;
    std::vector<std::string> unset_env;
    app_config saved_config;
    char saved_argv0[sizeof(velt_argv0)];
    pbuffer* saved_record0 = nullptr;
    pbuffer* own_record0 = nullptr;
    int saved_record_count = 0;
    int64_t (*saved_process_hook)() = nullptr;
    pbuffer* (*saved_resolve_hook)(const char*, uint32_t*) = nullptr;

    void SetUp() override {
        char pattern[] = "/tmp/orvalune_host_test_XXXXXX";
        ASSERT_NE(mkdtemp(pattern), nullptr);
        root = pattern;
        home = root + "/home";
        data = root + "/data";
        config_home = root + "/config";
        bin = root + "/bin";
        record = root + "/opened.txt";
        fs::create_directories(home);
        fs::create_directories(bin);
        for (const char* name : {"HOME", "XDG_DATA_HOME", "XDG_CONFIG_HOME", "XDG_DESKTOP_DIR", "PATH",
                                 "SDL_VIDEODRIVER"}) {
            if (const char* v = getenv(name)) saved_env.emplace_back(name, v);
            else unset_env.emplace_back(name);
        }
        std::string path = bin + ":" + (getenv("PATH") ? getenv("PATH") : "/usr/bin:/bin");
        setenv("HOME", home.c_str(), 1);
        setenv("XDG_DATA_HOME", data.c_str(), 1);
        setenv("XDG_CONFIG_HOME", config_home.c_str(), 1);
        unsetenv("XDG_DESKTOP_DIR");
        setenv("PATH", path.c_str(), 1);
        setenv("SDL_VIDEODRIVER", "dummy", 1);
        write_file(bin + "/xdg-open", "#!/bin/sh\nprintf 'argc=%s\\n' \"$#\" >> '" + record +
                                          "'\nprintf '%s\\n' \"$@\" >> '" + record + "'\n");
        chmod((bin + "/xdg-open").c_str(), 0755);

        saved_config = config;
        config.home_folder[0] = config.desktop_folder[0] = 0;
        config.fullscreen = 0;
        memcpy(saved_argv0, velt_argv0, sizeof(velt_argv0));
        saved_record_count = dat_file_count;
        saved_record0 = dat_file[0];
        set_export_name(nullptr, 0);
        close_log();
        saved_process_hook = velt_log_process_id;
        saved_resolve_hook = velt_resolve_to_origin;
        velt_log_process_id = nullptr;
        velt_resolve_to_origin = nullptr;
    }

    void TearDown() override {
        close_log();
        velt_log_process_id = saved_process_hook;
        velt_resolve_to_origin = saved_resolve_hook;
        set_export_name(nullptr, 0);
        dat_file_count = saved_record_count;
        memcpy(velt_argv0, saved_argv0, sizeof(velt_argv0));
        config = saved_config;
        for (auto& [name, value] : saved_env) setenv(name.c_str(), value.c_str(), 1);
        for (auto& name : unset_env) unsetenv(name.c_str());
        std::error_code ignored;
        fs::remove_all(root, ignored);
    }

    static void close_log() {
        if (velt_debug_file) fclose(velt_debug_file);
        velt_debug_file = nullptr;
        last_debug_msg[0] = 0;
        repeated_debug_msg_count = 0;
    }

    // Image record 0: none for null, else the given bytes.
    void set_export_name(const char* bytes, int length) {
        if (own_record0) destroy_buffer(own_record0);
        own_record0 = nullptr;
        dat_file[0] = saved_record0;
        if (!bytes) {
            dat_file_count = 0;
            return;
        }
        own_record0 = create_buffer_2(length, 0);
        bwrite(bytes, 1, length, own_record0);
        dat_file[0] = own_record0;
        dat_file_count = saved_record_count > 0 ? saved_record_count : 1;
    }

    std::string appdata(const char* name) {
        char dst[VELT_PATH_MAX];
        velt_prefix_with_appdata_path(name, dst);
        return dst;
    }
    std::string desktop(const char* name) {
        char dst[VELT_PATH_MAX];
        velt_prefix_with_desktop_path(name, dst);
        return dst;
    }
    std::string program(const char* argv0, const char* name) {
        snprintf(velt_argv0, sizeof(velt_argv0), "%s", argv0);
        char dst[VELT_PATH_MAX];
        velt_prefix_with_program_path(name, dst);
        return dst;
    }
    std::string shared() { return data + "/orvalune/exp/shared/"; }
    std::string log_path() { return shared() + "log.txt"; }

    // The arguments recorded by the stand-in xdg-open, once `calls` calls arrived.
    lines wait_for_opens(int calls) {
        auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
        while (std::chrono::steady_clock::now() < deadline) {
            std::string text = read_file(record);
            int seen = 0;
            for (size_t p = text.find("argc="); p != std::string::npos; p = text.find("argc=", p + 1)) seen++;
            if (seen >= calls && !text.empty() && text.back() == '\n') return split_lines(text);
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        }
        return {};
    }
};

// --- folders ------------------------------------------------------------------

using HostFolders = HostTest;

TEST_F(HostFolders, ProgramFolderMkdirAndBackslashes) {
    EXPECT_EQ(program("/opt/sys/program", "sysrom.dat"), "/opt/sys/sysrom.dat");
    EXPECT_EQ(program("/program", "x"), "/x");
    EXPECT_EQ(program("build/bin\\prog.exe", "x"), "build/bin/x");
    EXPECT_EQ(program("", "sysrom.dat"), "sysrom.dat");
    // A bare name (started through the search path) finds the running executable's folder.
    EXPECT_EQ(program("program", "x"), fs::read_symlink("/proc/self/exe").parent_path().string() + "/x");

    std::string d = root + "/made";
    EXPECT_EQ(velt_mkdir(d.c_str()), 0);
    EXPECT_TRUE(is_dir(d));
    EXPECT_EQ(velt_mkdir(d.c_str()), -1);  // exists
    char text[] = "a\\b\\c";
    velt_fix_backslashes(text);
    EXPECT_STREQ(text, "a/b/c");
}

TEST_F(HostFolders, AppdataUnderXdgDataHomeOrHomeLocalShare) {
    EXPECT_EQ(appdata("log.txt"), shared() + "log.txt");
    EXPECT_TRUE(is_dir(shared()));
    setenv("XDG_DATA_HOME", (data + "/").c_str(), 1);  // a trailing '/' does not double
    EXPECT_EQ(appdata("x"), shared() + "x");
    std::string deep = root + "/a/b/c";  // every level is created
    setenv("XDG_DATA_HOME", deep.c_str(), 1);
    EXPECT_EQ(appdata("f"), deep + "/orvalune/exp/shared/f");
    EXPECT_TRUE(is_dir(deep + "/orvalune/exp/shared"));
    // Without it, or with a relative or empty one, ~/.local/share.
    std::string local = home + "/.local/share/orvalune/exp/shared/";
    unsetenv("XDG_DATA_HOME");
    EXPECT_EQ(appdata("x"), local + "x");
    EXPECT_TRUE(is_dir(local));
    setenv("XDG_DATA_HOME", "relative/data", 1);
    EXPECT_EQ(appdata("y"), local + "y");
    setenv("XDG_DATA_HOME", "", 1);
    EXPECT_EQ(appdata("z"), local + "z");
}

TEST_F(HostFolders, ExportNameLevelStaysInsideTheExportFolder) {
    struct { std::string name; const char* folder; } cases[] = {
        {"mycart", "mycart"},
        {std::string("\0named", 6), "shared"},  // a leading zero byte counts as empty
        {"", "shared"},
        {std::string("cart\0junk", 9), "cart"},  // the name ends at a zero byte
        {"../../evil", ".._.._evil"}, {"..", "__"}, {"a\nb", "a_b"},
    };
    for (auto& c : cases) {
        set_export_name(c.name.data(), (int)c.name.size());
        EXPECT_EQ(appdata("x"), data + "/orvalune/exp/" + c.folder + "/x") << c.folder;
    }
    EXPECT_TRUE(is_dir(data + "/orvalune/exp/mycart"));
    std::string long_name(400, 'n');
    set_export_name(long_name.c_str(), 400);
    EXPECT_EQ(appdata("x"), data + "/orvalune/exp/" + std::string(255, 'n') + "/x");
}

TEST_F(HostFolders, HomeOptionAndOverlongPaths) {
    strcpy(config.home_folder, "C:\\data");
    EXPECT_EQ(appdata("log.txt"), "C:/data/log.txt");
    std::string h = root + "/h/";
    strcpy(config.home_folder, h.c_str());
    EXPECT_EQ(appdata("log.txt"), h + "log.txt");
    EXPECT_FALSE(is_dir(h));  // the option made its folder itself; nothing is created here
    strcpy(config.home_folder, " ignored");  // a setting that begins with a space counts as not given
    EXPECT_EQ(appdata("x"), shared() + "x");

    std::string name(3000, 'n');
    EXPECT_EQ(appdata(name.c_str()), "");
    EXPECT_EQ(desktop(name.c_str()), "");
    EXPECT_EQ(program("/opt/p", name.c_str()), "");
    std::string fits(100, 'n');
    EXPECT_EQ(appdata(fits.c_str()), shared() + fits);
}

TEST_F(HostFolders, DesktopFromSettingEnvironmentOrHome) {
    EXPECT_EQ(desktop("x"), home + "/x");
    EXPECT_FALSE(is_dir(home + "/Desktop"));  // the fallback creates nothing
    fs::create_directories(home + "/Desktop");
    EXPECT_EQ(desktop("x"), home + "/Desktop/x");
    std::string env = root + "/envdesk";
    fs::create_directories(env);
    setenv("XDG_DESKTOP_DIR", env.c_str(), 1);
    EXPECT_EQ(desktop("x"), env + "/x");
    setenv("XDG_DESKTOP_DIR", (root + "/nowhere").c_str(), 1);
    EXPECT_EQ(desktop("x"), home + "/Desktop/x");
    std::string d = root + "/desk";
    strcpy(config.desktop_folder, d.c_str());
    EXPECT_EQ(desktop("shot.png"), d + "/shot.png");
    EXPECT_TRUE(is_dir(d));
    strcpy(config.desktop_folder, (d + "/").c_str());
    EXPECT_EQ(desktop("shot.png"), d + "/shot.png");
}

TEST_F(HostFolders, DesktopFromUserDirs) {
    fs::create_directories(config_home);
    fs::create_directories(home + "/Schreibtisch");
    fs::create_directories(home + "/Desktop");
    write_file(config_home + "/user-dirs.dirs",
               "# written by xdg-user-dirs-update\nXDG_DOWNLOAD_DIR=\"$HOME/Downloads\"\n"
               "XDG_DESKTOP_DIR=\"$HOME/Schreibtisch\"\n");
    EXPECT_EQ(desktop("x"), home + "/Schreibtisch/x");
    // An absolute entry, and an entry naming a missing folder (skipped).
    fs::create_directories(root + "/abs desk");
    write_file(config_home + "/user-dirs.dirs", "XDG_DESKTOP_DIR=\"" + root + "/abs desk\"\n");
    EXPECT_EQ(desktop("x"), root + "/abs desk/x");
    write_file(config_home + "/user-dirs.dirs", "XDG_DESKTOP_DIR=\"$HOME/missing\"\n");
    EXPECT_EQ(desktop("x"), home + "/Desktop/x");
    EXPECT_FALSE(is_dir(home + "/missing"));
    // Without XDG_CONFIG_HOME the file is read from ~/.config.
    unsetenv("XDG_CONFIG_HOME");
    fs::create_directories(home + "/.config");
    write_file(home + "/.config/user-dirs.dirs", "XDG_DESKTOP_DIR=\"$HOME/Schreibtisch\"\n");
    EXPECT_EQ(desktop("x"), home + "/Schreibtisch/x");
}

TEST_F(HostFolders, WithoutHomeThePasswordDatabaseCounts) {
    struct passwd* entry = getpwuid(getuid());
    ASSERT_NE(entry, nullptr);
    std::string pw_home = entry->pw_dir;
    while (pw_home.size() > 1 && pw_home.back() == '/') pw_home.pop_back();
    std::string expected = is_dir(pw_home + "/Desktop") ? pw_home + "/Desktop/x" : pw_home + "/x";
    if (pw_home == "/") expected = is_dir("/Desktop") ? "/Desktop/x" : "/x";
    unsetenv("HOME");
    EXPECT_EQ(desktop("x"), expected);
    setenv("HOME", "", 1);
    EXPECT_EQ(desktop("x"), expected);
    EXPECT_EQ(appdata("x"), shared() + "x");  // no HOME needed while XDG_DATA_HOME is given
}

// --- log ----------------------------------------------------------------------

using HostLog = HostTest;

// The log text with every time stamp "[" + six or more digits + " " replaced by "[T ".
std::string without_times(const std::string& text) {
    std::string out;
    for (size_t i = 0; i < text.size(); i++) {
        size_t j = i + 1;
        while (text[i] == '[' && j < text.size() && isdigit((unsigned char)text[j])) j++;
        if (text[i] == '[' && j - i - 1 >= 6 && j < text.size() && text[j] == ' ') {
            out += "[T";
            i = j - 1;
        } else {
            out += text[i];
        }
    }
    return out;
}

TEST_F(HostLog, RepeatsMarksAndLineEnds) {
    struct { lines messages; const char* text; } cases[] = {
        {{"first\n", "first\n", "first\n", "other\n"}, "[T 000] first\n[x 0002 000] first\n[T 000] other\n"},
        // Leading '>' and '<' marks are skipped, one of each at most.
        {{">text\n", "text\n", "<text\n", "><text\n", "<>x\n", ">>y\n"},
         "[T 000] text\n[x 0003 000] text\n[T 000] >x\n[T 000] >y\n"},
        {{"part ", "rest\n"}, "[T 000] part [T 000] rest\n"},  // text without a line end runs on
    };
    for (auto& c : cases) {
        // Each run's log is created afresh at its first message.
        close_log();
        fs::create_directories(shared());
        write_file(log_path(), "old run\n");
        for (const std::string& m : c.messages) velt_debug(m.c_str());
        EXPECT_EQ(without_times(read_file(log_path())), c.text);
    }
}

TEST_F(HostLog, ProcessIdAndTimeFormat) {
    velt_log_process_id = [] { return int64_t(7); };
    os_get_time();  // the clock starts at its first reading
    SDL_Delay(3);
    velt_debug("a\n");
    velt_debug("a\n");
    velt_log_process_id = [] { return int64_t(-1); };
    velt_debug("b\n");
    std::string text = read_file(log_path());
    EXPECT_EQ(without_times(text), "[T 007] a\n[x 0001 000] a\n[T 000] b\n");
    // Milliseconds are written with at least six digits.
    ASSERT_GE(text.size(), 8u);
    EXPECT_EQ(text[0], '[');
    EXPECT_EQ(text[7], ' ');
    EXPECT_GE(std::stoll(text.substr(1, 6)), 2);
}

TEST_F(HostLog, UnopenableLogDropsMessagesAndOverlongTextIsCutInMemoryOnly) {
    write_file(root + "/file", "");
    std::string bad = root + "/file/sub";  // a folder inside a plain file cannot exist
    strcpy(config.home_folder, bad.c_str());
    velt_debug("lost\n");
    EXPECT_EQ(velt_debug_file, nullptr);
    config.home_folder[0] = 0;
    velt_debug("kept\n");
    ASSERT_NE(velt_debug_file, nullptr);
    EXPECT_EQ(without_times(read_file(log_path())), "[T 000] kept\n");

    std::string big(VELT_DEBUG_TEXT_MAX + 100, 'z');
    big += "\n";
    velt_debug(big.c_str());
    velt_debug(big.c_str());  // longer than the kept copy: written again, not counted
    std::string text = read_file(log_path());
    EXPECT_EQ(std::count(text.begin(), text.end(), '\n'), 3);
    EXPECT_EQ(strlen(last_debug_msg), (size_t)VELT_DEBUG_TEXT_MAX - 1);
}

// --- clock and web addresses ----------------------------------------------------

TEST(HostClock, MillisecondsAdvance) {
    uint64_t a = os_get_time();
    os_sleep(20);
    uint64_t b = os_get_time();
    EXPECT_GE(b - a, 15u);
    EXPECT_LT(b - a, 5000u);
}

TEST(HostUrl, EscapingAndWhatDoesNotFit) {
    struct { const char* url; const char* escaped; } cases[] = {
        {"https://a.b/c d", "https://a.b/c%20d"},
        {"https://x.org/caf\xc3\xa9?q=1&r=_-.#top", "https://x.org/caf%c3%a9?q=1&r=_-.#top"},
        {"http://h/\"'$`\\%~+,;@!()*[]", "http://h/%22%27%24%60%5c%25%7e%2b%2c%3b%40%21%28%29%2a%5b%5d"},
        {"http://h/\x01\xff", "http://h/%01%ff"},
    };
    char dst[VELT_PATH_MAX];
    for (auto& c : cases) {
        EXPECT_EQ(velt_escape_url(c.url, dst, sizeof(dst)), (int)strlen(c.escaped)) << c.url;
        EXPECT_STREQ(dst, c.escaped);
    }
    char small[8];
    EXPECT_EQ(velt_escape_url("abcdefg", small, sizeof(small)), 7);
    EXPECT_EQ(velt_escape_url("abcdefgh", small, sizeof(small)), -1);
    EXPECT_STREQ(small, "");
    EXPECT_EQ(velt_escape_url("abcd %", small, sizeof(small)), -1);  // the escape would not fit
    EXPECT_EQ(velt_escape_url("abcd ", small, sizeof(small)), 7);
}

// --- opening paths and web addresses ------------------------------------------

using HostOpen = HostTest;

TEST_F(HostOpen, ArgumentReachesTheCommandAsOneWordAndOpenersAreReaped) {
    struct { std::string path, received; } cases[] = {
        {root + "/a \"quoted\" $HOME `id` \\ name;rm -rf x", root + "/a \"quoted\" $HOME `id` \\ name;rm -rf x"},
        {"https://example.com/a b\xc3\xa9", "https://example.com/a%20b%c3%a9"},  // web addresses are escaped
        {"-v", "./-v"},  // a leading dash is not an option
    };
    for (auto& c : cases) {
        fs::remove(record);
        ASSERT_EQ(open_host_file(c.path.c_str()), 0) << c.path;
        EXPECT_EQ(wait_for_opens(1), (lines{"argc=1", c.received}));
    }
    // Once they have ended no child is left to collect.
    auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(5);
    std::string ppid = " " + std::to_string(getpid()) + " ";
    bool none_left = false;
    while (!none_left && std::chrono::steady_clock::now() < deadline) {
        none_left = true;
        for (auto& entry : fs::directory_iterator("/proc"))
            if (read_file(entry.path().string() + "/stat").find("(xdg-open) Z" + ppid) != std::string::npos)
                none_left = false;
        if (!none_left) std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    EXPECT_TRUE(none_left);
}

TEST_F(HostOpen, OverlongPathsAndAMissingCommandAreRefused) {
    EXPECT_EQ(open_host_file(("/" + std::string(VELT_PATH_MAX, 'p')).c_str()), -1);
    std::string url = "https://x/" + std::string(VELT_PATH_MAX / 3, ' ');  // fits raw, not escaped
    EXPECT_EQ(open_host_file(url.c_str()), -1);
    EXPECT_EQ(open_host_file(""), -1);
    EXPECT_EQ(open_host_file(nullptr), -1);
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    EXPECT_FALSE(fs::exists(record));
    EXPECT_NE(read_file(log_path()).find("too long"), std::string::npos);

    std::string empty = root + "/empty_bin";
    fs::create_directories(empty);
    setenv("PATH", empty.c_str(), 1);
    EXPECT_EQ(open_host_file("/tmp"), -1);
    EXPECT_NE(read_file(log_path()).find("xdg-open not found"), std::string::npos);
}

// --- script functions ----------------------------------------------------------

pbuffer* fake_resolve(const char* path, uint32_t* kind) {
    static const struct { const char *path, *origin; uint32_t kind; } mounts[] = {
        {"/desktop/pic.png", "/home/user/pic.png", 1}, {"/ram/x.txt", "/ram/x.txt", 2},
        {"/desktop/folder", "/home/user/folder", 1},
    };
    for (auto& m : mounts) {
        if (strcmp(m.path, path) == 0) {
            *kind = m.kind;
            return create_buffer_from_str(m.origin);
        }
    }
    return create_buffer_from_str("");
}

class HostScript : public HostTest {
protected:
    lua_State* L = nullptr;

    void SetUp() override {
        HostTest::SetUp();
        ASSERT_EQ(SDL_InitSubSystem(SDL_INIT_VIDEO), 0) << SDL_GetError();
        L = luaL_newstate();
        ASSERT_NE(L, nullptr);
        os_add_public_c_functions(L);
    }
    void TearDown() override {
        if (L) lua_close(L);
        SDL_QuitSubSystem(SDL_INIT_VIDEO);
        HostTest::TearDown();
    }

    // Calls a registered function with the arguments pushed by push; returns the number of
    // results left on the stack.
    template <typename Push>
    int call(const char* name, Push push) {
        int top = lua_gettop(L);
        lua_getglobal(L, name);
        EXPECT_EQ(lua_type(L, -1), LUA_TFUNCTION) << name;
        push();
        lua_call(L, lua_gettop(L) - top - 1, LUA_MULTRET);
        return lua_gettop(L) - top;
    }
    int call_string(const char* name, const std::string& arg) {
        return call(name, [&] { lua_pushlstring(L, arg.data(), arg.size()); });
    }
    static std::string host_clipboard() {
        char* host = SDL_GetClipboardText();
        std::string s = host;
        SDL_free(host);
        return s;
    }
};

TEST_F(HostScript, ClipboardCarriesT6sciiAsUtf8AndIgnoresOtherValues) {
    EXPECT_EQ(call_string("_set_host_clipboard_text", "A\x80\x9a\x7f"), 0);
    EXPECT_EQ(host_clipboard(), "A\xe2\x96\x88\xe3\x81\x82\xe2\x97\x8b");
    ASSERT_EQ(SDL_SetClipboardText("x\xe2\x96\x88\r\ny\xf0\x9d\x98\xa2"), 0);
    ASSERT_EQ(call("_get_host_clipboard_text", [&] {}), 1);
    size_t length = 0;
    const char* text = lua_tolstring(L, -1, &length);
    EXPECT_EQ(std::string(text, length), "x\x80\nyA");
    lua_pop(L, 1);

    ASSERT_EQ(SDL_SetClipboardText("keep"), 0);
    call("_set_host_clipboard_text", [&] { lua_newtable(L); });
    call("_set_host_clipboard_text", [&] { lua_pushnil(L); });
    EXPECT_EQ(host_clipboard(), "keep");
    call("_set_host_clipboard_text", [&] { lua_pushinteger(L, 42); });
    EXPECT_EQ(host_clipboard(), "42");
    EXPECT_EQ(call("_req_host_clipboard_text", [&] {}), 0);
}

TEST_F(HostScript, OpenPathOpensHostOriginsAndHttpsAddressesOnly) {
    // Without a file system only web addresses open.
    call_string("_open_host_path", "/desktop/pic.png");
    call_string("_open_host_path", "https://example.com/");
    velt_resolve_to_origin = fake_resolve;
    call_string("_open_host_path", "/ram/x.txt");             // a ram origin: not opened
    call_string("_open_host_path", "/nowhere");               // no origin: not opened
    call_string("_open_host_path", "http://plain.example/");  // only https passes
    call("_open_host_path", [&] { lua_newtable(L); });
    call_string("_open_host_path", "/desktop/pic.png");
    call_string("_open_host_path", "https://example.com/x y");
    lines expected = {"argc=1", "/home/user/pic.png", "argc=1", "https://example.com/",
                      "argc=1", "https://example.com/x%20y"};
    lines got = wait_for_opens(3);
    std::sort(got.begin(), got.end());
    std::sort(expected.begin(), expected.end());
    EXPECT_EQ(got, expected);
}

// --- worker threads --------------------------------------------------------------

struct worker_report {
    std::atomic<int> ran{0};
    char name[32] = {};
};

int report_worker(void* arg) {
    worker_report* r = (worker_report*)arg;
    pthread_getname_np(pthread_self(), r->name, sizeof(r->name));
    r->ran.store(1, std::memory_order_release);
    return 0;
}

using HostThreads = HostTest;

TEST_F(HostThreads, WorkerRunsWithItsName) {
    worker_report report;
    os_thread* t = os_create_thread(report_worker, &report);
    ASSERT_NE(t, nullptr);
    auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(5);
    while (!report.ran.load(std::memory_order_acquire) && std::chrono::steady_clock::now() < deadline)
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    EXPECT_EQ(report.ran.load(), 1);
    EXPECT_STREQ(report.name, "orvalune_worker");
    os_destroy_thread(t);
    os_destroy_thread(nullptr);
}

TEST_F(HostThreads, FailureIsReportedToTheCaller) {
    // A stack no host can give makes the thread impossible to start.
    pthread_attr_t saved, huge;
    ASSERT_EQ(pthread_getattr_default_np(&saved), 0);
    pthread_attr_init(&huge);
    pthread_attr_setstacksize(&huge, (size_t)1 << 50);
    ASSERT_EQ(pthread_setattr_default_np(&huge), 0);
    worker_report report;
    os_thread* t = os_create_thread(report_worker, &report);
    pthread_setattr_default_np(&saved);
    pthread_attr_destroy(&huge);
    pthread_attr_destroy(&saved);
    EXPECT_EQ(t, nullptr);
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    EXPECT_EQ(report.ran.load(), 0);
    EXPECT_NE(read_file(log_path()).find("os_create_thread"), std::string::npos);
    EXPECT_EQ(os_create_thread(nullptr, nullptr), nullptr);
}

// Without SDL a headless run still mixes its sound (into the silent output) and every host
// call that would need SDL gives its empty answer instead of ending the program.
TEST_F(HostTest, WithoutSdlAHeadlessRunGoesOnSilently) {
    if (sdl_lib.loaded) GTEST_SKIP() << "an earlier test of this process loaded SDL";
    config.headless = 1;
    const char* driver = getenv("SDL_AUDIODRIVER");
    std::string saved_driver = driver ? driver : "";
    setenv("SDL_AUDIODRIVER", "disk", 1);
    sdl_library_use_soname("libSDL2-not-here.so.0");
    os_system_init();
    EXPECT_FALSE(host_media_started());
    EXPECT_NE(read_file(log_path()).find("could not load libSDL2-not-here.so.0"), std::string::npos);
    EXPECT_TRUE(audio_plays_into_silence());
    EXPECT_GT(audio_device, 0);
    char name[16] = "x";
    EXPECT_FALSE(os_key_from_scancode(4, name, sizeof(name)));
    EXPECT_STREQ(name, "");
    os_set_clipboard_text("lost");
    pbuffer* clip = os_get_clipboard_text();
    ASSERT_NE(clip, nullptr);
    EXPECT_EQ(clip->length, 0);
    destroy_buffer(clip);
    start_frame();
    EXPECT_EQ(os_key_state(-1), 0);
    audio_close_output_device();
    audio_use_silent_output(false);
    sdl_state.audio_ok = 0;
    if (driver) setenv("SDL_AUDIODRIVER", saved_driver.c_str(), 1);
    else unsetenv("SDL_AUDIODRIVER");
}

}  // namespace
