// tavo-avrsim: an ATmega328P or ATmega2560 at 16 MHz in simavr, its UART0 on a pseudo-terminal.
// See --help.
#include "tools/bootsim/IntelHex.h"
#include "tools/bootsim/LineSettings.h"
#include "tools/bootsim/Terminal.h"

extern "C" {
#include <avr_eeprom.h>
#include <avr_flash.h>
#include <avr_uart.h>
#include <sim_avr.h>
#include <sim_io.h>
#include <sim_irq.h>
#include <sim_time.h>
}

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <deque>
#include <fcntl.h>
#include <fstream>
#include <iterator>
#include <map>
#include <optional>
#include <poll.h>
#include <set>
#include <string>
#include <sys/prctl.h>
#include <unistd.h>
#include <vector>

// Read by LeakSanitizer in sanitizer builds: libsimavr never frees the interrupt lines it
// allocates for a chip, and those leaks are not ours to fix.
extern "C" __attribute__((used)) const char* __lsan_default_suppressions() {
    return "leak:libsimavr.so\n";
}

namespace {

using Clock = std::chrono::steady_clock;

// How far the simulation may fall behind the wall clock and still catch up.
constexpr auto kMaxLag = std::chrono::milliseconds(50);

void Log(const std::string& text) {
    std::fprintf(stderr, "tavo-avrsim: %s\n", text.c_str());
}

// simavr's own messages: only its errors, on stderr (stdout carries the device path).
void SimLogger(avr_t*, const int level, const char* format, va_list args) {
    if (level > LOG_ERROR)
        return;
    std::fputs("tavo-avrsim: simavr: ", stderr);
    std::vfprintf(stderr, format, args);
}

const char* const kHelp = R"(Usage: tavo-avrsim --bootloader FILE.hex [options]

An AVR chip in simavr at 16 MHz whose UART0 is a pseudo-terminal. The first line on standard
output is the device to open. The chip starts in its boot section, as with the BOOTRST fuse: at
the lowest address of the bootloader image. Time runs as on the real chip: the simulation waits
for the wall clock whenever it gets ahead of it. The bytes written to the terminal reach the chip
one frame time apart at the rate the terminal is set to (the chip's own rate while it has none).

Options:
  --mcu NAME          atmega328p (default) or atmega2560
  --bootloader FILE   Intel HEX image of the bootloader (required)
  --app FILE          Intel HEX image already in the Flash, as an ISP programmer leaves it
  --eeprom FILE       Intel HEX image already in the EEPROM
  --flash-out FILE    on exit, the whole Flash as a binary file
  --eeprom-out FILE   on exit, the whole EEPROM as a binary file
  --uart-log FILE     every byte the chip sends, as it sends it
  --page-us N         time a Flash page erase or write keeps the chip busy, in microseconds
                      (default 4500, the datasheet's maximum; 0: at once, as simavr does)
  --eeprom-us N       the same for writing one EEPROM byte (default 3400)
  --lose N            the N-th byte the chip sends (from 1) never reaches the terminal, as if
                      lost on the wire; the log still has it (repeatable)
  --fail-page-write N the N-th Flash page write (from 1) leaves the page as it was (repeatable)
  --stuck-cell ADDR   the Flash byte at ADDR (decimal) keeps what it held whenever its page is
                      written: after an erase, 0xFF (repeatable)
  --strict-rate       a byte crosses the wire only when the terminal's rate and the chip's are
                      within 5 % of each other; otherwise 0xFF arrives in its place, either way
  --help              this text

It exits on SIGTERM, SIGINT or SIGHUP, writing the output files on the way. A chip that crashes
(simavr stops it on an access outside its memories) stays silent on its port until then. Exit
status 0; 1 when it cannot start or the chip crashed; 2 on a bad command line.
)";

struct Options {
    std::string mcu = "atmega328p";
    std::string bootloader, app, eeprom, flashOut, eepromOut, uartLog;
    unsigned pageUs = 4500;
    unsigned eepromUs = 3400;
    std::set<unsigned long> lose;
    std::set<unsigned long> failPageWrites;
    std::set<unsigned long> stuckCells;
    bool strictRate = false;
};

std::optional<Options> ParseOptions(int argc, char** argv, bool& help) {
    Options o;
    std::map<std::string, std::string*> paths{
        {"--mcu", &o.mcu},          {"--bootloader", &o.bootloader}, {"--app", &o.app},
        {"--eeprom", &o.eeprom},    {"--flash-out", &o.flashOut},    {"--eeprom-out", &o.eepromOut},
        {"--uart-log", &o.uartLog}, {"--page-us", nullptr},          {"--eeprom-us", nullptr},
        {"--lose", nullptr},        {"--fail-page-write", nullptr},  {"--stuck-cell", nullptr}};
    for (int i = 1; i < argc; ++i) {
        std::string name = argv[i];
        if (name == "--help") {
            help = true;
            return o;
        }
        if (name == "--strict-rate") {
            o.strictRate = true;
            continue;
        }
        auto it = paths.find(name);
        if (it == paths.end() || i + 1 >= argc) {
            Log("bad argument '" + name + "' (see --help)");
            return std::nullopt;
        }
        std::string value = argv[++i];
        if (it->second) {
            *it->second = value;
            continue;
        }
        char* end = nullptr;
        unsigned long number = std::strtoul(value.c_str(), &end, 10);
        if (value.empty() || *end != '\0' || number > 1'000'000) {
            Log(name + " needs a number up to 1000000");
            return std::nullopt;
        }
        if (name == "--lose")
            o.lose.insert(number);
        else if (name == "--fail-page-write")
            o.failPageWrites.insert(number);
        else if (name == "--stuck-cell")
            o.stuckCells.insert(number);
        else
            (name == "--page-us" ? o.pageUs : o.eepromUs) = static_cast<unsigned>(number);
    }
    if (o.bootloader.empty() || (o.mcu != "atmega328p" && o.mcu != "atmega2560")) {
        Log("needs --bootloader, and --mcu atmega328p or atmega2560 (see --help)");
        return std::nullopt;
    }
    return o;
}

std::optional<tavo::bootsim::MemoryImage> ReadHex(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    if (!in) {
        Log("cannot read " + path);
        return std::nullopt;
    }
    std::string text{std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
    auto decoded = tavo::bootsim::DecodeHexText(text);
    if (!decoded.error.empty()) {
        Log(path + ": " + decoded.error);
        return std::nullopt;
    }
    return decoded.image;
}

bool WriteFile(const std::string& path, const std::uint8_t* data, std::size_t size) {
    if (path.empty())
        return true;
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out.write(reinterpret_cast<const char*>(data), static_cast<std::streamsize>(size));
    if (!out) {
        Log("cannot write " + path);
        return false;
    }
    return true;
}

class Chip {
public:
    Chip(Options options, int stopSignals)
        : options_(std::move(options)), stopSignals_(stopSignals) {
        g_chip = this;
    }
    ~Chip() {
        if (master_ >= 0)
            ::close(master_);
        if (avr_) {
            if (!terminated_)
                avr_terminate(avr_);
            std::free(avr_);
        }
    }

    int run() {
        // Wake-ups as exact as the kernel allows: they pace every byte on the simulated wire.
        ::prctl(PR_SET_TIMERSLACK, 1UL, 0UL, 0UL, 0UL);
        if (!setUp())
            return 1;
        int status = loop();
        if (!writeDumps())
            status = 1;
        return status;
    }

private:
    bool setUp() {
        avr_global_logger_set(SimLogger);
        // simavr announces the chip on stdout; the first line there is ours.
        std::fflush(stdout);
        int saved = ::dup(STDOUT_FILENO);
        int null = ::open("/dev/null", O_WRONLY);
        ::dup2(null, STDOUT_FILENO);
        avr_ = avr_make_mcu_by_name(options_.mcu.c_str());
        if (avr_)
            avr_init(avr_);
        std::fflush(stdout);
        ::dup2(saved, STDOUT_FILENO);
        ::close(saved);
        if (!avr_) {
            ::close(null);
            Log("simavr does not know " + options_.mcu);
            return false;
        }
        null_ = null;
        avr_->frequency = 16'000'000;
        avr_->log = LOG_ERROR;
        avr_->sleep = &Chip::OnSleep;

        if (!load())
            return false;
        connectUart();
        modelWriteTimes();
        if (!options_.uartLog.empty()) {
            uartLog_ = std::fopen(options_.uartLog.c_str(), "wb");
            if (!uartLog_) {
                Log("cannot write " + options_.uartLog);
                return false;
            }
        }
        return openTerminal();
    }

    bool load() {
        auto boot = ReadHex(options_.bootloader);
        if (!boot || boot->empty())
            return false;
        for (const auto* path : {&options_.app, &options_.bootloader}) {
            if (path->empty())
                continue;
            auto image = path == &options_.bootloader ? boot : ReadHex(*path);
            if (!image)
                return false;
            for (const auto& [start, bytes] : image->segments()) {
                if (start + bytes.size() > avr_->flashend + 1u) {
                    Log(*path + " reaches beyond the Flash");
                    return false;
                }
                std::copy(bytes.begin(), bytes.end(), avr_->flash + start);
            }
        }
        if (!options_.eeprom.empty()) {
            auto image = ReadHex(options_.eeprom);
            if (!image)
                return false;
            // From address 0 to the last byte the image holds; gaps stay erased.
            std::vector<std::uint8_t> bytes;
            for (const auto& [start, segment] : image->segments()) {
                if (start + segment.size() > avr_->e2end + 1u) {
                    Log(options_.eeprom + " reaches beyond the EEPROM");
                    return false;
                }
                bytes.resize(std::max<std::size_t>(bytes.size(), start + segment.size()), 0xFF);
                std::copy(segment.begin(), segment.end(), bytes.begin() + start);
            }
            avr_eeprom_desc_t desc{bytes.data(), 0, static_cast<std::uint32_t>(bytes.size())};
            avr_ioctl(avr_, AVR_IOCTL_EEPROM_SET, &desc);
        }
        // BOOTRST: every reset starts the boot section.
        avr_->reset_pc = boot->segments().begin()->first;
        avr_->pc = avr_->reset_pc;
        return true;
    }

    void connectUart() {
        // No console copy of the output and no sleeping in UART polls: pacing is done here.
        std::uint32_t flags = 0;
        avr_ioctl(avr_, AVR_IOCTL_UART_SET_FLAGS('0'), &flags);
        auto irq = [&](int which) {
            return avr_io_getirq(avr_, AVR_IOCTL_UART_GETIRQ('0'), which);
        };
        uartInput_ = irq(UART_IRQ_INPUT);
        avr_irq_register_notify(irq(UART_IRQ_OUTPUT), &Chip::OnUartOutput, this);
        avr_irq_register_notify(irq(UART_IRQ_OUT_XON), &Chip::OnXon, this);
        avr_irq_register_notify(irq(UART_IRQ_OUT_XOFF), &Chip::OnXoff, this);
    }

    // simavr erases and writes a Flash page, and writes an EEPROM byte, at once. The firmware
    // waits for SPMEN or EEPE to clear, so keeping that bit set for the write time afterwards
    // makes it wait as on the chip. An I/O module of our own sees every SPM before the Flash
    // module does it; a watch on EECR sees every EEPROM write.
    void modelWriteTimes() {
        if (options_.pageUs > 0 || !options_.failPageWrites.empty() ||
            !options_.stuckCells.empty()) {
            spmWatch_.kind = "page-time";
            spmWatch_.ioctl = &Chip::OnIoctl;
            avr_register_io(avr_, &spmWatch_);
        }
        if (options_.eepromUs > 0)
            avr_irq_register_notify(avr_iomem_getirq(avr_, kEecr, nullptr, AVR_IOMEM_IRQ_ALL),
                                    &Chip::OnEecrWrite, this);
    }

    bool openTerminal() {
        std::string name;
        if (!tavo::bootsim::OpenTerminal(master_, name)) {
            Log(std::string("openpty failed: ") + std::strerror(errno));
            return false;
        }
        ::fcntl(master_, F_SETFL, O_NONBLOCK);
        std::printf("%s\n", name.c_str());
        std::fflush(stdout);
        // Whoever read the first line may stop reading: nothing else goes to stdout.
        ::dup2(null_, STDOUT_FILENO);
        ::close(null_);
        null_ = -1;
        return true;
    }

    int loop() {
        // How often the simulated time is held against the wall clock: a fraction of a byte time
        // at 115200 baud.
        const avr_cycle_count_t step = avr_usec_to_cycles(avr_, 200);
        anchor();
        avr_cycle_count_t next = avr_->cycle + step;
        for (;;) {
            int state = avr_run(avr_);
            if (stopRequested_)
                return 0;
            if (state == cpu_Done || state == cpu_Crashed) {
                // A chip that stops does not take its port away: wait for the end as a board
                // would that hangs.
                Log(state == cpu_Done ? "the chip stopped (sleep with interrupts off)"
                                      : "the chip crashed");
                terminated_ = state == cpu_Done; // simavr has freed its memories then
                halted_ = true;
                while (service(std::chrono::seconds(1), false)) {
                }
                return 1;
            }
            if (avr_->cycle < next)
                continue;
            next = avr_->cycle + step;
            // Running ahead of the wall clock: wait for it, serving the terminal meanwhile. A
            // little behind (a wait that overslept), run on until caught up; far behind (a
            // machine too busy to keep up), carry on from here rather than race. Behind or not,
            // the terminal is served at every step: the chip's answer leaves when the chip sends
            // it. (Served only when ahead, a chip running behind held its bytes back for up to
            // the lag allowed, and a loader that had read the active answer alone, without the
            // ready answer sent right after it, sent its request again and got "^" once more.)
            auto ahead = simulated() - (Clock::now() - anchorWall_);
            if (ahead < -kMaxLag)
                anchor();
            auto wait = std::max(std::chrono::duration_cast<std::chrono::microseconds>(ahead),
                                 std::chrono::microseconds(0));
            if (!service(wait, false))
                return 0;
        }
    }

    Clock::duration simulated() const {
        return std::chrono::nanoseconds(avr_cycles_to_nsec(avr_, avr_->cycle - anchorCycle_));
    }

    void anchor() {
        anchorWall_ = Clock::now();
        anchorCycle_ = avr_->cycle;
    }

    // Serves the terminal for `wait`, or until bytes came in when `untilInput`; false once a
    // signal asks to stop.
    bool service(std::chrono::microseconds wait, bool untilInput) {
        auto until = Clock::now() + wait;
        std::size_t received = received_;
        for (;;) {
            flushOutput();
            auto left = std::chrono::duration_cast<std::chrono::microseconds>(until - Clock::now());
            if (left.count() < 0)
                left = {};
            // While nobody holds the slave the master reports a hang-up at once; look again a
            // moment later instead of spinning on it.
            bool watchMaster = !hungUp_ || Clock::now() >= retryMaster_;
            pollfd fds[2] = {
                {stopSignals_, POLLIN, 0},
                {master_, static_cast<short>(POLLIN | (output_.empty() ? 0 : POLLOUT)), 0}};
            if (!watchMaster)
                left = std::min(left, std::chrono::duration_cast<std::chrono::microseconds>(
                                          retryMaster_ - Clock::now()));
            timespec timeout{static_cast<time_t>(left.count() / 1'000'000),
                             static_cast<long>(left.count() % 1'000'000) * 1000};
            int ready = ::ppoll(fds, watchMaster ? 2 : 1, &timeout, nullptr);
            if (ready < 0 && errno != EINTR) {
                Log(std::string("poll failed: ") + std::strerror(errno));
                return false;
            }
            if (ready > 0 && fds[0].revents)
                return false;
            if (watchMaster && ready >= 0)
                readInput(fds[1].revents);
            if (Clock::now() >= until || (untilInput && received_ != received))
                return true;
        }
    }

    void readInput(short events) {
        if (events & POLLIN) {
            std::uint8_t buffer[4096];
            auto n = ::read(master_, buffer, sizeof buffer);
            if (n > 0) {
                hungUp_ = false;
                if (halted_)
                    return;
                input_.insert(input_.end(), buffer, buffer + n);
                ++received_;
                readFrameTime();
                if (!delivering_) {
                    delivering_ = true;
                    auto now = avr_->cycle;
                    avr_cycle_timer_register(avr_, inputFree_ > now ? inputFree_ - now : 1,
                                             &Chip::Deliver, this);
                }
                return;
            }
        }
        hungUp_ = events & (POLLHUP | POLLERR);
        if (hungUp_) {
            retryMaster_ = Clock::now() + std::chrono::milliseconds(10);
            output_.clear(); // nobody listens: lost, as on a wire
        }
    }

    // The wire from the host: its UART sends a byte every frame time at the rate the terminal is
    // set to, whatever the chip's divisor makes of it. (Handed everything at once, simavr's UART
    // would let a polling firmware read two bytes per byte time.)
    static avr_cycle_count_t Deliver(avr_t*, avr_cycle_count_t when, void* param) {
        auto& chip = *static_cast<Chip*>(param);
        if (!chip.input_.empty() && chip.xon_) {
            avr_raise_irq(chip.uartInput_, chip.ratesAgree() ? chip.input_.front() : 0xFF);
            chip.input_.pop_front();
        }
        chip.inputFree_ = when + chip.frameCycles_;
        if (chip.input_.empty()) {
            chip.delivering_ = false;
            return 0;
        }
        return chip.inputFree_;
    }

    // The frame time of the terminal's line settings in chip cycles; the chip's own while the
    // terminal has no rate.
    void readFrameTime() {
        tavo::bootsim::LineSettings line;
        if (tavo::bootsim::ReadLineSettings(master_, line) && line.baud > 0) {
            int bits = 1 + line.dataBits + (line.parity == 'n' ? 0 : 1) + line.stopBits;
            frameCycles_ = static_cast<avr_cycle_count_t>(avr_->frequency) * bits / line.baud;
            return;
        }
        // UBRR0 and the double-speed bit of UCSR0A, at the same addresses on both chips; 8N1.
        unsigned divisor = avr_->data[0xC4] | (avr_->data[0xC5] & 0x0F) << 8;
        unsigned perBit = (divisor + 1) * ((avr_->data[0xC0] & 0x02) ? 8 : 16);
        frameCycles_ = static_cast<avr_cycle_count_t>(perBit) * 10;
    }

    // With --strict-rate, whether the two ends of the wire run at the same rate, as far as a UART
    // can tell: within 5 %. A terminal without a rate runs at the chip's.
    bool ratesAgree() const {
        tavo::bootsim::LineSettings line;
        if (!options_.strictRate || !tavo::bootsim::ReadLineSettings(master_, line) ||
            line.baud == 0)
            return true;
        unsigned divisor = avr_->data[0xC4] | (avr_->data[0xC5] & 0x0F) << 8;
        double chip = avr_->frequency / ((divisor + 1.0) * ((avr_->data[0xC0] & 0x02) ? 8 : 16));
        double off = (static_cast<double>(line.baud) - chip) / chip;
        return off <= 0.05 && off >= -0.05;
    }

    void flushOutput() {
        while (!output_.empty() && !hungUp_) {
            std::uint8_t buffer[512];
            std::size_t n = 0;
            for (; n < sizeof buffer && n < output_.size(); ++n)
                buffer[n] = output_[n];
            auto written = ::write(master_, buffer, n);
            if (written <= 0)
                return;
            output_.erase(output_.begin(), output_.begin() + written);
        }
    }

    bool writeDumps() {
        if (uartLog_)
            std::fclose(uartLog_);
        uartLog_ = nullptr;
        if (terminated_)
            return false;
        bool ok = WriteFile(options_.flashOut, avr_->flash, avr_->flashend + 1u);
        if (!options_.eepromOut.empty()) {
            std::vector<std::uint8_t> bytes(avr_->e2end + 1u);
            avr_eeprom_desc_t desc{bytes.data(), 0, static_cast<std::uint32_t>(bytes.size())};
            avr_ioctl(avr_, AVR_IOCTL_EEPROM_GET, &desc);
            ok = WriteFile(options_.eepromOut, bytes.data(), bytes.size()) && ok;
        }
        return ok;
    }

    // The simulator's sleep and timer callbacks carry no pointer of ours: one chip per process.
    static Chip* g_chip;

    // The chip sleeps until its next timer: wait that long on the wall clock, and wake it early
    // when a byte comes in, counting only the time that really passed (simavr then adds the
    // whole sleep to the cycle count).
    static void OnSleep(avr_t* avr, avr_cycle_count_t howLong) {
        auto& chip = *g_chip;
        auto start = Clock::now();
        auto wanted = std::chrono::microseconds(avr_cycles_to_usec(avr, howLong));
        if (!chip.service(wanted, true)) {
            chip.stopRequested_ = true;
            return;
        }
        auto spent = std::chrono::duration_cast<std::chrono::microseconds>(Clock::now() - start);
        if (spent < wanted)
            avr->cycle -= avr_usec_to_cycles(avr, static_cast<uint32_t>((wanted - spent).count()));
        // Simulated time and the wall clock agree again once simavr has added the sleep.
        chip.anchorWall_ = Clock::now();
        chip.anchorCycle_ = avr->cycle + 1 + howLong;
    }

    static void OnUartOutput(avr_irq_t*, uint32_t value, void* param) {
        auto& chip = *static_cast<Chip*>(param);
        if (chip.uartLog_) {
            std::fputc(static_cast<int>(value & 0xFF), chip.uartLog_);
            std::fflush(chip.uartLog_);
        }
        bool lost = chip.options_.lose.count(++chip.sent_) > 0;
        if (!chip.hungUp_ && !lost)
            chip.output_.push_back(chip.ratesAgree() ? static_cast<std::uint8_t>(value) : 0xFF);
    }

    static void OnXon(avr_irq_t*, uint32_t, void* param) { static_cast<Chip*>(param)->xon_ = true; }

    static void OnXoff(avr_irq_t*, uint32_t, void* param) {
        static_cast<Chip*>(param)->xon_ = false;
    }

    static int OnIoctl(avr_io_t* io, uint32_t ctl, void*) {
        if (ctl != AVR_IOCTL_FLASH_SPM)
            return -1;
        avr_t* avr = io->avr;
        std::uint8_t spmcsr = avr->data[kSpmcsr];
        auto& chip = *g_chip;
        if ((spmcsr & kSpmen) && (spmcsr & (kPgers | kPgwrt)) && chip.options_.pageUs > 0)
            chip.keepBusy(chip.spmBusy_, chip.options_.pageUs);
        if ((spmcsr & kSpmen) && (spmcsr & kPgwrt))
            chip.beforePageWrite();
        return -1; // the Flash module does the SPM itself
    }

    // The faults of a page write: the page as it was before, kept whole or in its stuck cells
    // once the Flash module has written it.
    void beforePageWrite() {
        std::uint32_t z = avr_->data[30] | avr_->data[31] << 8;
        if (avr_->rampz)
            z |= static_cast<std::uint32_t>(avr_->data[avr_->rampz]) << 16;
        const std::uint32_t size = SpmPageSize();
        faultPage_ = z & ~(size - 1);
        bool failing = options_.failPageWrites.count(++pageWrites_) > 0;
        faultCells_.clear();
        for (std::uint32_t i = 0; i < size && faultPage_ + i <= avr_->flashend; ++i) {
            if (failing || options_.stuckCells.count(faultPage_ + i))
                faultCells_.emplace_back(faultPage_ + i, avr_->flash[faultPage_ + i]);
        }
        if (!faultCells_.empty())
            avr_cycle_timer_register(avr_, 1, &Chip::AfterPageWrite, this);
    }

    static avr_cycle_count_t AfterPageWrite(avr_t* avr, avr_cycle_count_t, void* param) {
        for (const auto& [address, value] : static_cast<Chip*>(param)->faultCells_)
            avr->flash[address] = value;
        return 0;
    }

    std::uint32_t SpmPageSize() const { return avr_->flashend > 0xFFFF ? 256 : 128; }

    static void OnEecrWrite(avr_irq_t*, uint32_t value, void* param) {
        auto& chip = *static_cast<Chip*>(param);
        // The watch also sees the firmware's reads, which find the bit set while it is busy.
        if ((value & kEepe) && !chip.eepromBusy_.pending)
            chip.keepBusy(chip.eepromBusy_, chip.options_.eepromUs);
    }

    // A status bit that the simulator clears at once and the chip holds while it writes.
    struct Busy {
        std::uint16_t address;
        std::uint8_t bit;
        bool pending = false;
    };

    // Sets the bit again right after the simulator cleared it, and clears it `us` later.
    void keepBusy(Busy& busy, unsigned us) {
        busy.pending = true;
        avr_cycle_timer_register(avr_, 1, &Chip::SetBusy, &busy);
        avr_cycle_timer_register_usec(avr_, us, &Chip::ClearBusy, &busy);
    }

    static avr_cycle_count_t SetBusy(avr_t* avr, avr_cycle_count_t, void* param) {
        auto* busy = static_cast<Busy*>(param);
        avr->data[busy->address] |= busy->bit;
        return 0;
    }

    static avr_cycle_count_t ClearBusy(avr_t* avr, avr_cycle_count_t, void* param) {
        auto* busy = static_cast<Busy*>(param);
        avr->data[busy->address] &= static_cast<std::uint8_t>(~busy->bit);
        busy->pending = false;
        return 0;
    }

    // The registers in data space, the same on both chips, and their bits.
    static constexpr std::uint16_t kSpmcsr = 0x57, kEecr = 0x3F;
    static constexpr std::uint8_t kSpmen = 0x01, kPgers = 0x02, kPgwrt = 0x04, kEepe = 0x02;

    Options options_;
    int stopSignals_;
    avr_t* avr_ = nullptr;
    avr_io_t spmWatch_{};
    Busy spmBusy_{kSpmcsr, kSpmen};
    Busy eepromBusy_{kEecr, kEepe};
    unsigned long pageWrites_ = 0;
    std::uint32_t faultPage_ = 0;
    std::vector<std::pair<std::uint32_t, std::uint8_t>> faultCells_;
    avr_irq_t* uartInput_ = nullptr;
    int master_ = -1;
    int null_ = -1;
    bool hungUp_ = false;
    Clock::time_point retryMaster_{};
    bool xon_ = true; // the receive buffer starts empty
    std::deque<std::uint8_t> input_;
    std::size_t received_ = 0; // reads from the terminal
    bool delivering_ = false;
    avr_cycle_count_t inputFree_ = 0;   // when the wire from the host is free for the next byte
    avr_cycle_count_t frameCycles_ = 0; // one byte on that wire
    std::vector<std::uint8_t> output_;
    unsigned long sent_ = 0;
    std::FILE* uartLog_ = nullptr;
    Clock::time_point anchorWall_{};
    avr_cycle_count_t anchorCycle_ = 0;
    bool stopRequested_ = false;
    bool halted_ = false;     // the chip crashed or stopped: the terminal stays, the chip is dead
    bool terminated_ = false; // and simavr has let go of it
};

Chip* Chip::g_chip = nullptr;

} // namespace

int main(int argc, char** argv) {
    bool help = false;
    auto options = ParseOptions(argc, argv, help);
    if (help) {
        std::fputs(kHelp, stdout);
        return 0;
    }
    if (!options)
        return 2;
    int stopSignals = tavo::bootsim::WatchStopSignals();
    if (stopSignals < 0)
        return 1;
    return Chip(std::move(*options), stopSignals).run();
}
