#pragma once

#include <QScrollBar>

// A scroll bar that answers the keyboard the way the desktop's own does:
// Right and Down step forward, Left and Up back, Page Down and Page Up by a
// page, Home and End to the ends, whatever the orientation. QScrollBar
// inverts some of these for a horizontal bar.
class TScrollBar : public QScrollBar {
    Q_OBJECT

public:
    explicit TScrollBar(QWidget* parent = nullptr);

protected:
    void keyPressEvent(QKeyEvent* event) override;
};
