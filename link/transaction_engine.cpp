#include "transaction_engine.h"

#include "line_constants.h"
#include "line_settings.h"
#include "status_decoders.h"
#include "trace.h"

namespace kavo {

TransactionEngine::TransactionEngine(AppValues& values, SerialPort& port, TimerFactory& timers,
                                     SettingsStore& store)
    : m_values(values), m_port(port), m_store(store), m_timer2(timers.createTimer()),
      m_timer4(timers.createTimer()) {
    m_timer2->setInterval(kCreationReplyWindow);
    m_timer4->setInterval(kCreationDisplayClear);
    m_timer2->setTickHandler([this] { Timer2_Timer(); });
    m_timer4->setTickHandler([this] { Timer4_Timer(); });
    m_port.setEventHandler([this](CommEvent event) { MSComm1_OnComm(event); });
}

TransactionEngine::StartUp TransactionEngine::startUp() {
    m_values.Com_port = storedPortNumber(
        m_store.read(kStoreApplication, kStoreSection, kStoreComPort, kComPortDefault));
    if (!isUsablePort(m_values.Com_port))
        return StartUp::NeedsPortDialog;

    m_values.Baud_code = storedBaudCode(
        m_store.read(kStoreApplication, kStoreSection, kStoreBaudRate, kBaudRateDefault));
    m_port.setSettings(settingsText(m_values.Baud_code));
    m_port.setPortNumber(m_values.Com_port);

    if (!m_port.open())
        return StartUp::NeedsPortDialog;
    m_timer2->setInterval(kStartUpReplyWindow);
    m_timer4->setInterval(kStartUpDisplayClear);

    m_rxWait = 0;
    m_rxBuf.clear();
    return StartUp::Opened;
}

void TransactionEngine::Hyouji(const QString& text, std::uint8_t mode) {
    if (mode == 1) {
        if (m_lineLost)
            reopenLostLine();
        m_port.write(text.toLatin1());
        m_display.rxd.clear();
        m_rxBuf.clear();
        const Trace trace = renderTrace(text);
        applyLegends(trace.space, trace.cr, trace.ack);
        m_display.txd = trace.text;
        m_timer2->setEnabled(true);
        m_rxWait = 1;
        m_timer4->setEnabled(true);
        changed();
        return;
    }
    const Trace trace = renderTrace(text);
    applyLegends(trace.space, trace.cr, trace.ack);
    m_display.rxd = trace.text;
    if (auto status = decodeStatus(m_values.Cur_cmd, m_display.rxd, m_rxBuf.size()))
        m_display.status = *std::move(status);
    changed();
}

// The device went away earlier: the same port is tried once per send. What
// went wrong, or another device now standing for the port (a removed port
// folder link leaves /dev/ttyS<n-1>), is said in the notice.
void TransactionEngine::reopenLostLine() {
    OpenResult opened{m_port.isOpen(), {}};
    if (!opened)
        opened = m_port.open();
    if (!opened) {
        m_display.notice =
            QStringLiteral("port lost: %1 The next command tries again.").arg(opened.reason);
        return;
    }
    forgetLostLine();
    const QString device = m_port.deviceName();
    if (device != m_lostDevice && !device.isEmpty() && !m_lostDevice.isEmpty())
        m_display.notice =
            QStringLiteral("port reopened on %1 (it was %2)").arg(device, m_lostDevice);
}

void TransactionEngine::MSComm1_OnComm(CommEvent event) {
    if (event == CommEvent::LineLost) {
        m_lineLost = true;
        m_lostDevice = m_port.deviceName();
        const QString reason = m_port.farEndReason();
        m_display.notice =
            reason.isEmpty()
                ? QStringLiteral("port lost: the next command opens it again")
                : QStringLiteral("port lost: %1. The next command tries again.").arg(reason);
        changed();
        return;
    }
    if (event != CommEvent::Receive)
        return;
    const QString input = QString::fromLatin1(m_port.readAll());
    const qsizetype room = kRxBufCapacity - m_rxBuf.size();
    const qsizetype taken = std::min(room, input.size());
    m_rxWait = 0;
    if (taken <= 0 && !input.isEmpty())
        return; // buffer full: what arrives is dropped, the display stays as it is
    m_rxBuf.append(QStringView(input).first(taken));
    Hyouji(m_rxBuf, 2);
}

void TransactionEngine::Timer2_Timer() {
    if (m_rxWait == 1)
        m_display.rxd = kNoReplyMarker;
    m_timer2->setEnabled(false);
    m_display.legendSpace = m_display.legendCr = m_display.legendAck = false;
    m_rxBuf.clear();
    m_rxWait = 0;
    changed();
}

void TransactionEngine::Timer4_Timer() {
    m_display.txd.clear();
    m_display.rxd.clear();
    m_display.status.clear();
    m_timer4->setEnabled(false);
    changed();
}

void TransactionEngine::Form_QueryUnload() {
    if (m_port.isOpen())
        m_port.close();
}

void TransactionEngine::forgetLostLine() {
    m_lineLost = false;
    m_display.notice.clear();
}

void TransactionEngine::clearTraceLines() {
    m_display.txd.clear();
    m_display.rxd.clear();
    changed();
}

void TransactionEngine::applyLegends(bool space, bool cr, bool ack) {
    // Rendering only ever shows legend lines; the reply window end hides them.
    m_display.legendSpace = m_display.legendSpace || space;
    m_display.legendCr = m_display.legendCr || cr;
    m_display.legendAck = m_display.legendAck || ack;
}

void TransactionEngine::changed() {
    if (m_displayChanged)
        m_displayChanged();
}

} // namespace kavo
