#pragma once

#include "Picture.h"

#include <QImage>
#include <QWidget>

// The image view: holds one picture and draws it unscaled from its top-left
// corner, clipped to the view. Where there is no picture it draws nothing, so
// the panel behind it stays visible.
class TImage : public QWidget {
    Q_OBJECT

public:
    explicit TImage(QWidget* parent = nullptr);

    const imaging::Picture& Picture() const noexcept { return picture_; }
    // The view keeps the picture it is given and repaints.
    void setPicture(imaging::Picture picture) noexcept;
    // Hands the picture over and leaves the view empty, without a repaint:
    // for a caller that puts a picture back before control returns to the
    // event loop.
    imaging::Picture takePicture() noexcept;

protected:
    void paintEvent(QPaintEvent* event) override;
    void resizeEvent(QResizeEvent* event) override;

private:
    // The part of the view that the picture covers.
    QRect shown() const noexcept;
    void fitOpacity() noexcept;

    imaging::Picture picture_;
    // The shown part in the screen's pixel format, converted where painted.
    QImage screen_;
};
