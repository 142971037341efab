#pragma once

// The process-wide values every window shares. The application owns the one
// instance; windows and the link receive it by reference.

#include <cstdint>
#include <QString>

namespace kavo {

struct AppValues {
    QString Cur_cmd;                // last panel command, with its CR
    std::int16_t Com_port = 0;      // port in use, 1..15; 0 = none
    std::uint8_t Baud_code = 0;     // 96 = 9600 baud, 192 = 19200 baud
    std::int16_t Prev_com_port = 0; // taken by "COM", restored by "Cancel"
    std::uint8_t Prev_baud_code = 0;
};

} // namespace kavo
