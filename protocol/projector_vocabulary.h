#pragma once

// The projector's words, in one place: its power states and the things it
// can be asked to do, from the panel's buttons. Every front end (kavoctl's
// verbs, PJLink, MQTT) names the projector's actions and states through
// this table; the words appear only where JSON, MQTT and PJLink need them.

#include "projector_state.h"

#include <optional>
#include <QString>
#include <QStringList>
#include <span>

namespace kavo {

enum class PowerState {
    Unknown,
    On,
    Standby,
    WarmingUp,
    CoolingDown,
    PowerFault,
    TemperatureFault,
    LampFailure,
};

// "on", "standby", "warming_up", "cooling_down", "power_fault",
// "temperature_fault", "lamp_failure"; empty for Unknown.
QString powerWord(PowerState state);
// The state a word names; Unknown for any other text.
PowerState powerStateOf(QStringView word);
bool isFault(PowerState state);
// Warming up or cooling down: on its way to On or Standby.
bool isChanging(PowerState state);
// What the state reads as in a sentence: "warming up", "in a lamp failure".
QString powerInWords(PowerState state);

// One thing the projector can be asked to do.
struct Action {
    QString name;         // plain words: "power on", "input network", "mute all on", "screen wide"
    QStringList commands; // sent in this order, each without its CR
    int button = 0;       // the panel button that sends it (CommandN), 0 for none
    // The reading that shows it took effect, where a status read confirms it,
    // and the word that reading then has (the lamp mode read says "eco" for
    // eco1 and eco2; "auto" is confirmed by any).
    std::optional<StateField> confirmedBy;
    QString confirmation;
};

// Power, the inputs (1, 2, 3, network), picture, audio and all mute, freeze,
// volume, the lamp modes, then every other button that sends a command, by
// group and caption in lower case ("screen wide", "keystone left").
std::span<const Action> actions();
const Action* findAction(QStringView name);
// The actions named `prefix`, a blank and one word ("input" gives input 1,
// input 2, input 3, input network, not "input 1 analog rgb"), in the
// table's order.
std::vector<const Action*> actionsNamed(QStringView prefix);
// Whether `reading` (the confirming field's word) shows that the action took effect.
bool confirms(const Action& action, const QString& reading);

} // namespace kavo
