#include "catalogue.h"

#include <QCryptographicHash>
#include <QRegularExpression>
#include <QSet>
#include <QTest>

using namespace kavo::catalogue;

namespace {

enum class List { Basic, ExtendedSet, ExtendedRead };

const QStringList& entries(List list) {
    switch (list) {
    case List::Basic:
        return basicList();
    case List::ExtendedSet:
        return extendedSetList();
    case List::ExtendedRead:
        break;
    }
    return extendedReadList();
}

QStringList commands(List list) {
    QStringList all;
    for (const QString& entry : entries(list))
        all << commandPart(entry);
    return all;
}

// The short codes the panel's buttons send.
const char* const kPanelShortCodes[] = {
    "C00", "C01", "C05", "C50", "C51", "C52", "C53", "C08", "C06", "C23", "C24", "C25", "C07",
    "C33", "C34", "C35", "C0B", "C0C", "C0D", "C0E", "C43", "C44", "C28", "C29", "C0F", "C10",
    "C09", "C0A", "C20", "C21", "C30", "C31", "C47", "C46", "C4B", "C4A", "C5D", "C5F", "C60",
    "C5E", "C8E", "C91", "C90", "C8F", "C1C", "C1D", "C3C", "C3B", "C3A", "C3D", "C3F", "C1E",
    "C27", "C89", "C8A", "C8B", "C2A", "C2B", "C2E", "CR0", "CR1", "CR6", "CR4", "CR3"};

} // namespace

Q_DECLARE_METATYPE(List)

class TestCatalogue : public QObject {
    Q_OBJECT
  private slots:
    void shape_data() {
        QTest::addColumn<List>("list");
        QTest::addColumn<int>("count");
        QTest::addColumn<int>("longest");
        QTest::addColumn<QString>("first");
        QTest::addColumn<QString>("commandForm");
        // SHA-256 of the whole list, its entries joined by LF: any slip of a
        // character anywhere changes it.
        QTest::addColumn<QByteArray>("digest");
        QTest::newRow("basic") << List::Basic << 66 << 39 << "C00[CR]     :POWER ON"
                               << "C[0-9A-F]{2}|CR[0-9]"
                               << QByteArray("03075ab4d3ad594467996e12be30d195"
                                             "c91a0da7d92c567cac1c46e3ed014905");
        QTest::newRow("extended set")
            << List::ExtendedSet << 381 << 101
            << "CF KEYEMU RIGHT[CR]  \t:Behave the same as corresponding key of projector top panel"
            << "CF [A-Z0-9-]+( [A-Z0-9%/-]+( [A-Z0-9%]+)?)?"
            << QByteArray("dbe965a7d7ddf466352e728682623766684650f04e3220d1f4e6efad4ba1b0a1");
        QTest::newRow("extended read")
            << List::ExtendedRead << 107 << 98
            << "CR STATUS[CR] \t:Get setting status of Projector behavior"
            << "CR [A-Z0-9-]+"
            << QByteArray("f6b50a02b26994bade44c9ade17fe5979f00510b24274f03e67693330c97a760");
    }
    void shape() {
        QFETCH(List, list);
        QFETCH(QString, commandForm);
        const QStringList& all = entries(list);
        QTEST(int(all.size()), "count");
        QTEST(QCryptographicHash::hash(all.join(QLatin1Char('\n')).toLatin1(),
                                       QCryptographicHash::Sha256)
                  .toHex(),
              "digest");
        QTEST(all.first(), "first");
        qsizetype longest = 0;
        for (const QString& entry : all)
            longest = std::max(longest, entry.size());
        QTEST(int(longest), "longest");

        // Command, marker, then nothing, or a gap of blanks with perhaps a
        // description; printable ASCII and TABs only.
        const QRegularExpression form(
            QStringLiteral("^(%1)\\[CR\\]([ \\t]+([:;][ -~]*)?)?$").arg(commandForm));
        for (const QString& entry : all)
            QVERIFY2(form.match(entry).hasMatch(), qPrintable(entry));
        const QStringList listed = commands(list);
        QCOMPARE(QSet<QString>(listed.begin(), listed.end()).size(), listed.size());
    }

