#pragma once

// What is typed on the terminal is not shown while an object of this class
// lives (a password being typed), when standard input is a terminal; the
// terminal's settings come back when it goes.

#include <memory>

namespace kavo {

class HiddenTyping {
  public:
    HiddenTyping();
    ~HiddenTyping();
    HiddenTyping(const HiddenTyping&) = delete;
    HiddenTyping& operator=(const HiddenTyping&) = delete;

    // Whether standard input is a terminal (and its echo is off).
    bool terminal() const { return m_saved != nullptr; }

  private:
    struct Saved;
    std::unique_ptr<Saved> m_saved;
};

} // namespace kavo
