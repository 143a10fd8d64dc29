#include "tests/support/FakeBootloader.h"

namespace tavo::test {

LineScript& LineScript::checksumErrors(int line, int attempts, std::string answer) {
    for (int attempt = 1; attempt <= attempts; ++attempt)
        at(line, attempt, Answer(answer));
    return *this;
}

Reply LineScript::replyFor(const LineWrite& write) const {
    if (auto it = perAttempt_.find({write.line, write.attempt}); it != perAttempt_.end())
        return it->second;
    if (auto it = perLine_.find(write.line); it != perLine_.end())
        return it->second;
    return normal_;
}

FakeBootloader::FakeBootloader(FakePort& port, Options options, LineScript script)
    : port_(port), options_(std::move(options)), script_(std::move(script)),
      applicationChunksLeft_(options_.applicationChunks) {
    port_.onWrite([this](std::string_view chunk) { receive(chunk); });
}

void FakeBootloader::send(const Reply& reply) {
    for (const auto& delivery : reply)
        port_.deliverIn(delivery.delay, delivery.bytes);
}

void FakeBootloader::receive(std::string_view chunk) {
    if (!ready_) {
        handshake_.emplace_back(chunk);
        if (options_.neverReady || applicationChunksLeft_ > 0) {
            // The application jumps and the bootloader it starts misses the rest of the chunk.
            if (applicationChunksLeft_ > 0)
                --applicationChunksLeft_;
            send(options_.active);
            return;
        }
        ready_ = true;
        send(options_.ready);
        return;
    }
    if (chunk == options_.eepromWrite || chunk == options_.eepromWrite + "!") {
        commands_.emplace_back(chunk);
        return;
    }
    LineWrite write{1, 1, std::string(chunk)};
    if (!lines_.empty()) {
        const auto& last = lines_.back();
        bool repeat = last.text == chunk;
        write.line = repeat ? last.line : last.line + 1;
        write.attempt = repeat ? last.attempt + 1 : 1;
    }
    lines_.push_back(write);
    send(script_.replyFor(write));
}

} // namespace tavo::test
