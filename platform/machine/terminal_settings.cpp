// termios to serial settings. The kernel's termios2 carries the rate as a number, so rates without a
// Bnnn constant (set with BOTHER, as pyserial does) read back exactly; it cannot share a file with the C
// library's <termios.h>.
#include <asm/ioctls.h>
#include <asm/termbits.h>
#include <sys/ioctl.h>

#include "tarvel/machine/pseudo_terminal.h"

namespace tarvel::machine {

bool ReadTerminalSettings(int fd, TerminalSettings* settings) {
    termios2 t{};
    if (::ioctl(fd, TCGETS2, &t) != 0) return false;
    TerminalSettings s;
    s.baud = t.c_ospeed;
    switch (t.c_cflag & CSIZE) {
    case CS5: s.dataBits = 5; break;
    case CS6: s.dataBits = 6; break;
    case CS7: s.dataBits = 7; break;
    default: s.dataBits = 8; break;
    }
    if (t.c_cflag & PARENB) {
        const bool odd = (t.c_cflag & PARODD) != 0;
        s.parity = (t.c_cflag & CMSPAR) ? (odd ? 'M' : 'S') : (odd ? 'O' : 'E');
    }
    s.stopBits = (t.c_cflag & CSTOPB) ? 2 : 1;
    s.rtsCts = (t.c_cflag & CRTSCTS) != 0;
    s.outX = (t.c_iflag & IXON) != 0;
    s.inX = (t.c_iflag & IXOFF) != 0;
    s.xonChar = t.c_cc[VSTART];
    s.xoffChar = t.c_cc[VSTOP];
    *settings = s;
    return true;
}

bool WriteTerminalSettings(int fd, const TerminalSettings& s) {
    termios2 t{};
    if (::ioctl(fd, TCGETS2, &t) != 0) return false;
    t.c_cflag &= ~(CBAUD | CSIZE | PARENB | PARODD | CMSPAR | CSTOPB | CRTSCTS);
    t.c_cflag |= BOTHER | (s.dataBits == 5 ? CS5 : s.dataBits == 6 ? CS6 : s.dataBits == 7 ? CS7 : CS8);
    if (s.parity != 'N') t.c_cflag |= PARENB;
    if (s.parity == 'O' || s.parity == 'M') t.c_cflag |= PARODD;
    if (s.parity == 'M' || s.parity == 'S') t.c_cflag |= CMSPAR;
    if (s.stopBits == 2) t.c_cflag |= CSTOPB;
    if (s.rtsCts) t.c_cflag |= CRTSCTS;
    t.c_cflag &= ~(CBAUD << IBSHIFT); // the input rate follows the output rate
    t.c_iflag &= ~(IXON | IXOFF);
    if (s.outX) t.c_iflag |= IXON;
    if (s.inX) t.c_iflag |= IXOFF;
    t.c_cc[VSTART] = s.xonChar;
    t.c_cc[VSTOP] = s.xoffChar;
    t.c_ospeed = t.c_ispeed = s.baud;
    return ::ioctl(fd, TCSETS2, &t) == 0;
}

} // namespace tarvel::machine
