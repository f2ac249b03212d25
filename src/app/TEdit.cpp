#include "TEdit.h"

#include "Accessible.h"

TEdit::TEdit(QWidget* parent)
    : QLineEdit(parent)
{}

void TEdit::paintEvent(QPaintEvent* event)
{
    QLineEdit::paintEvent(event);
    PaintFocusFrame(this);
}
