// Test helper: saves the settings file named first, without end, turn about with the application
// path given second and with the defaults. It says "saving" first, so the test knows it has begun.
#include "settings/SettingsFile.h"

#include <cstdio>

int main(int argc, char** argv) {
    if (argc != 3)
        return 64;
    tavo::settings::Settings other;
    other.applicationFile = argv[2];
    std::puts("saving");
    std::fflush(stdout);
    for (bool turn = true;; turn = !turn)
        if (!tavo::settings::SaveSettings(argv[1], turn ? other : tavo::settings::Settings{}))
            return 1;
}
