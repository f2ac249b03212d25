#include "TButton.h"

#include "Accessible.h"

#include <QKeyEvent>

TButton::TButton(QWidget* parent)
    : QPushButton(parent)
{}

void TButton::keyPressEvent(QKeyEvent* event)
{
    if ((event->key() == Qt::Key_Return || event->key() == Qt::Key_Enter) &&
        (event->modifiers() & ~Qt::KeypadModifier) == Qt::NoModifier) {
        // One press, one click, as Space gives: a held key does not repeat it.
        if (!event->isAutoRepeat())
            click();
        event->accept();
        return;
    }
    QPushButton::keyPressEvent(event);
}

void TButton::paintEvent(QPaintEvent* event)
{
    QPushButton::paintEvent(event);
    PaintFocusFrame(this);
}
