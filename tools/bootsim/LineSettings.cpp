#include "tools/bootsim/LineSettings.h"

#include "serial/Termios2.h"

namespace tavo::bootsim {

namespace {

unsigned long ClassicRate(speed_t code) {
    switch (code) {
    case B0:
        return 0;
    case B50:
        return 50;
    case B75:
        return 75;
    case B110:
        return 110;
    case B134:
        return 134;
    case B150:
        return 150;
    case B200:
        return 200;
    case B300:
        return 300;
    case B600:
        return 600;
    case B1200:
        return 1200;
    case B1800:
        return 1800;
    case B2400:
        return 2400;
    case B4800:
        return 4800;
    case B9600:
        return 9600;
    case B19200:
        return 19200;
    case B38400:
        return 38400;
    case B57600:
        return 57600;
    case B115200:
        return 115200;
    case B230400:
        return 230400;
    default:
        return 0;
    }
}

} // namespace

bool ReadLineSettings(int fd, LineSettings& out) {
    termios tio{};
    if (::tcgetattr(fd, &tio) != 0)
        return false;
    LineSettings s;
    s.baud = ClassicRate(::cfgetospeed(&tio));
#if defined(__linux__) && defined(TCGETS2)
    termios2 tio2{};
    if (::ioctl(fd, TCGETS2, &tio2) == 0)
        s.baud = tio2.c_ospeed;
#endif
    switch (tio.c_cflag & CSIZE) {
    case CS5:
        s.dataBits = 5;
        break;
    case CS6:
        s.dataBits = 6;
        break;
    case CS7:
        s.dataBits = 7;
        break;
    default:
        s.dataBits = 8;
        break;
    }
    s.parity = !(tio.c_cflag & PARENB) ? 'n' : (tio.c_cflag & PARODD) ? 'o' : 'e';
    s.stopBits = (tio.c_cflag & CSTOPB) ? 2 : 1;
    s.ixon = tio.c_iflag & IXON;
    s.ixoff = tio.c_iflag & IXOFF;
    s.ixany = tio.c_iflag & IXANY;
#ifdef CRTSCTS
    s.crtscts = tio.c_cflag & CRTSCTS;
#endif
    out = s;
    return true;
}

std::string LineSettings::describe() const {
    auto flag = [](bool on, const char* name) { return std::string(on ? " " : " -") + name; };
    return std::to_string(baud) + "," + parity + "," + std::to_string(dataBits) + "," +
           std::to_string(stopBits) + flag(ixon, "ixon") + flag(ixoff, "ixoff") +
           flag(ixany, "ixany") + flag(crtscts, "crtscts");
}

std::string LineSettings::toKeyValueText() const {
    return "baud=" + std::to_string(baud) + "\nparity=" + parity +
           "\ndata=" + std::to_string(dataBits) + "\nstop=" + std::to_string(stopBits) +
           "\nixon=" + (ixon ? "1" : "0") + "\nixoff=" + (ixoff ? "1" : "0") +
           "\nixany=" + (ixany ? "1" : "0") + "\ncrtscts=" + (crtscts ? "1" : "0") + "\n";
}

} // namespace tavo::bootsim
