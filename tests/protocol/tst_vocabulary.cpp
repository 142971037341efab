// The projector's words: the actions built from the panel's buttons, and
// managed power driven through a real exchange on the fake line and clock.

#include "button_map.h"
#include "fakes.h"
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
};

QTEST_GUILESS_MAIN(TestVocabulary)
#include "tst_vocabulary.moc"
