#pragma once

#include <string>
#include <termios.h>

// What both simulators (tavo-bootsim, tavo-avrsim) do around their pseudo-terminal.
namespace tavo::bootsim {

// Turns SIGTERM, SIGINT and SIGHUP into a byte on a pipe, so that a poll loop sees them, and
// ignores SIGPIPE. The pipe's end to poll; -1 when no pipe could be made.
int WatchStopSignals();

// Opens a pseudo-terminal with a raw slave (at `speed` unless it is 0) and closes the slave again:
// the loader is to be its only user, so that its closing is seen as a hang-up. Sets the master
// (close-on-exec) and the slave's path; false with errno set on failure.
bool OpenTerminal(int& master, std::string& slavePath, speed_t speed = 0);

} // namespace tavo::bootsim
