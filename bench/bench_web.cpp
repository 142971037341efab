#include "bench_web.h"

#include "bench_process.h"

#include <memory>
#include <QCoreApplication>
#include <QEventLoop>
#include <QFile>
#include <QJsonDocument>
#include <QJsonObject>
#include <QNetworkAccessManager>
#include <QNetworkReply>
#include <QProcess>
#include <QRegularExpression>
#include <QTimer>

using namespace std::chrono_literals;

namespace kavo::bench {
namespace {

constexpr int kPageTimingWaitMs = 180000;

} // namespace

bool waitFor(const std::function<bool()>& done, double timeoutMs) {
    QTimer tick; // wakes the wait below when nothing else does
    tick.start(20ms);
    const double deadline = nowMs() + timeoutMs;
    while (!done()) {
        if (nowMs() >= deadline)
            return false;
        QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents);
    }
    return true;
}

void runEvents(std::chrono::milliseconds span) {
    QEventLoop loop;
    QTimer::singleShot(span, &loop, &QEventLoop::quit);
    loop.exec();
}

Reply get(QNetworkAccessManager& network, const QUrl& url, const QByteArray& cookie) {
    QNetworkRequest request(url);
    if (!cookie.isEmpty())
        request.setRawHeader("Cookie", cookie);
    std::unique_ptr<QNetworkReply> reply(network.get(request));
    waitFor([&] { return reply->isFinished(); }, kRequestWaitMs);
    Reply got;
    got.status = reply->attribute(QNetworkRequest::HttpStatusCodeAttribute).toInt();
    got.body = reply->readAll();
    got.cookie = reply->rawHeader("Set-Cookie").split(';').constFirst();
    return got;
}

QUrl pageUrl(const QString& journalPath) {
    QFile journal(journalPath);
    if (!journal.open(QIODevice::ReadOnly))
        return {};
    static const QRegularExpression line(QStringLiteral("web page on (http://\\S+)"));
    const QRegularExpressionMatch found = line.match(QString::fromUtf8(journal.readAll()));
    return found.hasMatch() ? QUrl(found.captured(1)) : QUrl();
}

QJsonArray chromiumLoads(const Workspace& workspace, const QUrl& page, int runs,
                         const QStringList& extra, QString* error) {
    QProcess timing;
    timing.setStandardErrorFile(workspace.log(QStringLiteral("page_timing")), QIODevice::Append);
    timing.start(QStringLiteral("/usr/bin/python3"),
                 QStringList{QStringLiteral(KAVO_BENCH_PAGE_TIMING), QStringLiteral("--url"),
                             page.toString(), QStringLiteral("--runs"), QString::number(runs)} +
                     extra);
    const bool ended = timing.waitForFinished(kPageTimingWaitMs);
    const QJsonArray loads =
        QJsonDocument::fromJson(timing.readAllStandardOutput()).object().value("loads").toArray();
    if (!ended || timing.exitCode() != 0 || loads.isEmpty())
        *error = QStringLiteral("Chromium did not time the page (log %1)")
                     .arg(workspace.log(QStringLiteral("page_timing")));
    return ended && timing.exitCode() == 0 ? loads : QJsonArray();
}

} // namespace kavo::bench
