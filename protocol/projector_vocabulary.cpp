#include "projector_vocabulary.h"

#include "button_map.h"
#include "line_settings.h"
#include "status_decoders.h"

#include <array>

namespace kavo {
namespace {

struct PowerName {
    PowerState state;
    const char* word;
    const char* words;
};
constexpr std::array kPowerNames{
    PowerName{PowerState::On, "on", "on"},
    PowerName{PowerState::Standby, "standby", "in standby"},
    PowerName{PowerState::WarmingUp, "warming_up", "warming up"},
    PowerName{PowerState::CoolingDown, "cooling_down", "cooling down"},
    PowerName{PowerState::PowerFault, "power_fault", "in a power fault"},
    PowerName{PowerState::TemperatureFault, "temperature_fault", "in a temperature fault"},
    PowerName{PowerState::LampFailure, "lamp_failure", "in a lamp failure"},
};

// The named actions: the button's group and caption as the panel shows
// them, and what confirms it.
struct Named {
    const char* name;
    const char* group;
    const char* caption;
    std::optional<StateField> confirmedBy;
    const char* confirmation;
};
const std::array kNamed{
    Named{"power on", "POWER", "ON", StateField::Power, "on"},
    Named{"power off", "POWER", "OFF", StateField::Power, "standby"},
    Named{"input 1", "INPUT 1", "INPUT1", StateField::Input, "input_1"},
    Named{"input 2", "INPUT 2", "INPUT2", StateField::Input, "input_2"},
    Named{"input 3", "INPUT 3", "INPUT3", StateField::Input, "input_3"},
    Named{"input network", "INPUT 4", "NETWORK", StateField::Input, "wired"},
    Named{"mute picture on", "VIDEO MUTE", "ON", std::nullopt, ""},
    Named{"mute picture off", "VIDEO MUTE", "OFF", std::nullopt, ""},
    Named{"mute audio on", "AUDIO MUTE", "ON", std::nullopt, ""},
    Named{"mute audio off", "AUDIO MUTE", "OFF", std::nullopt, ""},
    Named{"freeze on", "FREEZE", "ON", std::nullopt, ""},
    Named{"freeze off", "FREEZE", "OFF", std::nullopt, ""},
    Named{"volume up", "VOLUME", "up", std::nullopt, ""},
    Named{"volume down", "VOLUME", "down", std::nullopt, ""},
    Named{"lamp-mode normal", "LAMP MODE", "NORMAL", StateField::LampMode, "normal"},
    Named{"lamp-mode eco1", "LAMP MODE", "ECO1", StateField::LampMode, "eco"},
    Named{"lamp-mode eco2", "LAMP MODE", "ECO2", StateField::LampMode, "eco"},
    Named{"lamp-mode auto", "LAMP MODE", "AUTO", StateField::LampMode, ""},
};

const panel::ButtonEntry* buttonOf(const char* group, const char* caption) {
    for (const panel::ButtonEntry& button : panel::buttons()) {
        if (panel::groupName(button) == group && panel::shownCaption(button) == caption)
            return &button;
    }
    return nullptr;
}

std::vector<Action> buildActions() {
    std::vector<Action> table;
    std::vector<int> used;
    for (const Named& named : kNamed) {
        const panel::ButtonEntry* button = buttonOf(named.group, named.caption);
        Q_ASSERT(button);
        table.push_back({QString::fromLatin1(named.name),
                         {QString::fromLatin1(button->command)},
                         button->number,
                         named.confirmedBy,
                         QString::fromLatin1(named.confirmation)});
        used.push_back(button->number);
    }
    // Both mutes: the picture's, then the sound's, as the panel's two buttons.
    const auto commandsOf = [&](const QString& name) {
        return std::ranges::find(table, name, &Action::name)->commands;
    };
    std::vector<Action> both;
    for (const char* way : {"on", "off"}) {
        const QString on = QLatin1String(way);
        both.push_back({QStringLiteral("mute all ") + on,
                        commandsOf(QStringLiteral("mute picture ") + on) +
                            commandsOf(QStringLiteral("mute audio ") + on),
                        0,
                        std::nullopt,
                        {}});
    }
    table.insert(std::ranges::find(table, QStringLiteral("freeze on"), &Action::name), both.begin(),
                 both.end());
    for (const panel::ButtonEntry& button : panel::buttons()) {
        if (button.command.empty() || std::ranges::find(used, button.number) != used.end() ||
            isStatusRead(commandLine(QString::fromLatin1(button.command))))
            continue;
        const QString name = (QString::fromStdString(panel::groupName(button)) + QLatin1Char(' ') +
                              QString::fromLatin1(panel::shownCaption(button)))
                                 .toLower()
                                 .simplified();
        table.push_back({name, {QString::fromLatin1(button.command)}, button.number, {}, {}});
    }
    return table;
}

} // namespace

QString powerWord(PowerState state) {
    for (const PowerName& name : kPowerNames) {
        if (name.state == state)
            return QString::fromLatin1(name.word);
    }
    return {};
}

PowerState powerStateOf(QStringView word) {
    for (const PowerName& name : kPowerNames) {
        if (word == QLatin1String(name.word))
            return name.state;
    }
    return PowerState::Unknown;
}

bool isFault(PowerState state) {
    return state == PowerState::PowerFault || state == PowerState::TemperatureFault ||
           state == PowerState::LampFailure;
}

bool isChanging(PowerState state) {
    return state == PowerState::WarmingUp || state == PowerState::CoolingDown;
}

QString powerInWords(PowerState state) {
    for (const PowerName& name : kPowerNames) {
        if (name.state == state)
            return QString::fromLatin1(name.words);
    }
    return QStringLiteral("in a state not known");
}

std::span<const Action> actions() {
    static const std::vector<Action> table = buildActions();
    return table;
}

const Action* findAction(QStringView name) {
    for (const Action& action : actions()) {
        if (action.name == name)
            return &action;
    }
    return nullptr;
}

std::vector<const Action*> actionsNamed(QStringView prefix) {
    std::vector<const Action*> found;
    for (const Action& action : actions()) {
        if (action.name.startsWith(prefix) && action.name.size() > prefix.size() + 1 &&
            action.name[prefix.size()] == QLatin1Char(' ') &&
            !QStringView(action.name).mid(prefix.size() + 1).contains(QLatin1Char(' ')))
            found.push_back(&action);
    }
    return found;
}

bool confirms(const Action& action, const QString& reading) {
    return action.confirmedBy && (action.confirmation.isEmpty() || reading == action.confirmation);
}

} // namespace kavo
