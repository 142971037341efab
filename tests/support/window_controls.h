#pragma once

// The controls of a window, found the way an operator names them: by their
// object names, "Command17", "Label25", "Frame15" ...

#include <QString>
#include <QWidget>

namespace kavo::test {

template <typename Widget> Widget* control(const QWidget& window, const char* kind, int number) {
    const QString name = QLatin1String(kind) + QString::number(number);
    auto* found = window.findChild<Widget*>(name);
    if (!found)
        qFatal("no %s", qPrintable(name));
    return found;
}

} // namespace kavo::test
