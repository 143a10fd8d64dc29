#pragma once

#include "tests/support/TempImages.h"
#include "tools/bootsim/BootsimProcess.h"

#include <chrono>
#include <memory>
#include <optional>
#include <string>
#include <vector>

// The simulated AVR chip (tavo-avrsim) with our bootloader, for the end-to-end tests.
namespace tavo::avr_test {

// An image built under firmware/: "bootloader-atmega328p-19200.hex" and the like.
std::string Firmware(const std::string& name);
std::string Bootloader(const std::string& mcu, int baud);
std::string Demo(const std::string& mcu, int baud, int build);

using test::ReadFile;

// Where `memory` (a dump from address 0) differs from the Intel HEX file at `hexPath`: a
// description of the first difference, or empty when every byte of the file is in place.
std::string Mismatch(const std::string& memory, const std::string& hexPath);

// An EEPROM image of `size` bytes that differ from their neighbours, as 16-byte records.
std::string EepromImage(int size);

// The chip, started in its boot section with the bootloader and, given a build number, the demo
// application of that build already in its Flash. Dumps and the log of what the chip sent go
// into `dir`; `extra` are further options of tavo-avrsim.
class AvrBoard {
public:
    AvrBoard(const test::TempDir& dir, const std::string& mcu, int baud,
             std::optional<int> applicationBuild = std::nullopt,
             const std::vector<std::string>& extra = {});

    const std::string& device() const { return process_->devicePath(); }
    // Ends the simulation; the dumps are written on the way. The exit status of the simulator.
    int stop() { return process_->stop(); }

    std::string flash() const { return ReadFile(flashPath_); }
    std::string eeprom() const { return ReadFile(eepromPath_); }
    std::string uartLog() const { return ReadFile(logPath_); }

    // Opens the port, sends `text` and collects what the chip answers until it contains
    // `expected` or the time is up.
    std::string converse(const std::string& text, const std::string& expected,
                         std::chrono::milliseconds timeout = std::chrono::seconds(5)) const;

private:
    std::string flashPath_, eepromPath_, logPath_;
    int baud_;
    std::unique_ptr<bootsim::BootsimProcess> process_;
};

// What the demo application says at start and on a carriage return.
std::string Greeting(int build);

// The bootloader's answer to the start sequence: the version, the capabilities, "?".
std::string ReadyAnswer(const std::string& mcu);

} // namespace tavo::avr_test
