// Soak: the real window against the fake camera for a long time, printing
// what it costs and whether anything is lost or leaks. Three parts, each in a
// fresh process of its own so that one's memory does not show in the next:
//
//   preview        the live preview at 60 fps, 640 x 480, for --seconds
//                  (default 600), with a grab (Button2) every second and a
//                  scroll-bar move every 100 ms;
//   clicks-none    --clicks (default 1000) clicks of Button1 with no camera,
//                  the message box closed each time;
//   clicks-camera  the same with one camera;
//   big-frames     (only when asked for) the live preview of an 8192 x 8192
//                  BGR24 camera at 30 fps for --seconds: the user-interface
//                  thread's time per frame picked up, and how soon it answers
//                  a click of Button3 posted every 50 ms from another thread.
//
// Usage: soak [--seconds N] [--clicks N] [--format yuyv|mjpeg|bgr24|rgb24]
//             [--part preview|clicks-none|clicks-camera|big-frames] [--strict]
// Prints figures and PASS/FAIL lines against the targets (resident memory
// grows by at most 2 MB, no descriptor leaks, no frame lost); exits non-zero
// on a FAIL only with --strict.

#include "Measure.h"
#include "TApplication.h"
#include "Unit1.h"
#include "fakecam.h"
#include "vfw.h"

#include <QElapsedTimer>
#include <QEventLoop>
#include <QMessageBox>
#include <QTimer>

#include <sys/resource.h>
#include <sys/wait.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <malloc.h>
#include <memory>
#include <spawn.h>
#include <string>
#include <thread>
#include <time.h>
#include <unistd.h>
#include <vector>

// The capture thread's decodes and the window's pick-ups of a frame, counted
// on their way: the link step routes the library's calls of these two member
// functions here (-Wl,--wrap, see CMakeLists.txt) and they go on to the real
// ones. A member function is called as a function whose first argument is
// the object.
namespace {
std::atomic<long> decodeCalls{0};
std::atomic<long> decodedFrames{0};
std::atomic<long> framesTaken{0};
// How long each pick-up took, on the user-interface thread, which alone calls it.
std::vector<double> takeMilliseconds;
} // namespace

namespace platform {
struct Frame;
class FrameDecoder;
class CaptureStream;
} // namespace platform

extern "C" {
bool __real__ZN8platform12FrameDecoder6decodeEPKhmRNS_5FrameE(platform::FrameDecoder*,
                                                              const std::uint8_t*, std::size_t,
                                                              platform::Frame&);
bool __wrap__ZN8platform12FrameDecoder6decodeEPKhmRNS_5FrameE(platform::FrameDecoder*,
                                                              const std::uint8_t*, std::size_t,
                                                              platform::Frame&);
bool __wrap__ZN8platform12FrameDecoder6decodeEPKhmRNS_5FrameE(platform::FrameDecoder* decoder,
                                                              const std::uint8_t* data,
                                                              std::size_t size,
                                                              platform::Frame& out)
{
    ++decodeCalls;
    const bool decoded =
        __real__ZN8platform12FrameDecoder6decodeEPKhmRNS_5FrameE(decoder, data, size, out);
    if (decoded)
        ++decodedFrames;
    return decoded;
}

std::shared_ptr<const platform::Frame>
__real__ZNK8platform13CaptureStream10takeNewestERm(const platform::CaptureStream*, std::uint64_t&);
std::shared_ptr<const platform::Frame>
__wrap__ZNK8platform13CaptureStream10takeNewestERm(const platform::CaptureStream*, std::uint64_t&);
std::shared_ptr<const platform::Frame>
__wrap__ZNK8platform13CaptureStream10takeNewestERm(const platform::CaptureStream* stream,
                                                   std::uint64_t& seen)
{
    const auto start = std::chrono::steady_clock::now();
    std::shared_ptr<const platform::Frame> taken =
        __real__ZNK8platform13CaptureStream10takeNewestERm(stream, seen);
    if (taken) {
        ++framesTaken;
        takeMilliseconds.push_back(
            std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - start)
                .count());
    }
    return taken;
}
} // extern "C"

