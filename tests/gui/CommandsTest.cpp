// The small commands: file drops, select-all on focus, the shared file dialog, File > Open/Save.
#include "tests/gui/GuiSupport.h"

#include "ui/BrowseDialog.h"
#include "ui/ExactText.h"

#include <QAbstractItemView>
#include <QDir>
#include <QDragEnterEvent>
#include <QDropEvent>
#include <QFileDialog>
#include <QMimeData>
#include <QSettings>
#include <QUrl>

#include <sys/stat.h>

using namespace tavo;
using namespace tavo::gui_test;

namespace {

// How a file dialog looked when it came up.
struct DialogSeen {
    QString title;
    QStringList filters;
    QString offeredName;
    QFileDialog::AcceptMode mode = QFileDialog::AcceptOpen;
    QString suffix;
};

class Commands : public WindowTest {
protected:
    void SetUp() override { showExposed(); }

    // Delivers a drag entering the box and, when it was accepted, the drop.
    bool drop(QLineEdit* box, QMimeData* data) {
        const QPoint at = box->rect().center();
        QDragEnterEvent enter(at, Qt::CopyAction, data, Qt::LeftButton, Qt::NoModifier);
        QApplication::sendEvent(box, &enter);
        QDropEvent dropped(QPointF(at), Qt::CopyAction, data, Qt::LeftButton, Qt::NoModifier);
        QApplication::sendEvent(box, &dropped);
        return enter.isAccepted();
    }

