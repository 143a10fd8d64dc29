// The installed program: cmake --install into a temporary prefix (layout, desktop entry, icons,
// manual pages, where the installed tavo-flash reads its settings from) and the Debian package.
#include "AppInfo.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <pwd.h>
#include <regex>
#include <set>
#include <string>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

namespace tavo::test {
namespace {

namespace fs = std::filesystem;

struct Result {
    int status = -1;
    std::string output; // standard output (commands add 2>&1 for their errors too)
};

std::string Quote(const std::string& text) {
    std::string quoted = "'";
    for (char c : text)
        quoted += c == '\'' ? std::string("'\\''") : std::string(1, c);
    return quoted + "'";
}

Result Shell(const std::string& command) {
    Result result;
    FILE* pipe = ::popen(command.c_str(), "r");
    if (!pipe)
        return result;
    std::array<char, 4096> buffer;
    for (std::size_t n; (n = std::fread(buffer.data(), 1, buffer.size(), pipe)) > 0;)
        result.output.append(buffer.data(), n);
    int status = ::pclose(pipe);
    result.status = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    return result;
}

std::string ReadFile(const fs::path& path) {
    std::ifstream in(path, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), {}};
}

// The value after "Name: " (or Name and another separator) on a line of `text`.
std::string Field(const std::string& text, const std::string& name,
                  const std::string& separator = ": ") {
    std::smatch match;
    std::regex line("(^|\n)" + name + separator + "([^\n]*)");
    return std::regex_search(text, match, line) ? match[2].str() : "(no " + name + " line)";
}

// Width and height from a PNG's header chunk.
std::pair<int, int> PngSize(const fs::path& path) {
    auto bytes = ReadFile(path);
    if (bytes.size() < 24 || bytes.compare(1, 3, "PNG") != 0)
        return {0, 0};
    auto at = [&](std::size_t i) {
        return static_cast<int>(static_cast<unsigned char>(bytes[i]) << 24 |
                                static_cast<unsigned char>(bytes[i + 1]) << 16 |
                                static_cast<unsigned char>(bytes[i + 2]) << 8 |
                                static_cast<unsigned char>(bytes[i + 3]));
    };
    return {at(16), at(20)};
}

class Installed : public ::testing::Test {
protected:
    static void SetUpTestSuite() {
        char pattern[] = "/tmp/tavo-install-XXXXXX";
        root_ = ::mkdtemp(pattern);
        // Another user runs the installed program from here below.
        ::chmod(root_.c_str(), 0755);
        install_ = Shell(Quote(TAVO_CMAKE) + " --install " + Quote(TAVO_BUILD_DIR) + " --prefix " +
                         Quote(prefix().string()) + " 2>&1");
    }
    static void TearDownTestSuite() {
        ::chmod(bin().c_str(), 0755);
        fs::remove_all(root_);
    }
    void SetUp() override { ASSERT_EQ(install_.status, 0) << install_.output; }

    static fs::path prefix() { return root_ / "usr"; }
    static fs::path bin() { return prefix() / "bin"; }
    static fs::path share() { return prefix() / "share"; }

