// What tavo-flash writes for people and scripts: the reasons under a failure, the port list, the
// gang's summary and board lines, and the report's records.
#include "cli/Diagnosis.h"
#include "cli/Gang.h"
#include "cli/Json.h"
#include "cli/PortListing.h"
#include "cli/RunRecord.h"
#include "tests/support/FakeClock.h"
#include "tests/support/TempImages.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>

#include <gtest/gtest.h>

#include <sstream>
#include <sys/stat.h>

namespace tavo::test {
namespace {

using flash::DeviceFacts;
using flash::PortOrigin;

QJsonDocument ParseJson(const std::string& text) {
    QJsonParseError error{};
    auto doc = QJsonDocument::fromJson(QByteArray::fromStdString(text), &error);
    EXPECT_EQ(error.error, QJsonParseError::NoError) << text;
    return doc;
}

TEST(FormattingTest, FailureReasonsSayWhereTheDeviceCameFromAndGiveHints) {
    const engine::Message portError{"Error encountered while accessing the com port.",
                                    engine::MessageIcon::Warning,
                                    "Cannot open /dev/ttyS2: No such file or directory"};
    const PortOrigin unmapped{"/dev/ttyS2", 3, false, "/opt/tavo/ports.txt", "", 19200};
    const PortOrigin mapped{"/dev/ttyUSB0", 1, true, "/opt/tavo/ports.txt", "", 19200};
    const PortOrigin named{"/dev/ttyUSB0", std::nullopt, false, "/opt/tavo/ports.txt", "", 9600};
    const PortOrigin usb{"/dev/ttyUSB0", std::nullopt, false, "", "A50285BI", 115200};
    const DeviceFacts missing{false, false, "", "", 0, false, false};
    const DeviceFacts locked{true, true, "uucp", "root", 0660, false, false};
    const DeviceFacts present{true, false, "dialout", "root", 0660, true, true};
    const std::string listHint = "hint: tavo-flash --list-ports lists the serial ports of this "
                                 "machine";
    const struct {
        engine::Message message;
        PortOrigin origin;
        DeviceFacts facts;
        std::string reason;
        std::vector<std::string> notes;
    } cases[] = {
        {portError,
         unmapped,
         missing,
         portError.detail,
         {"\"Com 3\" is /dev/ttyS2, the default (no line 3= in /opt/tavo/ports.txt)", listHint}},
        {portError,
         mapped,
         locked,
         portError.detail,
         {"\"Com 1\" is /dev/ttyUSB0, from /opt/tavo/ports.txt",
          "hint: only members of the group 'uucp' may open /dev/ttyUSB0: sudo usermod -aG uucp "
          "$USER, then log in again"}},
        {portError, named, present, portError.detail, {}},
        // usb: that names no port: nothing was opened.
        {{portError.text, engine::MessageIcon::Warning, "no serial port has the USB serial number"},
         {"", std::nullopt, false, "", "A5", std::nullopt},
         missing,
         "no serial port has the USB serial number",
         {listHint}},
        {{"No response from target bootloader.", engine::MessageIcon::None, {}},
         usb,
         present,
         "no ready answer from the board on /dev/ttyUSB0",
         {"usb:A50285BI is /dev/ttyUSB0",
          "hint: the loader talked at 115200 baud: --baud must be the bootloader's rate; check "
          "that the cable joins the board's TX and RX to this port",
          "hint: the running application must answer the jump command with its jump routine; a "
          "board without one must be in its bootloader already (reset it just before the run)",
          "hint: --trace FILE shows every byte sent and received"}},
        // A failure during the download names the device in its own reason.
        {{"Error encountered while downloading the firmware file.", engine::MessageIcon::Warning,
          "Write: the serial device /dev/ttyUSB0 has failed: Input/output error"},
         mapped,
         present,
         "Write: the serial device /dev/ttyUSB0 has failed: Input/output error",
         {}},
        {{"Error encountered while downloading file.", engine::MessageIcon::None, {}},
         mapped,
         present,
         "",
         {}},
    };
    for (const auto& c : cases) {
        auto why = flash::Explain(c.message, c.origin, c.facts);
        EXPECT_EQ(why.reason, c.reason) << c.message.text;
        EXPECT_EQ(why.notes, c.notes) << c.message.text;
    }

    // Permission: a group only where its mode bits open the device and it is safe to join.
    const std::string udev = "a udev rule can give it a group for serial ports "
                             "(GROUP=\"dialout\", MODE=\"0660\"), or ask its owner (root) for "
                             "access";
    const std::string owned = "hint: /dev/ttyUSB0 belongs to root:";
    const struct {
        DeviceFacts facts;
        std::string hint;
    } denied[] = {
        {{true, true, "dialout", "root", 0660, false, true},
         "hint: you are a member of the group 'dialout' that may open /dev/ttyUSB0, but this "
         "session began before you joined it: log in again"},
        {{true, true, "root", "root", 0600, false, false},
         owned + "root with mode 0600, which opens it to no group: " + udev},
        {{true, true, "dialout", "root", 0640, false, false},
         owned + "dialout with mode 0640, which opens it to no group: " + udev},
        {{true, true, "disk", "root", 0660, false, false},
         owned + "disk with mode 0660; joining 'disk' would open far more than this port: " + udev},
    };
    for (const auto& d : denied)
        EXPECT_EQ(flash::Explain(portError, named, d.facts).notes,
                  std::vector<std::string>{d.hint});
}

TEST(FormattingTest, PortListAsTableAndJson) {
    auto map = serial::PortMap::Parse("2=/dev/ttyUSB0\n4=/dev/tavo-unplugged\n");
    auto ports =
        flash::ListPorts({{"/dev/ttyS0", "", "", "", std::nullopt, std::nullopt},
                          {"/dev/ttyUSB0", "FT232R USB UART", "FTDI", "A50285BI", 0x0403, 0x6001}},
                         map);
    EXPECT_EQ(flash::PortTable(ports, map),
              "DEVICE        COM  USB        SERIAL    MANUFACTURER  DESCRIPTION\n"
              "/dev/ttyS0    1    -          -         -             -\n"
              "/dev/ttyUSB0  2    0403:6001  A50285BI  FTDI          FT232R USB UART\n"
              "Com 4: ports.txt maps it to /dev/tavo-unplugged, which is not present\n");

    auto json = ParseJson(flash::PortJson(ports)).array();
    ASSERT_EQ(json.size(), 2);
    EXPECT_TRUE(json[0].toObject()["usb"].isNull());
    EXPECT_EQ(json[0].toObject()["com"].toArray(), QJsonArray({1}));
    auto usb = json[1].toObject();
    EXPECT_EQ(usb["device"].toString(), "/dev/ttyUSB0");
    EXPECT_EQ(usb["serialNumber"].toString(), "A50285BI");
    EXPECT_EQ(usb["usb"].toString(), "0403:6001");
    EXPECT_EQ(usb["manufacturer"].toString(), "FTDI");
    EXPECT_EQ(usb["description"].toString(), "FT232R USB UART");
    EXPECT_EQ(flash::PortJson({}), "[]\n");
}

TEST(FormattingTest, GangSummaryNamesTheFailedBoardsAndTheFirstOnesExitCode) {
    std::vector<flash::BoardSummary> boards = {
        {"Com 1", "1.3", "Flash File successfully downloaded.", 322, 4.44, 0},
        {"/dev/ttyUSB1", "", "Error encountered while accessing the com port.", 0, 0.01, 6},
        {"usb:A5", "1.27", "Checksum error at line 2. Continue with download? No", 2, 0.8, 2},
    };
    EXPECT_EQ(flash::SummaryTable(boards),
              "PORT          VERSION  OUTCOME                                               "
              "LINES  SECONDS  EXIT\n"
              "Com 1         1.3      Flash File successfully downloaded.                     "
              "322      4.4     0\n"
              "/dev/ttyUSB1  -        Error encountered while accessing the com port.         "
              "  0      0.0     6\n"
              "usb:A5        1.27     Checksum error at line 2. Continue with download? No    "
              "  2      0.8     2\n"
              "2 of 3 boards failed: /dev/ttyUSB1 (exit 6), usb:A5 (exit 2)\n");
    EXPECT_EQ(flash::GangExitCode(boards), 6);
    boards.erase(boards.begin() + 1, boards.end());
    EXPECT_EQ(flash::GangExitCode(boards), 0);
    EXPECT_EQ(flash::SummaryTable(boards).substr(flash::SummaryTable(boards).rfind("All")),
              "All 1 boards succeeded.\n");
}

TEST(FormattingTest, BoardLinesAreRedrawnInPlaceAndNeverWrap) {
    FakeClock clock;
    std::ostringstream out;
    flash::BoardLines lines(out, {"/dev/ttyUSB10", "Com 2"}, 40, clock);
    lines.board(1).status("Requesting Ack from target bootloader.  Try #1");
    lines.board(0).sendingStarted(99);
    lines.board(0).progress(50, 99);
    clock.advanceBy(engine::Millis(1000));
    EXPECT_EQ(lines.line(0), "/dev/ttyUSB10  [##########..........]  ");
    EXPECT_EQ(lines.line(1), "Com 2          Requesting Ack from targ");
    lines.redraw();
    lines.redraw();
    auto text = out.str();
    // The second drawing starts two lines up, over the first.
    EXPECT_EQ(text.find("\x1b[2A"), (text.size() - 4) / 2);
    EXPECT_EQ(std::count(text.begin(), text.end(), '\n'), 4);
}

TEST(FormattingTest, JsonStringsStayValidWhateverTheBytes) {
    const struct {
        std::string in, out;
    } cases[] = {
        {"plain", "\"plain\""},
        {"a\"b\\c", "\"a\\\"b\\\\c\""},
        {"\r\n\t\x01\x7f", "\"\\r\\n\\t\\u0001\\u007f\""},
        {"gr\xc3\xbc\xc3\x9f", "\"gr\xc3\xbc\xc3\x9f\""}, // UTF-8 passes
        // Stray and cut-off bytes keep their values, as lone surrogates U+DC80..U+DCFF.
        {"caf\xe9", "\"caf\\udce9\""},
        {"\xff\xc3", "\"\\udcff\\udcc3\""},
        {"\xed\xa0\x80", "\"\\udced\\udca0\\udc80\""}, // an encoded surrogate
        {"\xc0\xaf", "\"\\udcc0\\udcaf\""},            // an overlong '/'
        {"\xf0\x9f\x98\x80", "\"\xf0\x9f\x98\x80\""},  // four bytes
    };
    for (const auto& c : cases)
        EXPECT_EQ(flash::JsonString(c.in), c.out);
    // A JSON reader sees the byte's surrogate, and two names stay apart.
    auto a = ParseJson("[" + flash::JsonString("p\xe9") + "]").array()[0].toString();
    auto b = ParseJson("[" + flash::JsonString("p\xe8") + "]").array()[0].toString();
    EXPECT_EQ(a, QString("p") + QChar(0xDCE9));
    EXPECT_NE(a, b);
}

TEST(FormattingTest, ImageFactsUseTheStandardSha256) {
    TempDir dir;
    const struct {
        std::string content, sha256;
    } vectors[] = {
        {"", "e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855"},
        {"abc", "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad"},
        {"abcdbcdecdefdefgefghfghighijhijkijkljklmklmnlmnomnopnopq",
         "248d6a61d20638b8e5c026930c3e6039a33ce45964ff2167f6ecedd419db06c1"},
    };
    for (const auto& v : vectors) {
        auto facts = flash::InspectImage("flash", dir.write("image.hex", v.content));
        EXPECT_EQ(facts.size, v.content.size());
        EXPECT_EQ(facts.sha256, v.sha256);
    }
    // A pipe is not read (it would block); a missing file has no facts.
    auto fifo = (dir.path() / "pipe").string();
    ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
    for (const auto& path : {fifo, (dir.path() / "missing.hex").string()}) {
        auto facts = flash::InspectImage("eeprom", path);
        EXPECT_FALSE(facts.size) << path;
        EXPECT_EQ(facts.sha256, "") << path;
    }
}

TEST(FormattingTest, ReportRecordIsOneJsonLine) {
    // The adapter: its USB identity where the system knows one (a port that is none has null).
    const std::vector<serial::PortInfo> ports = {
        {"/dev/ttyS0", "", "", "", std::nullopt, std::nullopt},
        {"/dev/ttyACM0", "", "", "", 0x2341, 0x0043},
        {"/dev/ttyUSB0", "", "FTDI", "A50285BI", 0x0403, 0x6001}};
    EXPECT_FALSE(flash::AdapterOf(ports, "/dev/ttyS0"));
    flash::RunRecord r;
    r.start = std::chrono::system_clock::time_point(std::chrono::milliseconds(1'700'000'000'123));
    r.end = r.start + std::chrono::milliseconds(4500);
    r.host = "bench-3";
    r.adapter = flash::AdapterOf(ports, "/dev/ttyUSB0");
    r.port = "Com 2";
    r.device = "/dev/ttyUSB0";
    r.images = {{"eeprom", "d\xffta.eep", std::nullopt, ""}, {"flash", "app.hex", 14430, "af"}};
    r.answers = {{"Checksum error at line 2. Continue with download?", true, true}};
    r.linesSent = 321;
    r.outcome = "Error encountered while downloading file.";
    r.exitCode = 1;
    auto line = flash::RecordLine(r);
    ASSERT_EQ(line.back(), '\n');
    EXPECT_EQ(line.find('\n'), line.size() - 1);
    auto o = ParseJson(line).object();
    EXPECT_EQ(o.keys().size(), 17);
    EXPECT_TRUE(o["identity"].isNull());
    EXPECT_EQ(o["program"].toString().toStdString(), flash::ProgramVersion());
    EXPECT_EQ(o["adapter"].toObject(),
              QJsonObject({{"vid", "0403"}, {"pid", "6001"}, {"serial", "A50285BI"}}));
    EXPECT_EQ(o["verify"].toString(), "not offered");
    EXPECT_TRUE(o["offered"].isNull());
    EXPECT_EQ(o["start"].toString(), "2023-11-14T22:13:20.123Z");
    EXPECT_EQ(o["end"].toString(), "2023-11-14T22:13:24.623Z");
    EXPECT_TRUE(o["baud"].isNull());
    EXPECT_TRUE(o["bootloaderVersion"].isNull());
    auto images = o["images"].toArray();
    EXPECT_TRUE(images[0].toObject()["size"].isNull());
    EXPECT_EQ(images[1].toObject()["size"].toInt(), 14430);
    auto question = o["questions"].toArray()[0].toObject();
    EXPECT_EQ(question["answer"].toString(), "yes");
    EXPECT_EQ(question["by"].toString(), "--on-error");
    EXPECT_EQ(o["linesSent"].toInt(), 321);
    EXPECT_EQ(o["exitCode"].toInt(), 1);
    r.adapter = flash::AdapterOf(ports, "/dev/ttyACM0");
    EXPECT_EQ(ParseJson(flash::RecordLine(r)).object()["adapter"].toObject(),
              QJsonObject({{"vid", "2341"}, {"pid", "0043"}, {"serial", QJsonValue()}}));
}

} // namespace
} // namespace tavo::test
