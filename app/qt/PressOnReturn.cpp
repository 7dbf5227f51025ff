#include "PressOnReturn.h"

#include <QEvent>
#include <QKeyEvent>
#include <QPushButton>

namespace {

class ReturnFilter final : public QObject {
public:
    using QObject::QObject;
    bool eventFilter(QObject* watched, QEvent* event) override {
        if (event->type() != QEvent::KeyPress) return false;
        const int key = static_cast<QKeyEvent*>(event)->key();
        if (key != Qt::Key_Return && key != Qt::Key_Enter) return false;
        auto* button = static_cast<QPushButton*>(watched);
        if (button->isEnabled()) button->animateClick();
        return true;
    }
};

}  // namespace

void PressOnReturn(QPushButton* button) { button->installEventFilter(new ReturnFilter(button)); }
