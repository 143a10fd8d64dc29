#include "cli/TracePort.h"

#include "engine/RunError.h"

#include <cstdio>
#include <ostream>

namespace tavo::flash {

std::string QuoteBytes(std::string_view bytes) {
    std::string text = "\"";
    for (unsigned char c : bytes) {
        switch (c) {
        case '"':
            text += "\\\"";
            break;
        case '\\':
            text += "\\\\";
            break;
        case '\r':
            text += "\\r";
            break;
        case '\n':
            text += "\\n";
            break;
        case '\t':
            text += "\\t";
            break;
        default:
            if (c >= 0x20 && c < 0x7f) {
                text += static_cast<char>(c);
            } else {
                char hex[8];
                std::snprintf(hex, sizeof hex, "\\x%02X", c);
                text += hex;
            }
        }
    }
    return text + "\"";
}

TracePort::TracePort(engine::SerialPort& inner, std::ostream& out, Now now)
    : inner_(inner), out_(out), now_(now ? std::move(now) : Now([] {
          return std::chrono::duration_cast<std::chrono::microseconds>(
              std::chrono::steady_clock::now().time_since_epoch());
      })),
      start_(now_()) {}

void TracePort::line(std::string_view text) {
    auto us = (now_() - start_).count();
    char stamp[40];
    std::snprintf(stamp, sizeof stamp, "%6lld.%06lld ", static_cast<long long>(us / 1'000'000),
                  static_cast<long long>(us % 1'000'000));
    out_ << stamp << text << '\n';
}

template <typename F> auto TracePort::logged(std::string_view what, F&& op) -> decltype(op()) {
    try {
        return op();
    } catch (const engine::RunError& error) {
        std::string text = "# " + std::string(what) + " failed: " + error.what();
        if (!error.reason().empty())
            text += ": " + error.reason();
        line(text);
        out_.flush();
        throw;
    }
}

void TracePort::setXonXoff() {
    logged("xon/xoff", [&] { inner_.setXonXoff(); });
    line("# xon/xoff");
}

void TracePort::setLineSettings(const std::string& settings) {
    logged("line settings", [&] { inner_.setLineSettings(settings); });
    line("# line settings " + settings);
}

void TracePort::setPortNumber(int number) {
    logged("port number", [&] { inner_.setPortNumber(number); });
    line("# port number " + std::to_string(number));
}

void TracePort::open() {
    logged("open", [&] { inner_.open(); });
    line("# open");
}

void TracePort::close() {
    logged("close", [&] { inner_.close(); });
    line("# close");
    out_.flush();
}

void TracePort::write(std::string_view data) {
    // Logged before the write, so that a failing write still shows what was tried.
    line("> " + QuoteBytes(data));
    logged("write", [&] { inner_.write(data); });
}

int TracePort::countWaiting() {
    return logged("count waiting", [&] { return inner_.countWaiting(); });
}

std::string TracePort::takeWaiting() {
    auto bytes = logged("take waiting", [&] { return inner_.takeWaiting(); });
    if (!bytes.empty())
        line("< " + QuoteBytes(bytes));
    return bytes;
}

bool TracePort::waitForInput(engine::Millis timeout) {
    return logged("wait for input", [&] { return inner_.waitForInput(timeout); });
}

void TracePort::setBaudRate(long rate) {
    logged("bit rate", [&] { inner_.setBaudRate(rate); });
    line("# bit rate " + std::to_string(rate));
}

void TracePort::drainOutput() {
    logged("drain output", [&] { inner_.drainOutput(); });
}

} // namespace tavo::flash
