#include "cli/ExitCode.h"
#include "cli/FlashCommand.h"

#include "AppInfo.h"

#include <QCoreApplication>

#include <csignal>
#include <exception>
#include <iostream>
#include <sys/ioctl.h>
#include <unistd.h>

int main(int argc, char** argv) {
    // The serial port is a Qt object; it wants an application object on its thread.
    QCoreApplication app(argc, argv);
    // A reader of our output that goes away (tavo-flash | head) must not end a run halfway with
    // the board in its bootloader; the output is lost, the run goes on.
    std::signal(SIGPIPE, SIG_IGN);
    std::vector<std::string> args(argv + 1, argv + argc);
    winsize size{};
    int columns = ::ioctl(STDOUT_FILENO, TIOCGWINSZ, &size) == 0 ? size.ws_col : 0;
    tavo::flash::CommandEnvironment env{std::cout,
                                        std::cerr,
                                        ::isatty(STDIN_FILENO) == 1,
                                        ::isatty(STDOUT_FILENO) == 1,
                                        tavo::app::SettingsFolder(),
                                        columns};
    try {
        return tavo::flash::RunFlashCommand(args, env);
    } catch (const std::exception& error) {
        std::cerr << "tavo-flash: internal error: " << error.what() << '\n';
        return tavo::flash::kExitInternal;
    }
}