namespace {

using Clock = std::chrono::steady_clock;

struct Options {
    int seconds = 600;
    int clicks = 1000;
    std::string format = "yuyv";
    std::string part;
    bool strict = false;
};

struct Sample {
    double rssMb = 0;  // VmRSS
    double peakMb = 0; // VmHWM: the process's highest resident memory so far
    double heapMb = 0; // bytes malloc has handed out and not got back
    int descriptors = 0;
    int threads = 0;
};

long statusField(const char* name)
{
    std::ifstream status("/proc/self/status");
    std::string line;
    const std::size_t length = std::strlen(name);
    while (std::getline(status, line))
        if (line.compare(0, length, name) == 0 && line.size() > length && line[length] == ':')
            return std::atol(line.c_str() + length + 1);
    return -1;
}

int openDescriptors()
{
    int count = 0;
    for ([[maybe_unused]] const auto& entry : std::filesystem::directory_iterator("/proc/self/fd"))
        ++count;
    return count - 1; // the listing's own
}

Sample sample()
{
    Sample s;
    s.rssMb = double(statusField("VmRSS")) / 1024;
    s.peakMb = double(statusField("VmHWM")) / 1024;
    s.heapMb = double(mallinfo2().uordblks) / (1024 * 1024);
    s.descriptors = openDescriptors();
    s.threads = int(statusField("Threads"));
    return s;
}

// Closes every message box as soon as it shows, and counts them.
class BoxCloser : public QObject {
public:
    BoxCloser() { qApp->installEventFilter(this); }
    int count = 0;
    QString lastText;

protected:
    bool eventFilter(QObject* watched, QEvent* event) override
    {
        if (event->type() == QEvent::Show)
            if (auto* box = qobject_cast<QMessageBox*>(watched)) {
                ++count;
                lastText = box->text();
                QMetaObject::invokeMethod(
                    box, [box] { box->done(QMessageBox::Ok); }, Qt::QueuedConnection);
            }
        return false;
    }
};

bool verdict(bool pass, const char* what, bool& allPassed)
{
    std::printf("%s  %s\n", pass ? "PASS" : "FAIL", what);
    allPassed = allPassed && pass;
    return pass;
}

void printSample(const char* label, const Sample& s)
{
    std::printf(
        "  %-22s resident %7.1f MB   heap in use %7.1f MB   descriptors %3d   threads %2d\n", label,
        s.rssMb, s.heapMb, s.descriptors, s.threads);
}

QString cameraSpec(const Options& options)
{
    return QStringLiteral("0=%1:640x480@60").arg(QString::fromStdString(options.format));
}

int preview(const Options& options)
{
    constexpr int kFps = 60;
    if (fakecam_configure(cameraSpec(options).toLatin1().constData()) != 0) {
        std::printf("cannot configure the fake camera\n");
        return 2;
    }
    BoxCloser boxes;
    auto owned = std::make_unique<TForm1>(nullptr);
    TForm1& form = *owned;
    form.show();

    const auto connected = Clock::now();
    form.Button1->click();
    if (!IsWindow(CapWnd) || fakecam_open_count() != 1) {
        std::printf("the camera did not connect (%d message boxes: %s)\n", boxes.count,
                    qPrintable(boxes.lastText));
        return 2;
    }

    // The load: a grab every second, a scroll-bar move every 100 ms.
    long grabs = 0, picturesTaken = 0;
    QTimer grabTimer;
    QObject::connect(&grabTimer, &QTimer::timeout, [&] {
        ++grabs;
        // An empty view first, so that a picture after the click is the grab's.
        form.Image1->takePicture();
        form.Button2->click();
        const imaging::Picture& picture = form.Image1->Picture();
        if (picture.Width() == 640 && picture.Height() == 480)
            ++picturesTaken;
    });
    QTimer scrollTimer;
    QObject::connect(&scrollTimer, &QTimer::timeout,
                     [&] { form.ScrollBar1->setValue((form.ScrollBar1->value() + 1) % 256); });
    // The fake camera logs every request it answers, two a frame; emptied
    // every second (its memory kept), so that its log does not count as ours.
    QTimer logTimer;
    QObject::connect(&logTimer, &QTimer::timeout, [] { fakecam_clear_log(); });
    grabTimer.start(1000);
    scrollTimer.start(100);
    logTimer.start(1000);

    // Warm-up: the allocator, Qt's caches and the clipboard reach their
    // steady state before the first figure.
    const int warmUp = std::clamp(options.seconds / 20, 3, 30);
    std::printf("threshcam soak: live preview, fake camera %s 640x480 at %d fps, %d s after a %d s "
                "warm-up\n  grab (Button2) every 1000 ms, scroll move every 100 ms\n",
                options.format.c_str(), kFps, options.seconds, warmUp);
    std::fflush(stdout);
    spin(warmUp * 1000);

    const Sample start = sample();
    printSample("start", start);
    std::fflush(stdout);
    double peakRss = start.rssMb, peakHeap = start.heapMb;
    const int reportEvery = std::max(10, options.seconds / 10);
    QElapsedTimer elapsed;
    elapsed.start();
    int nextReport = reportEvery;
    while (elapsed.elapsed() < qint64(options.seconds) * 1000) {
        spin(1000);
        const Sample now = sample();
        peakRss = std::max(peakRss, now.rssMb);
        peakHeap = std::max(peakHeap, now.heapMb);
        if (elapsed.elapsed() >= qint64(nextReport) * 1000) {
            printSample(qPrintable(QStringLiteral("after %1 s").arg(nextReport)), now);
            std::fflush(stdout);
            nextReport += reportEvery;
        }
    }
    const Sample end = sample();
    printSample("end", end);
    std::printf(
        "  peak while measured:   resident %7.1f MB   heap in use %7.1f MB   (VmHWM %.1f MB, "
        "warm-up included)\n",
        peakRss, peakHeap, end.peakMb);

    // Closing the window ends its capture window, the stream and the capture
    // thread (it decodes what it has dequeued first), so that the counts
    // below are final.
    grabTimer.stop();
    scrollTimer.stop();
    const double streamed = std::chrono::duration<double>(Clock::now() - connected).count();
    owned.reset();
    const long produced = long(streamed * kFps);
    const long delivered = fakecam_frames_delivered(0);
    const long missed = produced - delivered;
    const long lost = delivered - decodedFrames;

    std::printf("frames over the whole run (%.1f s of streaming, warm-up included):\n", streamed);
    std::printf("  produced by the camera  %8ld  (by its clock: %.1f s x %d fps)\n", produced,
                streamed, kFps);
    std::printf("  delivered (dequeued)    %8ld  missed at the camera: %ld (no free buffer "
                "when a frame was due)\n",
                delivered, missed);
    std::printf("  decoded                 %8ld  of %ld decode calls; lost in the capture "
                "thread: %ld\n",
                long(decodedFrames), long(decodeCalls), lost);
    std::printf("  picked up by the window %8ld  (the 33 ms preview shows the newest frame; the "
                "ones in between are superseded, not lost; each grab's copy counts too)\n",
                long(framesTaken));
    std::printf("  grabs %ld, pictures taken %ld, message boxes %d%s%s\n", grabs, picturesTaken,
                boxes.count, boxes.count ? ": " : "", qPrintable(boxes.lastText));

    bool passed = true;
    const double growth = end.rssMb - start.rssMb;
    verdict(growth <= 2.0,
            qPrintable(QStringLiteral("resident memory grew %1 MB (target: at most 2 MB)")
                           .arg(growth, 0, 'f', 1)),
            passed);
    verdict(end.descriptors == start.descriptors,
            qPrintable(
                QStringLiteral("descriptors %1 -> %2").arg(start.descriptors).arg(end.descriptors)),
            passed);
    // The produced count is the clock's: a frame due at the very end may be
    // counted there and not yet dequeued.
    verdict(missed <= 1 && lost == 0,
            qPrintable(QStringLiteral("no frame lost (missed %1, where up to 1 is the clock's "
                                      "rounding; lost in decoding %2)")
                           .arg(missed)
                           .arg(lost)),
            passed);
    verdict(
        picturesTaken == grabs && boxes.count == 0,
        qPrintable(
            QStringLiteral("every grab took a picture (%1 of %2)").arg(picturesTaken).arg(grabs)),
        passed);
    return passed ? 0 : 1;
}

int clicks(const Options& options, bool withCamera)
{
    if (withCamera && fakecam_configure(cameraSpec(options).toLatin1().constData()) != 0)
        return 2;
    BoxCloser boxes;
    TForm1 form(nullptr);
    form.show();
    std::printf("threshcam soak: %d clicks of Button1 %s\n", options.clicks,
                withCamera ? "with one camera (fake, 640x480 at 60 fps)" : "with no camera");

    // The first clicks load what any first click does (the message box, the
    // camera's stream); they are not counted.
    constexpr int kWarmUp = 5;
    for (int i = 0; i < kWarmUp; ++i) {
        form.Button1->click();
        QCoreApplication::processEvents();
    }
    spin(1000);
    fakecam_clear_log();
    const Sample before = sample();
    const int boxesBefore = boxes.count;
    const auto started = Clock::now();
    for (int i = 0; i < options.clicks; ++i) {
        form.Button1->click();
        // As between a user's clicks: the windows' timers and paints run.
        QCoreApplication::processEvents();
        // The fake camera's log of the attempts is not the program's memory.
        fakecam_clear_log();
    }
    const double seconds = std::chrono::duration<double>(Clock::now() - started).count();
    const Sample after = sample();
    const double cpuBefore = cpuSeconds();
    spin(2000);
    const double cpuShare = (cpuSeconds() - cpuBefore) / 2;
    fakecam_clear_log();
    const Sample settled = sample();
    const int windows = int(form.Panel1->findChildren<QWidget*>(Qt::FindDirectChildrenOnly).size());

    printSample(qPrintable(QStringLiteral("before (%1 clicks)").arg(kWarmUp)), before);
    printSample("after", after);
    printSample("after 2 s more", settled);
    std::printf("  %d clicks in %.1f s; capture windows in Panel1: %d; message boxes: %d%s%s; "
                "camera descriptors open: %d\n",
                options.clicks, seconds, windows, boxes.count - boxesBefore,
                boxes.count ? ", last: " : "", qPrintable(boxes.lastText), fakecam_open_count());
    std::printf("  processor use over those 2 s: %.0f %% of one core\n", cpuShare * 100);
    std::printf("  per click: resident %+.1f KB, heap in use %+.1f KB (after 2 s more)\n",
                (settled.rssMb - before.rssMb) * 1024 / options.clicks,
                (settled.heapMb - before.heapMb) * 1024 / options.clicks);
    std::printf("  Each click creates a capture window that stays, hidden under the newer ones,\n"
                "  until the program ends; %s\n",
                withCamera ? "a hidden one keeps its share of the stream but takes no frames\n"
                             "  and holds no picture: only the newest window shows the preview."
                           : "with no camera a window holds no frame, only the widget.");

    bool passed = true;
    verdict(settled.descriptors == before.descriptors,
            qPrintable(QStringLiteral("descriptors %1 -> %2")
                           .arg(before.descriptors)
                           .arg(settled.descriptors)),
            passed);
    if (withCamera)
        verdict(fakecam_open_count() == 1,
                qPrintable(QStringLiteral("one camera descriptor for all the windows (%1)")
                               .arg(fakecam_open_count())),
                passed);
    else
        verdict(
            boxes.count - boxesBefore == options.clicks,
            qPrintable(
                QStringLiteral("one message box per click (%1)").arg(boxes.count - boxesBefore)),
            passed);
    return passed ? 0 : 1;
}

double percentile(std::vector<double> values, double share)
{
    if (values.empty())
        return 0;
    std::sort(values.begin(), values.end());
    return values[std::min(values.size() - 1, std::size_t(share * double(values.size())))];
}

double threadCpuSeconds()
{
    timespec t{};
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &t);
    return double(t.tv_sec) + double(t.tv_nsec) / 1e9;
}

