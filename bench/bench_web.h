#pragma once

// The service's web page from the driver: waiting in the driver's event
// loop, plain requests as the page makes them, where the service says its
// page is, and the page loaded in Chromium through page_timing.py.

#include "bench_run.h"

#include <chrono>
#include <functional>
#include <QByteArray>
#include <QJsonArray>
#include <QStringList>
#include <QUrl>

class QNetworkAccessManager;

namespace kavo::bench {

inline constexpr double kRequestWaitMs = 5000;

// Runs the event loop until `done` holds or `timeoutMs` have passed.
bool waitFor(const std::function<bool()>& done, double timeoutMs);
void runEvents(std::chrono::milliseconds span);

struct Reply {
    int status = 0;
    QByteArray body;
    QByteArray cookie; // "name=value" of the first Set-Cookie
};
// A GET with the session's cookie, when one is given.
Reply get(QNetworkAccessManager& network, const QUrl& url, const QByteArray& cookie = {});

// The page's address, from the line the service writes when it listens.
QUrl pageUrl(const QString& journalPath);

// Loads the page `runs` times in one headless Chromium (after one load that
// is not counted) and gives what the browser timed for each: "load",
// "state", and "building" with `extra` {"--building", "N"}.
QJsonArray chromiumLoads(const Workspace& workspace, const QUrl& page, int runs,
                         const QStringList& extra, QString* error);

} // namespace kavo::bench
