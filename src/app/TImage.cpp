#include "TImage.h"

#include <QImage>
#include <QPaintEvent>
#include <QPainter>

#include <algorithm>
#include <utility>

TImage::TImage(QWidget* parent)
    : QWidget(parent)
{}

void TImage::setPicture(imaging::Picture picture) noexcept
{
    picture_ = std::move(picture);
    update();
}

imaging::Picture TImage::takePicture() noexcept
{
    return std::move(picture_);
}

void TImage::paintEvent(QPaintEvent* event)
{
    if (picture_.Empty())
        return;
    // Qt reads the picture's rows in place: both use blue-green-red bytes and
    // rows aligned to four bytes. Only the visible part is converted.
    const QImage view(picture_.ScanLine(0), picture_.Width(), picture_.Height(),
                      static_cast<qsizetype>(picture_.Stride()), QImage::Format_BGR888);
    const QRect visible = event->rect() & QRect(0, 0, std::min(picture_.Width(), width()),
                                                std::min(picture_.Height(), height()));
    if (visible.isEmpty())
        return;
    QPainter painter(this);
    painter.drawImage(visible.topLeft(), view, visible);
}
