#pragma once

#include <functional>
#include <string>
#include <vector>

// Counts the system calls of a child process through ptrace, all its threads included, so that a
// benchmark or a test can say what a piece of code costs the kernel. Linux on x86-64 only; on
// anything else `supported` is false and nothing is run.
namespace tavo::bench {

struct SyscallCount {
    bool supported = false;
    int exitCode = -1; // the child's, or -1 when a signal ended it
    long total = 0;    // every call from the start of the child to its end
    long marked = 0;   // the calls between the child's first and second MarkSyscalls()
};

// Runs `body` in a forked child (its result is the child's exit code) and counts its calls.
SyscallCount CountSyscalls(const std::function<int()>& body);

// Runs a program (argv[0] is its path) in a child and counts its calls.
SyscallCount CountSyscalls(const std::vector<std::string>& argv);

// Marks the start and the end of the stretch counted in `marked`. The mark is itself a (failing)
// system call that is not counted.
void MarkSyscalls();

} // namespace tavo::bench
