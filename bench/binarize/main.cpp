// Figures for the threshold pass beside what bounds it and what it competes
// with, and for the camera path's decoders. It prints medians of many
// repetitions taken in turn, one measure after the other, in one process, so
// that the machine's moods fall on every column alike. It asserts nothing
// about time.
//
//     bench_binarize [repetitions]     (default 101; CI runs it with 3)
//     bench_binarize --profile width height events   (see profiledEvent)

#include "Binarize.h"
#include "BinarizePaths.h"
#include "FrameDecoder.h"
#include "Luminance.h"
#include "Picture.h"
#include "ReadWritePass.h"
#include "Unit1.h"

#include <QApplication>
#include <QElapsedTimer>
#include <QEvent>
#include <QScrollBar>

#include <turbojpeg.h>

#if defined(__x86_64__) || defined(__i386__)
#include <immintrin.h>
#endif

#ifdef THRESHCAM_BENCH_OPENCV
#include <opencv2/core.hpp>
#include <opencv2/core/utility.hpp>
#include <opencv2/imgproc.hpp>
#endif

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <functional>
#include <optional>
#include <random>
#include <string>
#include <thread>
#include <vector>

namespace {

using Clock = std::chrono::steady_clock;

constexpr int kThreshold = 125;

struct Size {
    int width;
    int height;
};

double millisecondsSince(Clock::time_point start)
{
    return std::chrono::duration<double, std::milli>(Clock::now() - start).count();
}

double median(std::vector<double> samples)
{
    if (samples.empty())
        return std::nan("");
    std::sort(samples.begin(), samples.end());
    const std::size_t middle = samples.size() / 2;
    return samples.size() % 2 ? samples[middle] : (samples[middle - 1] + samples[middle]) / 2;
}

std::string machine()
{
    std::ifstream cpuinfo("/proc/cpuinfo");
    std::string line, model = "unknown processor", family, number;
    while (std::getline(cpuinfo, line)) {
        const auto value = [&] {
            return line.substr(line.find(':') + 2);
        };
        if (line.rfind("model name", 0) == 0 && model == "unknown processor")
            model = value();
        else if (line.rfind("cpu family", 0) == 0 && family.empty())
            family = value();
        else if (line.rfind("model\t", 0) == 0 && number.empty())
            number = value();
    }
    std::string text = model;
    if (!family.empty())
        text += " (family " + family + ", model " + number + ")";
    return text + ", " + std::to_string(std::thread::hardware_concurrency()) + " logical cores";
}

// Colour content like a camera's: smooth shading, edges and some grain, so
// that a JPEG of it has a camera frame's size. For the pass it makes no
// difference (nothing in it branches on the pixels).
imaging::Picture scene(Size size, unsigned seed)
{
    imaging::Picture p(size.width, size.height);
    std::mt19937 rng(seed);
    std::uniform_int_distribution<int> grain(-6, 6);
    for (int y = 0; y < size.height; ++y) {
        std::uint8_t* px = p.ScanLine(y);
        for (int x = 0; x < size.width; ++x, px += 3) {
            const double u = static_cast<double>(x) / size.width,
                         v = static_cast<double>(y) / size.height;
            const bool disc = (u - 0.6) * (u - 0.6) + (v - 0.4) * (v - 0.4) < 0.05;
            const int b = static_cast<int>(255 * v) + grain(rng);
            const int g = static_cast<int>(128 + 110 * std::sin(9 * u + 4 * v)) + grain(rng);
            const int r = (disc ? 230 : static_cast<int>(255 * u)) + grain(rng);
            px[0] = static_cast<std::uint8_t>(std::clamp(b, 0, 255));
            px[1] = static_cast<std::uint8_t>(std::clamp(g, 0, 255));
            px[2] = static_cast<std::uint8_t>(std::clamp(r, 0, 255));
        }
    }
    return p;
}

// Uniform noise: every colour about equally likely.
imaging::Picture noise(Size size, unsigned seed)
{
    imaging::Picture p(size.width, size.height);
    std::mt19937 rng(seed);
    for (int y = 0; y < size.height; ++y)
        for (int x = 0; x < 3 * size.width; ++x)
            p.ScanLine(y)[x] = static_cast<std::uint8_t>(rng());
    return p;
}

// Fresh noise written over the picture in place, eight bytes at a time: the
// picture is then the last thing written and as warm as the cache lets it be,
// as after the pass of the event before, with nothing else streamed through
// the cache on the way (a copy from a master would stream the master too).
void refill(imaging::Picture& p, std::uint64_t& state)
{
    std::uint8_t* bytes = p.ScanLine(0);
    const std::size_t size = p.SizeInBytes();
    for (std::size_t i = 0; i < size; i += 8) {
        // xorshift64*
        state ^= state >> 12;
        state ^= state << 25;
        state ^= state >> 27;
        const std::uint64_t word = state * 0x2545F4914F6CDD1Dull;
        std::memcpy(bytes + i, &word, std::min<std::size_t>(8, size - i));
    }
}

// Puts the picture's memory out of every cache: the state of a picture that
// one large memcpy has just written (glibc writes past the cache from a few
// megabytes on), or that a pass over a picture larger than the cache has left.
void evict(const imaging::Picture& p)
{
    const auto* bytes = reinterpret_cast<const char*>(p.ScanLine(0));
#if defined(__x86_64__) || defined(__i386__)
    for (std::size_t i = 0; i < p.SizeInBytes(); i += 64)
        _mm_clflush(bytes + i);
    _mm_mfence();
#else
    // Without a flush instruction: stream far more than any cache holds.
    static std::vector<char> sweep(std::size_t(256) << 20);
    for (std::size_t i = 0; i < sweep.size(); i += 64)
        sweep[i] = static_cast<char>(sweep[i] + bytes[0]);
#endif
}

// The rule as written, one pixel at a time with the 64-bit Luminance.
void naiveBinarize(imaging::Picture& p, int threshold)
{
    for (int y = 0; y < p.Height(); ++y) {
        std::uint8_t* row = p.ScanLine(y);
        for (int x = 0; x < p.Width(); ++x) {
            std::uint8_t* px = row + 3 * x;
            const std::uint8_t value =
                imaging::Luminance(px[2], px[1], px[0]) > threshold ? 255 : 0;
            px[0] = px[1] = px[2] = value;
        }
    }
}

#ifdef THRESHCAM_BENCH_OPENCV
cv::Mat matOf(imaging::Picture& p)
{
    return cv::Mat(p.Height(), p.Width(), CV_8UC3, p.ScanLine(0), p.Stride());
}

// The usual way: gray, threshold, back to three channels, into the same
// picture; `gray` keeps its memory from one call to the next.
void opencvBinarize(imaging::Picture& p, int threshold, cv::Mat& gray)
{
    cv::Mat bgr = matOf(p);
    cv::cvtColor(bgr, gray, cv::COLOR_BGR2GRAY);
    cv::threshold(gray, gray, threshold, 255, cv::THRESH_BINARY);
    cv::cvtColor(gray, bgr, cv::COLOR_GRAY2BGR);
}
#endif

// Counts the paint events of a widget.
class PaintCounter : public QObject {
public:
    explicit PaintCounter(QWidget* widget)
        : QObject(widget)
    {
        widget->installEventFilter(this);
    }
    int count() const { return count_; }

protected:
    bool eventFilter(QObject*, QEvent* event) override
    {
        if (event->type() == QEvent::Paint)
            ++count_;
        return false;
    }

private:
    int count_ = 0;
};

// Runs events until the counter moves on from `before`; false after a second
// without a paint.
bool waitForPaint(const PaintCounter& paints, int before)
{
    QElapsedTimer waited;
    waited.start();
    while (paints.count() == before) {
        if (waited.elapsed() > 1000)
            return false;
        QCoreApplication::processEvents(QEventLoop::AllEvents);
    }
    return true;
}

struct Measure {
    const char* name;
    std::function<void()> prepare; // untimed, before each run
    std::function<void()> run;     // timed
    std::vector<double> samples;
};

// Every repetition runs every measure once, starting one further along each
// time, so that no measure always follows the same one.
void runInterleaved(std::vector<Measure>& measures, int repetitions)
{
    for (int r = 0; r < repetitions; ++r) {
        for (std::size_t i = 0; i < measures.size(); ++i) {
            Measure& m = measures[(i + static_cast<std::size_t>(r)) % measures.size()];
            m.prepare();
            const auto start = Clock::now();
            m.run();
            m.samples.push_back(millisecondsSince(start));
        }
    }
}

void printRow(const char* size, const char* name, double ms, double megapixels)
{
    std::printf("%-10s  %-42s %9.3f %8.2f\n", size, name, ms, megapixels / ms);
}

struct PassFigures {
    double memcpy = 0, floor = 0, pass = 0, passCold = 0, opencv = 0, event = 0, eventCold = 0,
           repaint = 0;
};

PassFigures benchPass(Size size, int repetitions, TForm1& form, const PaintCounter& paints)
{
    const imaging::Picture master = noise(size, static_cast<unsigned>(size.width));
    imaging::Picture working = master;
    std::vector<std::uint8_t> copyTarget(master.SizeInBytes());
    const std::size_t bytes = master.SizeInBytes();
    std::uint64_t seed = static_cast<std::uint64_t>(size.width) * 7919 + 1;
    const auto restore = [&] {
        refill(working, seed);
    };
    const auto restoreCold = [&] {
        restore();
        evict(working);
    };

    std::vector<Measure> measures;
    measures.push_back({"memcpy of the same bytes",
                        restore,
                        [&] { std::memcpy(copyTarget.data(), working.ScanLine(0), bytes); },
                        {}});
    measures.push_back({"read-and-write pass in place (floor)",
                        restore,
                        [&] { bench::invertInPlace(working.ScanLine(0), bytes); },
                        {}});
    measures.push_back({"pass as the program runs it, warm",
                        restore,
                        [&] { imaging::Binarize(working, kThreshold); },
                        {}});
    measures.push_back({"pass as the program runs it, cold",
                        restoreCold,
                        [&] { imaging::Binarize(working, kThreshold); },
                        {}});
    measures.push_back({"pass, plain C++ path",
                        restore,
                        [&] { imaging::binarizePortable(working, kThreshold); },
                        {}});
    measures.push_back({"naive exact loop (64-bit Luminance)",
                        restore,
                        [&] { naiveBinarize(working, kThreshold); },
                        {}});
#ifdef THRESHCAM_BENCH_OPENCV
    cv::Mat gray;
    measures.push_back({"OpenCV cvtColor+threshold+merge",
                        restore,
                        [&] { opencvBinarize(working, kThreshold, gray); },
                        {}});
#endif
    // The whole event runs on the view's own picture, given fresh colour
    // pixels each time (a second pass would meet black and white) and shown
    // once, then left warm or evicted as the pass's is. The time runs from the
    // scroll bar's move until the view has repainted.
    int value = 0;
    int paintsBefore = 0;
    bool painted = true;
    const auto showFresh = [&](bool cold) {
        imaging::Picture shown = form.Image1->takePicture();
        if (shown.Width() != size.width || shown.Height() != size.height)
            shown = imaging::Picture(size.width, size.height);
        refill(shown, seed);
        form.Image1->setPicture(std::move(shown));
        waitForPaint(paints, paints.count());
        if (cold)
            evict(form.Image1->Picture());
        value = form.ScrollBar1->value() == 100 ? 150 : 100;
        paintsBefore = paints.count();
    };
    const auto moveScrollBar = [&] {
        form.ScrollBar1->setValue(value);
        painted = waitForPaint(paints, paintsBefore) && painted;
    };
    measures.push_back(
        {"ScrollBar1Change event, warm", [&] { showFresh(false); }, moveScrollBar, {}});
    measures.push_back(
        {"ScrollBar1Change event, cold", [&] { showFresh(true); }, moveScrollBar, {}});
    // What the event costs besides the pass: TForm1::BinarizePicture with
    // the pass left out, until the view has repainted.
    measures.push_back({"the event's repaint alone (no pass)",
                        [&] { showFresh(false); },
                        [&] {
                            form.Edit1->setText(QString::asprintf("%i", value));
                            form.Image1->setPicture(form.Image1->takePicture());
                            painted = waitForPaint(paints, paintsBefore) && painted;
                        },
                        {}});

    runInterleaved(measures, repetitions);

    const std::string label = std::to_string(size.width) + "x" + std::to_string(size.height);
    const double megapixels = size.width * static_cast<double>(size.height) / 1e6;
    PassFigures figures;
    for (const Measure& m : measures) {
        const double ms = median(m.samples);
        printRow(label.c_str(), m.name, ms, megapixels);
        const std::string name = m.name;
        if (name.rfind("memcpy", 0) == 0)
            figures.memcpy = ms;
        else if (name.rfind("read-and-write", 0) == 0)
            figures.floor = ms;
        else if (name == "pass as the program runs it, warm")
            figures.pass = ms;
        else if (name == "pass as the program runs it, cold")
            figures.passCold = ms;
        else if (name.rfind("OpenCV", 0) == 0)
            figures.opencv = ms;
        else if (name == "ScrollBar1Change event, warm")
            figures.event = ms;
        else if (name == "ScrollBar1Change event, cold")
            figures.eventCold = ms;
        else if (name.rfind("the event's repaint", 0) == 0)
            figures.repaint = ms;
    }
    if (!painted)
        std::printf("%-10s  (the view did not always repaint within a second)\n", label.c_str());

#ifdef THRESHCAM_BENCH_OPENCV
    // How often the usual way, which rounds its gray, disagrees with the rule.
    imaging::Picture exact = master, usual = master;
    imaging::Binarize(exact, kThreshold);
    opencvBinarize(usual, kThreshold, gray);
    std::size_t differ = 0;
    for (int y = 0; y < exact.Height(); ++y)
        for (int x = 0; x < exact.Width(); ++x)
            differ += exact.ScanLine(y)[3 * x] != usual.ScanLine(y)[3 * x];
    std::printf("%-10s  OpenCV differs from the exact rule on %.3f%% of these pixels\n",
                label.c_str(), 100.0 * static_cast<double>(differ) / (megapixels * 1e6));
#endif
    return figures;
}

std::vector<std::uint8_t> yuyvFrame(Size size)
{
    std::vector<std::uint8_t> frame(static_cast<std::size_t>(size.width) * size.height * 2);
    std::mt19937 rng(7);
    for (std::size_t i = 0; i < frame.size(); ++i)
        frame[i] = static_cast<std::uint8_t>(i % 2 ? 16 + rng() % 225 : 16 + rng() % 220);
    return frame;
}

std::vector<std::uint8_t> jpegFrame(Size size)
{
    imaging::Picture picture = scene(size, 11);
    tjhandle encoder = tjInitCompress();
    unsigned char* jpeg = nullptr;
    unsigned long jpegSize = 0;
    std::vector<std::uint8_t> frame;
    // Webcams send 4:2:2 MJPEG at about this quality.
    if (encoder &&
        tjCompress2(encoder, picture.ScanLine(0), size.width, static_cast<int>(picture.Stride()),
                    size.height, TJPF_BGR, &jpeg, &jpegSize, TJSAMP_422, 85, 0) == 0)
        frame.assign(jpeg, jpeg + jpegSize);
    tjFree(jpeg);
    if (encoder)
        tjDestroy(encoder);
    return frame;
}

void benchCamera(int repetitions)
{
    std::printf("\ncamera path, per frame (platform::FrameDecoder, output memory reused)\n");
    std::printf("%-10s  %-42s %9s %8s\n", "size", "measure", "median ms", "Gpx/s");
    for (const Size size : {Size{640, 480}, Size{1280, 720}}) {
        const std::vector<std::uint8_t> yuyv = yuyvFrame(size);
        const std::vector<std::uint8_t> jpeg = jpegFrame(size);
        platform::FrameDecoder yuyvDecoder({platform::FrameFormat::YUYV, size.width, size.height,
                                            static_cast<std::size_t>(size.width) * 2});
        platform::FrameDecoder jpegDecoder(
            {platform::FrameFormat::MJPEG, size.width, size.height, 0});
        platform::Frame yuyvOut, jpegOut;
        bool decoded = true;
        std::vector<Measure> measures;
        measures.push_back(
            {"YUYV to 24-bit",
             [] {},
             [&] { decoded = yuyvDecoder.decode(yuyv.data(), yuyv.size(), yuyvOut) && decoded; },
             {}});
        const std::string jpegName =
            "MJPEG decode (" + std::to_string(jpeg.size() / 1024) + " KiB frame)";
        measures.push_back(
            {jpegName.c_str(),
             [] {},
             [&] { decoded = jpegDecoder.decode(jpeg.data(), jpeg.size(), jpegOut) && decoded; },
             {}});
        runInterleaved(measures, repetitions);
        const std::string label = std::to_string(size.width) + "x" + std::to_string(size.height);
        for (const Measure& m : measures)
            printRow(label.c_str(), m.name, median(m.samples),
                     size.width * static_cast<double>(size.height) / 1e6);
        if (!decoded)
            std::printf("%-10s  (a frame failed to decode)\n", label.c_str());
    }
}

// One scroll-bar event until the view has repainted, apart so that a profiler
// can collect exactly this: valgrind --tool=callgrind
// --toggle-collect='*profiledEvent*' bench_binarize --profile 3840 2160 20
[[gnu::noinline]] bool profiledEvent(TForm1& form, const PaintCounter& paints, int value)
{
    const int before = paints.count();
    form.ScrollBar1->setValue(value);
    return waitForPaint(paints, before);
}

// Events on fresh colour pixels each time, for the profiler, and nothing else.
int profileEvents(Size size, int events, TForm1& form, const PaintCounter& paints)
{
    const imaging::Picture master = noise(size, 1);
    for (int i = 0; i < events; ++i) {
        form.Image1->setPicture(master);
        waitForPaint(paints, paints.count());
        if (!profiledEvent(form, paints, form.ScrollBar1->value() == 100 ? 150 : 100))
            return 1;
    }
    return 0;
}

std::string ratio(double numerator, double denominator)
{
    if (!(numerator > 0) || !(denominator > 0))
        return "-";
    char text[32];
    std::snprintf(text, sizeof text, "%.2fx", numerator / denominator);
    return text;
}

} // namespace

