// Test entry point: every test runs with HOME and the XDG folders in a fresh temporary folder
// and with SDL's dummy drivers, so no test touches the real home or opens a window.
#include <gtest/gtest.h>
#include <cstdlib>
#include <string>
#include <unistd.h>

int main(int argc, char** argv) {
    char tmpl[] = "/tmp/orvalune_test_home_XXXXXX";
    const char* home = mkdtemp(tmpl);
    if (home) {
        std::string h = home;
        setenv("HOME", home, 1);
        setenv("XDG_DATA_HOME", (h + "/.local/share").c_str(), 1);
        setenv("XDG_CONFIG_HOME", (h + "/.config").c_str(), 1);
        setenv("XDG_DESKTOP_DIR", (h + "/Desktop").c_str(), 1);
    }
    setenv("SDL_VIDEODRIVER", "dummy", 1);
    setenv("SDL_AUDIODRIVER", "dummy", 1);
    testing::InitGoogleTest(&argc, argv);
    int rc = RUN_ALL_TESTS();
    if (home) {
        std::string cmd = std::string("rm -rf '") + home + "'";
        if (system(cmd.c_str()) != 0) rc = rc ? rc : 0;
    }
    return rc;
}
