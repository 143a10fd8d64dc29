// Test helper: saves the settings file named first, without end, turn about with the default
// settings and with the application path given second. It writes one line once it is saving, so
// that the test that kills it knows when to start its clock.
#include "settings/SettingsFile.h"

#include <cstdio>

int main(int argc, char** argv) {
    if (argc != 3) {
        std::fputs("usage: tavo_settings_save_loop FILE APPLICATION-PATH\n", stderr);
        return 64;
    }
    tavo::settings::Settings other;
    other.applicationFile = argv[2];
    std::puts("saving");
    std::fflush(stdout);
    for (unsigned long turn = 0;; ++turn) {
        if (!tavo::settings::SaveSettings(argv[1],
                                          turn % 2 == 0 ? other : tavo::settings::Settings{}))
            return 1;
    }
}
