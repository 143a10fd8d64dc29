// What the serial layer costs per line, beside the least a loader can do. Three loaders move the
// same image to tavo-bootsim, which answers at once over a pseudo-terminal:
//   bare    write a line, block in poll until the answer is readable, read it;
//   flash   tavo-flash's way: the engine, the serial port and the headless host;
//   window  the window's way: the main window (offscreen) with Start pressed.
// Each is timed from the top of the image's second line to the top of its last (the progress
// value going from 1 to its maximum), in a process of its own, round after round so that a busy
// machine hurts all three alike; the figures are medians over the rounds, the ratios medians of
// each round's ratio. System calls per line
// are counted through ptrace: tavo-flash as the program itself, from the difference between two
// image sizes (so its start and its end-of-file wait drop out), the others over the timed stretch.
// It prints figures and does not judge them; the targets are printed beside them.
#include "bench/BenchSupport.h"
#include "bench/HeadlessDownload.h"
#include "bench/SyscallCount.h"
#include "cli/RunDisplay.h"
#include "serial/DeviceSerialPort.h"
#include "tools/bootsim/BootsimProcess.h"
#include "ui/Form1.h"

#include <QApplication>
#include <QComboBox>
#include <QDir>
#include <QFile>
#include <QLineEdit>
#include <QMessageBox>
#include <QProgressBar>
#include <QPushButton>
#include <QTemporaryDir>
#include <QTimer>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <functional>
#include <stdexcept>
#include <string>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

