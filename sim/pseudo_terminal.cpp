#include "pseudo_terminal.h"

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <QFile>
#include <termios.h>
#include <unistd.h>

namespace kavo::sim {
namespace {

QString failure(const char* step) {
    return QStringLiteral("%1: %2").arg(QLatin1String(step),
                                        QString::fromLocal8Bit(std::strerror(errno)));
}

} // namespace

PseudoTerminal::~PseudoTerminal() {
    close();
}

bool PseudoTerminal::open(QString* error) {
    close();
    m_master = ::posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
    if (m_master < 0) {
        *error = failure("posix_openpt");
        return false;
    }
    char name[128];
    if (::grantpt(m_master) != 0 || ::unlockpt(m_master) != 0 ||
        ::ptsname_r(m_master, name, sizeof name) != 0) {
        *error = failure("pseudo-terminal set-up");
        close();
        return false;
    }
    m_device = ::open(name, O_RDWR | O_NOCTTY | O_CLOEXEC);
    termios settings{};
    if (m_device < 0 || ::tcgetattr(m_device, &settings) != 0) {
        *error = failure(name);
        close();
        return false;
    }
    // Raw 8-bit line: no echo, no line editing, no CR/LF translation.
    ::cfmakeraw(&settings);
    ::cfsetspeed(&settings, B19200);
    if (::tcsetattr(m_device, TCSANOW, &settings) != 0) {
        *error = failure("tcsetattr");
        close();
        return false;
    }
    const int flags = ::fcntl(m_master, F_GETFL);
    if (flags < 0 || ::fcntl(m_master, F_SETFL, flags | O_NONBLOCK) != 0) {
        *error = failure("fcntl");
        close();
        return false;
    }
    m_path = QFile::decodeName(name);
    return true;
}

void PseudoTerminal::close() {
    if (m_device >= 0)
        ::close(m_device);
    if (m_master >= 0)
        ::close(m_master);
    m_device = -1;
    m_master = -1;
}

} // namespace kavo::sim
