// The window, offscreen, programs our bootloader on the simulated ATmega328P: both images, from
// the running application, through the extension the bootloader offers (checked, at its fastest
// rate), with the window's texts unchanged.
#include "tests/avr/AvrBoard.h"
#include "tests/gui/GuiSupport.h"

#include <regex>

namespace tavo::avr_test {
namespace {

using gui_test::Find;

TEST(AvrWindow, DownloadsBothImagesFromTheRunningApplication) {
    test::TempDir dir;
    AvrBoard board(dir, "atmega328p", 19200, 1);
    ASSERT_NE(board.converse("\r", Greeting(1)).find(Greeting(1)), std::string::npos);

    gui_test::ProgramFolder folder;
    folder.write("ports.txt", "1=" + QByteArray::fromStdString(board.device()) + "\n");
    const auto image = Demo("atmega328p", 19200, 2);
    const auto eeprom = dir.write("settings.eep", EepromImage(300));
    ui::Form1 form(folder.path());
    // A fresh program folder: Com 1 at 19200 baud, the application image ticked.
    Find<QLineEdit>(&form, "Text1")->setText(QString::fromStdString(image));
    Find<QLineEdit>(&form, "Text11")->setText(QString::fromStdString(eeprom));
    Find<QCheckBox>(&form, "EepromCheck")->setChecked(true);
    form.show();

    const auto seen = gui_test::BoxesDuring([&] { Find<QPushButton>(&form, "Command2")->click(); });
    ASSERT_EQ(seen.size(), 1u);
    EXPECT_EQ(seen[0].text, "Flash & EEPROM Files successfully downloaded.");
    EXPECT_EQ(Find<QLabel>(&form, "Label16")->text(), "BootLoader Version: 1.3");
    EXPECT_EQ(Find<QLabel>(&form, "Label2")->text(), "Idle");
    // The new build runs: the loader let go right after the end answer, so ask it to greet.
    EXPECT_NE(board.converse("\r", Greeting(2)).find(Greeting(2)), std::string::npos);

    ASSERT_EQ(board.stop(), 0);
    EXPECT_EQ(Mismatch(board.flash(), image), "");
    EXPECT_EQ(Mismatch(board.flash(), Bootloader("atmega328p", 19200)), "");
    EXPECT_EQ(Mismatch(board.eeprom(), eeprom), "");
    const auto log = board.uartLog();
    EXPECT_NE(log.find(ReadyAnswer("atmega328p")), std::string::npos) << log;
    // A check answered with the chip's CRC: "~" and 8 hex digits.
    EXPECT_TRUE(std::regex_search(log, std::regex("~[0-9A-F]{8}"))) << log;
}

} // namespace
} // namespace tavo::avr_test
