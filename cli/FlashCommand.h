#pragma once

#include <iosfwd>
#include <string>
#include <vector>

namespace tavo::flash {

// What the command needs of the process it runs in.
struct CommandEnvironment {
    std::ostream& out;
    std::ostream& err;
    bool stdinIsTerminal = false;
    bool stdoutIsTerminal = false;
    // Where dazez.txt and ports.txt are looked for by default (app::SettingsFolder).
    std::string programFolder;
    // The terminal's width, when standard output is one (0: not known).
    int terminalColumns = 0;
};

// The whole of tavo-flash: parses the arguments (without the program name), runs one download
// per port (all at once when there are several) and returns the process exit code (see
// ExitCode.h).
int RunFlashCommand(const std::vector<std::string>& args, const CommandEnvironment& env);

} // namespace tavo::flash
