#pragma once

#include <QWidget>

class QAccessibleInterface;
class QApplication;

// What the program's own classes tell assistive technology (a screen reader
// over AT-SPI) beyond Qt's defaults: the window is a frame, the image view an
// image, and a Notice a notification. Qt asks this for every object; null
// leaves it to Qt.
QAccessibleInterface* AccessibleFactory(const QString& className, QObject* object);

// A screen reader's notification, for news that no focused control carries:
// a screen reader speaks a changed name or description only of the control
// with focus, and Qt 6.4 sends such a change without its text, while a
// notification that appears is read out wherever focus is. Takes no room on
// screen and draws nothing.
class Notice : public QWidget {
    Q_OBJECT

public:
    explicit Notice(QWidget* parent);

    // The notification appears anew with this text.
    void say(const QString& text);
};

// The program's focus indicator, for a control's paintEvent() to draw over
// what the style drew: while the control has focus and the user's last input
// was a key, a frame in a dark highlight colour, two logical pixels wide, just
// inside the control's edge. The style's own is a one-pixel tint of the
// outline, or nothing at all on a scroll bar. After a mouse click the window
// looks as it always did, as browsers show focus rings.
void PaintFocusFrame(QWidget* control);

// Follows whether the user's last input was a key or a mouse button, for
// PaintFocusFrame(); until the first key, it is the mouse.
void WatchInputForFocusFrames(QApplication& application);
