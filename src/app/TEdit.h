#pragma once

#include <QLineEdit>

// A text field that shows the focus frame while it has focus.
class TEdit : public QLineEdit {
    Q_OBJECT

public:
    explicit TEdit(QWidget* parent = nullptr);

protected:
    void paintEvent(QPaintEvent* event) override;
};
