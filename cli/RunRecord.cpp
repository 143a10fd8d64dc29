#include "cli/RunRecord.h"

#include "AppInfo.h"
#include "cli/Json.h"
#include "engine/Version.h"

#include <QCryptographicHash>
#include <QString>
#include <QSysInfo>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <ctime>
#include <system_error>

namespace tavo::flash {

namespace {

// More than any handshake answer; the version is read from its start.
constexpr std::size_t kHandshakeInputLimit = 4096;

} // namespace

ImageFacts InspectImage(std::string kind, const std::string& path) {
    ImageFacts facts{std::move(kind), path, std::nullopt, {}};
    // Only a regular file: a pipe would block here, and the run refuses it anyway. Opened without
    // blocking and looked at again, as the run opens it, in case the path changed in between.
    int fd = ::open(path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC | O_NOCTTY);
    if (fd < 0)
        return facts;
    struct stat info {};
    QCryptographicHash hash(QCryptographicHash::Sha256);
    std::uintmax_t size = 0;
    bool whole = ::fstat(fd, &info) == 0 && S_ISREG(info.st_mode);
    char buffer[65536];
    while (whole) {
        auto n = ::read(fd, buffer, sizeof buffer);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0) {
            whole = n == 0;
            break;
        }
        hash.addData(QByteArrayView(buffer, n));
        size += static_cast<std::uintmax_t>(n);
    }
    ::close(fd);
    if (!whole)
        return facts;
    facts.size = size;
    facts.sha256 = hash.result().toHex().toStdString();
    return facts;
}

std::optional<Adapter> AdapterOf(const std::vector<serial::PortInfo>& ports,
                                 const std::string& device) {
    auto port = serial::FindPort(ports, device);
    if (!port || !port->vendorId || !port->productId)
        return std::nullopt;
    return Adapter{*port->vendorId, *port->productId, port->serialNumber};
}

std::string ProgramVersion() {
    return std::to_string(app::kMajor) + "." + std::to_string(app::kMinor) + "." +
           std::to_string(app::kRevision);
}

std::string IsoUtc(std::chrono::system_clock::time_point time) {
    auto seconds = std::chrono::floor<std::chrono::seconds>(time);
    auto millis = std::chrono::duration_cast<std::chrono::milliseconds>(time - seconds).count();
    std::time_t t = std::chrono::system_clock::to_time_t(seconds);
    std::tm utc{};
    ::gmtime_r(&t, &utc);
    char text[64];
    std::snprintf(text, sizeof text, "%04d-%02d-%02dT%02d:%02d:%02d.%03dZ", utc.tm_year + 1900,
                  utc.tm_mon + 1, utc.tm_mday, utc.tm_hour, utc.tm_min, utc.tm_sec,
                  static_cast<int>(millis));
    return text;
}

std::string HostName() {
    return QSysInfo::machineHostName().toStdString();
}

std::string VerifyText(engine::Verify verify) {
    switch (verify) {
    case engine::Verify::Passed:
        return "passed";
    case engine::Verify::Failed:
        return "failed";
    case engine::Verify::NotReached:
        return "not reached";
    case engine::Verify::NotOffered:
        break;
    }
    return "not offered";
}

std::string RecordLine(const RunRecord& r) {
    std::vector<std::string> images, answers;
    for (const auto& image : r.images) {
        JsonObject o;
        o.text("kind", image.kind).text("path", image.path);
        image.size ? o.integer("size", static_cast<long long>(*image.size)) : o.null("size");
        image.sha256.empty() ? o.null("sha256") : o.text("sha256", image.sha256);
        images.push_back(o.str());
    }
    for (const auto& a : r.answers)
        answers.push_back(JsonObject()
                              .text("question", a.question)
                              .text("answer", a.yes ? "yes" : "no")
                              .text("by", a.byPolicy ? "--on-error" : "technician")
                              .str());
    JsonObject o;
    o.text("start", IsoUtc(r.start)).text("end", IsoUtc(r.end)).text("host", r.host);
    o.text("program", r.program);
    if (r.adapter) {
        char id[8];
        JsonObject adapter;
        std::snprintf(id, sizeof id, "%04x", r.adapter->vendorId);
        adapter.text("vid", id);
        std::snprintf(id, sizeof id, "%04x", r.adapter->productId);
        adapter.text("pid", id);
        r.adapter->serialNumber.empty() ? adapter.null("serial")
                                        : adapter.text("serial", r.adapter->serialNumber);
        o.raw("adapter", adapter.str());
    } else {
        o.null("adapter");
    }
    o.text("port", r.port).text("device", r.device);
    r.baud ? o.integer("baud", *r.baud) : o.null("baud");
    o.raw("images", JsonArray(images));
    r.bootloaderVersion.empty() ? o.null("bootloaderVersion")
                                : o.text("bootloaderVersion", r.bootloaderVersion);
    o.raw("questions", JsonArray(answers));
    o.integer("linesSent", r.linesSent).text("outcome", r.outcome).integer("exitCode", r.exitCode);
    r.identity ? o.raw("identity", *r.identity) : o.null("identity");
    o.text("verify", VerifyText(r.verify));
    r.offered.empty() ? o.null("offered") : o.text("offered", r.offered);
    return o.str() + "\n";
}

