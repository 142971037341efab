// The projector's words: the actions built from the panel's buttons,
// managed power driven through a real exchange on the fake line and clock,
// and how many projectors are asked for an action through a broker.

#include "button_map.h"
#include "fakes.h"
#include "group_request.h"
#include "managed_power.h"
#include "projector_vocabulary.h"

#include <QJsonDocument>
#include <QJsonObject>
#include <QTest>

using namespace kavo;
using namespace kavo::test;
using namespace std::chrono_literals;

class TestVocabulary : public QObject {
    Q_OBJECT
  private slots:
    void actions_data() {
        QTest::addColumn<QString>("name");
        QTest::addColumn<QStringList>("commands");
        QTest::addColumn<QString>("confirmation");
        QTest::newRow("power on") << "power on" << QStringList{"C00"} << "on";
        QTest::newRow("power off") << "power off" << QStringList{"C01"} << "standby";
        QTest::newRow("input network") << "input network" << QStringList{"C08"} << "wired";
        QTest::newRow("mute all on") << "mute all on" << QStringList{"C0D", "C0B"} << "";
        QTest::newRow("lamp-mode eco2")
            << "lamp-mode eco2" << QStringList{"CF LAMPMODE ECO2"} << "eco";
        QTest::newRow("by group and caption") << "screen wide" << QStringList{"C10"} << "";
        QTest::newRow("an arrow") << "keystone left" << QStringList{"C91"} << "";
    }
    void actions() {
        QFETCH(QString, name);
        const Action* action = findAction(name);
        QVERIFY(action);
        QTEST(action->commands, "commands");
        QTEST(action->confirmation, "confirmation");
    }

    // Every button that sends a command, but the status reads, is an action.
    void everyButtonIsAnAction() {
        int buttons = 0;
        for (const panel::ButtonEntry& button : panel::buttons()) {
            if (button.command.empty() || button.tint == panel::Tint::Cyan)
                continue;
            ++buttons;
            QVERIFY2(std::ranges::any_of(
                         kavo::actions(),
                         [&](const Action& action) { return action.button == button.number; }),
                     button.caption.data());
        }
        QCOMPARE(qsizetype(kavo::actions().size()), qsizetype(buttons) + 2); // and both mutes
        QCOMPARE(actionsNamed(u"input").size(), std::size_t(4));
    }

    void powerWords() {
        for (const PowerState state :
             {PowerState::On, PowerState::Standby, PowerState::WarmingUp, PowerState::CoolingDown,
              PowerState::PowerFault, PowerState::TemperatureFault, PowerState::LampFailure})
            QCOMPARE(powerStateOf(powerWord(state)), state);
        QCOMPARE(powerStateOf(u"ON"), PowerState::Unknown);
        QVERIFY(powerWord(PowerState::Unknown).isEmpty());
    }

    // Managed power from every starting state: the power reads' answers in
    // turn (the last repeats), what went out, and the outcome.
    void managedPower_data() {
        QTest::addColumn<bool>("on");
        QTest::addColumn<QStringList>("reads");
        QTest::addColumn<QStringList>("sent");
        QTest::addColumn<bool>("reached");
        QTest::addColumn<QString>("words");
        QTest::newRow("on from standby")
            << true << QStringList{"80", "40", "40", "00"}
            << QStringList{"CR0", "C00", "CR0", "CR0", "CR0"} << true << "on";
        QTest::newRow("on waits for the cool-down")
            << true << QStringList{"20", "20", "80", "40", "00"}
            << QStringList{"CR0", "CR0", "CR0", "C00", "CR0", "CR0"} << true << "on";
        QTest::newRow("on while warming up sends nothing")
            << true << QStringList{"40", "00"} << QStringList{"CR0", "CR0"} << true << "on";
        QTest::newRow("on when on")
            << true << QStringList{"00"} << QStringList{"CR0"} << true << "on";
        QTest::newRow("off waits for the warm-up")
            << false << QStringList{"40", "00", "20", "80"}
            << QStringList{"CR0", "CR0", "C01", "CR0", "CR0"} << true << "in standby";
        QTest::newRow("off from on")
            << false << QStringList{"00", "20", "80"} << QStringList{"CR0", "C01", "CR0", "CR0"}
            << true << "in standby";
        QTest::newRow("a lamp failure") << true << QStringList{"21"} << QStringList{"CR0"} << false
                                        << "the projector is in a lamp failure";
        QTest::newRow("never gets there")
            << true << QStringList{"20"} << QStringList(5, QStringLiteral("CR0")) << false
            << "still cooling down after 10 s";
        QTest::newRow("a silent projector") << true << QStringList{""} << QStringList{"CR0"}
                                            << false << "the status read got no answer";
    }
    void managedPower() {
        QFETCH(bool, on);
        QFETCH(QStringList, reads);
        FakeClock clock;
        FakeSerialPort port;
        QVERIFY(port.open());
        Exchanger exchanger(port, clock, 1000ms);
        ManagedPower power(
            [&](const QString& command, ManagedPower::Ended ended) {
                exchanger.exchange(command,
                                   [ended](const Exchange& exchange) { ended(&exchange); });
            },
            clock);
        std::optional<ManagedPower::Outcome> outcome;
        power.start(on, 10s, [&](const ManagedPower::Outcome& got) { outcome = got; });
        QStringList went;
        for (int step = 0; step < 1500 && !outcome; ++step) {
            // The projector answers what went out in the last 10 ms.
            const QByteArray written = port.takeWritten();
            if (!written.isEmpty()) {
                went.append(QString::fromLatin1(written.chopped(1)));
                const QString reply =
                    went.constLast() != QLatin1String("CR0") ? QStringLiteral("\x06")
                    : reads.size() > 1                       ? reads.takeFirst() + QLatin1Char('\r')
                    : reads.constFirst().isEmpty()           ? QString()
                                                   : reads.constFirst() + QLatin1Char('\r');
                if (!reply.isEmpty())
                    port.receive(reply);
            }
            clock.advance(10ms);
        }
        QVERIFY(outcome);
        QTEST(went, "sent");
        QTEST(outcome->reached, "reached");
        QTEST(outcome->words, "words");
    }

