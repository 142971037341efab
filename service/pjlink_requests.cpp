#include "pjlink_requests.h"

#include "button_map.h"
#include "kavo_version.h"
#include "projector_vocabulary.h"

#include <array>
#include <limits>

namespace kavo::service {
namespace {

// PJLink's input numbers and the actions that choose them; the input read's
// word for each is the one that confirms its action.
struct Input {
    const char* number;
    const char* action; // empty: it can be read, not chosen
    const char* word;   // for an input no action chooses
    const char* name;   // INNM's, for an input no button chooses
};
constexpr std::array kInputs{
    Input{"11", "input 1", "", ""},
    Input{"21", "input 2", "", ""},
    Input{"22", "input 3", "", ""},
    Input{"51", "input network", "", ""},
    Input{"52", "", "wireless_viewer", "WIRELESS VIEWER"},
};

// An input's name as the panel's button shows it.
QByteArray nameOf(const Input& input) {
    const Action* action = findAction(QString::fromLatin1(input.action));
    if (!action)
        return input.name;
    for (const panel::ButtonEntry& button : panel::buttons()) {
        if (button.number == action->button) {
            const std::string_view caption = panel::shownCaption(button);
            return QByteArray(caption.data(), qsizetype(caption.size()));
        }
    }
    return {};
}

QString wordOf(const Input& input) {
    if (!*input.action)
        return QString::fromLatin1(input.word);
    const Action* action = findAction(QString::fromLatin1(input.action));
    return action ? action->confirmation : QString();
}

struct Mute {
    const char* parameter;
    const char* action;
};
constexpr std::array kMutes{
    Mute{"10", "mute picture off"}, Mute{"11", "mute picture on"}, Mute{"20", "mute audio off"},
    Mute{"21", "mute audio on"},    Mute{"30", "mute all off"},    Mute{"31", "mute all on"},
};

QStringList commandsOf(const char* action) {
    const Action* found = findAction(QString::fromLatin1(action));
    return found ? found->commands : QStringList();
}

// The text in UTF-8, cut to at most `bytes` without splitting a character.
QByteArray utf8Within(QString text, qsizetype bytes) {
    QByteArray utf8 = text.toUtf8();
    while (utf8.size() > bytes) {
        text.chop(text.size() > 1 && text.back().isLowSurrogate() ? 2 : 1);
        utf8 = text.toUtf8();
    }
    return utf8;
}

// One request being decided: its parameter, the facts, and the decision.
struct Request {
    const QByteArray& parameter;
    const PjlinkFacts& facts;
    PjlinkDecision decision;

