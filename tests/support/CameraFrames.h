#pragma once

// Frames for camera tests, and what a capture window shows: seeded noise,
// in which a change to any byte would show; a JPEG as cameras code theirs;
// the widget of a window handle and its picture as blue-green-red.

#include "vfw.h"

#include <QImage>
#include <QWidget>

#include <turbojpeg.h>

#include <cstdint>
#include <random>
#include <vector>

inline std::vector<std::uint8_t> noise(std::size_t size, unsigned seed)
{
    std::vector<std::uint8_t> bytes(size);
    std::mt19937 random(seed);
    for (auto& b : bytes)
        b = std::uint8_t(random());
    return bytes;
}

// Blue-green-red rows without padding, as 4:2:2 JPEG; empty when it fails.
inline std::vector<std::uint8_t> encodeJpeg(const std::vector<std::uint8_t>& bgr, int width,
                                            int height)
{
    tjhandle tj = tjInitCompress();
    unsigned char* buf = nullptr;
    unsigned long size = 0;
    std::vector<std::uint8_t> out;
    if (tjCompress2(tj, bgr.data(), width, 0, height, TJPF_BGR, &buf, &size, TJSAMP_422, 95, 0) ==
        0)
        out.assign(buf, buf + size);
    tjFree(buf);
    tjDestroy(tj);
    return out;
}

inline QWidget* widgetOf(HWND h)
{
    return QWidget::find(reinterpret_cast<WId>(h));
}

inline QImage shown(HWND h)
{
    return widgetOf(h)->grab().toImage().convertToFormat(QImage::Format_BGR888);
}

inline bool allBlack(const QImage& image)
{
    for (int y = 0; y < image.height(); ++y)
        for (int x = 0; x < image.width(); ++x)
            if (image.pixel(x, y) != qRgb(0, 0, 0))
                return false;
    return true;
}
