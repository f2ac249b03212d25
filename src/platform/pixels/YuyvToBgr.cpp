#include "YuyvToBgr.h"

#include "YuvRule.h"

// The SIMD rows, and the choice among them, are in YuvSimd.cpp.

namespace platform {

namespace {

// Grey levels by the rule with Cb and Cr at 128, for each range.
struct GreyTables {
    std::uint8_t limited[256], full[256];
};

const GreyTables& greyTables()
{
    static const GreyTables tables = [] {
        GreyTables t{};
        for (int v = 0; v < 256; ++v) {
            t.limited[v] = yuv::rule::exactly(yuv::rule::matrixOf(YuvEncoding::Bt601Limited).bgr[1],
                                              v - 16, 0, 0);
            t.full[v] =
                yuv::rule::exactly(yuv::rule::matrixOf(YuvEncoding::Bt601Full).bgr[1], v, 0, 0);
        }
        return t;
    }();
    return tables;
}

void yuyvBest(const std::uint8_t* src, std::uint8_t* dst, int pairs, YuvEncoding encoding)
{
    yuv::bestRow()({src, src + 1, src + 3, 2, 4}, dst, 2 * pairs, encoding);
}

} // namespace

} // namespace platform

namespace platform::yuv {

void rowPortable(const Row& row, std::uint8_t* dst, int width, YuvEncoding encoding)
{
    rule::pixelsPortable(row, dst, width, rule::matrixOf(encoding));
}

void greyRow(const std::uint8_t* src, std::uint8_t* dst, int width, YuvEncoding encoding)
{
    const bool full = encoding == YuvEncoding::Bt601Full || encoding == YuvEncoding::Rec709Full;
    const std::uint8_t* table = full ? greyTables().full : greyTables().limited;
    for (int x = 0; x < width; ++x)
        dst[3 * x] = dst[3 * x + 1] = dst[3 * x + 2] = table[src[x]];
}

} // namespace platform::yuv

namespace platform::yuyv {

void rowPortable(const std::uint8_t* src, std::uint8_t* dst, int pairs, YuvEncoding encoding)
{
    yuv::rowPortable({src, src + 1, src + 3, 2, 4}, dst, 2 * pairs, encoding);
}

RowFunction bestRow()
{
    return yuyvBest;
}

} // namespace platform::yuyv
