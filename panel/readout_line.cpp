#include "readout_line.h"

#include <QAccessibleWidget>

namespace kavo {
namespace {

// The line's text as a read-only text: what the change events of a text
// carry to a screen reader.
class ReadoutLineAccessible final : public QAccessibleWidget, public QAccessibleTextInterface {
  public:
    explicit ReadoutLineAccessible(ReadoutLine* line)
        : QAccessibleWidget(line, line->role() == ReadoutLine::Role::Status
                                      ? QAccessible::StatusBar
                                      : QAccessible::StaticText) {}

    void* interface_cast(QAccessible::InterfaceType type) override {
        if (type == QAccessible::TextInterface)
            return static_cast<QAccessibleTextInterface*>(this);
        return QAccessibleWidget::interface_cast(type);
    }
    QString text(QAccessible::Text kind) const override {
        if (kind == QAccessible::Name && widget()->accessibleName().isEmpty())
            return shown();
        return QAccessibleWidget::text(kind);
    }

    QString text(int startOffset, int endOffset) const override {
        return shown().mid(startOffset, endOffset - startOffset);
    }
    int characterCount() const override { return int(shown().size()); }
    void selection(int, int* startOffset, int* endOffset) const override {
        *startOffset = *endOffset = 0;
    }
    int selectionCount() const override { return 0; }
    void addSelection(int, int) override {}
    void removeSelection(int) override {}
    void setSelection(int, int, int) override {}
    int cursorPosition() const override { return 0; }
    void setCursorPosition(int) override {}
    QRect characterRect(int) const override { return {}; }
    int offsetAtPoint(const QPoint&) const override { return -1; }
    void scrollToSubstring(int, int) override {}
    QString attributes(int, int* startOffset, int* endOffset) const override {
        *startOffset = 0;
        *endOffset = characterCount();
        return {};
    }

  private:
    QString shown() const { return static_cast<const QLabel*>(widget())->text(); }
};

QAccessibleInterface* accessibleReadoutLine(const QString& className, QObject* object) {
    if (className == QLatin1String(ReadoutLine::staticMetaObject.className()))
        return new ReadoutLineAccessible(static_cast<ReadoutLine*>(object));
    return nullptr;
}

} // namespace

ReadoutLine::ReadoutLine(Role role, QWidget* parent) : QLabel(parent), m_role(role) {
    static const bool installed = (QAccessible::installFactory(accessibleReadoutLine), true);
    Q_UNUSED(installed);
}

void ReadoutLine::showText(const QString& shownText) {
    const QString before = text();
    if (shownText == before)
        return;
    setText(shownText);
    QAccessibleTextUpdateEvent changed(this, 0, before, shownText);
    QAccessible::updateAccessibility(&changed);
}

} // namespace kavo
