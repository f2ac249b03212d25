// Clipboard images as another program might offer them: any bytes under any
// image type that Qt reads, through the grab's own reading and conversion.
// GrabError is the expected answer to bad bytes; anything else (a crash, a
// sanitizer report, an exception of another kind, an allocation beyond the
// limit the fuzzer sets, a hang) is a finding.
//
// Input: a selector byte, then the bytes offered. The selector's low 7 bits
// pick the type: first a fixed list (so that the corpus keeps its meaning
// whatever image plugins a machine has; types Qt cannot read here are still
// offered, and must be ignored), then any other type Qt reads. Bit 7 also
// offers PNG first with nothing behind it, as a program that stalls or dies
// would.

#include "FuzzTarget.h"
#include "Grab.h"

#include <QByteArray>
#include <QGuiApplication>
#include <QImageReader>
#include <QMimeData>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <vector>

namespace {

std::vector<QString>& types()
{
    static std::vector<QString> list;
    return list;
}

[[noreturn]] void fail(const char* what)
{
    std::fprintf(stderr, "fuzz_grab: %s\n", what);
    std::abort();
}

} // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***)
{
    // Qt parses and strips the arguments it is given; the fuzzer's own are
    // not for it.
    static int argc = 1;
    static char name[] = "fuzz_grab";
    static char* argv[] = {name, nullptr};
    qputenv("QT_QPA_PLATFORM", "offscreen");
    static QGuiApplication app(argc, argv);
    // Qt's decoders warn about every broken file; the fuzzer makes millions.
    qInstallMessageHandler([](QtMsgType, const QMessageLogContext&, const QString&) {});
    static const char* const fixed[] = {
        "image/png",
        "image/bmp",
        "image/gif",
        "image/jpeg",
        "image/vnd.microsoft.icon",
        "image/x-portable-bitmap",
        "image/x-portable-graymap",
        "image/x-portable-pixmap",
        "image/x-xbitmap",
        "image/x-xpixmap",
        "image/tiff",
        "image/webp",
        "image/svg+xml",
        "text/plain",
        "application/octet-stream",
    };
    for (const char* type : fixed)
        types().push_back(QString::fromLatin1(type));
    for (const QByteArray& type : QImageReader::supportedMimeTypes())
        if (std::find(types().begin(), types().end(), QString::fromLatin1(type)) == types().end())
            types().push_back(QString::fromLatin1(type));
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* input, std::size_t size)
{
    if (size == 0)
        return 0;
    const QString& type = types()[(input[0] & 0x7F) % types().size()];
    QMimeData data;
    if (input[0] & 0x80)
        data.setData(QStringLiteral("image/png"), QByteArray());
    data.setData(type, QByteArray(reinterpret_cast<const char*>(input + 1),
                                  static_cast<qsizetype>(size - 1)));
    try {
        const QImage image = capture::ReadImage(data);
        if (image.isNull())
            return 0;
        if (qint64{image.width()} * image.height() > capture::kMaxGrabPixels)
            fail("an image over the pixel limit was decoded");
        const imaging::Picture picture = capture::PictureFromImage(image);
        if (picture.Width() != image.width() || picture.Height() != image.height())
            fail("the picture's size differs from the image's");
        // Every byte is looked at, one branch each, as a view's pass would: a
        // pixel that no decoder wrote then shows under valgrind or MSan.
        std::size_t dark = 0;
        for (int y = 0; y < picture.Height(); ++y) {
            const std::uint8_t* row = picture.ScanLine(y);
            for (int i = 0; i < picture.Width() * 3; ++i)
                if (row[i] < 128)
                    ++dark;
        }
        if (dark > std::size_t{3} * picture.Width() * picture.Height())
            fail("more dark bytes than bytes");
    } catch (const capture::GrabError&) {
        // The user is told; nothing else happens.
    }
    return 0;
}
