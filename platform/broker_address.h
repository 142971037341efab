#pragma once

// Where an MQTT broker is and how to log in, as kavo-projectord's --mqtt and
// kavoctl's --broker take it: one reading of the address for both, so that a
// URL one accepts the other does too.

#include "mqtt_link.h"
#include "option_table.h"

#include <optional>
#include <QByteArray>
#include <QString>

namespace kavo {

// mqtt://[USER@]HOST[:PORT] or mqtts://...
struct BrokerAddress {
    bool tls = false;
    QString user;
    QString host;
    quint16 port = 1883;
};

// mqtt://[USER@]HOST[:PORT] or mqtts://[USER@]HOST[:PORT]; 1883 and 8883
// when no port is given. A password in the address is refused: it would
// show in the process list; `passwordOption` names the option that takes it.
std::optional<BrokerAddress> parseBrokerAddress(const QString& text, const QString& passwordOption,
                                                QString& error);

// The link's settings for the broker (without a login's password, client id
// and will): empty, with why in `error`, when the authorities' file (with
// mqtts; empty: the system's) cannot be read.
std::optional<MqttSettings> mqttSettingsFor(const BrokerAddress& broker, const QString& caFile,
                                            QString& error);

// A broker's address as given, for messages: without a password, even in a
// URL that is not valid otherwise.
QString shownBroker(QStringView value);

// A topic of letters, digits, - and _ in levels parted by /, at most 128
// characters; an empty one too where `orNothing` says so.
OptionCheck topicInto(bool orNothing, QString& target);

// The first line of a password file (a regular file only: a FIFO put there
// would hang the reader), without its line end. Empty with "cannot read the
// WHAT password file PATH: why" or "... holds no password" in `error`.
QByteArray readPasswordFile(const QString& path, const QString& what, QString& error);

} // namespace kavo
