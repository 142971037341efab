#pragma once

// The product message box on QMessageBox; the one platform part that needs widgets.

#include "message_box.h"

class QWidget;

namespace kavo {

class QtMessageBox final : public MessageBox {
  public:
    explicit QtMessageBox(QWidget* parent = nullptr) : m_parent(parent) {}
    void setParent(QWidget* parent) { m_parent = parent; }
    void warn(const QString& title, const QString& text, const QString& detail) override;

  private:
    QWidget* m_parent = nullptr;
};

} // namespace kavo