    // `action` empty: the message names none. `sent`: it is also what a
    // requester sends for the action.
    void brokerMessages_data() {
        QTest::addColumn<QString>("leaf");
        QTest::addColumn<QString>("payload");
        QTest::addColumn<QString>("action");
        QTest::addColumn<bool>("sent");
        QTest::newRow("power on") << "power/set"
                                  << "ON"
                                  << "power on" << true;
        QTest::newRow("power off") << "power/set"
                                   << "OFF"
                                   << "power off" << true;
        QTest::newRow("power in lower case") << "power/set"
                                             << "off"
                                             << "power off" << false;
        QTest::newRow("an input") << "action"
                                  << "input 2"
                                  << "input 2" << true;
        QTest::newRow("both mutes") << "action"
                                    << "mute all on"
                                    << "mute all on" << true;
        QTest::newRow("a button") << "action"
                                  << "screen wide"
                                  << "screen wide" << true;
        QTest::newRow("power by name") << "action"
                                       << "power off"
                                       << "power off" << false;
        QTest::newRow("no such power") << "power/set"
                                       << "TOGGLE"
                                       << "" << false;
        QTest::newRow("no such action") << "action"
                                        << "self destruct"
                                        << "" << false;
        QTest::newRow("another topic") << "input/set"
                                       << "input 2"
                                       << "" << false;
    }
    void brokerMessages() {
        QFETCH(QString, leaf);
        QFETCH(QString, payload);
        QFETCH(QString, action);
        const Action* found = actionForBroker(leaf, payload);
        QCOMPARE(found ? found->name : QString(), action);
        if (QFETCH(bool, sent); sent) {
            const BrokerAction message = brokerActionFor(*found);
            QCOMPARE(message.leaf, leaf);
            QCOMPARE(message.payload, payload.toUtf8());
        }
    }