std::variant<ReportFile, std::string> ReportFile::Open(const std::string& path) {
    // Non-blocking, so that a pipe nobody reads fails here instead of hanging the bench.
    int fd = ::open(path.c_str(), O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC | O_NONBLOCK, 0666);
    if (fd < 0)
        return std::generic_category().message(errno);
    int flags = ::fcntl(fd, F_GETFL);
    if (flags >= 0)
        ::fcntl(fd, F_SETFL, flags & ~O_NONBLOCK);
    struct stat info {};
    char last = '\n';
    if (::fstat(fd, &info) == 0 && S_ISREG(info.st_mode) && info.st_size > 0) {
        int reader = ::open(path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC | O_NOCTTY);
        if (reader >= 0) {
            if (::pread(reader, &last, 1, info.st_size - 1) != 1)
                last = '\n';
            ::close(reader);
        }
    }
    return ReportFile(fd, last != '\n');
}

ReportFile::~ReportFile() {
    if (fd_ >= 0)
        ::close(fd_);
}

std::optional<std::string> ReportFile::append(const std::string& line) {
    const bool newLine = cutShort_.exchange(false);
    const std::string text = newLine ? "\n" + line : line;
    std::size_t done = 0;
    while (done < text.size()) {
        auto n = ::write(fd_, text.data() + done, text.size() - done);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0) {
            // Part of a line (or the pending line end) is still missing.
            if (done > (newLine ? 1u : 0u) || (newLine && done == 0))
                cutShort_ = true;
            return n < 0 ? std::generic_category().message(errno) : "nothing written";
        }
        done += static_cast<std::size_t>(n);
    }
    return std::nullopt;
}

engine::SerialPort& RunWatcher::watch(engine::SerialPort& device) {
    port_ = std::make_unique<CountingPort>(device, *this);
    return *port_;
}

void RunWatcher::CountingPort::write(std::string_view data) {
    ForwardingPort::write(data);
    // A line tried again is still the line shown: it counts once.
    auto& w = watcher_;
    if (w.sending_ && w.countedLine_ != w.shownLine_) {
        w.countedLine_ = w.shownLine_;
        ++w.lines_;
    }
}

std::string RunWatcher::CountingPort::takeWaiting() {
    auto bytes = ForwardingPort::takeWaiting();
    auto& input = watcher_.handshakeInput_;
    if (!watcher_.everSent_ && input.size() < kHandshakeInputLimit)
        input.append(bytes, 0, kHandshakeInputLimit - input.size());
    return bytes;
}

std::string RunWatcher::bootloaderVersion(const std::string& readyString) const {
    if (!labelVersion_.empty())
        return labelVersion_;
    const auto& input = handshakeInput_;
    bool ready = readyString.empty() ? !input.empty() : input.find(readyString) != input.npos;
    if (!ready)
        return {};
    auto v = input.find('V');
    if (v == std::string::npos)
        return "0";
    try {
        return engine::FormatVersion(engine::ParseLeadingNumber(input.substr(v + 1)));
    } catch (const std::exception&) {
        return {};
    }
}

void RunWatcher::versionLabel(const std::string& text) {
    if (auto colon = text.find(':'); colon != std::string::npos) {
        auto rest = text.substr(colon + 1);
        auto first = rest.find_first_not_of(' ');
        labelVersion_ = first == std::string::npos ? std::string() : rest.substr(first);
    }
    inner_.versionLabel(text);
}

void RunWatcher::sendingStarted(int progressMax) {
    sending_ = true;
    everSent_ = true;
    countedLine_.reset();
    ++filesStarted_;
    inner_.sendingStarted(progressMax);
}

void RunWatcher::progress(int value, int max) {
    // The run shows the progress at the top of every line, before it writes the line.
    shownLine_ = value;
    inner_.progress(value, max);
}

void RunWatcher::sendingEnded() {
    sending_ = false;
    inner_.sendingEnded();
}

void RunWatcher::message(const engine::Message& message) {
    lastMessage_ = message;
    inner_.message(message);
}

std::optional<bool> RunWatcher::ask(const std::string& question) {
    // The question names the line after those dealt with.
    questionLine_ = shownLine_ + 1;
    auto answer = inner_.ask(question);
    answers_.push_back({question, answer.value_or(false), false});
    return answer;
}

void RunWatcher::answered(const std::string& question, bool yes) {
    questionLine_ = shownLine_ + 1;
    answers_.push_back({question, yes, true});
    inner_.answered(question, yes);
}

} // namespace tavo::flash
