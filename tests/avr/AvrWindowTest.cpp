// The window, offscreen, programs our bootloader on the simulated ATmega328P: both images, from
// the running application, as tavo-flash does in AvrDownloadTest.
#include "tests/avr/AvrBoard.h"
#include "tests/gui/GuiSupport.h"

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

    ASSERT_EQ(board.stop(), 0);
    EXPECT_EQ(Mismatch(board.flash(), image), "");
    EXPECT_EQ(Mismatch(board.flash(), Bootloader("atmega328p", 19200)), "");
    EXPECT_EQ(Mismatch(board.eeprom(), eeprom), "");
    const auto log = board.uartLog();
    EXPECT_EQ(log.substr(log.rfind('@') + 1), Greeting(2));
}

} // namespace
} // namespace tavo::avr_test
