#pragma once

// An image as another program would offer it on the clipboard: the bytes of
// one file format.

#include <QBuffer>
#include <QByteArray>
#include <QImage>

inline QByteArray encoded(const QImage& image, const char* format)
{
    QByteArray bytes;
    QBuffer buffer(&bytes);
    buffer.open(QIODevice::WriteOnly);
    image.save(&buffer, format);
    return bytes;
}
