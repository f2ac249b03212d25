#include "TImage.h"

#include <QPaintEvent>
#include <QPainter>
#include <QRegion>

#include <algorithm>
#include <bit>
#include <cstdint>
#include <cstring>
#include <utility>

namespace {

// Blue-green-red bytes to 0xffRRGGBB words, four pixels from three
// little-endian words at a time; the rest of a row byte by byte, so that
// nothing past the row is read.
void toScreen(const std::uint8_t* from, std::uint32_t* to, int count) noexcept
{
    static_assert(std::endian::native == std::endian::little);
    constexpr std::uint32_t opaque = 0xff000000u;
    int x = 0;
    for (; x + 4 <= count; x += 4, from += 12) {
        std::uint32_t w[3];
        std::memcpy(w, from, sizeof w);
        to[x] = opaque | w[0];
        to[x + 1] = opaque | w[0] >> 24 | w[1] << 8;
        to[x + 2] = opaque | w[1] >> 16 | w[2] << 16;
        to[x + 3] = opaque | w[2] >> 8;
    }
    for (; x < count; ++x, from += 3)
        to[x] = opaque | std::uint32_t(from[2]) << 16 | std::uint32_t(from[1]) << 8 | from[0];
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
