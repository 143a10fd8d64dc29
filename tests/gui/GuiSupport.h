#pragma once

#include "ui/Form1.h"

#include <gtest/gtest.h>

#include <QAction>
#include <QApplication>
#include <QCheckBox>
#include <QComboBox>
#include <QLabel>
#include <QLineEdit>
#include <QMessageBox>
#include <QProcess>
#include <QProgressBar>
#include <QPushButton>
#include <QSignalSpy>
#include <QString>
#include <QTemporaryDir>
#include <QTest>
#include <QTimer>

#include <functional>
#include <initializer_list>
#include <memory>
#include <vector>

namespace tavo::gui_test {

// A control of a window by its object name; fails the test when it is missing.
template <class T> T* Find(QObject* root, const char* name) {
    auto* found = root->findChild<T*>(QString::fromLatin1(name));
    if (found == nullptr)
        ADD_FAILURE() << "no " << name;
    return found;
}

// A message box as the user saw it.
struct SeenBox {
    QString title;
    QString text;
    QString informative;
    QString detailed; // behind "Show Details..."
    QMessageBox::Icon icon = QMessageBox::NoIcon;
    QMessageBox::StandardButtons buttons;
    QMessageBox::StandardButton defaultButton = QMessageBox::NoButton;
};

// Watches for modal widgets (message boxes, the file dialog) while the code under test runs its
// own event loops, and hands each new one to a handler that answers or dismisses it.
class ModalDriver {
public:
    using Handler = std::function<void(QWidget*)>;
    explicit ModalDriver(Handler handler);
    ~ModalDriver();

private:
    std::unique_ptr<QTimer> timer_;
};

SeenBox Describe(QMessageBox* box);

// Runs `action` and returns the message boxes it raised, each answered with `answer` (boxes
// without that button with OK).
std::vector<SeenBox> BoxesDuring(const std::function<void()>& action,
                                 QMessageBox::StandardButton answer = QMessageBox::Yes);

// What a control shows: a button's or label's text, a group box's or menu's title.
QString Caption(QObject* root, const char* name);
// Each entry "Name=caption": the named control shows exactly that caption (or text).
void ExpectCaptions(QObject* root, std::initializer_list<const char*> entries);

// A program folder of its own for each test: dazez.txt and ports.txt go here.
class ProgramFolder {
public:
    ProgramFolder();
    QString path() const { return dir_.path(); }
    QString file(const QString& name) const { return dir_.filePath(name); }
    void write(const QString& name, const QByteArray& bytes) const;
    QByteArray read(const QString& name) const;

private:
    QTemporaryDir dir_;
};

// The simulated board on a pseudo-terminal. Skips the calling test when the tool is not built.
class Bootsim {
public:
    explicit Bootsim(const QStringList& arguments = {});
    ~Bootsim();
    static bool Available();
    bool started() const { return !slave_.isEmpty(); }
    // The pseudo-terminal the window should open.
    const QString& slave() const { return slave_; }
    // Ends the board; it writes its output files (--flash-out and the like) on the way.
    void stop();

private:
    QProcess process_;
    QString slave_;
};

// A main window with a program folder of its own.
class WindowTest : public ::testing::Test {
protected:
    template <class T = QWidget> T* at(const char* name) { return Find<T>(&form, name); }
    void showExposed() {
        form.show();
        ASSERT_TRUE(QTest::qWaitForWindowExposed(&form));
        QApplication::setActiveWindow(&form);
    }

    ProgramFolder folder;
    ui::Form1 form{folder.path()};
};

// An Intel HEX image of `lines` data records and the end record.
QByteArray HexImage(int lines);

} // namespace tavo::gui_test
