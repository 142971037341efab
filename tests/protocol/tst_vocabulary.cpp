// The projector's words: the actions built from the panel's buttons,
// managed power driven through a real exchange on the fake line and clock,
// and how many projectors are asked for an action through a broker.

#include "button_map.h"
#include "fakes.h"
#include "group_request.h"
#include "managed_power.h"
#include "projector_vocabulary.h"

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

    // A message's leaf and payload, and the action it names (empty: none);
    // `sent`: it is also what a requester sends for that action.
    void brokerMessages_data() {
        QTest::addColumn<QString>("message");
        QTest::addColumn<bool>("sent");
        QTest::addColumn<QString>("action");
        QTest::newRow("power on") << "power/set ON" << true << "power on";
        QTest::newRow("power in lower case") << "power/set off" << false << "power off";
        QTest::newRow("an input") << "action input 2" << true << "input 2";
        QTest::newRow("both mutes") << "action mute all on" << true << "mute all on";
        QTest::newRow("no such power") << "power/set TOGGLE" << false << "";
        QTest::newRow("no such action") << "action self destruct" << false << "";
        QTest::newRow("another topic") << "input/set input 2" << false << "";
    }
    void brokerMessages() {
        QFETCH(QString, message);
        const Action* found = actionForBroker(message.section(' ', 0, 0), message.section(' ', 1));
        QTEST(found ? found->name : QString(), "action");
        if (QFETCH(bool, sent); sent) {
            const BrokerAction back = brokerActionFor(*found);
            QCOMPARE(back.leaf + ' ' + back.payload, message);
        }
    }

    // `kind` "topic": a response topic under kavo; "requester": a requester's
    // name; else a new response topic for the broker user `text` is made
    // under `kind`.
    void requestNames_data() {
        QTest::addColumn<QString>("text");
        QTest::addColumn<bool>("fit");
        QTest::addColumn<QString>("kind");
        QTest::newRow("a reply topic") << "kavo/_replies/tech/0a1b" << true << "topic";
        QTest::newRow("the replies' root") << "kavo/_replies/" << false << "topic";
        QTest::newRow("a wildcard") << "kavo/_replies/+/x" << false << "topic";
        QTest::newRow("a projector's topic") << "kavo/hall-a/power/set" << false << "topic";
        QTest::newRow("a long one") << "kavo/_replies/" + QString(243, 'x') << false << "topic";
        QTest::newRow("a page user") << "alice@hall-a" << true << "requester";
        QTest::newRow("kavoctl") << "kavoctl:tech@lectern-3" << true << "requester";
        QTest::newRow("nobody") << "" << false << "requester";
        QTest::newRow("a line break") << "eve\nmallory" << false << "requester";
        QTest::newRow("65 letters") << QString(65, 'a') << false << "requester";
        QTest::newRow("for a user") << "tech" << true << "kavo/_replies/tech";
        QTest::newRow("for a user with a wildcard") << "te#ch" << true << "kavo/_replies";
    }
    void requestNames() {
        QFETCH(QString, text);
        QFETCH(QString, kind);
        const QString base = QStringLiteral("kavo");
        if (kind == QLatin1String("topic")) {
            QTEST(isResponseTopic(base, text), "fit");
        } else if (kind == QLatin1String("requester")) {
            QTEST(isRequesterName(text), "fit");
        } else {
            const QString topic = newResponseTopic(base, text);
            QTEST(isResponseTopic(base, topic), "fit");
            QCOMPARE(topic.section('/', 0, -2), kind);
            QVERIFY(topic != newResponseTopic(base, text));
        }
    }
};

QTEST_GUILESS_MAIN(TestVocabulary)
#include "tst_vocabulary.moc"
