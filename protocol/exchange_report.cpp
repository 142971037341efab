#include "exchange_report.h"

namespace kavo {

bool noReply(ReplyKind kind) {
    return kind == ReplyKind::NoReply || kind == ReplyKind::LineLost;
}

QString exchangeProblem(const Exchange& exchange, std::chrono::milliseconds window) {
    const QString command = exchange.command;
    switch (exchange.kind) {
    case ReplyKind::Answered:
        break;
    case ReplyKind::NoReply:
        return QStringLiteral("no reply to \"%1\" within %2 ms").arg(command).arg(window.count());
    case ReplyKind::LineLost:
        if (!exchange.reply.isEmpty()) {
            return QStringLiteral("the line was lost after part of the reply to \"%1\" "
                                  "(RxD:%2); nothing more is sent")
                .arg(command, exchange.replyTrace);
        }
        return QStringLiteral("the line was lost waiting for the reply to \"%1\"; "
                              "nothing more is sent")
            .arg(command);
    case ReplyKind::Refused:
        return QStringLiteral("the projector refused \"%1\" (\"?\")").arg(command);
    case ReplyKind::Unfinished:
        return QStringLiteral("the reply to \"%1\" did not end within %2 ms")
            .arg(command)
            .arg(window.count());
    case ReplyKind::Overflow:
        return QStringLiteral("the reply to \"%1\" filled the %2-character receive buffer "
                              "without ending; the rest was dropped")
            .arg(command)
            .arg(exchange.reply.size());
    case ReplyKind::Undecoded:
        return QStringLiteral("the reply to the status read \"%1\" is not one the panel decodes")
            .arg(command);
    }
    return {};
}

QString outcomeWord(ReplyKind kind) {
    switch (kind) {
    case ReplyKind::Answered:
        return QStringLiteral("answered");
    case ReplyKind::NoReply:
        return QStringLiteral("no answer");
    case ReplyKind::LineLost:
        return QStringLiteral("line lost");
    case ReplyKind::Refused:
        return QStringLiteral("refused");
    case ReplyKind::Unfinished:
        return QStringLiteral("unfinished");
    case ReplyKind::Overflow:
        return QStringLiteral("overflow");
    case ReplyKind::Undecoded:
        return QStringLiteral("undecoded");
    }
    return {};
}

QJsonObject exchangeToJson(const Exchange& exchange) {
    return QJsonObject{
        {QStringLiteral("command"), exchange.command},
        {QStringLiteral("reply"), exchange.reply},
        {QStringLiteral("trace"), exchange.replyTrace},
        {QStringLiteral("decoded"),
         exchange.status ? QJsonValue(*exchange.status) : QJsonValue(QJsonValue::Null)},
        {QStringLiteral("answered"), endedProperly(exchange.kind)},
        {QStringLiteral("outcome"), outcomeWord(exchange.kind)},
    };
}

} // namespace kavo
