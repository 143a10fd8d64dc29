#pragma once

#include <string>
#include <vector>

#include <sys/types.h>

// Every fsync and rename the code under test makes, in order, with the file each concerned. The
// test binary is linked with --wrap=fsync and --wrap=rename, so the calls pass through
// SaveCalls.cpp on their way to the system.
namespace tavo::settings {

struct SaveCall {
    enum Kind { Fsync, Rename } kind;
    dev_t device = 0;
    ino_t inode = 0; // the file synced, or the file renamed
    std::string to;  // where a rename put it
    int result = 0;
};

// The calls made since the last take.
std::vector<SaveCall> TakeSaveCalls();

} // namespace tavo::settings
