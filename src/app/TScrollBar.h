#pragma once

#include <QScrollBar>

// A scroll bar that answers the keyboard the way the desktop's own does:
// Right and Down step forward, Left and Up back, Page Down and Page Up by a
// page, Home and End to the ends, whatever the orientation. QScrollBar
// inverts some of these for a horizontal bar.
// It also shows where it is to a keyboard user: the focus frame while it has
// focus, and a thumb dark enough to find at a glance (3:1 against its groove
// at least; the style's own is nearly white on light gray).
class TScrollBar : public QScrollBar {
    Q_OBJECT

public:
    explicit TScrollBar(QWidget* parent = nullptr);

protected:
    void keyPressEvent(QKeyEvent* event) override;
    void paintEvent(QPaintEvent* event) override;
};