    bool query() const { return parameter == "?"; }
    QString word(StateField field) const { return facts.state.value(field).toString(); }
    // The fields not current are to be read first; true when all are.
    bool need(std::initializer_list<StateField> fields) {
        for (const StateField field : fields) {
            const bool readForIt =
                facts.readSince.isValid() && facts.state.readAt(field) >= facts.readSince;
            if (!readForIt && !facts.state.isCurrent(field, facts.freshFor(field), facts.now))
                decision.reads.push_back(field);
        }
        return decision.reads.empty();
    }
    // Nothing that needs the projector is answered from what was known before
    // the line went down.
    bool lineDown() {
        if (facts.lineOpen)
            return false;
        decision.result = "ERR3";
        return true;
    }
    PjlinkDecision answer(const QByteArray& result) {
        decision.result = result;
        return decision;
    }
    PjlinkDecision onlyQuery(const QByteArray& result) {
        return answer(query() ? result : QByteArray("ERR2"));
    }
};

PjlinkDecision power(Request request) {
    const QByteArray& parameter = request.parameter;
    if (!request.query() && parameter != "0" && parameter != "1")
        return request.answer("ERR2");
    if (request.lineDown() || !request.need({StateField::Power}))
        return request.decision;
    const PowerState state = request.facts.state.power();
    if (request.query()) {
        switch (state) {
        case PowerState::Standby:
            return request.answer("0");
        case PowerState::On:
            return request.answer("1");
        case PowerState::CoolingDown:
            return request.answer("2");
        case PowerState::WarmingUp:
            return request.answer("3");
        default:
            return request.answer("ERR4");
        }
    }
    if (state == (parameter == "1" ? PowerState::CoolingDown : PowerState::WarmingUp))
        return request.answer("ERR3");
    request.decision.commands = commandsOf(parameter == "1" ? "power on" : "power off");
    return request.decision;
}

PjlinkDecision input(Request request) {
    if (request.query()) {
        if (request.lineDown() || !request.need({StateField::Input}))
            return request.decision;
        for (const Input& input : kInputs) {
            if (request.word(StateField::Input) == wordOf(input))
                return request.answer(input.number);
        }
        return request.answer("ERR4");
    }
    for (const Input& input : kInputs) {
        if (request.parameter != input.number)
            continue;
        if (request.lineDown())
            return request.decision;
        // An input the projector can be on but no command chooses.
        if (!*input.action)
            return request.answer("ERR3");
        request.decision.commands = commandsOf(input.action);
        return request.decision;
    }
    return request.answer("ERR2");
}

PjlinkDecision mute(Request request) {
    if (request.query()) {
        if (request.lineDown())
            return request.decision;
        const bool video = request.facts.videoMuted.value_or(false);
        const bool audio = request.facts.audioMuted.value_or(false);
        return request.answer(video && audio ? "31" : video ? "11" : audio ? "21" : "30");
    }
    for (const Mute& mute : kMutes) {
        if (request.parameter != mute.parameter)
            continue;
        if (request.lineDown())
            return request.decision;
        request.decision.commands = commandsOf(mute.action);
        return request.decision;
    }
    return request.answer("ERR2");
}

PjlinkDecision errors(Request request) {
    if (request.query() &&
        (request.lineDown() || !request.need({StateField::Power, StateField::LampStatus})))
        return request.decision;
    const PowerState state = request.facts.state.power();
    const bool lamp = state == PowerState::LampFailure ||
                      request.word(StateField::LampStatus) == QLatin1String("failure");
    QByteArray digits = "000000";
    digits[1] = lamp ? '2' : '0';
    digits[2] = state == PowerState::TemperatureFault ? '2' : '0';
    digits[5] = state == PowerState::PowerFault ? '2' : '0';
    return request.onlyQuery(digits);
}

PjlinkDecision lamp(Request request) {
    if (request.query() &&
        (request.lineDown() || !request.need({StateField::LampHours, StateField::LampStatus})))
        return request.decision;
    return request.onlyQuery(
        QByteArray::number(request.facts.state.value(StateField::LampHours).toInt()) +
        (request.word(StateField::LampStatus) == QLatin1String("on") ? " 1" : " 0"));
}

PjlinkDecision inputs(Request request) {
    // Every input INPT ? may answer.
    QByteArrayList numbers;
    for (const Input& input : kInputs)
        numbers.append(input.number);
    return request.onlyQuery(numbers.join(' '));
}

PjlinkDecision inputName(Request request) {
    // "?11": the name of input 11.
    for (const Input& input : kInputs) {
        if (request.parameter == QByteArray("?") + input.number)
            return request.answer(utf8Within(QString::fromUtf8(nameOf(input)), 64));
    }
    return request.answer("ERR2");
}

// A setting the projector has no read for: "0" and "1" choose it, "?" is
// answered with the last one anybody chose, if `known` is given.
PjlinkDecision twoWay(Request request, const char* off, const char* on,
                      const std::optional<bool>* known) {
    if (request.query() && known) {
        if (request.lineDown())
            return request.decision;
        return request.answer(known->value_or(false) ? "1" : "0");
    }
    if (request.parameter != "0" && request.parameter != "1")
        return request.answer("ERR2");
    if (request.lineDown())
        return request.decision;
    request.decision.commands = commandsOf(request.parameter == "1" ? on : off);
    return request.decision;
}

// What this projector cannot report or do at all.
PjlinkDecision lacking(Request request) {
    return request.answer("ERR1");
}

// Which requests' headers a handler answers: "%1", "%2" or both.
enum Classes { kClass1 = 1, kClass2 = 2, kBoth = 3 };

struct Handler {
    const char* command;
    Classes classes;
    PjlinkDecision (*decide)(Request request);
};
const std::array kHandlers{
    Handler{"POWR", kClass1, power},
    Handler{"INPT", kBoth, input},
    Handler{"AVMT", kClass1, mute},
    Handler{"ERST", kClass1, errors},
    Handler{"LAMP", kClass1, lamp},
    Handler{"INST", kBoth, inputs},
    Handler{"NAME", kClass1,
            [](Request request) {
                return request.onlyQuery(utf8Within(request.facts.projectorName, 64));
            }},
    Handler{"INF1", kClass1, [](Request request) { return request.onlyQuery("KAVO"); }},
    Handler{"INF2", kClass1,
            [](Request request) { return request.onlyQuery(utf8Within(request.facts.model, 32)); }},
    Handler{"INFO", kClass1,
            [](Request request) {
                return request.onlyQuery(QByteArray("kavo-projectord ") + KAVO_VERSION);
            }},
    Handler{"CLSS", kClass1,
            [](Request request) {
                return request.onlyQuery(QByteArray::number(request.facts.pjlinkClass));
            }},
    Handler{"SNUM", kClass2,
            [](Request request) {
                if (request.facts.serialNumber.isEmpty())
                    return request.answer("ERR1");
                return request.onlyQuery(utf8Within(request.facts.serialNumber, 32));
            }},
    Handler{"SVER", kClass2,
            [](Request request) {
                return request.onlyQuery(utf8Within(QString::fromLatin1(KAVO_VERSION), 32));
            }},
    Handler{"INNM", kClass2, inputName},
    Handler{"FREZ", kClass2,
            [](Request request) {
                return twoWay(request, "freeze off", "freeze on", &request.facts.frozen);
            }},
    Handler{"SVOL", kClass2,
            [](Request request) { return twoWay(request, "volume down", "volume up", nullptr); }},
    Handler{"MVOL", kClass2, lacking},
    Handler{"IRES", kClass2, lacking},
    Handler{"RRES", kClass2, lacking},
    Handler{"FILT", kClass2, lacking},
    Handler{"RLMP", kClass2, lacking},
    Handler{"RFIL", kClass2, lacking},
};

const Handler* handlerOf(const QByteArray& command, char header, int pjlinkClass) {
    const int headerClass = header == '1' ? kClass1 : header == '2' ? kClass2 : 0;
    if (headerClass == 0 || headerClass > pjlinkClass)
        return nullptr;
    const auto found = std::ranges::find_if(kHandlers, [&](const Handler& handler) {
        return command == handler.command && (handler.classes & headerClass) != 0;
    });
    return found == kHandlers.end() ? nullptr : &*found;
}

} // namespace

PjlinkDecision decidePjlink(const QByteArray& command, const QByteArray& parameter,
                            const PjlinkFacts& facts, char header) {
    if (const Handler* handler = handlerOf(command, header, facts.pjlinkClass))
        return handler->decide(Request{parameter, facts, {}});
    return {"ERR1", {}, {}};
}

bool knownPjlinkRequest(const QByteArray& command, char header, int pjlinkClass) {
    return handlerOf(command, header, pjlinkClass) != nullptr;
}

std::optional<QByteArray> pjlinkStatus(const QByteArray& command, const PjlinkFacts& facts) {
    PjlinkFacts known = facts;
    known.freshFor = [](StateField) { return std::chrono::milliseconds::max(); };
    known.readSince = {};
    const PjlinkDecision decision = decidePjlink(command, "?", known);
    if (!decision.reads.empty() || decision.result.startsWith("ERR"))
        return std::nullopt;
    return decision.result;
}

} // namespace kavo::service
