#pragma once

#include <QPushButton>

// A push button that Return and Enter press when it has focus, as on the
// desktop this program comes from; QPushButton leaves them to a dialog's
// default button, and this window is no dialog. With focus it shows the
// focus frame.
class TButton : public QPushButton {
    Q_OBJECT

public:
    explicit TButton(QWidget* parent = nullptr);

protected:
    void keyPressEvent(QKeyEvent* event) override;
    void paintEvent(QPaintEvent* event) override;
};
