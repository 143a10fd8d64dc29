#include "settings/Settings.h"

namespace tavo::settings {

void LoadDefaults(Settings& settings) {
    settings = Settings{};
}

} // namespace tavo::settings
