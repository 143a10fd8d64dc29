// Settings bytes held as window text and back, also in dropped file names.
#include "tests/gui/GuiSupport.h"

#include "ui/ExactText.h"
#include "ui/TextBox.h"

#include <QMimeData>
#include <QUrl>

#include <random>

using namespace tavo;
using namespace tavo::gui_test;

namespace {

QString Escaped(std::initializer_list<char16_t> units) {
    QString text;
    for (char16_t unit : units)
        text += QChar(unit);
    return text;
}

TEST(ExactText, BytesBecomeTextAndComeBackExactly) {
    struct Case {
        const char* what;
        std::string bytes;
        QString text;
    };
    const Case cases[] = {
        {"valid UTF-8 of each length", "\xC3\xA9\xE2\x82\xAC\xF0\x9F\x98\x80",
         QString::fromUtf8("\xC3\xA9\xE2\x82\xAC\xF0\x9F\x98\x80")},
        {"Latin-1 bytes", "\xFC\xE9", Escaped({0xDCFC, 0xDCE9})},
        {"lead byte before plain text", "\xE9-", Escaped({0xDCE9, '-'})},
        {"sequence cut short at the end", "\xE2\x82", Escaped({0xDCE2, 0xDC82})},
        {"overlong form", "\xC0\xAF\xE0\x80\xAF",
         Escaped({0xDCC0, 0xDCAF, 0xDCE0, 0xDC80, 0xDCAF})},
        {"encoded surrogate", "\xED\xA0\x80", Escaped({0xDCED, 0xDCA0, 0xDC80})},
        {"NUL", std::string("a\0b", 3), Escaped({'a', 0, 'b'})},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        EXPECT_EQ(ui::TextFromBytes(c.bytes), c.text);
        EXPECT_EQ(ui::BytesFromText(c.text), c.bytes);
    }
    // Lone surrogates that the window never makes (a broken paste) are written as U+FFFD.
    EXPECT_EQ(ui::BytesFromText(Escaped({0xD800, 'a', 0xDC41})), "\xEF\xBF\xBD"
                                                                 "a\xEF\xBF\xBD");
}

TEST(ExactText, AnyBytesRoundTripAndValidUtf8ReadsAsQtReadsIt) {
    std::mt19937 random(9);
    std::uniform_int_distribution<int> length(0, 12), byte(0, 255), ascii(0, 3);
    for (int n = 0; n < 100000; ++n) {
        std::string bytes(static_cast<std::size_t>(length(random)), '\0');
        for (char& b : bytes) // mostly high bytes, so that valid sequences occur too
            b = static_cast<char>(ascii(random) == 0 ? byte(random) & 0x7F : 0x80 | byte(random));
        const QString text = ui::TextFromBytes(bytes);
        ASSERT_EQ(ui::BytesFromText(text), bytes);
        const QByteArray qtBytes(bytes.data(), static_cast<qsizetype>(bytes.size()));
        const bool valid = QString::fromUtf8(qtBytes).toUtf8() == qtBytes;
        ASSERT_EQ(valid, text == QString::fromUtf8(qtBytes)) << qtBytes.toHex().constData();
    }
}

TEST(ExactText, DroppedFilesKeepTheirBytes) {
    QMimeData data;
    data.setUrls({QUrl::fromEncoded("file:///tmp/x%FC%E9.hex"),
                  QUrl::fromLocalFile(QString::fromUtf8("/tmp/caf\xC3\xA9 1.hex"))});
    EXPECT_EQ(ui::DroppedFiles(&data), QStringList({ui::TextFromBytes("/tmp/x\xFC\xE9.hex"),
                                                    ui::TextFromBytes("/tmp/caf\xC3\xA9 1.hex")}));
}

} // namespace