    // Opens the file dialog with the named button or menu item and answers it with a typed name
    // (cancels when it is empty).
    DialogSeen choose(const char* control, const QString& typed) {
        DialogSeen seen;
        ModalDriver driver([&seen, typed](QWidget* modal) {
            if (auto* box = qobject_cast<QMessageBox*>(modal)) {
                ADD_FAILURE() << "unexpected box: " << box->text().toStdString();
                return box->reject();
            }
            auto* dialog = qobject_cast<QFileDialog*>(modal);
            if (dialog == nullptr)
                return;
            auto* nameBox = dialog->findChild<QLineEdit*>(QStringLiteral("fileNameEdit"));
            seen = {dialog->windowTitle(), dialog->nameFilters(),
                    nameBox ? nameBox->text() : QString(), dialog->acceptMode(),
                    dialog->defaultSuffix()};
            if (typed.isEmpty())
                return dialog->reject();
            // Outside this handler, so that a box the dialog raises is seen. The folder's files
            // load in the background and may select the offered file in the list, which would
            // win over the typed name: clear that first.
            QTimer::singleShot(0, dialog, [dialog, nameBox, typed] {
                for (auto* view : dialog->findChildren<QAbstractItemView*>())
                    view->clearSelection();
                nameBox->setText(typed);
                QMetaObject::invokeMethod(dialog, "accept");
            });
        });
        if (auto* button = form.findChild<QPushButton*>(QString::fromLatin1(control)))
            button->click();
        else
            at<QAction>(control)->trigger();
        return seen;
    }
};

// A popup window (the file name's completion list) still on screen.
bool PopupShown() {
    for (QWidget* widget : QApplication::topLevelWidgets()) {
        if (widget->isVisible() && widget->windowType() == Qt::Popup)
            return true;
    }
    return false;
}

// The file dialog used by keys alone: each step opens it with a button, types a full path and
// accepts with Enter, the first while the completion list is up.
TEST_F(Commands, FileDialogDrivenByKeys) {
    ASSERT_TRUE(QDir(folder.path()).mkdir("sub"));
    // A folder whose name is not UTF-8 (written on another system): Qt cannot show it.
    ASSERT_EQ(::mkdir((ui::BytesFromText(folder.path()) + "/old\xFC").c_str(), 0700), 0);
    for (const char* name : {"app.hex", "data.eep", "sub/old.eep"})
        folder.write(name, ":00000001FF\r\n");
    struct Step {
        const char *button, *box, *typed;
        const char* offered; // the name chosen last
        const char* boxPath; // the box's path when the dialog opens, and the folder it opens in
        const char* openedIn;
    };
    const Step steps[] = {
        {"Command1", "Text1", "app.hex", "", "", nullptr},
        {"Command7", "Text11", "data.eep", "app.hex", "sub/old.eep", "sub"},
        {"Command1", "Text1", "app.hex", "data.eep", "old\xFC/x.hex", ""},
    };
    for (const Step& step : steps) {
        SCOPED_TRACE(step.button + std::string(" typing ") + step.typed);
        auto* box = at<QLineEdit>(step.box);
        const std::string boxPath = ui::BytesFromText(folder.path()) + "/" + step.boxPath;
        box->setText(*step.boxPath ? ui::TextFromBytes(boxPath) : QString());
        QString offered, openedIn;
        bool completing = false;
        std::vector<SeenBox> boxes;
        ModalDriver driver([&](QWidget* modal) {
            if (auto* message = qobject_cast<QMessageBox*>(modal)) {
                boxes.push_back(Describe(message));
                return message->reject();
            }
            auto* dialog = qobject_cast<QFileDialog*>(modal);
            if (dialog == nullptr)
                return;
            // Outside this handler, so that a box the dialog raises is seen.
            QTimer::singleShot(0, dialog, [&, dialog] {
                auto* nameBox = dialog->findChild<QLineEdit*>(QStringLiteral("fileNameEdit"));
                offered = nameBox->text();
                openedIn = dialog->directory().absolutePath();
                QTest::keyClicks(nameBox, folder.file(step.typed));
                completing =
                    QTest::qWaitFor([] { return PopupShown(); }, &step == steps ? 3000 : 0);
                QTest::keyClick(nameBox, Qt::Key_Return);
                if (dialog->isVisible())
                    dialog->reject();
            });
        });
        at<QPushButton>(step.button)->click();
        EXPECT_TRUE(completing || &step != steps);
        EXPECT_EQ(offered.toStdString(), step.offered);
        if (step.openedIn) {
            EXPECT_EQ(openedIn, QDir(folder.file(step.openedIn)).absolutePath());
        }
        EXPECT_TRUE(boxes.empty()) << boxes.front().text.toStdString();
        EXPECT_EQ(box->text().toStdString(), folder.file(step.typed).toStdString());
        // Nothing is left over to take the next key.
        QTest::qWait(100);
        EXPECT_FALSE(PopupShown());
    }
}

TEST_F(Commands, DropsTakeTheLastLocalFileAndNothingElse) {
    for (const char* name : {"Text1", "Text11"}) {
        SCOPED_TRACE(name);
        auto* box = at<QLineEdit>(name);
        box->setText("/tmp/kept.hex");
        // Selected words, and a link that is not a local file, are no file list.
        QMimeData text, web, files;
        text.setText("some selected words");
        web.setUrls({QUrl("https://example.org/image.hex")});
        EXPECT_FALSE(drop(box, &text));
        EXPECT_FALSE(drop(box, &web));
        EXPECT_EQ(box->text(), "/tmp/kept.hex");
        files.setUrls({QUrl::fromLocalFile("/tmp/one.hex"), QUrl::fromLocalFile("/tmp/two.eep"),
                       QUrl::fromLocalFile("/tmp/a dir, with comma/three.bin")});
        EXPECT_TRUE(drop(box, &files));
        EXPECT_EQ(box->text(), "/tmp/a dir, with comma/three.bin");
    }
}

TEST_F(Commands, FocusSelectsTheWholeText) {
    auto* text1 = at<QLineEdit>("Text1");
    auto* text11 = at<QLineEdit>("Text11");
    text1->setText("/tmp/application.hex");
    text11->setText("/tmp/data.eep");

    // By keyboard.
    text11->setFocus(Qt::TabFocusReason);
    EXPECT_EQ(text11->selectedText(), "/tmp/data.eep");
    // By a click in the middle of the text: the click must not undo the selection.
    QTest::mouseClick(text1, Qt::LeftButton, Qt::NoModifier, QPoint(20, text1->height() / 2));
    EXPECT_TRUE(text1->hasFocus());
    EXPECT_EQ(text1->selectedText(), "/tmp/application.hex");
    EXPECT_EQ(text1->selectionStart(), 0);
    // A second click in a focused box places the cursor as usual.
    QTest::mouseClick(text1, Qt::LeftButton, Qt::NoModifier, QPoint(20, text1->height() / 2));
    EXPECT_EQ(text1->selectedText(), "");
    // Typing replaces the selected content.
    text11->setFocus(Qt::TabFocusReason);
    QTest::keyClicks(text11, "/x.eep");
    EXPECT_EQ(text11->text(), "/x.eep");
}

TEST(QtNameFilters, PatternsJoinTheCaptionAndEmptyGivesNone) {
    // The pairs the program itself passes are checked through its dialogs below.
    EXPECT_EQ(ui::QtNameFilters("Images|*.hex;*.eep"), QStringList({"Images (*.hex;*.eep)"}));
    EXPECT_EQ(ui::QtNameFilters(""), QStringList());
}

TEST_F(Commands, BrowseButtonsShareOneDialog) {
    folder.write("app.hex", ":00000001FF\r\n");
    auto* text11 = at<QLineEdit>("Text11");
    DialogSeen seen = choose("Command1", folder.file("app.hex"));
    EXPECT_EQ(at<QLineEdit>("Text1")->text(), folder.file("app.hex"));
    EXPECT_EQ(seen.title, "Select File to Download");
    EXPECT_EQ(seen.filters, QStringList({"Hex Files (*.hex)", "Binary Files (*.bin)"}));
    EXPECT_EQ(seen.mode, QFileDialog::AcceptOpen);
    EXPECT_EQ(seen.suffix, "hex");
    EXPECT_TRUE(form.browseDialog().dialog()->testOption(QFileDialog::DontUseNativeDialog));

    // The EEPROM dialog offers the application file's name; a cancel changes nothing.
    text11->setText("/tmp/before.eep");
    seen = choose("Command7", QString());
    EXPECT_EQ(seen.title, "Select File to Download");
    EXPECT_EQ(seen.filters,
              QStringList({"EEPROM Files (*.eep)", "Hex Files (*.hex)", "Binary Files (*.bin)"}));
    EXPECT_EQ(seen.offeredName, "app.hex");
    EXPECT_EQ(text11->text(), "/tmp/before.eep");

    // A name typed without extension gets ".hex".
    choose("Command7", folder.file("app"));
    EXPECT_EQ(text11->text(), folder.file("app.hex"));
}

TEST_F(Commands, FileMenuSavesAndLoadsSettingsFiles) {
    auto* text1 = at<QLineEdit>("Text1");
    auto* baud = at<QComboBox>("Combo2");
    text1->setText("/tmp/saved, with comma.hex");
    baud->setCurrentIndex(9);

    DialogSeen seen = choose("SaveMenu", folder.file("mysettings.txt"));
    EXPECT_EQ(seen.title, "Select File to Save");
    EXPECT_EQ(seen.filters, QStringList({"Text Files (*.txt)"}));
    EXPECT_EQ(seen.mode, QFileDialog::AcceptSave);
    EXPECT_EQ(seen.suffix, "hex");
    const QByteArray saved = folder.read("mysettings.txt");
    EXPECT_TRUE(saved.startsWith("0\r\n9\r\n\"/tmp/saved, with comma.hex\"\r\n")) << saved.data();

    text1->setText("changed");
    baud->setCurrentIndex(0);
    seen = choose("OpenMenu", folder.file("mysettings.txt"));
    EXPECT_EQ(seen.title, "Select File to Open");
    EXPECT_EQ(seen.offeredName, "mysettings.txt"); // the name chosen last, in any use
    EXPECT_EQ(text1->text(), "/tmp/saved, with comma.hex");
    EXPECT_EQ(baud->currentIndex(), 9);

    // A name without extension saves to ".hex"; a cancelled Open loads nothing.
    choose("SaveMenu", folder.file("plain"));
    EXPECT_FALSE(folder.read("plain.hex").isEmpty());
    text1->setText("kept");
    choose("OpenMenu", QString());
    EXPECT_EQ(text1->text(), "kept");
}

// Qt's file dialog keeps its history and last folder beside dazez.txt, not in the file that
// every Qt program of the user shares.
TEST(FileDialogState, KeptBesideTheSettings) {
    ProgramFolder folder;
    {
        ui::Form1 window(folder.path());
        EXPECT_EQ(QSettings(QSettings::UserScope, "QtProject").fileName(),
                  folder.file("QtProject.conf"));
    } // the dialog writes its state as it goes
    EXPECT_TRUE(QSettings(folder.file("QtProject.conf"), QSettings::IniFormat)
                    .childGroups()
                    .contains("FileDialog"));
}

} // namespace
