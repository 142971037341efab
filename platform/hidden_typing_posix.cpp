#include "hidden_typing.h"

#include <termios.h>
#include <unistd.h>

namespace kavo {

struct HiddenTyping::Saved {
    termios settings{};
};

HiddenTyping::HiddenTyping() {
    if (::isatty(STDIN_FILENO) == 0)
        return;
    m_saved = std::make_unique<Saved>();
    ::tcgetattr(STDIN_FILENO, &m_saved->settings);
    termios quiet = m_saved->settings;
    quiet.c_lflag &= ~tcflag_t(ECHO);
    ::tcsetattr(STDIN_FILENO, TCSAFLUSH, &quiet);
}

HiddenTyping::~HiddenTyping() {
    if (m_saved)
        ::tcsetattr(STDIN_FILENO, TCSAFLUSH, &m_saved->settings);
}

} // namespace kavo
