#pragma once

#include "engine/Clock.h"

#include <string>
#include <string_view>

namespace tavo::engine {

// The serial link as the run sees it: exactly the operations it needs, so that a plain serial
// device (or a scripted fake) can stand behind it. Every failure raises RunError with the
// operating system's reason inside. Characters are single bytes both ways.
class SerialPort {
public:
    virtual ~SerialPort() = default;

    virtual bool isOpen() const = 0;

    // XON/XOFF software flow control from the next opening on; no RTS/CTS.
    virtual void setXonXoff() = 0;

    // One of the line-settings strings, e.g. "19200,n,8,1" (8 data bits, no parity, 1 stop bit).
    virtual void setLineSettings(const std::string& settings) = 0;

    // Chooses the port (1..8) for the next opening. Fails while the port is open, and for 0.
    virtual void setPortNumber(int number) = 0;

    // Opens the chosen port exclusively. Fails when it does not exist or another program holds
    // it. The input queue starts empty.
    virtual void open() = 0;

    // Closes the port, discarding whatever is still queued in either direction.
    virtual void close() = 0;

    // Sends every byte in order and returns without waiting for an answer. Fails when the port
    // is closed or broken.
    virtual void write(std::string_view data) = 0;

    // Bytes received and not yet taken (0 when none). Sees bytes that arrived even when nobody
    // has run an event loop since.
    virtual int countWaiting() = 0;

    // All received bytes not yet taken, in arrival order; empty when none.
    virtual std::string takeWaiting() = 0;

    // The same bytes without taking them: they stay waiting. Never fails: a port in trouble
    // shows what it has, and the next operation that takes or writes reports the trouble.
    virtual std::string peekWaiting() = 0;

    // Blocks until input is waiting or the timeout has passed, without processing any window
    // events; for the one wait that must not yield. True when input is waiting.
    virtual bool waitForInput(Millis timeout) = 0;

    // Changes the bit rate of the open port at once (8N1 stays); for this opening only, the next
    // one uses the line settings again. Fails when the port is closed or the device does not take
    // the rate.
    virtual void setBaudRate(long rate) = 0;

    // Blocks until every byte written has left the device.
    virtual void drainOutput() = 0;
};

} // namespace tavo::engine
