#pragma once

// The panel's session on the deterministic fakes, as the window tests build
// their windows on it: a port, a virtual clock and a settings store in memory.

#include "fakes.h"
#include "panel_session.h"

namespace kavo::test {

struct FakePlatform {
    FakeSerialPort port;
    FakeClock clock;
    FakeSettingsStore store;
};

struct SessionRig : FakePlatform {
    PanelSession session{port, clock, store};
    AppValues& values = session.values();
    TransactionEngine& engine = session.engine();
    PanelLogic& logic = session.logic();
};

} // namespace kavo::test