// One camera size: the UI thread's share while it previews, and how soon it
// answers clicks. True when every click was answered within 100 ms.
bool previewCost(QSize size, int seconds)
{
    constexpr int kFps = 30;
    fakecam_reset();
    if (fakecam_configure(QStringLiteral("0=bgr24:%1x%2@%3")
                              .arg(size.width())
                              .arg(size.height())
                              .arg(kFps)
                              .toLatin1()) != 0)
        return false;
    TForm1 form(nullptr);
    form.show();
    form.Button1->click();
    if (!IsWindow(CapWnd) || fakecam_open_count() != 1) {
        std::printf("the camera did not connect\n");
        return false;
    }
    spin(2000);

    // Clicks of Button3 (a pass over the empty view: nothing) posted from
    // another thread, as the window system would deliver them.
    std::vector<double> answers;
    std::atomic<bool> stop{false};
    std::thread clicker([&] {
        while (!stop) {
            const auto posted = Clock::now();
            QMetaObject::invokeMethod(
                form.Button3,
                [&, posted] {
                    answers.push_back(
                        std::chrono::duration<double, std::milli>(Clock::now() - posted).count());
                    form.Button3->click();
                },
                Qt::QueuedConnection);
            std::this_thread::sleep_for(std::chrono::milliseconds(50));
        }
    });
    takeMilliseconds.clear();
    const double cpuBefore = threadCpuSeconds();
    spin(seconds * 1000);
    const double uiCpu = threadCpuSeconds() - cpuBefore;
    stop = true;
    clicker.join();
    QCoreApplication::processEvents();

    std::printf("%4dx%-4d  %7.1f  %8.3f %8.3f  %7.1f %%   %7.1f %7.1f %7.1f\n", size.width(),
                size.height(), double(takeMilliseconds.size()) / seconds,
                percentile(takeMilliseconds, 0.5), percentile(takeMilliseconds, 1.0),
                100 * uiCpu / seconds, percentile(answers, 0.5), percentile(answers, 0.99),
                percentile(answers, 1.0));
    return !answers.empty() && percentile(answers, 1.0) <= 100;
}

