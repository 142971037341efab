#pragma once

// Home Assistant's discovery for one projector, as data: the retained
// configuration messages that make it one device with a power switch,
// selects for the input and the lamp mode, sensors, a problem sensor, an
// alert event and a button for each of the panel's other click buttons. And the words the
// bridge's topics take for the inputs and lamp modes, from the vocabulary.

#include "projector_vocabulary.h"

#include <QByteArray>
#include <QString>
#include <QStringList>
#include <utility>
#include <vector>

namespace kavo::service {

struct DiscoverySettings {
    QString prefix; // "homeassistant"
    QString base;   // the projector's topics: "kavo/hall-a"
    QString name;
    QString model;
    QString url; // the device's page; empty: none
};

// (topic, payload), every one retained.
std::vector<std::pair<QString, QByteArray>> discoveryMessages(const DiscoverySettings& settings);

// input/set takes the input read's words (input_1 ... wired), lamp_mode/set
// the LAMP MODE captions (normal, eco1 ...).
QStringList inputPayloads();
QStringList lampModePayloads();
const Action* inputForPayload(const QString& payload);
const Action* lampModeForPayload(const QString& payload);

} // namespace kavo::service
