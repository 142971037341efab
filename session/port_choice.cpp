#include "port_choice.h"

#include "line_settings.h"

namespace kavo {

PortChoice::PortChoice(AppValues& values, SerialPort& port, SettingsStore& store)
    : m_values(values), m_port(port), m_store(store) {}

void PortChoice::beginChange() {
    if (m_port.isOpen())
        m_port.close();
    m_values.Prev_com_port = m_values.Com_port;
    m_values.Prev_baud_code = m_values.Baud_code;
}

bool PortChoice::load() {
    const bool nineSixHundred = m_values.Baud_code == kBaud9600;
    m_port.setSettings(settingsText(m_values.Baud_code));
    if (!nineSixHundred)
        m_values.Baud_code = kBaud19200;
    return nineSixHundred;
}

PortChoice::Confirmed PortChoice::confirm() {
    Confirmed confirmed;
    m_port.setSettings(settingsText(m_values.Baud_code));
    if (m_values.Com_port == 0) {
        confirmed.reason = QStringLiteral("Choose a port first.");
        return confirmed;
    }
    if (!isUsablePort(m_values.Com_port)) {
        confirmed.reason = QStringLiteral("Port %1 is outside 1 to 15.").arg(m_values.Com_port);
        return confirmed;
    }
    m_port.setPortNumber(m_values.Com_port);
    const OpenResult opened = open();
    confirmed.opened = opened.ok;
    confirmed.reason = opened.reason;
    if (!opened)
        return confirmed;
    for (const auto& [key, text] :
         {std::pair{kStoreComPort, QString::number(m_values.Com_port)},
          std::pair{kStoreBaudRate, QString::number(m_values.Baud_code)}}) {
        confirmed.reason = m_store.write(kStoreApplication, kStoreSection, key, text);
        if (!confirmed.reason.isEmpty())
            return confirmed;
    }
    confirmed.done = true;
    return confirmed;
}

PortChoice::Restored PortChoice::restorePrevious() {
    Restored restored;
    m_values.Com_port = m_values.Prev_com_port;
    if (isUsablePort(m_values.Com_port)) {
        restored.hadPrevious = true;
        m_values.Baud_code = m_values.Prev_baud_code;
        restored.nineSixHundred = load();
        m_port.setPortNumber(m_values.Com_port);
        const OpenResult opened = open();
        restored.opened = opened.ok;
        restored.reason = opened.reason;
        return restored;
    }
    if (m_port.isOpen()) {
        m_port.close();
        restored.closedOpenPort = true;
    }
    return restored;
}

OpenResult PortChoice::open() {
    // A port left open by an earlier failure is closed first, so it takes the new values.
    if (m_port.isOpen())
        m_port.close();
    return m_port.open();
}

} // namespace kavo