    void wholeEntries_data() {
        QTest::addColumn<List>("list");
        QTest::addColumn<int>("index");
        QTest::addColumn<QString>("entry");
        QTest::addColumn<QString>("command");
        const auto row = [](const char* name, List list, int index, const char* entry,
                            const char* command) {
            QTest::newRow(name) << list << index << QString::fromLatin1(entry)
                                << QString::fromLatin1(command);
        };
        row("ends in space and TAB", List::ExtendedSet, 24, "CF INPUT 2[CR] \t", "CF INPUT 2");
        row("ends in a space", List::ExtendedSet, 162, "CF ORGMODE 480I[CR] ", "CF ORGMODE 480I");
        row("ends in three spaces", List::ExtendedSet, 301, "CF POINTER LASER[CR]   ",
            "CF POINTER LASER");
        row("no argument", List::ExtendedSet, 150,
            "CF SETPCADJ[CR] \t\t:Apply valuse set in PC Adjust menu to screen image",
            "CF SETPCADJ");
        row("field before the action", List::ExtendedSet, 290,
            "CF LOGO %%%% OFF[CR]  \t\t:Set Logo function", "CF LOGO %%%% OFF");
        row("own digits description", List::ExtendedSet, 18, "CF VOLUME 0%%[CR]  \t:% = 0-9",
            "CF VOLUME 0%%");
        row("semicolon", List::ExtendedSet, 260,
            "CF CORNERTESTPAT RED[CR] \t;Select test pattern for Comer correction",
            "CF CORNERTESTPAT RED");
        row("semicolon, two TABs", List::ExtendedSet, 326,
            "CF RSENS ALL[CR] \t\t;Select location of infrared remote receiver of remote control",
            "CF RSENS ALL");
        row("language own", List::ExtendedSet, 265, "CF LANG DEU[CR]  \t\t:Select Geman",
            "CF LANG DEU");
        row("three spaces gap", List::ExtendedSet, 50,
            "CF INPUT4 NETWORK[CR]   :Select Input14 and also set input source to %1",
            "CF INPUT4 NETWORK");
        row("longest set", List::ExtendedSet, 360,
            "CF SHUTKEYPROT ON[CR]  \t\t:Set valid / invalid use of key on the top panel on "
            "Shutter control function",
            "CF SHUTKEYPROT ON");
        row("trailing space", List::ExtendedRead, 8, "CR VOLUME[CR] \t:Get value of Volume ",
            "CR VOLUME");
        row("space gap, trailing space", List::ExtendedRead, 5,
            "CR TEMPFAIL[CR] :Get temperature when sensors approach abnomal temperature ",
            "CR TEMPFAIL");
        row("longest read", List::ExtendedRead, 29,
            "CR SERSYS[CR] \t:Get selected current signal. When in Auto mode, it returns a "
            "result by Auto detect",
            "CR SERSYS");
        row("description with colon", List::Basic, 13, "C0F[CR]     :Screen Normal size(4:3)",
            "C0F");
        row("longest basic", List::Basic, 28, "C2E[CR]     :Power Management Shut down", "C2E");
        row("last basic", List::Basic, 65, "CR7[CR]     :LAMP MODE READ", "CR7");
    }
    void wholeEntries() {
        QFETCH(List, list);
        QFETCH(int, index);
        QFETCH(QString, entry);
        QCOMPARE(entries(list).at(index).toLatin1(), entry.toLatin1());
        QTEST(commandPart(entry), "command");
    }

    void parameterEntries() {
        QStringList placeholders;
        QStringList describedOnly;
        for (const QString& entry : extendedSetList()) {
            if (commandPart(entry).contains(QLatin1Char('%')))
                placeholders << entry;
            else if (isParameterEntry(entry))
                describedOnly << commandPart(entry);
        }
        QCOMPARE(placeholders.size(), 33);
        QCOMPARE(describedOnly, (QStringList{"CF INPUT1 ANALOG", "CF INPUT2 ANALOG",
                                             "CF INPUT3 VIDEO", "CF INPUT4 NETWORK"}));
        for (const char* bare :
             {"CF P-MANETIME %%[CR]", "CF SHUTH %%%[CR]", "CF LOGO %%%% DFLT[CR]"})
            QVERIFY(placeholders.contains(QLatin1String(bare)));
        for (List other : {List::Basic, List::ExtendedRead}) {
            for (const QString& entry : entries(other))
                QVERIFY2(!isParameterEntry(entry), qPrintable(entry));
        }
    }

    // Groups: 90 keywords standing together; descriptions on first entries,
    // plus the 24 digit hints and the 11 own language descriptions.
    void extendedSetGroups() {
        QStringList keywords;
        int described = 0;
        int digitHints = 0;
        for (const QString& entry : extendedSetList()) {
            const QString keyword = commandPart(entry).section(QLatin1Char(' '), 1, 1);
            if (keywords.isEmpty() || keywords.last() != keyword) {
                QVERIFY2(!keywords.contains(keyword), qPrintable(keyword));
                keywords << keyword;
            }
            const QString rest = entry.mid(entry.indexOf(kCrMarker) + kCrMarker.size()).trimmed();
            described += rest.isEmpty() ? 0 : 1;
            digitHints += rest == QLatin1String(":% = 0-9") ? 1 : 0;
        }
        QCOMPARE(keywords.size(), 90);
        QCOMPARE(keywords.first(), QStringLiteral("KEYEMU"));
        QCOMPARE(keywords.last(), QStringLiteral("FDEFAULT"));
        QCOMPARE(digitHints, 24);
        QCOMPARE(described, 89 + 24 + 11);
    }

    // Every command a panel button sends stands in its list; two basic codes
    // are left for the console alone.
    void panelCommandsAreListed() {
        QStringList unsent = commands(List::Basic);
        for (const char* code : kPanelShortCodes)
            QCOMPARE(unsent.removeAll(QLatin1String(code)), 1);
        QCOMPARE(unsent, (QStringList{"C02", "CR7"}));
        const QStringList set = commands(List::ExtendedSet);
        for (const char* command :
             {"CF KEYDIS NONE", "CF KEYDIS RC", "CF KEYDIS KEY", "CF LAMPMODE NORMAL",
              "CF LAMPMODE ECO1", "CF LAMPMODE ECO2", "CF LAMPMODE AUTO"})
            QVERIFY2(set.contains(QLatin1String(command)), command);
        const QStringList read = commands(List::ExtendedRead);
        for (const char* command : {"CR LAMPSTS", "CR LAMPMODE"})
            QVERIFY2(read.contains(QLatin1String(command)), command);
    }

    void commandPartOfText_data() {
        QTest::addColumn<QString>("text");
        QTest::addColumn<QString>("command");
        const auto row = [](const char* text, const char* command) {
            QTest::newRow(text) << QString::fromLatin1(text) << QString::fromLatin1(command);
        };
        row("", "");
        row("C00", "C00");
        row("[CR]", "");
        row("C00[CR]C01[CR]", "C00");
        row(" C00 [CR]", " C00 ");
        row("CF VOLUME 0%%[", "CF VOLUME 0%%");
        row("C00]x", "C00]x");
    }
    void commandPartOfText() {
        QFETCH(QString, text);
        QTEST(kavo::catalogue::commandPart(text), "command");
    }
};

QTEST_GUILESS_MAIN(TestCatalogue)
#include "tst_catalogue.moc"