int main(int argc, char* argv[])
{
    int repetitions = 101;
    std::optional<Size> profile;
    int events = 0;
    if (argc == 5 && std::string(argv[1]) == "--profile") {
        profile = Size{std::atoi(argv[2]), std::atoi(argv[3])};
        events = std::atoi(argv[4]);
    } else if (argc > 1) {
        repetitions = std::atoi(argv[1]);
        if (repetitions < 1) {
            std::fprintf(stderr, "usage: %s [repetitions] | --profile width height events\n",
                         argv[0]);
            return 2;
        }
    }
    // The window is never seen; it only has to paint.
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM"))
        qputenv("QT_QPA_PLATFORM", "offscreen");
    QApplication application(argc, argv);
    if (profile) {
        TForm1 form(nullptr);
        const PaintCounter paints(form.Image1);
        form.show();
        waitForPaint(paints, 0);
        return profile->width > 0 && profile->height > 0
                   ? profileEvents(*profile, events, form, paints)
                   : 2;
    }

    std::string paths;
    for (const std::string& target : imaging::binarizeSimdTargets())
        paths += target + " ";
    std::printf("threshcam pass benchmark: medians of %d interleaved repetitions, threshold %d, "
                "noise content\n",
                repetitions, kThreshold);
    std::printf("machine: %s\n", machine().c_str());
    std::printf("pass path: %s (SIMD paths here: %sC++); floor pass: %s\n",
                imaging::binarizePath().c_str(), paths.c_str(), bench::invertPath());
#ifdef THRESHCAM_BENCH_OPENCV
    // One thread, like the pass. Debian's build ignores setNumThreads(0).
    cv::setNumThreads(1);
    std::printf("OpenCV %s on %d thread\n", CV_VERSION, cv::getNumThreads());
#else
    std::printf("OpenCV: not found when this was built, its column is left out\n");
#endif

    TForm1 form(nullptr);
    const PaintCounter paints(form.Image1);
    form.show();
    waitForPaint(paints, 0);

    std::printf("\n%-10s  %-42s %9s %8s\n", "size", "measure", "median ms", "Gpx/s");
    std::vector<std::pair<Size, PassFigures>> results;
    for (const Size size : {Size{640, 480}, Size{1920, 1080}, Size{3840, 2160}})
        results.emplace_back(size, benchPass(size, repetitions, form, paints));

    std::printf("\nratios (throughput of the pass over the other's)\n");
    std::printf("%-10s  %14s %14s %14s\n", "size", "pass/memcpy", "pass/floor", "pass/OpenCV");
    for (const auto& [size, f] : results) {
        const std::string label = std::to_string(size.width) + "x" + std::to_string(size.height);
        std::printf("%-10s  %14s %14s %14s\n", label.c_str(), ratio(f.memcpy, f.pass).c_str(),
                    ratio(f.floor, f.pass).c_str(), ratio(f.opencv, f.pass).c_str());
    }

    std::printf("\nthe whole ScrollBar1Change event over the pass in the same memory state (ms)\n");
    std::printf("%-10s  %9s %9s %9s %9s %9s %9s %9s\n", "size", "pass", "event", "extra", "pass",
                "event", "extra", "repaint");
    std::printf("%-10s  %29s %29s %9s\n", "", "------------ warm -----------",
                "------------ cold -----------", "alone");
    for (const auto& [size, f] : results) {
        const std::string label = std::to_string(size.width) + "x" + std::to_string(size.height);
        std::printf("%-10s  %9.3f %9.3f %9.3f %9.3f %9.3f %9.3f %9.3f\n", label.c_str(), f.pass,
                    f.event, f.event - f.pass, f.passCold, f.eventCold, f.eventCold - f.passCold,
                    f.repaint);
    }

    benchCamera(repetitions);
    return 0;
}
