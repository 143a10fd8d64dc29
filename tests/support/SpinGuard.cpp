#include "tests/support/SpinGuard.h"

#include "engine/RunHost.h"

#include <gtest/gtest.h>

namespace tavo::test {

void SpinGuard::idle(std::string_view where) {
    if (clock_.now() != lastIdleAt_) {
        lastIdleAt_ = clock_.now();
        count_ = 0;
    }
    if (++count_ <= kLimit)
        return;
    if (!tripped_)
        ADD_FAILURE() << "the run spins instead of waiting (" << where << " at "
                      << clock_.now().count() << " ms)";
    tripped_ = true;
    count_ = 0;
    // Not a RunError: the run must not swallow it as one of its own failures.
    throw engine::RunAbandoned{};
}

} // namespace tavo::test
