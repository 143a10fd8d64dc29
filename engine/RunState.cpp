#include "engine/RunState.h"

#include "engine/RunHost.h"

#include <string>

namespace tavo::engine {

void Timer1_Timer(RunState& state) {
    if (state.TickCount < 5)
        state.TickCount += 1;
}

void Timer3_Timer(const RunState& state, RunHost& host) {
    host.setLinesRemaining(std::to_string(state.LinesRemaining.value()));
}

} // namespace tavo::engine
