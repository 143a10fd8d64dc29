#include "tests/support/FakeBootloader.h"

#include "engine/Extension.h"
#include "engine/SerialLink.h"

#include <algorithm>
#include <cstdio>

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
    if (options_.extension) {
        // What arrives depends on both sides' rates: the port's and the board's.
        const auto& ext = *options_.extension;
        auto lineRate = engine::BaudFromLineSettings(port_.lineSettings()).value_or(0);
        long portRate = port_.baudRate() != 0 ? port_.baudRate() : lineRate;
        long boardRate = this->boardRate() != 0 ? this->boardRate() : lineRate;
        if (this->boardRate() == 0)
            rate_ = 0;
        lastInput_ = port_.clock().now();
        if (portRate != boardRate || (ext.deafAtNewRate && rate_ != 0))
            return; // garbage to the board
        if (command(chunk))
            return;
    }
    if (chunk == options_.eepromWrite || chunk == options_.eepromWrite + "!") {
        commands_.emplace_back(chunk);
        imageStart_ = lines_.size();
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
    auto reply = script_.replyFor(write);
    taken_.push_back(!reply.empty() && reply.front().bytes == "~");
    send(reply);
}

long FakeBootloader::boardRate() const {
    auto now = port_.clock().now();
    // Unconfirmed 250 ms after the switch, or 2 s without input: back to the handshake rate.
    bool fellBack =
        (!confirmed_ && now >= switchedAt_ + Millis(250)) || now >= lastInput_ + Millis(2000);
    return rate_ != 0 && !fellBack ? rate_ : 0;
}

bool FakeBootloader::command(std::string_view chunk) {
    const auto& ext = *options_.extension;
    if (chunk == engine::kEndOfFileRecord) {
        commands_.emplace_back(chunk);
        send(Answer(checkFailed_ ? "#" : "@"));
        imageStart_ = lines_.size();
        return true;
    }
    if (chunk.size() < 11 || chunk[0] != ':' || chunk.substr(7, 1) != "8")
        return false;
    commands_.emplace_back(chunk);
    std::vector<std::uint8_t> data;
    for (std::size_t i = 9; i + 3 < chunk.size(); i += 2)
        data.push_back(
            static_cast<std::uint8_t>(std::stoul(std::string(chunk.substr(i, 2)), nullptr, 16)));
    auto get32 = [&](std::size_t at) {
        return std::uint32_t(data[at]) << 24 | std::uint32_t(data[at + 1]) << 16 |
               std::uint32_t(data[at + 2]) << 8 | data[at + 3];
    };
    switch (chunk[8]) {
    case '0': { // SET RATE
        long rate = static_cast<long>(get32(0));
        if (std::find(ext.rates.begin(), ext.rates.end(), rate) == ext.rates.end()) {
            send(Answer("%"));
            break;
        }
        send(Answer("~"));
        rate_ = rate;
        confirmed_ = false;
        switchedAt_ = port_.clock().now() + kAnswerDelay;
        break;
    }
    case '1': // CONFIRM
        confirmed_ = true;
        send(Answer("~"));
        break;
    case '2': { // CHECK
        if (++checks_ <= ext.silentChecks)
            break;
        std::vector<std::string> records;
        for (auto i = imageStart_; i < lines_.size(); ++i)
            if (taken_[i])
                records.push_back(lines_[i].text);
        records.emplace_back(engine::kEndOfFileRecord);
        auto image = engine::ParseImage(records);
        std::vector<std::uint8_t> bytes;
        for (std::uint32_t a = get32(1), end = a + get32(5); a < end; ++a) {
            std::uint8_t value = 0xFF;
            if (image && a != ext.stuckCell) {
                auto it = std::lower_bound(image->address.begin(), image->address.end(), a);
                if (it != image->address.end() && *it == a)
                    value = image->value[static_cast<std::size_t>(it - image->address.begin())];
            }
            bytes.push_back(value);
        }
        auto crc = engine::Crc32(bytes.data(), bytes.size());
        char text[10];
        bool equal = crc == get32(9);
        checkFailed_ = checkFailed_ || !equal;
        std::snprintf(text, sizeof text, "%c%08X", equal ? '~' : '%', static_cast<unsigned>(crc));
        send(Answer(text));
        break;
    }
    default:
        send(Answer("%"));
    }
    return true;
}

} // namespace tavo::test
