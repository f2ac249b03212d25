#include "TScrollBar.h"

#include "Accessible.h"

#include <QKeyEvent>
#include <QPainter>
#include <QStyleOptionSlider>

namespace {

// Gray #767676 has 3.6:1 against the groove of Fusion's light palette
// (#e6e6e6), and darker
// while pressed or under the mouse, as the style's own thumb changes then.
constexpr QRgb kThumb = 0x767676;
constexpr QRgb kThumbActive = 0x5a5a5a;

} // namespace

TScrollBar::TScrollBar(QWidget* parent)
    : QScrollBar(parent)
{}

void TScrollBar::paintEvent(QPaintEvent* event)
{
    QScrollBar::paintEvent(event);
    QStyleOptionSlider option;
    initStyleOption(&option);
    QPainter painter(this);
    // The thumb's inside, within the style's own outline.
    const QRect thumb =
        style()->subControlRect(QStyle::CC_ScrollBar, &option, QStyle::SC_ScrollBarSlider, this);
    const bool active = option.activeSubControls & QStyle::SC_ScrollBarSlider &&
                        option.state & (QStyle::State_MouseOver | QStyle::State_Sunken);
    painter.fillRect(thumb.adjusted(1, 1, -1, -1), QColor(active ? kThumbActive : kThumb));
    painter.end();
    PaintFocusFrame(this);
}

void TScrollBar::keyPressEvent(QKeyEvent* event)
{
    SliderAction action = SliderNoAction;
    switch (event->key()) {
    case Qt::Key_Right:
    case Qt::Key_Down:
        action = SliderSingleStepAdd;
        break;
    case Qt::Key_Left:
    case Qt::Key_Up:
        action = SliderSingleStepSub;
        break;
    case Qt::Key_PageDown:
        action = SliderPageStepAdd;
        break;
    case Qt::Key_PageUp:
        action = SliderPageStepSub;
        break;
    case Qt::Key_Home:
        action = SliderToMinimum;
        break;
    case Qt::Key_End:
        action = SliderToMaximum;
        break;
    default:
        QScrollBar::keyPressEvent(event);
        return;
    }
    triggerAction(action);
    event->accept();
}