namespace {

using namespace tavo;
using Clock = std::chrono::steady_clock;

// The timed stretch of one transfer: from the top of the second line to the top of the last.
struct Figures {
    int lines = 0; // line round trips inside the stretch
    double seconds = 0;
    double cpuSeconds = 0; // of the thread that runs the loader
    bool ok = false;
};

class Stretch {
public:
    // Called with the progress value at the top of every line.
    void at(int value, int max) {
        if (value == 1) {
            bench::MarkSyscalls();
            wall_ = Clock::now();
            cpu_ = bench::CpuSeconds(CLOCK_THREAD_CPUTIME_ID);
        } else if (value == max && max > 1 && figures.lines == 0) {
            figures.seconds = std::chrono::duration<double>(Clock::now() - wall_).count();
            figures.cpuSeconds = bench::CpuSeconds(CLOCK_THREAD_CPUTIME_ID) - cpu_;
            bench::MarkSyscalls();
            figures.lines = max - 1;
        }
    }
    Figures figures;

private:
    Clock::time_point wall_;
    double cpu_ = 0;
};

Figures Bare(const std::string& device, const std::string& image) {
    bench::RawDevice raw(device);
    if (!raw.isOpen())
        return {};
    raw.enterBootloader();
    auto lines = bench::ImageLines(image);
    Stretch stretch;
    bool ok = true;
    for (std::size_t i = 0; i < lines.size() && ok; ++i) {
        stretch.at(static_cast<int>(i), static_cast<int>(lines.size()) - 1);
        ok = raw.exchange(lines[i]);
    }
    stretch.figures.ok = ok && stretch.figures.lines > 0;
    return stretch.figures;
}

class StretchDisplay final : public flash::NullDisplay {
public:
    void progress(int value, int max) override { stretch.at(value, max); }
    void message(const engine::Message& m) override { text = m.text; }
    Stretch stretch;
    std::string text;
};

// As tavo-flash runs it: the headless host on the serial port, on the thread of a core
// application.
Figures Flash(const std::string& device, const std::string& image) {
    int argc = 1;
    char name[] = "tavo-flash";
    char* argv[] = {name, nullptr};
    QCoreApplication app(argc, argv);
    serial::DeviceSerialPort port;
    port.setDeviceOverride(device);
    StretchDisplay display;
    auto result = bench::HeadlessDownload(port, display, image);
    auto figures = display.stretch.figures;
    figures.ok = result.end == engine::RunEnd::Success && figures.lines > 0;
    return figures;
}

// As the window runs it: offscreen, "Com 1" mapped to the board, Start pressed; the final
// message box is answered once the stretch is over.
Figures Window(const std::string& device, const std::string& image) {
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM"))
        qputenv("QT_QPA_PLATFORM", "offscreen");
    // The offscreen platform's notes would only clutter the figures.
    qInstallMessageHandler([](QtMsgType, const QMessageLogContext&, const QString&) {});
    int argc = 1;
    char name[] = "tavo-programmer";
    char* argv[] = {name, nullptr};
    QApplication app(argc, argv);
    QTemporaryDir folder;
    QFile ports(QDir(folder.path()).filePath(QStringLiteral("ports.txt")));
    if (!ports.open(QIODevice::WriteOnly))
        return {};
    ports.write("1=" + QByteArray::fromStdString(device) + "\n");
    ports.close();

    ui::Form1 form(folder.path());
    form.findChild<QComboBox*>(QStringLiteral("Combo2"))->setCurrentIndex(9);
    form.findChild<QLineEdit*>(QStringLiteral("Text1"))->setText(QString::fromStdString(image));
    form.show();
    auto* bar = form.findChild<QProgressBar*>(QStringLiteral("ProgressBar1"));
    Stretch stretch;
    QString text;
    QTimer answer;
    answer.setInterval(10);
    QObject::connect(&answer, &QTimer::timeout, [&] {
        if (auto* box = qobject_cast<QMessageBox*>(QApplication::activeModalWidget())) {
            text = box->text();
            box->accept();
        }
    });
    QObject::connect(bar, &QProgressBar::valueChanged, [&](int value) {
        stretch.at(value, bar->maximum());
        if (stretch.figures.lines > 0)
            answer.start();
    });
    form.findChild<QPushButton*>(QStringLiteral("Command2"))->click();
    stretch.figures.ok = text.contains(QStringLiteral("successfully")) && stretch.figures.lines > 0;
    return stretch.figures;
}

using Loader = std::function<Figures(const std::string& device, const std::string& image)>;

// Runs a loader against a fresh board in a process of its own (each wants its own kind of Qt
// application) and takes its figures back through a pipe.
Figures InChild(const std::string& bootsim, const Loader& loader, const std::string& image) {
    bootsim::BootsimProcess board(bootsim, {});
    int pipe[2];
    if (::pipe(pipe) != 0)
        throw std::runtime_error("pipe failed");
    pid_t child = ::fork();
    if (child == 0) {
        ::close(pipe[0]);
        auto figures = loader(board.devicePath(), image);
        auto n = ::write(pipe[1], &figures, sizeof figures);
        ::_exit(n == sizeof figures ? 0 : 1);
    }
    ::close(pipe[1]);
    Figures figures;
    if (::read(pipe[0], &figures, sizeof figures) != sizeof figures)
        figures.ok = false;
    ::close(pipe[0]);
    ::waitpid(child, nullptr, 0);
    return figures;
}

// System calls per line of a loader over the timed stretch.
double CountedPerLine(const std::string& bootsim, const Loader& loader, const std::string& image,
                      int lines) {
    bootsim::BootsimProcess board(bootsim, {});
    auto count = bench::CountSyscalls([&] { return loader(board.devicePath(), image).ok ? 0 : 1; });
    if (!count.supported || count.exitCode != 0)
        return -1;
    return static_cast<double>(count.marked) / (lines - 2);
}

// System calls per line of the tavo-flash program: the difference between two image sizes.
double FlashProgramPerLine(const std::string& bootsim, const std::string& flashExe,
                           const std::string& folder, const std::string& small,
                           const std::string& large, int extraLines) {
    long totals[2] = {0, 0};
    for (int i = 0; i < 2; ++i) {
        bootsim::BootsimProcess board(bootsim, {});
        auto count = bench::CountSyscalls(std::vector<std::string>{
            flashExe, "--settings", folder + "/none.txt", "--port", board.devicePath(), "--baud",
            "115200", "--flash", i == 0 ? small : large, "--on-error", "stop", "--quiet"});
        if (!count.supported || count.exitCode != 0)
            return -1;
        totals[i] = count.total;
    }
    return static_cast<double>(totals[1] - totals[0]) / extraLines;
}

int Option(int argc, char** argv, const std::string& name, int fallback) {
    for (int i = 1; i + 1 < argc; ++i)
        if (argv[i] == name)
            return std::atoi(argv[i + 1]);
    return fallback;
}

} // namespace

