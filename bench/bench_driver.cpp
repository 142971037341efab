// kavo-bench: the benchmark behind `make bench`. It starts a virtual X server
// of its own, measures the panel from outside the process against plain Qt
// windows started the same way and inside it through kavo-bench-panel, then
// kavo-projectord on pseudo-terminals, a building's projectors on an MQTT
// broker, the service's web page in Chromium and last a hundred instances on
// one broker with the page's view of them all. Every part fills rows of one
// table of medians and worsts, each beside the reference measured in the
// same run.

#include "bench_broker.h"
#include "bench_display.h"
#include "bench_run.h"
#include "bench_table.h"
#include "building_figures.h"
#include "fleet_figures.h"
#include "panel_figures.h"
#include "service_figures.h"
#include "web_figures.h"

#include <algorithm>
#include <csignal>
#include <cstdio>
#include <QCoreApplication>
#include <QDateTime>
#include <QSysInfo>
#include <thread>

using namespace kavo::bench;

namespace {

constexpr auto kServiceIdleQuick = std::chrono::seconds(31); // still takes in one status read

int failed(Workspace& workspace, const QString& why) {
    std::fprintf(stderr, "kavo-bench: %s\n", qPrintable(why));
    std::fprintf(stderr, "kavo-bench: logs were in %s\n", qPrintable(workspace.path()));
    workspace.keep();
    return 1;
}

struct Parts {
    bool panel = true, service = true, building = true, web = true, fleet = true;
};

int run(const Programs& programs, const Counts& counts, Parts parts) {
    const QString loadAtStart = loadAverage();
    Workspace workspace;
    Display display;
    QString error;
    if (!workspace.create(&error))
        return failed(workspace, error);

    std::optional<PanelFigures> panel;
    if (parts.panel) {
        std::printf("kavo-control benchmark: starting a virtual display...\n");
        std::fflush(stdout);
        if (!display.start(workspace.log(QStringLiteral("xvfb")), &error))
            return failed(workspace, error);
        workspace.setDisplay(display.name());
        panel.emplace(workspace, programs, counts, display);
        if (!panel->measure(&error))
            return failed(workspace, error);
    }
    std::optional<ServiceFigures> service;
    std::optional<BuildingFigures> building;
    std::optional<WebFigures> web;
    std::optional<FleetFigures> fleet;
    if (!programs.service.isEmpty() && parts.service) {
        service.emplace(workspace, programs, counts);
        if (!service->measure(&error))
            return failed(workspace, error);
    }
    if (!programs.service.isEmpty() && parts.building && Broker::available()) {
        building.emplace(workspace, programs, counts);
        if (!building->measure(&error))
            return failed(workspace, error);
    }
    if (!programs.service.isEmpty() && parts.web) {
        web.emplace(workspace, programs, counts);
        if (!web->measure(&error))
            return failed(workspace, error);
    }
    if (!programs.service.isEmpty() && parts.fleet && Broker::available()) {
        fleet.emplace(workspace, programs, counts);
        if (!fleet->measure(&error))
            return failed(workspace, error);
    }

    Table table;
    if (panel)
        panel->addRows(table);
    if (service)
        service->addRows(table);
    if (building)
        building->addRows(table);
    if (web)
        web->addRows(table);
    if (fleet)
        fleet->addRows(table);

    std::printf("\nkavo-control benchmark, %s\n",
                qPrintable(QDateTime::currentDateTime().toString(Qt::ISODate)));
    std::printf("%s, %u cores; %s; Qt %s; load average %s at start, %s at end\n",
                qPrintable(cpuModel()), std::thread::hardware_concurrency(),
                qPrintable(QSysInfo::prettyProductName()), qVersion(), qPrintable(loadAtStart),
                qPrintable(loadAverage()));
    if (panel)
        std::printf("%s\n", qPrintable(panel->describe()));
    if (service)
        std::printf("%s\n", qPrintable(service->describe()));
    if (building)
        std::printf("%s\n", qPrintable(building->describe()));
    if (web)
        std::printf("%s\n", qPrintable(web->describe()));
    if (fleet)
        std::printf("%s\n", qPrintable(fleet->describe()));
    std::printf("\n");
    table.print();
    std::printf("\n%s Rows with the result in brackets are for explanation only.\n",
                table.allMet() ? "All targets met." : "Some targets missed (MISS).");
    return 0; // a missed target is a finding of the run, not a failure to run
}

} // namespace

int main(int argc, char* argv[]) {
    QCoreApplication app(argc, argv);
    ::signal(SIGPIPE, SIG_IGN);
    const QString here = QCoreApplication::applicationDirPath();
    const Programs programs{QStringLiteral(KAVO_BENCH_PANEL),
                            here + QStringLiteral("/kavo-bench-bare-window"),
                            here + QStringLiteral("/kavo-bench-reference-window"),
                            here + QStringLiteral("/kavo-bench-reference-port"),
                            here + QStringLiteral("/kavo-bench-panel"),
                            QStringLiteral(KAVO_BENCH_SIMULATOR),
                            QStringLiteral(KAVO_BENCH_SERVICE),
                            QStringLiteral(KAVO_BENCH_KAVOCTL)};
    // Every part unless some are named.
    QStringList named = app.arguments().mid(1);
    const bool quick = named.removeAll(QStringLiteral("--quick")) > 0;
    const QStringList known{QStringLiteral("panel"), QStringLiteral("service"),
                            QStringLiteral("building"), QStringLiteral("web"),
                            QStringLiteral("fleet")};
    if (std::ranges::any_of(named, [&](const QString& part) { return !known.contains(part); })) {
        std::printf("usage: kavo-bench [--quick] [panel] [service] [building] [web] [fleet]\n"
                    "Measures kavo-control on a virtual display of its own and kavo-projectord "
                    "on\npseudo-terminals, alone, for a building on an MQTT broker, its web "
                    "page in\nChromium and a hundred of it on one broker with the page's view of "
                    "them all,\nand prints one table; every part unless some are named. "
                    "--quick\nmakes fewer runs and a shorter idle period, for trying the "
                    "benchmark itself.\n");
        return named.contains(QStringLiteral("--help")) ? 0 : 2;
    }
    const auto wanted = [&](int part) { return named.isEmpty() || named.contains(known[part]); };
    const Parts parts{wanted(0), wanted(1), wanted(2), wanted(3), wanted(4)};
    Counts counts;
    if (quick)
        counts = Counts{3, 1, 20, 5, kServiceIdleQuick, 10};
    return run(programs, counts, parts);
}
