#include "bench/SyscallCount.h"

#include <csignal>
#include <cstddef>
#include <map>
#include <sys/ptrace.h>
#include <sys/syscall.h>
#include <sys/user.h>
#include <sys/wait.h>
#include <unistd.h>

namespace tavo::bench {

namespace {

// No system call has this number: it fails with ENOSYS, and the tracer knows it for the mark.
constexpr long kMarkCall = 0x7a5c;
// The child's exit code when it may not be traced.
constexpr int kNotTraced = 125;

#if defined(__linux__) && defined(__x86_64__)

SyscallCount Trace(pid_t child) {
    SyscallCount count;
    count.supported = true;
    int status = 0;
    // The child stops itself right after asking to be traced.
    if (::waitpid(child, &status, 0) != child || !WIFSTOPPED(status)) {
        count.supported = !(WIFEXITED(status) && WEXITSTATUS(status) == kNotTraced);
        return count;
    }
    ::ptrace(PTRACE_SETOPTIONS, child, nullptr,
             PTRACE_O_TRACESYSGOOD | PTRACE_O_TRACECLONE | PTRACE_O_TRACEEXEC | PTRACE_O_EXITKILL);
    ::ptrace(PTRACE_SYSCALL, child, nullptr, nullptr);

    std::map<pid_t, bool> insideCall; // per thread: between a call's entry and its exit
    int marks = 0;
    for (;;) {
        pid_t tid = ::waitpid(-1, &status, __WALL);
        if (tid < 0)
            break; // every thread has ended
        if (WIFEXITED(status) || WIFSIGNALED(status)) {
            if (tid == child)
                count.exitCode = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
            insideCall.erase(tid);
            continue;
        }
        int deliver = 0;
        int signal = WSTOPSIG(status);
        if (signal == (SIGTRAP | 0x80)) {
            bool entering = !insideCall[tid];
            insideCall[tid] = entering;
            if (entering) {
                long call =
                    ::ptrace(PTRACE_PEEKUSER, tid, offsetof(user_regs_struct, orig_rax), nullptr);
                if (call == kMarkCall) {
                    ++marks;
                } else {
                    ++count.total;
                    if (marks == 1)
                        ++count.marked;
                }
            }
        } else if (signal != SIGTRAP && signal != SIGSTOP) {
            // A real signal for the child; event stops (clone, exec) and the stop of a new
            // thread are the tracer's own.
            deliver = signal;
        }
        ::ptrace(PTRACE_SYSCALL, tid, nullptr, deliver);
    }
    return count;
}

template <class Body> SyscallCount Run(Body body) {
    pid_t child = ::fork();
    if (child < 0)
        return {};
    if (child == 0) {
        if (::ptrace(PTRACE_TRACEME, 0, nullptr, nullptr) != 0)
            ::_exit(kNotTraced); // a sandbox that forbids tracing
        ::raise(SIGSTOP);
        ::_exit(body());
    }
    return Trace(child);
}

#else

template <class Body> SyscallCount Run(Body) {
    return {};
}

#endif

} // namespace

void MarkSyscalls() {
    ::syscall(kMarkCall);
}

SyscallCount CountSyscalls(const std::function<int()>& body) {
    return Run([&] { return body(); });
}

SyscallCount CountSyscalls(const std::vector<std::string>& argv) {
    return Run([&] {
        std::vector<char*> args;
        for (const auto& a : argv)
            args.push_back(const_cast<char*>(a.c_str()));
        args.push_back(nullptr);
        ::execv(args[0], args.data());
        return 127;
    });
}

} // namespace tavo::bench
