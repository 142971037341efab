#include "web_views.h"

#include "button_map.h"
#include "catalogue.h"

#include <QJsonDocument>

namespace kavo::web {
namespace {

QByteArray compact(const QJsonObject& object) {
    return QJsonDocument(object).toJson(QJsonDocument::Compact);
}

QString word(std::string_view text) {
    return QString::fromUtf8(text.data(), qsizetype(text.size()));
}

QJsonObject rectJson(const panel::Rect& rect) {
    return {{QStringLiteral("left"), rect.left},
            {QStringLiteral("top"), rect.top},
            {QStringLiteral("width"), rect.width},
            {QStringLiteral("height"), rect.height}};
}

QString kindWord(panel::Kind kind) {
    switch (kind) {
    case panel::Kind::Click:
        return QStringLiteral("click");
    case panel::Kind::Hold:
        return QStringLiteral("hold");
    case panel::Kind::End:
        return QStringLiteral("end");
    case panel::Kind::Com:
        return QStringLiteral("com");
    case panel::Kind::CommandTable:
        return QStringLiteral("command_table");
    }
    return {};
}

QJsonValue arrowWord(panel::Arrow arrow) {
    switch (arrow) {
    case panel::Arrow::None:
        return QJsonValue::Null;
    case panel::Arrow::Up:
        return QStringLiteral("up");
    case panel::Arrow::Down:
        return QStringLiteral("down");
    case panel::Arrow::Left:
        return QStringLiteral("left");
    case panel::Arrow::Right:
        return QStringLiteral("right");
    }
    return QJsonValue::Null;
}

QString tintWord(panel::Tint tint) {
    static const char* const words[] = {"teal", "green",  "red",  "yellow",
                                        "cyan", "orange", "pink", "system"};
    return QString::fromLatin1(words[int(tint)]);
}

const panel::ButtonEntry* buttonSending(const QString& command) {
    for (const panel::ButtonEntry& button : panel::buttons()) {
        if (word(button.command) == command)
            return &button;
    }
    return nullptr;
}

} // namespace

const QByteArray& panelJson() {
    static const QByteArray json = [] {
        QJsonArray frames;
        for (const panel::FrameEntry& frame : panel::frames())
            frames.append(
                QJsonObject{{QStringLiteral("number"), frame.number},
                            {QStringLiteral("title"), word(panel::frameTitle(frame.number))},
                            {QStringLiteral("rect"), rectJson(frame.rect)}});
        QJsonArray buttons;
        for (const panel::ButtonEntry& button : panel::buttons()) {
            // Ending the program and the port dialog mean nothing on the web.
            if (button.kind != panel::Kind::Click && button.kind != panel::Kind::Hold)
                continue;
            buttons.append(QJsonObject{
                {QStringLiteral("number"), button.number},
                {QStringLiteral("frame"), button.frame},
                {QStringLiteral("group"), word(panel::groupName(button))},
                {QStringLiteral("caption"), word(panel::shownCaption(button))},
                {QStringLiteral("accessible_name"), word(panel::accessibleName(button))},
                {QStringLiteral("command"), word(button.command)},
                {QStringLiteral("kind"), kindWord(button.kind)},
                {QStringLiteral("arrow"), arrowWord(button.arrow)},
                {QStringLiteral("tint"), tintWord(button.tint)},
                {QStringLiteral("rect"), rectJson(button.rect)},
            });
        }
        QJsonArray titles;
        for (const panel::TitleEntry& title : panel::titles())
            titles.append(QJsonObject{{QStringLiteral("number"), title.number},
                                      {QStringLiteral("frame"), title.frame},
                                      {QStringLiteral("caption"), word(title.caption)},
                                      {QStringLiteral("rect"), rectJson(title.rect)}});
        return compact({{QStringLiteral("frames"), frames},
                        {QStringLiteral("buttons"), buttons},
                        {QStringLiteral("titles"), titles}});
    }();
    return json;
}

const QByteArray& catalogueJson() {
    static const QByteArray json = [] {
        const auto list = [](const char* name, const QStringList& entries) {
            return QJsonObject{{QStringLiteral("name"), QString::fromLatin1(name)},
                               {QStringLiteral("entries"), QJsonArray::fromStringList(entries)}};
        };
        return compact({{QStringLiteral("lists"),
                         QJsonArray{list("basic", catalogue::basicList()),
                                    list("extended_set", catalogue::extendedSetList()),
                                    list("extended_read", catalogue::extendedReadList())}}});
    }();
    return json;
}

const QByteArray& actionsJson() {
    static const QByteArray json = [] {
        QJsonArray list;
        for (const Action& action : actions())
            list.append(QJsonObject{
                {QStringLiteral("name"), action.name},
                {QStringLiteral("button"), action.button},
                {QStringLiteral("commands"), QJsonArray::fromStringList(action.commands)}});
        return compact({{QStringLiteral("actions"), list}});
    }();
    return json;
}

QString powerHeadline(PowerState state) {
    switch (state) {
    case PowerState::Unknown:
        return QStringLiteral("Unknown");
    case PowerState::On:
        return QStringLiteral("On");
    case PowerState::Standby:
        return QStringLiteral("Standby");
    case PowerState::WarmingUp:
        return QStringLiteral("Warming up");
    case PowerState::CoolingDown:
        return QStringLiteral("Cooling down");
    case PowerState::PowerFault:
        return QStringLiteral("Power fault");
    case PowerState::TemperatureFault:
        return QStringLiteral("Temperature fault");
    case PowerState::LampFailure:
        return QStringLiteral("Lamp failure");
    }
    return QStringLiteral("Unknown");
}

bool StatusReadings::take(const Exchange& exchange, const QDateTime& at) {
    if (!exchange.statusRead || !exchange.status)
        return false;
    Reading& reading = m_readings[exchange.command];
    const bool changed = reading.text != *exchange.status;
    reading = {*exchange.status, at};
    return changed;
}

QJsonArray StatusReadings::toJson() const {
    QJsonArray list;
    for (std::size_t field = 0; field < kStateFieldCount; ++field) {
        const QString command = readCommand(StateField(field));
        const panel::ButtonEntry* button = buttonSending(command);
        const auto found = m_readings.find(command);
        const bool known = found != m_readings.end();
        list.append(QJsonObject{
            {QStringLiteral("read"), command},
            {QStringLiteral("name"), button ? word(panel::accessibleName(*button)) : command},
            {QStringLiteral("button"), button ? button->number : 0},
            {QStringLiteral("text"), known ? QJsonValue(found->second.text) : QJsonValue()},
            {QStringLiteral("read_at"),
             known ? QJsonValue(found->second.at.toString(Qt::ISODateWithMs)) : QJsonValue()},
        });
    }
    return list;
}

} // namespace kavo::web
