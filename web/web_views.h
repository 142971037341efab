#pragma once

// What the web page shows, as JSON: the panel's buttons and frames, the
// command catalogue, the vocabulary's actions, and the status reads in the
// panel's decoded words with the time of each. The fixed ones are built once.

#include "exchanger.h"
#include "projector_vocabulary.h"

#include <map>
#include <QByteArray>
#include <QDateTime>
#include <QJsonArray>
#include <QJsonObject>

namespace kavo::web {

const QByteArray& panelJson();
const QByteArray& catalogueJson();
const QByteArray& actionsJson();

// "On", "Standby", "Warming up", ... "Unknown": the power state as the page's
// headline says it.
QString powerHeadline(PowerState state);

// The last decoded text of each of the seven status reads, from the
// exchanges the queue reports, whoever asked.
class StatusReadings {
  public:
    // Returns whether it changed what is shown.
    bool take(const Exchange& exchange, const QDateTime& at);
    void forget() { m_readings.clear(); }
    // One entry per status read, in the state's order: read, name (the
    // button's caption), button, text, read_at.
    QJsonArray toJson() const;

  private:
    struct Reading {
        QString text;
        QDateTime at;
    };
    std::map<QString, Reading> m_readings; // by command
};

} // namespace kavo::web