int bigFrames(const Options& options)
{
    BoxCloser boxes;
    std::printf("threshcam soak: live preview of a fake BGR24 camera at 30 fps, %d s a size; "
                "clicks posted every 50 ms\n\n",
                options.seconds);
    std::printf("%-9s  %7s  %17s  %9s   %23s\n", "camera", "frames", "pick-up on UI ms",
                "UI thread", "click answered after ms");
    std::printf("%-9s  %7s  %8s %8s  %9s   %7s %7s %7s\n", "", "a sec", "median", "max", "CPU",
                "median", "99%", "max");
    bool passed = true;
    for (const QSize size : {QSize(640, 480), QSize(8192, 8192)})
        passed = previewCost(size, options.seconds) && passed;
    verdict(passed, "every click answered within 100 ms", passed);
    return passed ? 0 : 1;
}

bool parse(int argc, char** argv, Options& options)
{
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        const bool hasValue = i + 1 < argc;
        if (arg == "--seconds" && hasValue)
            options.seconds = std::max(1, std::atoi(argv[++i]));
        else if (arg == "--clicks" && hasValue)
            options.clicks = std::max(1, std::atoi(argv[++i]));
        else if (arg == "--format" && hasValue)
            options.format = argv[++i];
        else if (arg == "--part" && hasValue)
            options.part = argv[++i];
        else if (arg == "--strict")
            options.strict = true;
        else
            return false;
    }
    return true;
}

} // namespace

