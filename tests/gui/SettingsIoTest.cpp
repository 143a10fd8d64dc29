// The settings file at start-up and at exit.
#include "tests/gui/GuiSupport.h"

#include <QDir>

using namespace tavo;
using namespace tavo::gui_test;

namespace {

const QByteArray kDefaultsFile = "0\r\n5\r\n\"\"\r\n\"@&$\"\r\n\"?\"\r\n\"$\"\r\n\"^\"\r\n\"%\"\r\n"
                                 "\"#\"\r\n\"@\"\r\n\"-\"\r\n\"~\"\r\n\"\"\r\n\"*\"\r\n0\r\n1\r\n";

TEST(SettingsAtStart, MissingFileGivesTheDefaultsAndExitWritesThem) {
    ProgramFolder folder;
    ui::Form1 form(folder.path());
    EXPECT_EQ(Find<QComboBox>(&form, "Combo1")->currentText(), "Com 1");
    EXPECT_EQ(Find<QComboBox>(&form, "Combo2")->currentText(), "19200"); // not the 9600 preset
    EXPECT_EQ(form.currentSettings(), settings::Settings{});
    EXPECT_TRUE(Find<QCheckBox>(&form, "FlashCheck")->isChecked());
    EXPECT_FALSE(Find<QCheckBox>(&form, "EepromCheck")->isChecked());
    form.show();
    Find<QPushButton>(&form, "Command3")->click();
    EXPECT_EQ(folder.read("dazez.txt"), kDefaultsFile);
}

TEST(SettingsAtStart, FileValuesReachEveryControl) {
    ProgramFolder folder;
    folder.write("dazez.txt", "3\r\n9\r\n\"/tmp/app, v2.hex\"\r\n\"AB\"\r\n\"R\"\r\n\"J\"\r\n"
                              "\"A\"\r\n\"P\"\r\n\"W\"\r\n\"K\"\r\n\"C\"\r\n\"L\"\r\n"
                              "\"/tmp/d.eep\"\r\n\"E\"\r\n1\r\n0\r\n");
    ui::Form1 form(folder.path());
    EXPECT_EQ(Find<QComboBox>(&form, "Combo1")->currentText(), "Com 4");
    EXPECT_EQ(Find<QComboBox>(&form, "Combo2")->currentText(), "115200");
    ExpectCaptions(&form, {"Text1=/tmp/app, v2.hex", "Text2=AB", "BLReadyText=R", "Text4=J",
                           "Text5=A", "Text7=P", "Text8=W", "Text9=K", "Text10=C", "Text6=L",
                           "Text11=/tmp/d.eep", "Text12=E"});
    EXPECT_TRUE(Find<QCheckBox>(&form, "EepromCheck")->isChecked());
    EXPECT_FALSE(Find<QCheckBox>(&form, "FlashCheck")->isChecked());
}

TEST(SettingsAtStart, GreyedAndUnselectedValuesSurviveARoundTrip) {
    ProgramFolder folder;
    QByteArray file = kDefaultsFile;
    file.replace(0, 6, "0\r\n-1\r\n");     // no baud entry selected
    file.replace(file.size() - 3, 1, "2"); // Application Code greyed
    folder.write("dazez.txt", file);
    {
        ui::Form1 form(folder.path());
        EXPECT_EQ(Find<QComboBox>(&form, "Combo2")->currentIndex(), -1);
        EXPECT_EQ(Find<QCheckBox>(&form, "FlashCheck")->checkState(), Qt::PartiallyChecked);
        EXPECT_EQ(form.currentSettings().flashCheck, 2);
        form.close();
    }
    EXPECT_EQ(folder.read("dazez.txt"), file);
    {
        // Clicks lead from greyed to checked and unchecked, never back to greyed.
        ui::Form1 form(folder.path());
        form.show();
        auto* flash = Find<QCheckBox>(&form, "FlashCheck");
        QList<Qt::CheckState> states;
        for (int i = 0; i < 3; ++i) {
            QTest::mouseClick(flash, Qt::LeftButton, Qt::NoModifier,
                              QPoint(5, flash->height() / 2));
            states << flash->checkState();
        }
        EXPECT_EQ(states, QList<Qt::CheckState>({Qt::Checked, Qt::Unchecked, Qt::Checked}));
    }
}

TEST(SettingsAtExit, EveryWayOutSavesAndEndsTheProgram) {
    ProgramFolder folder;
    const std::pair<const char*, std::function<void(ui::Form1&)>> ways[] = {
        {"Exit button", [](ui::Form1& f) { Find<QPushButton>(&f, "Command3")->click(); }},
        {"close box", [](ui::Form1& f) { f.close(); }},
        {"Exit menu", [](ui::Form1& f) { Find<QAction>(&f, "ExitMenu")->trigger(); }}};
    QString previous;
    for (const auto& [way, leave] : ways) {
        SCOPED_TRACE(way);
        ui::Form1 form(folder.path());
        auto* text1 = Find<QLineEdit>(&form, "Text1");
        EXPECT_EQ(text1->text(), previous); // what the way out before saved
        previous = QStringLiteral("/tmp/by %1.hex").arg(way);
        text1->setText(previous);
        form.show();
        QSignalSpy ended(&form, &ui::Form1::programEnded);
        leave(form);
        EXPECT_TRUE(folder.read("dazez.txt").contains("\"" + previous.toUtf8() + "\""));
        EXPECT_EQ(ended.count(), 1);
        EXPECT_FALSE(form.isVisible());
    }
}

TEST(SettingsAtExit, AFailedSaveIsReportedAndTheWindowStillCloses) {
    ProgramFolder folder;
    const QString missing = folder.file("gone");
    ui::Form1 form(missing); // a program folder that does not exist
    form.show();
    const auto seen = BoxesDuring([&] { form.close(); });
    ASSERT_EQ(seen.size(), 1u);
    EXPECT_EQ(seen[0].text,
              "An error occured while saving file " + QDir(missing).filePath("dazez.txt"));
    EXPECT_EQ(seen[0].title, "TAVO  Programmer");
    EXPECT_EQ(seen[0].icon, QMessageBox::Warning);
    EXPECT_FALSE(form.isVisible());
}

} // namespace