    static inline fs::path root_;
    static inline Result install_;
};

TEST_F(Installed, ProgramsDesktopEntryIconsAndDocuments) {
    for (const char* program : {"tavo-programmer", "tavo-flash", "tavo-bootsim"})
        EXPECT_EQ(::access((bin() / program).c_str(), X_OK), 0) << program;
    for (const char* file :
         {"applications/tavo-programmer.desktop", "doc/tavo-programmer/copyright",
          "doc/tavo-programmer/changelog.gz", "lintian/overrides/tavo-programmer"})
        EXPECT_TRUE(fs::is_regular_file(share() / file)) << file;

    // Each size of the window's icon, in the icon theme's layout, and the scalable picture.
    std::set<int> sizes;
    for (const auto& entry : fs::directory_iterator(share() / "icons/hicolor")) {
        if (entry.path().filename() == "scalable")
            continue;
        auto icon = entry.path() / "apps/tavo-programmer.png";
        auto [width, height] = PngSize(icon);
        EXPECT_EQ(entry.path().filename().string(),
                  std::to_string(width) + "x" + std::to_string(height));
        sizes.insert(width);
    }
    EXPECT_EQ(sizes, (std::set<int>{16, 22, 24, 32, 48, 64, 128, 256}));
    auto svg = ReadFile(share() / "icons/hicolor/scalable/apps/tavo-programmer.svg");
    EXPECT_NE(svg.find("<svg xmlns=\"http://www.w3.org/2000/svg\""), std::string::npos) << svg;
    EXPECT_NE(svg.find("viewBox=\"0 0 32 32\""), std::string::npos);
    EXPECT_GE(std::count(svg.begin(), svg.end(), '<'), 13) << "the chip's shapes";

    auto entry = share() / "applications/tavo-programmer.desktop";
    auto validated = Shell("desktop-file-validate " + Quote(entry.string()) + " 2>&1");
    EXPECT_EQ(validated.status, 0);
    EXPECT_EQ(validated.output, "");
    auto text = ReadFile(entry);
    auto exec = Field(text, "Exec", "=");
    EXPECT_TRUE(fs::exists(bin() / exec.substr(0, exec.find(' ')))) << exec;
    auto icon = Field(text, "Icon", "=");
    EXPECT_TRUE(fs::exists(share() / "icons/hicolor/48x48/apps" / (icon + ".png"))) << icon;

    // The software centres' description names the desktop entry and passes AppStream's checks.
    auto metainfo = share() / "metainfo/example.brenvik.tavoprogrammer.metainfo.xml";
    auto checked = Shell("appstreamcli validate --no-net " + Quote(metainfo.string()) + " 2>&1");
    EXPECT_EQ(checked.status, 0) << checked.output;
    EXPECT_NE(ReadFile(metainfo).find("tavo-programmer.desktop"), std::string::npos);
}

// Every option a program's --help names is in its manual page, and man has nothing to warn of.
TEST_F(Installed, ManualPagesAreCleanAndNameEveryOption) {
    for (const char* program : {"tavo-flash", "tavo-bootsim", "tavo-programmer"}) {
        SCOPED_TRACE(program);
        auto page = share() / "man/man1" / (std::string(program) + ".1.gz");
        auto checked = Shell("MANWIDTH=80 man --warnings -E UTF-8 -l " + Quote(page.string()) +
                             " 2>&1 >/dev/null");
        EXPECT_EQ(checked.status, 0);
        EXPECT_EQ(checked.output, "");
        auto source = Shell("gzip -dc " + Quote(page.string())).output;
        source = std::regex_replace(source, std::regex(R"(\\-)"), "-");
        auto help = Shell(Quote((bin() / program).string()) + " --help").output;
        std::regex option("--[a-z][a-z-]*");
        int named = 0;
        for (std::sregex_iterator it(help.begin(), help.end(), option), end; it != end; ++it) {
            ++named;
            EXPECT_NE(source.find(it->str()), std::string::npos) << it->str();
        }
        EXPECT_GE(named, 3);
    }
}

// Where the installed tavo-flash reads dazez.txt and ports.txt from, for another user than
// root (root may write anywhere) unless the case is root's own.
struct LocationCase {
    const char* name;
    bool writableFolder;
    bool settingsBeside;       // a dazez.txt already beside the program
    const char* xdgConfigHome; // nullptr: unset
    bool asRoot;
    const char* expected; // "bin", or a folder under the test's root
};

class SettingsLocation : public Installed, public ::testing::WithParamInterface<LocationCase> {};

TEST_P(SettingsLocation, VersionSaysWhereTheSettingsAre) {
    const auto& c = GetParam();
    const bool root = ::geteuid() == 0;
    if (c.asRoot && !root)
        GTEST_SKIP() << "only root runs the program as root";
    const passwd* nobody = ::getpwnam("nobody");
    ASSERT_TRUE(!root || nobody);
    const bool asOther = root && !c.asRoot;

    // Another user may write the folder when it owns it; without root, the mode tells.
    if (root) {
        ASSERT_EQ(::chown(bin().c_str(), c.writableFolder ? nobody->pw_uid : 0,
                          c.writableFolder ? nobody->pw_gid : 0),
                  0);
    } else {
        ASSERT_EQ(::chmod(bin().c_str(), c.writableFolder ? 0755 : 0555), 0);
    }
    if (c.settingsBeside)
        std::ofstream(bin() / "dazez.txt") << "0\r\n";

    std::string command = "env -i HOME=" + Quote((root_ / "home").string());
    if (c.xdgConfigHome)
        command += " XDG_CONFIG_HOME=" + Quote(c.xdgConfigHome[0] == '/'
                                                   ? (root_ / (c.xdgConfigHome + 1)).string()
                                                   : std::string(c.xdgConfigHome));
    command += " " + Quote((bin() / "tavo-flash").string()) + " --version";
    if (asOther)
        command = "setpriv --reuid=" + std::to_string(nobody->pw_uid) +
                  " --regid=" + std::to_string(nobody->pw_gid) + " --clear-groups " + command;
    auto result = Shell(command + " 2>&1");

    if (root) {
        EXPECT_EQ(::chown(bin().c_str(), 0, 0), 0);
    }
    ::chmod(bin().c_str(), 0755);
    fs::remove(bin() / "dazez.txt");

    EXPECT_EQ(result.status, 0) << result.output;
    auto folder = std::string(c.expected) == "bin" ? bin() : root_ / c.expected;
    EXPECT_EQ(Field(result.output, "Settings"), (folder / "dazez.txt").string());
    EXPECT_EQ(Field(result.output, "Port map"), (folder / "ports.txt").string());
}

INSTANTIATE_TEST_SUITE_P(
    Installed, SettingsLocation,
    ::testing::Values(
        LocationCase{"WritableFolderKeepsThemBeside", true, false, "/xdg", false, "bin"},
        LocationCase{"ReadOnlyFolderUsesXdgConfigHome", false, false, "/xdg", false,
                     "xdg/tavo-programmer"},
        LocationCase{"ReadOnlyFolderWithoutXdgUsesHomeConfig", false, false, nullptr, false,
                     "home/.config/tavo-programmer"},
        LocationCase{"RelativeXdgConfigHomeIsIgnored", false, false, "relative/xdg", false,
                     "home/.config/tavo-programmer"},
        LocationCase{"SettingsFileBesideAReadOnlyFolderIsUsed", false, true, "/xdg", false, "bin"},
        LocationCase{"RootKeepsThemInItsConfigFolder", true, false, "/xdg", true,
                     "xdg/tavo-programmer"}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(SettingsFolder, CreatedPrivateWithTheFoldersAboveIt) {
    char pattern[] = "/tmp/tavo-settings-folder-XXXXXX";
    fs::path root = ::mkdtemp(pattern);
    auto folder = root / "config" / "tavo-programmer";
    EXPECT_TRUE(app::CreateSettingsFolder(folder.string()));
    struct stat st {};
    ASSERT_EQ(::stat(folder.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0700u);
    EXPECT_TRUE(app::CreateSettingsFolder(folder.string())); // already there
    std::ofstream(root / "file") << "x";
    EXPECT_FALSE(app::CreateSettingsFolder((root / "file" / "tavo-programmer").string()));
    fs::remove_all(root);
}

// cpack -G DEB: the package, its dependencies from dpkg-shlibdeps, and lintian's verdict.
TEST(DebianPackage, BuildsWithLibraryDependenciesAndPassesLintian) {
#ifdef TAVO_SANITIZE
    GTEST_SKIP() << "the package is made from a plain build, not an instrumented one";
#endif
    char pattern[] = "/tmp/tavo-package-XXXXXX";
    fs::path out = ::mkdtemp(pattern);
    auto made = Shell(Quote(TAVO_CPACK) + " -G DEB --config " +
                      Quote(std::string(TAVO_BUILD_DIR) + "/CPackConfig.cmake") + " -B " +
                      Quote(out.string()) + " 2>&1");
    ASSERT_EQ(made.status, 0) << made.output;
    fs::path deb;
    for (const auto& entry : fs::directory_iterator(out))
        if (entry.path().extension() == ".deb")
            deb = entry.path();
    ASSERT_FALSE(deb.empty()) << made.output;
    EXPECT_EQ(deb.filename().string().rfind("tavo-programmer_", 0), 0u);

    auto depends = Shell("dpkg-deb --field " + Quote(deb.string()) + " Depends").output;
    // The serial port speaks termios itself on Linux; Qt's serial library only lists the ports
    // (tavo-flash --list-ports, the window's port tool tips).
    for (const char* package : {"libc6", "libstdc++6", "libqt6core6", "libqt6widgets6",
                                "libqt6serialport6", "qt6-qpa-plugins"})
        EXPECT_NE(depends.find(package), std::string::npos) << package << " in " << depends;
    auto contents = Shell("dpkg-deb --contents " + Quote(deb.string())).output;
    EXPECT_NE(contents.find("./usr/bin/tavo-programmer"), std::string::npos) << contents;
    EXPECT_NE(contents.find("./usr/share/man/man1/tavo-flash.1.gz"), std::string::npos);

    auto lintian = Shell("lintian --fail-on error,warning " + Quote(deb.string()) + " 2>&1");
    EXPECT_EQ(lintian.status, 0) << lintian.output;
    // Down to the pedantic notes: hardened, and stripped as Debian strips.
    auto pedantic = Shell("lintian --pedantic -I " + Quote(deb.string()) + " 2>&1").output;
    for (const char* tag :
         {"hardening-no-bindnow", "hardening-no-fortify-functions", "binary-has-unneeded-section",
          "no-copyright-file", "copyright-without-copyright-notice"})
        EXPECT_EQ(pedantic.find(tag), std::string::npos) << tag << " in\n" << pedantic;
    fs::remove_all(out);
}

} // namespace
} // namespace tavo::test
