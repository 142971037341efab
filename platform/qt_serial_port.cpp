#include "qt_serial_port.h"

#include "port_paths.h"

#include <QFileInfo>
#include <QStandardPaths>

#ifndef Q_OS_WIN
#include <grp.h>
#include <unistd.h>
#endif

namespace kavo {
namespace {

qint32 baudFromSettings(const QString& settings) {
    bool ok = false;
    const qint32 baud = settings.section(QLatin1Char(','), 0, 0).toInt(&ok);
    return ok && baud > 0 ? baud : 9600;
}

// The device a path stands for now: the end of its links, else the path.
QString resolvedDevice(const QString& path) {
#ifdef Q_OS_WIN
    return path; // "COMn": no links to follow
#endif
    const QString device = QFileInfo(path).canonicalFilePath();
    return device.isEmpty() ? path : device;
}

QString openFailureReason(const QString& path, const QSerialPort& port) {
    const QFileInfo info(path);
    const QString device = shownDevice(path);
    const QSerialPort::SerialPortError error = port.error();
    if (error == QSerialPort::DeviceNotFoundError || !info.exists())
        return QStringLiteral("No such device: %1.").arg(device);
#ifndef Q_OS_WIN
    if (info.isDir())
        return QStringLiteral("%1 is a folder, not a serial device.").arg(device);
    if (info.isFile())
        return QStringLiteral("%1 is a regular file, not a serial device.").arg(device);
    if (error == QSerialPort::PermissionError) {
        const QByteArray native = QFile::encodeName(path);
        if (::access(native.constData(), R_OK | W_OK) == 0) {
            const QString holder = lockHolder(resolvedDevice(path));
            return holder.isEmpty() ? QStringLiteral("%1 is in use by another program.").arg(device)
                                    : holder;
        }
        return permissionDeniedReason(device, info.group());
    }
#else
    if (error == QSerialPort::PermissionError)
        return QStringLiteral("%1 is in use by another program, or access is denied.").arg(device);
#endif
    return QStringLiteral("%1 cannot be opened (%2).").arg(device, port.errorString());
}

} // namespace

QString permissionDeniedReason(const QString& device, const QString& owningGroup) {
    // Not "tty": its members may write to every user's terminal.
    static const QStringList kSerialGroups{QStringLiteral("dialout"), QStringLiteral("uucp"),
                                           QStringLiteral("serial")};
    if (kSerialGroups.contains(owningGroup)) {
        return QStringLiteral("Permission denied for %1. Join the group that owns it "
                              "(sudo usermod -aG %2 $USER), then log in again.")
            .arg(device, owningGroup);
    }
    // The udev advice names a serial-line group this system has, if any.
    QString group;
#ifndef Q_OS_WIN
    for (const QString& name : kSerialGroups) {
        if (::getgrnam(name.toLatin1().constData()) != nullptr) {
            group = QStringLiteral("the group ") + name;
            break;
        }
    }
#endif
    if (group.isEmpty())
        group = QStringLiteral("a group of yours");
    return QStringLiteral("Permission denied for %1. It is not open to any of your groups: "
                          "ask the administrator for access, for example a udev rule that "
                          "gives the device to %2.")
        .arg(device, group);
}

QString serialLockFilePath(const QString& device) {
    // The folders and their order are those of Qt's serial port.
    static const QStringList kFolders{
        QStringLiteral("/var/lock"),
        QStringLiteral("/etc/locks"),
        QStringLiteral("/var/spool/locks"),
        QStringLiteral("/var/spool/uucp"),
        QStringLiteral("/tmp"),
        QStringLiteral("/var/tmp"),
        QStringLiteral("/var/lock/lockdev"),
        QStringLiteral("/run/lock"),
        QStandardPaths::writableLocation(QStandardPaths::TempLocation)};
    QString name = device.startsWith(QLatin1String("/dev/")) ? device.mid(5) : device;
    name.replace(QLatin1Char('/'), QLatin1Char('_'));
    name.prepend(QLatin1String("/LCK.."));
    for (const QString& folder : kFolders) {
        const QFileInfo info(folder);
        if (info.isReadable() && (QFile::exists(folder + name) || info.isWritable()))
            return folder + name;
    }
    return {};
}

QString lockHolder(const QString& device) {
    const QString path = serialLockFilePath(device);
    QFile lock(path);
    if (path.isEmpty() || !lock.open(QIODevice::ReadOnly))
        return {};
    // The first line holds the process id, as text (possibly padded with blanks).
    bool number = false;
    const qint64 pid = lock.readLine(64).trimmed().toLongLong(&number);
    if (!number || pid <= 0) {
        return QStringLiteral("%1 is locked by the lock file %2, which names no process.")
            .arg(device, path);
    }
    if (processRunning(pid)) {
        return QStringLiteral("%1 is in use: process %2 holds its lock file %3.")
            .arg(device)
            .arg(pid)
            .arg(path);
    }
    return QStringLiteral("%1 is locked by the lock file %2 of process %3, which is no longer "
                          "running; the lock file belongs to %4, who can remove it.")
        .arg(device, path)
        .arg(pid)
        .arg(QFileInfo(path).owner());
}

QtSerialPort::QtSerialPort(QString device, QObject* parent)
    : QObject(parent), m_device(std::move(device)) {
    connect(&m_port, &QSerialPort::readyRead, this, [this] { raise(CommEvent::Receive); });
    connect(&m_port, &QSerialPort::errorOccurred, this, &QtSerialPort::onError);
}

QtSerialPort::~QtSerialPort() = default;

void QtSerialPort::setSettings(const QString& settings) {
    m_settings = settings;
    if (m_port.isOpen())
        m_port.setBaudRate(baudFromSettings(m_settings));
}

OpenResult QtSerialPort::open() {
    if (m_port.isOpen())
        return {false, QStringLiteral("The port is already open.")};
    m_port.setPortName(resolvedDevice(m_device));
    m_port.setBaudRate(baudFromSettings(m_settings));
    m_port.setDataBits(QSerialPort::Data8);
    m_port.setParity(QSerialPort::NoParity);
    m_port.setStopBits(QSerialPort::OneStop);
    m_port.setFlowControl(QSerialPort::NoFlowControl);
    if (!m_port.open(QIODevice::ReadWrite))
        return {false, openFailureReason(m_device, m_port)};
    m_port.clearError();
    return {true, {}};
}

QString QtSerialPort::lineSettings() const {
    constexpr char kParityLetters[] = "N-EOSM"; // by QSerialPort::Parity value
    const QSerialPort::StopBits stop = m_port.stopBits();
    QString text = QStringLiteral("%1,%2,%3,%4")
                       .arg(m_port.baudRate())
                       .arg(QLatin1Char(kParityLetters[m_port.parity()]))
                       .arg(int(m_port.dataBits()))
                       .arg(stop == QSerialPort::OneAndHalfStop ? QStringLiteral("1.5")
                                                                : QString::number(int(stop)));
    if (m_port.flowControl() == QSerialPort::HardwareControl)
        text += QStringLiteral(",RTS/CTS");
    else if (m_port.flowControl() == QSerialPort::SoftwareControl)
        text += QStringLiteral(",XON/XOFF");
    return text;
}

void QtSerialPort::close() {
    if (m_port.isOpen())
        m_port.close();
}

void QtSerialPort::write(const QByteArray& bytes) {
    if (!m_port.isOpen())
        return;
    m_port.write(bytes);
    // Hand the bytes to the driver now rather than on the next loop turn.
    m_port.flush();
}

QByteArray QtSerialPort::readAll() {
    if (!m_port.isOpen())
        return {};
    return m_port.readAll();
}

void QtSerialPort::onError(QSerialPort::SerialPortError error) {
    switch (error) {
    case QSerialPort::ReadError:
    case QSerialPort::ResourceError:
    case QSerialPort::WriteError:
        // Left open, a vanished device keeps raising read errors in a tight loop.
        if (m_port.isOpen()) {
            m_port.close();
            m_port.clearError();
            raise(CommEvent::LineLost);
        }
        break;
    default:
        // Not-supported requests for modem lines on pseudo-terminals and the like
        // are harmless.
        break;
    }
}

} // namespace kavo
