#pragma once

// tavo-flash as a process against tavo-bootsim boards on pseudo-terminals: the fixture that starts
// both and reads what tavo-flash printed.
#include "cli/ExitCode.h"
#include "settings/SettingsFile.h"
#include "tests/support/QtApplication.h"
#include "tests/support/TempImages.h"
#include "tools/bootsim/BootsimProcess.h"
#include "tools/bootsim/IntelHex.h"

#include <QProcess>

#include <gtest/gtest.h>

#include <chrono>
#include <memory>
#include <sstream>

namespace tavo::test {

using namespace std::chrono_literals;

inline bool HasLine(const std::string& text, const std::string& line) {
    return ("\n" + text).find("\n" + line + "\n") != std::string::npos;
}

inline std::string SettingsText(const settings::Settings& s) {
    std::ostringstream file;
    settings::WriteSettings(file, s);
    return file.str();
}

class FlashProcessTest : public ::testing::Test {
protected:
    static void SetUpTestSuite() { EnsureApplication("tavo_flash_process_tests"); }

    void startBoard(std::vector<std::string> args = {}) {
        board = std::make_unique<bootsim::BootsimProcess>(TAVO_BOOTSIM_EXE, args);
    }

    // Starts tavo-flash with stdin from /dev/null and its output into files. The settings file
    // is one of the test's own (missing unless written), so nothing beside the program can
    // change the outcome.
    void start(std::vector<std::string> args) {
        QStringList list = {"--settings", QString::fromStdString(settingsPath)};
        for (const auto& a : args)
            list << QString::fromStdString(a);
        process = std::make_unique<QProcess>();
        process->setStandardInputFile(QProcess::nullDevice());
        process->setStandardOutputFile(QString::fromStdString(outPath));
        if (mergedOutput)
            process->setProcessChannelMode(QProcess::MergedChannels);
        else
            process->setStandardErrorFile(QString::fromStdString(errPath));
        process->start(TAVO_FLASH_EXE, list);
        ASSERT_TRUE(process->waitForStarted());
    }
    // The exit code; -1 when still running at the timeout, -2 when a signal ended it.
    int finish(std::chrono::milliseconds timeout = 30s) {
        if (!process->waitForFinished(static_cast<int>(timeout.count())))
            return -1;
        return process->exitStatus() == QProcess::NormalExit ? process->exitCode() : -2;
    }
    int flash(std::vector<std::string> args) {
        start(std::move(args));
        return finish(flashTimeout);
    }
    std::string out() const { return ReadFile(outPath); }
    std::string err() const { return ReadFile(errPath); }

    // Four data records and the end-of-file record: line 5 is the last.
    std::string smallImage() {
        std::string text;
        for (std::uint8_t i = 0; i < 4; ++i)
            text += bootsim::EncodeRecord(0, i * 16, std::vector<std::uint8_t>(16, i)) + "\r\n";
        return dir.write("small.hex", text + bootsim::EncodeRecord(1, 0, {}) + "\r\n");
    }

    TempDir dir;
    std::string settingsPath = (dir.path() / "dazez.txt").string();
    std::string outPath = (dir.path() / "stdout").string();
    std::string errPath = (dir.path() / "stderr").string();
    std::unique_ptr<bootsim::BootsimProcess> board;
    std::unique_ptr<QProcess> process;
    // With it, out() holds what went to stderr as well, in the order written.
    bool mergedOutput = false;
    std::chrono::milliseconds flashTimeout = 30s;
};

} // namespace tavo::test
