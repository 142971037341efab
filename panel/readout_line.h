#pragma once

// A white bordered line that the panel writes into: a trace line or the
// decoded status. A screen reader reads its text and is told each change with
// the new text; the status line is a status bar, which screen readers speak
// when it changes.

#include <QLabel>

namespace kavo {

class ReadoutLine : public QLabel {
    Q_OBJECT
  public:
    enum class Role { Trace, Status };
    ReadoutLine(Role role, QWidget* parent);

    Role role() const { return m_role; }
    // Shows `text`; a change is told to assistive tools with the text.
    void showText(const QString& text);

  private:
    Role m_role;
};

} // namespace kavo