    // kind "topic": isResponseTopic under kavo; "requester": isRequesterName;
    // "new": newResponseTopic under kavo for the user `text` starts with
    // `prefix` and may be answered on.
    void requestNames_data() {
        QTest::addColumn<QString>("kind");
        QTest::addColumn<QString>("text");
        QTest::addColumn<bool>("fit");
        QTest::addColumn<QString>("prefix");
        QTest::newRow("a reply topic") << "topic"
                                       << "kavo/_replies/tech/0a1b" << true << "";
        QTest::newRow("the replies' root") << "topic"
                                           << "kavo/_replies/" << false << "";
        QTest::newRow("a wildcard") << "topic"
                                    << "kavo/_replies/+/x" << false << "";
        QTest::newRow("a multi-level one") << "topic"
                                           << "kavo/_replies/#" << false << "";
        QTest::newRow("a projector's topic") << "topic"
                                             << "kavo/hall-a/power/set" << false << "";
        QTest::newRow("another base") << "topic"
                                      << "kavo2/_replies/x" << false << "";
        QTest::newRow("a long topic") << "topic"
                                      << "kavo/_replies/" + QString(243, 'x') << false << "";
        QTest::newRow("a page user") << "requester"
                                     << "alice@hall-a" << true << "";
        QTest::newRow("kavoctl") << "requester"
                                 << "kavoctl:tech@lectern-3" << true << "";
        QTest::newRow("nobody") << "requester"
                                << "" << false << "";
        QTest::newRow("a line break") << "requester"
                                      << "eve\nmallory" << false << "";
        QTest::newRow("a blank") << "requester"
                                 << "eve mallory" << false << "";
        QTest::newRow("65 letters") << "requester" << QString(65, 'a') << false << "";
        QTest::newRow("for a user") << "new"
                                    << "tech" << true << "kavo/_replies/tech/";
        QTest::newRow("for no user") << "new"
                                     << "" << true << "kavo/_replies/";
        QTest::newRow("for a user with a wildcard") << "new"
                                                    << "te#ch" << true << "kavo/_replies/";
    }
    void requestNames() {
        QFETCH(QString, kind);
        QFETCH(QString, text);
        if (kind == QLatin1String("new")) {
            const QString topic = newResponseTopic(QStringLiteral("kavo"), text);
            QTEST(isResponseTopic(QStringLiteral("kavo"), topic), "fit");
            QFETCH(QString, prefix);
            QVERIFY2(topic.startsWith(prefix), qPrintable(topic));
            QCOMPARE(topic.count(QLatin1Char('/')), prefix.count(QLatin1Char('/')));
            QVERIFY(topic != newResponseTopic(QStringLiteral("kavo"), text));
        } else {
            QTEST(kind == QLatin1String("topic") ? isResponseTopic(QStringLiteral("kavo"), text)
                                                 : isRequesterName(text),
                  "fit");
        }
    }

    // `replies`: answers in turn as NAME=OUTCOME; `taken`: which the tally
    // took ("1" each); `parsed`: which were answers at all.
    void groupTally_data() {
        QTest::addColumn<QStringList>("replies");
        QTest::addColumn<bool>("untilDone");
        QTest::addColumn<QString>("parsed");
        QTest::addColumn<QString>("taken");
        QTest::addColumn<bool>("finished");
        QTest::addColumn<bool>("succeeded");
        QTest::newRow("all accepted") << QStringList{"a=accepted", "b=accepted"} << false << "11"
                                      << "11" << true << true;
        QTest::newRow("accepted, waiting for the result")
            << QStringList{"a=accepted", "b=accepted"} << true << "11"
            << "11" << false << false;
        QTest::newRow("all reached")
            << QStringList{"a=accepted", "b=accepted", "a=reached", "b=reached"} << true << "1111"
            << "1111" << true << true;
        QTest::newRow("one refused") << QStringList{"a=refused", "b=accepted"} << false << "11"
                                     << "11" << true << false;
        QTest::newRow("one not reached")
            << QStringList{"a=reached", "b=not reached"} << true << "11"
            << "11" << true << false;
        QTest::newRow("one silent") << QStringList{"a=accepted"} << false << "1"
                                    << "1" << false << false;
        QTest::newRow("accepted after the result")
            << QStringList{"a=reached", "a=accepted", "b=reached"} << true << "111"
            << "101" << true << true;
        QTest::newRow("a projector not asked")
            << QStringList{"c=accepted", "a=accepted", "b=accepted"} << false << "111"
            << "011" << true << true;
        QTest::newRow("no answer and unknown words are none")
            << QStringList{"a=no answer", "a=done", "=accepted", "a=accepted", "b=accepted"}
            << false << "00011"
            << "00011" << true << true;
    }
    void groupTally() {
        QFETCH(QStringList, replies);
        QFETCH(bool, untilDone);
        GroupTally tally({QStringLiteral("a"), QStringLiteral("b")}, untilDone);
        QString parsed;
        QString taken;
        for (const QString& each : replies) {
            const QByteArray payload = QJsonDocument(QJsonObject{{"name", each.section('=', 0, 0)},
                                                                 {"outcome", each.section('=', 1)},
                                                                 {"detail", "standby"}})
                                           .toJson();
            const std::optional<GroupReply> reply = parseGroupReply(payload);
            parsed += reply ? '1' : '0';
            taken += reply && tally.take(*reply) ? '1' : '0';
            if (reply)
                QCOMPARE(parseGroupReply(groupReplyPayload(*reply))->detail, reply->detail);
        }
        QTEST(parsed, "parsed");
        QTEST(taken, "taken");
        QTEST(tally.finished(), "finished");
        QTEST(tally.succeeded(), "succeeded");
    }
};

QTEST_GUILESS_MAIN(TestVocabulary)
#include "tst_vocabulary.moc"