int main(int argc, char** argv) {
    const std::string bootsim = TAVO_BOOTSIM_EXE;
    const int lines = std::max(100, Option(argc, argv, "--lines", 20000));
    const int rounds = std::max(1, Option(argc, argv, "--rounds", 3));
    const int countLines = std::max(100, Option(argc, argv, "--count-lines", 3000));

    bench::ScratchDir dir("tavo-bench-serial");

    struct Row {
        const char* name;
        Loader loader;
        std::vector<double> linesPerSecond, cpuPerLineUs;
        double syscallsPerLine = -1;
    };
    std::vector<Row> rows = {
        {"bare loop", Bare, {}, {}}, {"tavo-flash", Flash, {}, {}}, {"window", Window, {}, {}}};
    try {
        std::printf(
            "tavo-bench-serial: %d lines to tavo-bootsim answering at once, %d rounds; %s\n", lines,
            rounds, bench::MachineLoad().c_str());
        auto image = dir.write("image.hex", bench::ImageOfLines(lines));
        for (int round = 0; round < rounds; ++round) {
            for (auto& row : rows) {
                auto f = InChild(bootsim, row.loader, image);
                if (!f.ok)
                    throw std::runtime_error(std::string(row.name) + ": the transfer failed");
                row.linesPerSecond.push_back(f.lines / f.seconds);
                row.cpuPerLineUs.push_back(f.cpuSeconds / f.lines * 1e6);
            }
        }

        auto small = dir.write("small.hex", bench::ImageOfLines(countLines));
        auto large = dir.write("large.hex", bench::ImageOfLines(3 * countLines));
        rows[0].syscallsPerLine = CountedPerLine(bootsim, Bare, small, countLines);
        rows[1].syscallsPerLine = FlashProgramPerLine(bootsim, TAVO_FLASH_EXE, dir.path().string(),
                                                      small, large, 2 * countLines);
        rows[2].syscallsPerLine = CountedPerLine(bootsim, Window, small, countLines);

        // Ratios are taken within each round, where both ran under the same load, and then
        // their median.
        const auto& bare = rows[0];
        std::printf("\n%-11s %10s %8s %12s %8s %14s\n", "loader", "lines/s", "ratio", "CPU us/line",
                    "ratio", "syscalls/line");
        for (const auto& row : rows) {
            std::vector<double> speed, cost;
            for (int round = 0; round < rounds; ++round) {
                speed.push_back(row.linesPerSecond[round] / bare.linesPerSecond[round]);
                cost.push_back(row.cpuPerLineUs[round] / bare.cpuPerLineUs[round]);
            }
            std::printf("%-11s %10.0f %7.2fx %12.1f %7.2fx %14.2f\n", row.name,
                        bench::Median(row.linesPerSecond), bench::Median(speed),
                        bench::Median(row.cpuPerLineUs), bench::Median(cost), row.syscallsPerLine);
        }
        std::printf("targets for tavo-flash: lines/s >= 0.97x, CPU per line <= 1.3x, "
                    "at most 4 system calls per line\n");
        std::printf("system calls: tavo-flash program, %d- and %d-line images; the others over "
                    "the timed stretch of a %d-line image (-1: not counted)\n",
                    countLines, 3 * countLines, countLines);
    } catch (const std::exception& error) {
        std::fprintf(stderr, "tavo-bench-serial: %s\n", error.what());
        return 1;
    }
    return 0;
}
