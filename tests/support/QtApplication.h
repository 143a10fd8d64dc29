#pragma once

#include <QCoreApplication>

#include <string>

namespace tavo::test {

// One Qt application for the whole test binary, made by the first test suite that wants one: the
// serial port and QProcess want it on their thread. `App` is QCoreApplication or QApplication.
template <class App = QCoreApplication> void EnsureApplication(const char* name) {
    if (QCoreApplication::instance())
        return;
    static int argc = 1;
    static std::string program = name;
    static char* argv[] = {program.data(), nullptr};
    static App app(argc, argv);
}

} // namespace tavo::test
