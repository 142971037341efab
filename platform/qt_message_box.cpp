#include "qt_message_box.h"

#include <QMessageBox>

namespace kavo {

void QtMessageBox::warn(const QString& title, const QString& text, const QString& detail) {
    QMessageBox box(QMessageBox::Warning, title, text, QMessageBox::Ok, m_parent);
    if (!detail.isEmpty())
        box.setDetailedText(detail);
    box.exec();
}

} // namespace kavo
