#include "TImage.h"

#include <QPaintEvent>
#include <QPainter>
#include <QRegion>

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <utility>

namespace {

// Blue-green-red bytes to 0xffRRGGBB words. One four-byte load per pixel
// takes the next pixel's first byte along, which the mask drops; the last
// pixel of a row is read byte by byte, so nothing past the row is read.
void toScreen(const std::uint8_t* from, std::uint32_t* to, int count) noexcept
{
    int x = 0;
    for (; x + 1 < count; ++x, from += 3) {
        std::uint32_t word;
        std::memcpy(&word, from, sizeof word);
        to[x] = 0xff000000u | (word & 0x00ffffffu);
    }
    if (x < count)
        to[x] = 0xff000000u | std::uint32_t(from[2]) << 16 | std::uint32_t(from[1]) << 8 | from[0];
}

} // namespace

TImage::TImage(QWidget* parent)
    : QWidget(parent)
{}

QRect TImage::shown() const noexcept
{
    return QRect(0, 0, std::min(picture_.Width(), width()), std::min(picture_.Height(), height()));
}

void TImage::setPicture(imaging::Picture picture) noexcept
{
    const QRegion before = shown();
    picture_ = std::move(picture);
    fitOpacity();
    // Only what showed the old picture or shows the new one.
    update(before | shown());
}

imaging::Picture TImage::takePicture() noexcept
{
    return std::move(picture_);
}

void TImage::fitOpacity() noexcept
{
    // A picture that fills the view hides the panel behind it, which then
    // needs no painting first.
    setAttribute(Qt::WA_OpaquePaintEvent, !picture_.Empty() && shown() == rect());
}

void TImage::resizeEvent(QResizeEvent*)
{
    fitOpacity();
}

void TImage::paintEvent(QPaintEvent* event)
{
    const QRect visible = event->rect() & shown();
    if (visible.isEmpty())
        return;
    // Qt converts blue-green-red pictures pixel by pixel through a generic
    // path, and hands a tall one to its thread pool, whose wake-up costs more
    // than the conversion; 0xffRRGGBB it copies row by row.
    if (screen_.size() != shown().size())
        screen_ = QImage(shown().size(), QImage::Format_RGB32);
    if (screen_.isNull())
        return;
    for (int y = visible.top(); y <= visible.bottom(); ++y)
        toScreen(picture_.ScanLine(y) + 3 * visible.left(),
                 reinterpret_cast<std::uint32_t*>(screen_.scanLine(y)) + visible.left(),
                 visible.width());
    QPainter painter(this);
    painter.drawImage(visible.topLeft(), screen_, visible);
}