int main(int argc, char** argv)
{
    Options options;
    if (!parse(argc, argv, options)) {
        std::fprintf(stderr,
                     "usage: soak [--seconds N] [--clicks N] [--format yuyv|mjpeg|bgr24|rgb24]"
                     " [--part preview|clicks-none|clicks-camera|big-frames] [--strict]\n");
        return 2;
    }
    if (options.part.empty()) {
        // Each part in a process of its own.
        int failed = 0;
        for (const char* part : {"preview", "clicks-none", "clicks-camera"}) {
            const std::string seconds = std::to_string(options.seconds);
            const std::string count = std::to_string(options.clicks);
            std::vector<const char*> arguments{
                argv[0],    "--part",      part,       "--seconds",           seconds.c_str(),
                "--clicks", count.c_str(), "--format", options.format.c_str()};
            if (options.strict)
                arguments.push_back("--strict");
            arguments.push_back(nullptr);
            std::fflush(stdout);
            pid_t child = -1;
            int status = 0;
            if (posix_spawn(&child, "/proc/self/exe", nullptr, nullptr,
                            const_cast<char* const*>(arguments.data()), environ) != 0 ||
                waitpid(child, &status, 0) != child || !WIFEXITED(status) ||
                WEXITSTATUS(status) != 0)
                ++failed;
            std::printf("\n");
        }
        return options.strict && failed ? 1 : 0;
    }

    qputenv("QT_QPA_PLATFORM",
            qgetenv("QT_QPA_PLATFORM").isEmpty() ? "offscreen" : qgetenv("QT_QPA_PLATFORM"));
    // The offscreen platform says this once for every capture window.
    static const QtMessageHandler previous = qInstallMessageHandler(nullptr);
    qInstallMessageHandler(
        [](QtMsgType type, const QMessageLogContext& context, const QString& text) {
            if (!text.contains(QLatin1String("propagateSizeHints")))
                previous(type, context, text);
        });
    TApplication app(argc, argv);
    app.Initialize();
    int status = 2;
    if (options.part == "preview")
        status = preview(options);
    else if (options.part == "clicks-none")
        status = clicks(options, false);
    else if (options.part == "clicks-camera")
        status = clicks(options, true);
    else if (options.part == "big-frames")
        status = bigFrames(options);
    std::fflush(stdout);
    // Without --strict the figures are the result; a FAIL line says the rest.
    return options.strict ? status : (status == 2 ? 2 : 0);
}
