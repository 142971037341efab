#pragma once

// Modal notices to the operator, behind an interface so that tests can see
// and answer them without a nested event loop.

#include <QString>

namespace kavo {

class MessageBox {
  public:
    virtual ~MessageBox() = default;
    // A warning with a single OK button; returns when the operator has answered.
    virtual void warn(const QString& title, const QString& text, const QString& detail = {}) = 0;
};

} // namespace kavo
