#pragma once

// The clipboard formats the grab reads itself rather than through Qt's
// readers: PNG (with libspng, made for untrusted input) and the bitmap and
// icon layouts that Qt's readers get wrong. Each gives a picture whose every
// pixel was written by its decoder or is black, a null image when the bytes
// are damaged, and throws std::bad_alloc when the picture does not fit in
// memory. Sizes over the pixel limit are refused before these run.

#include <QByteArray>
#include <QImage>

#include <optional>

namespace capture {

// A PNG's pixels as stored: alpha and transparent colours dropped, gamma not
// applied, 16-bit channels cut to their high byte.
QImage ReadPng(const QByteArray& png);

// A BMP file, when its layout is one that Qt's BMP reader gets wrong (RLE,
// bit fields that are not 8 bits wide, pixel data that overlaps its
// palette). Empty for the plain layouts, which Qt reads.
std::optional<QImage> ReadBitmap(const QByteArray& bmp);

// An icon's or cursor's first image as a file of its own: its PNG as it is,
// or its bitmap behind a BMP file header, so that it is read as either
// format is. Empty when the bytes are no icon that we take apart, damaged
// ones included: Qt's icon reader then has its say.
std::optional<QByteArray> IconImage(const QByteArray& ico);

} // namespace capture
