#include "broker_address.h"

#include "port_paths.h"

#include <QFile>
#include <QFileInfo>
#include <QRegularExpression>
#include <QUrl>

namespace kavo {
namespace {

constexpr quint16 kMqttPort = 1883;
constexpr quint16 kMqttsPort = 8883;
constexpr qint64 kLongestPassword = 4096;
constexpr qsizetype kLongestTopic = 128;

// The text of a URL with whatever stands between "//" and "@" after the
// first ":" replaced.
QString withoutPassword(const QString& url) {
    const qsizetype start = url.indexOf(QLatin1String("//"));
    const qsizetype at = url.lastIndexOf(QLatin1Char('@'));
    if (start < 0 || at < start)
        return url;
    const qsizetype colon = url.indexOf(QLatin1Char(':'), start + 2);
    if (colon < 0 || colon > at)
        return url;
    return url.left(colon + 1) + QStringLiteral("********") + url.mid(at);
}

} // namespace

std::optional<BrokerAddress> parseBrokerAddress(const QString& text, const QString& passwordOption,
                                                QString& error) {
    const QUrl url(text, QUrl::StrictMode);
    BrokerAddress broker;
    broker.tls = url.scheme() == QLatin1String("mqtts");
    if (!url.isValid() || (!broker.tls && url.scheme() != QLatin1String("mqtt")) ||
        url.host().isEmpty() || !url.path().isEmpty() || url.hasQuery() || url.hasFragment()) {
        error = QStringLiteral("mqtt://[USER@]HOST[:PORT] or mqtts://[USER@]HOST[:PORT]");
        return std::nullopt;
    }
#ifdef Q_OS_WIN
    // The MQTT library of the Windows build has no TLS (see docs/WINDOWS.md).
    if (broker.tls) {
        error = QStringLiteral("mqtt://[USER@]HOST[:PORT]: mqtts:// is not available on Windows "
                               "yet");
        return std::nullopt;
    }
#endif
    if (!url.password().isEmpty()) {
        error = QStringLiteral("an address without a password (give it with "
                               "%1, where the process list does not show it)")
                    .arg(passwordOption);
        return std::nullopt;
    }
    broker.user = url.userName();
    broker.host = url.host();
    broker.port = quint16(url.port(broker.tls ? kMqttsPort : kMqttPort));
    if (broker.port == 0) {
        error = QStringLiteral("a port from 1 to 65535");
        return std::nullopt;
    }
    return broker;
}

std::optional<MqttSettings> mqttSettingsFor(const BrokerAddress& broker, const QString& caFile,
                                            QString& error) {
    MqttSettings settings;
    settings.host = broker.host;
    settings.port = broker.port;
    settings.tls = broker.tls;
    settings.user = broker.user;
    settings.caFile = caFile;
    if (!caFile.isEmpty()) {
        QFile authorities(caFile);
        if (!QFileInfo(caFile).isFile() || !authorities.open(QIODevice::ReadOnly)) {
            error = QStringLiteral("cannot read the MQTT certificate authority file %1: %2")
                        .arg(escapeControls(caFile),
                             QFileInfo::exists(caFile)
                                 ? (QFileInfo(caFile).isFile() ? authorities.errorString()
                                                               : QStringLiteral("not a file"))
                                 : QStringLiteral("no such file"));
            return std::nullopt;
        }
    }
    return settings;
}

QString shownBroker(QStringView value) {
    return escapeControls(withoutPassword(value.toString()));
}

OptionCheck topicInto(bool orNothing, QString& target) {
    return [orNothing, &target](const QString& text) -> std::optional<QString> {
        static const QRegularExpression topic(
            QStringLiteral("\\A[A-Za-z0-9_-]+(/[A-Za-z0-9_-]+)*\\z"));
        if ((orNothing && text.isEmpty()) ||
            (topic.match(text).hasMatch() && text.size() <= kLongestTopic)) {
            target = text;
            return std::nullopt;
        }
        return QStringLiteral("a topic of letters, digits, - and _ in levels parted by /%1")
            .arg(orNothing ? QStringLiteral(", or nothing") : QString());
    };
}

QByteArray readPasswordFile(const QString& path, const QString& what, QString& error) {
    QFile file(path);
    if (!QFileInfo(path).isFile() || !file.open(QIODevice::ReadOnly)) {
        error =
            QStringLiteral("cannot read the %1 password file %2: %3")
                .arg(what, escapeControls(path),
                     QFileInfo(path).isFile() ? file.errorString() : QStringLiteral("not a file"));
        return {};
    }
    QByteArray password = file.readLine(kLongestPassword);
    while (password.endsWith('\n') || password.endsWith('\r'))
        password.chop(1);
    if (password.isEmpty())
        error = QStringLiteral("the %1 password file %2 holds no password on its first line")
                    .arg(what, escapeControls(path));
    return password;
}

} // namespace kavo
