#include "hidden_typing.h"

#include <windows.h>

namespace kavo {

struct HiddenTyping::Saved {
    HANDLE input = INVALID_HANDLE_VALUE;
    DWORD mode = 0;
};

HiddenTyping::HiddenTyping() {
    const HANDLE input = GetStdHandle(STD_INPUT_HANDLE);
    DWORD mode = 0;
    // A console has a mode; a pipe or file given as standard input has none.
    if (input == INVALID_HANDLE_VALUE || !GetConsoleMode(input, &mode))
        return;
    m_saved = std::make_unique<Saved>(Saved{input, mode});
    SetConsoleMode(input, mode & ~DWORD(ENABLE_ECHO_INPUT));
}

HiddenTyping::~HiddenTyping() {
    if (m_saved)
        SetConsoleMode(m_saved->input, m_saved->mode);
}

} // namespace kavo
