// Identity values taken by processes that are killed at random moments: no value is ever handed
// out twice, and the counter file is always whole. TAVO_IDENTITY_KILLS sets the number of rounds
// (two processes are killed in each).
#include "cli/Identity.h"
#include "tests/support/TempImages.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <csignal>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <iostream>
#include <random>
#include <set>
#include <sstream>
#include <thread>

namespace tavo::test {
namespace {

struct Taker {
    pid_t pid = -1;
    int taking = -1; // one byte arrives once it has taken its first values
};

Taker StartTaker(const std::string& mode, const std::string& file, const std::string& format,
                 const std::string& log) {
    int taking[2];
    if (::pipe(taking) != 0)
        return {};
    pid_t pid = fork();
    if (pid == 0) {
        ::dup2(taking[1], 1);
        execl(TAVO_TAKE_LOOP_EXE, TAVO_TAKE_LOOP_EXE, mode.c_str(), file.c_str(), format.c_str(),
              log.c_str(), static_cast<char*>(nullptr));
        _exit(127);
    }
    ::close(taking[1]);
    return {pid, taking[0]};
}

// Blocks until the taker has taken its first values (or has ended).
void WaitUntilTaking(Taker& taker) {
    char byte = 0;
    while (::read(taker.taking, &byte, 1) < 0 && errno == EINTR) {
    }
    ::close(taker.taking);
}

struct KillFigures {
    int rounds = 0, taken = 0, duplicates = 0, torn = 0, behind = 0;
};

// Rounds of two takers on one source, both killed at random moments while they take; `check`
// looks at the source after each round and says whether it is whole and ahead of all taken.
template <typename Check>
KillFigures KillRounds(const std::string& mode, const std::string& file, const std::string& format,
                       const std::string& log, Check check) {
    const char* wanted = std::getenv("TAVO_IDENTITY_KILLS");
    const int rounds = wanted != nullptr ? std::atoi(wanted) : 200;
    std::mt19937 random(15); // the same spread of kill moments on every run
    std::uniform_int_distribution<int> microseconds(0, 10000);
    KillFigures figures;
    std::set<std::string> seen;
    for (int round = 0; round < rounds; ++round) {
        Taker takers[] = {StartTaker(mode, file, format, log), StartTaker(mode, file, format, log)};
        if (takers[0].pid <= 0 || takers[1].pid <= 0) {
            ADD_FAILURE() << "cannot start " << TAVO_TAKE_LOOP_EXE;
            return figures;
        }
        for (auto& taker : takers)
            WaitUntilTaking(taker);
        std::this_thread::sleep_for(std::chrono::microseconds(microseconds(random)));
        ::kill(takers[0].pid, SIGKILL);
        std::this_thread::sleep_for(std::chrono::microseconds(microseconds(random) / 4));
        ::kill(takers[1].pid, SIGKILL);
        for (const auto& taker : takers) {
            int status = 0;
            ::waitpid(taker.pid, &status, 0);
            EXPECT_TRUE(WIFSIGNALED(status)) << "a taker ended by itself: " << status;
        }
        ++figures.rounds;
        auto taken = Lines(ReadFile(log));
        for (std::size_t i = seen.size() + figures.duplicates; i < taken.size(); ++i)
            figures.duplicates += !seen.insert(taken[i]).second;
        if (!check(seen))
            ++figures.torn;
    }
    figures.taken = static_cast<int>(seen.size());
    std::cout << mode << ": " << figures.rounds << " rounds, " << 2 * figures.rounds << " kills, "
              << figures.taken << " values taken, " << figures.duplicates << " taken twice, "
              << figures.torn << " checks failed\n";
    return figures;
}

TEST(IdentityKilled, ACounterNeverGivesANumberTwiceAndIsAlwaysWhole) {
    TempDir dir;
    auto counter = dir.write("counter", "1000\n");
    auto log = (dir.path() / "taken").string();
    auto figures = KillRounds("counter", counter, "u32le", log, [&](const auto& seen) {
        auto text = ReadFile(counter);
        auto digits = text.substr(0, text.size() - 1);
        bool whole = text.size() > 1 && text.back() == '\n' &&
                     digits.find_first_not_of("0123456789") == std::string::npos;
        EXPECT_TRUE(whole) << "'" << text << "'";
        if (!whole)
            return false;
        // Ahead of every number taken so far; gaps are allowed.
        auto next = std::stoull(digits);
        for (const auto& number : seen)
            if (std::stoull(number) >= next)
                return false;
        return true;
    });
    EXPECT_GT(figures.taken, 0);
    EXPECT_EQ(figures.duplicates, 0);
    EXPECT_EQ(figures.torn, 0);
}

TEST(IdentityKilled, AListNeverGivesALineTwice) {
    TempDir dir;
    std::string text;
    char mac[32];
    for (int i = 0; i < 20000; ++i) {
        std::snprintf(mac, sizeof mac, "02:00:00:%02X:%02X:%02X\n", i >> 16, (i >> 8) & 0xFF,
                      i & 0xFF);
        text += mac;
    }
    auto list = dir.write("macs.txt", text);
    auto log = (dir.path() / "taken").string();
    auto figures = KillRounds("list", list, "hex:12", log, [&](const auto& seen) {
        // Everything taken is in the journal, so no later take can hand it out again.
        std::set<std::string> journal;
        for (const auto& line : Lines(ReadFile(flash::JournalOf(list))))
            journal.insert(line);
        for (const auto& value : seen)
            if (journal.count(value) == 0)
                return false;
        return true;
    });
    EXPECT_GT(figures.taken, 0);
    EXPECT_EQ(figures.duplicates, 0);
    EXPECT_EQ(figures.torn, 0);
}

} // namespace
} // namespace tavo::test
