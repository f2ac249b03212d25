// Prints what the camera path costs, against the fake camera:
//   - time to connect: the first working driver, and ten refusals;
//   - CPU use of one capture window's live preview (30 fps, 33 ms rate);
//   - decode cost per frame, YUYV and MJPEG at 640 x 480 and 1280 x 720
//     (YUYV also in Rec. 709 full range, and at its worst, every green
//     taking the exact form);
//   - drivers that misbehave: CPU use with a device that says readable but
//     has nothing, and with a camera sending pathological progressive JPEG;
//     how long closing a window takes with a driver slow to stop and close;
//     how long one search of drivers 0..9 freezes the window when each node
//     takes 2 s to open and then refuses;
//   - under tests/support/with-pipewire, the same YUYV frames through the
//     PipeWire road and the V4L2 road: a click's search and connect, the
//     time to the first frame, and CPU use at 30 fps.
// Usage: bench_camera [repeats]   (default 200; 3 or so for a smoke run,
// which also cuts the drivers' delays and the JPEG's size)
// Asserts nothing; the figures are for reading.

#include "FrameDecoder.h"
#include "Measure.h"
#include "Spawn.h"
#include "fakecam.h"
#include "vfw.h"

#include <QApplication>
#include <QElapsedTimer>
#include <QEventLoop>
#include <QTemporaryFile>
#include <QTimer>
#include <QWidget>

#include <sys/resource.h>
#include <turbojpeg.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <jpeglib.h> // after <cstdio>: it needs FILE
#include <random>
#include <vector>

namespace {

using Clock = std::chrono::steady_clock;
using Bytes = std::vector<std::uint8_t>;

double msSince(Clock::time_point start)
{
    return std::chrono::duration<double, std::milli>(Clock::now() - start).count();
}

double median(std::vector<double> v)
{
    std::sort(v.begin(), v.end());
    return v.empty() ? 0 : v[v.size() / 2];
}

HWND newWindow(QWidget& host)
{
    return capCreateCaptureWindowA("My cap", WS_CHILD | WS_VISIBLE, 0, 0, 377, 257,
                                   reinterpret_cast<HWND>(host.winId()), 0);
}

void destroy(HWND window)
{
    delete QWidget::find(reinterpret_cast<WId>(window));
}

// Waits until every descriptor of the fake camera is closed.
void released()
{
    while (fakecam_open_count() > 0)
        spin(10);
}

void connectTimes(QWidget& host, int repeats)
{
    std::vector<double> first, refusals;
    for (int r = 0; r < repeats; ++r) {
        fakecam_reset();
        fakecam_configure("3=yuyv:640x480@30");
        HWND window = newWindow(host);
        const auto start = Clock::now();
        for (WPARAM i = 0; i < 10; ++i)
            if (SendMessageA(window, WM_CAP_DRIVER_CONNECT, i, 0))
                break;
        first.push_back(msSince(start));
        destroy(window);
        released(); // the fake is not reset under a stream still closing

        fakecam_reset();
        window = newWindow(host);
        const auto none = Clock::now();
        for (WPARAM i = 0; i < 10; ++i)
            SendMessageA(window, WM_CAP_DRIVER_CONNECT, i, 0);
        refusals.push_back(msSince(none));
        destroy(window);
    }
    std::printf("connect, search 0..9, driver 3 accepts (YUYV 640x480): median %.3f ms\n",
                median(first));
    std::printf("connect, no camera, ten refusals:                      median %.3f ms\n",
                median(refusals));
}

// Preview CPU use of driver 0, as configured.
void previewCpu(QWidget& host, const char* name, double seconds)
{
    HWND window = newWindow(host);
    SendMessageA(window, WM_CAP_DRIVER_CONNECT, 0, 0);
    SendMessageA(window, WM_CAP_SET_OVERLAY, 1, 0);
    SendMessageA(window, WM_CAP_SET_PREVIEW, 1, 0);
    SendMessageA(window, WM_CAP_SET_PREVIEWRATE, 33, 0);
    spin(300); // settle: first frames, first paints

    const long framesBefore = fakecam_frames_delivered(0);
    const double cpu = cpuSeconds();
    const auto start = Clock::now();
    spin(int(seconds * 1000));
    const double wall = msSince(start) / 1000;
    const double used = cpuSeconds() - cpu;
    const long frames = fakecam_frames_delivered(0) - framesBefore;
    std::printf("preview %-22s %5.1f %% of one core over %.1f s", name, 100 * used / wall, wall);
    if (frames > 0)
        std::printf(" (%.1f frames/s dequeued)", double(frames) / wall);
    std::printf("\n");
    destroy(window);
    released();
}

void previewCpu(QWidget& host, const char* spec, const char* name, double seconds)
{
    fakecam_reset();
    fakecam_configure(spec);
    previewCpu(host, name, seconds);
}

// The fake's test pattern with sensor-like noise on it: flat colours alone
// would compress to almost nothing and make JPEG decoding look cheaper than
// a real camera's frames are.
Bytes noisyPattern(int width, int height)
{
    Bytes bgr(std::size_t(width) * height * 3);
    fakecam_pattern(width, height, 3, bgr.data());
    std::mt19937 random(2);
    std::uniform_int_distribution<int> noise(-12, 12);
    for (auto& b : bgr)
        b = std::uint8_t(std::clamp(int(b) + noise(random), 0, 255));
    return bgr;
}

// YUYV, BT.601 limited range, whose every green lies within 10^-4 of a
// rounding step: the worst a frame can cost, each conversion taking the
// exact integer form.
Bytes greensNearSteps(int width, int height)
{
    const double kr = 0.299, kb = 0.114, kg = 1 - kr - kb;
    Bytes triples;
    for (int y = 16; y <= 235; ++y)
        for (int u = 16; u <= 240; ++u)
            for (int v = 16; v <= 240; ++v) {
                const double g =
                    255 * ((y - 16) / 219.0 - 2 * kb * (1 - kb) / kg * (u - 128) / 224 -
                           2 * kr * (1 - kr) / kg * (v - 128) / 224);
                const double step = g + 0.5 - std::floor(g + 0.5);
                if (g > 1 && g < 254 && (step < 1e-4 || step > 1 - 1e-4))
                    triples.insert(triples.end(),
                                   {std::uint8_t(y), std::uint8_t(u), std::uint8_t(v)});
            }
    Bytes out(std::size_t(width) * height * 2);
    for (std::size_t i = 0, pairs = out.size() / 4, n = triples.size() / 3; i < pairs; ++i) {
        const std::uint8_t* t = &triples[3 * (i % n)];
        const std::uint8_t pair[4] = {t[0], t[1], t[0], t[2]};
        std::copy(pair, pair + 4, &out[4 * i]);
    }
    return out;
}

Bytes jpegOf(const Bytes& bgr, int width, int height)
{
    tjhandle tj = tjInitCompress();
    unsigned char* buf = nullptr;
    unsigned long size = 0;
    tjCompress2(tj, bgr.data(), width, 0, height, TJPF_BGR, &buf, &size, TJSAMP_422, 95, 0);
    Bytes out(buf, buf + size);
    tjFree(buf);
    tjDestroy(tj);
    return out;
}

void decodeCost(int repeats)
{
    struct Case {
        platform::FrameFormat format;
        const char* name;
        int width, height;
        double target; // ms, 0 for none
        platform::YuvEncoding yuv = platform::YuvEncoding::Bt601Limited;
        bool nearSteps = false; // YUYV whose every green needs the exact form
    };
    const Case cases[] = {
        {platform::FrameFormat::YUYV, "YUYV", 640, 480, 0.3},
        {platform::FrameFormat::YUYV, "YUYV", 640, 480, 0.3, platform::YuvEncoding::Rec709Full},
        {platform::FrameFormat::YUYV, "YUYV", 640, 480, 0, platform::YuvEncoding::Bt601Limited,
         true},
        {platform::FrameFormat::YUYV, "YUYV", 1280, 720, 0},
        {platform::FrameFormat::MJPEG, "MJPEG", 640, 480, 0},
        {platform::FrameFormat::MJPEG, "MJPEG", 1280, 720, 6},
        {platform::FrameFormat::BGR24, "BGR24", 640, 480, 0},
        {platform::FrameFormat::RGB24, "RGB24", 640, 480, 0},
        {platform::FrameFormat::UYVY, "UYVY", 640, 480, 0.3},
        {platform::FrameFormat::YVYU, "YVYU", 640, 480, 0.3},
        {platform::FrameFormat::VYUY, "VYUY", 640, 480, 0.3},
        {platform::FrameFormat::NV12, "NV12", 640, 480, 0.3},
        {platform::FrameFormat::NV21, "NV21", 640, 480, 0.3},
        {platform::FrameFormat::I420, "I420", 640, 480, 0.3},
        {platform::FrameFormat::YV12, "YV12", 640, 480, 0.3},
        {platform::FrameFormat::NV12, "NV12", 1920, 1080, 2},
        {platform::FrameFormat::BGRX, "BGRX", 640, 480, 0.3},
        {platform::FrameFormat::RGBX, "RGBX", 640, 480, 0.3},
        {platform::FrameFormat::XRGB, "XRGB", 640, 480, 0.3},
        {platform::FrameFormat::XBGR, "XBGR", 640, 480, 0.3},
        {platform::FrameFormat::GREY, "GREY", 640, 480, 0.3},
    };
    for (const Case& c : cases) {
        Bytes data;
        if (c.format == platform::FrameFormat::MJPEG) {
            data = jpegOf(noisyPattern(c.width, c.height), c.width, c.height);
        } else if (c.nearSteps) {
            data = greensNearSteps(c.width, c.height);
        } else {
            // Enough for any format of rows; the decoder reads what its own needs.
            data.resize(std::size_t(c.width) * c.height * 4);
            std::mt19937 random(1);
            for (auto& b : data)
                b = std::uint8_t(random());
        }
        platform::FrameDecoder decoder({c.format, c.width, c.height, 0, c.yuv});
        platform::Frame out;
        decoder.decode(data.data(), data.size(),
                       out); // sizes the frame once, as the capture thread does
        std::vector<double> times;
        const int runs = std::max(repeats, 3);
        for (int r = 0; r < runs; ++r) {
            const auto start = Clock::now();
            decoder.decode(data.data(), data.size(), out);
            times.push_back(msSince(start));
        }
        const double ms = median(times);
        std::printf("decode %-5s %4dx%-4d median %7.3f ms/frame", c.name, c.width, c.height, ms);
        if (c.format == platform::FrameFormat::MJPEG)
            std::printf(" (%zu KB a frame)", data.size() / 1024);
        if (c.yuv == platform::YuvEncoding::Rec709Full)
            std::printf(" (Rec. 709 full range)");
        if (c.nearSteps)
            std::printf(" (every green near a rounding step: the slow exact form)");
        if (c.target > 0)
            std::printf("   (target < %.1f ms: %s)", c.target, ms < c.target ? "met" : "NOT met");
        std::printf("\n");
    }
}

// A legal progressive JPEG in 2090 scans: the DC and every AC coefficient of
// each component sent ten bits late and refined one bit a scan.
Bytes manyScanJpeg(int side)
{
    constexpr int kLateBits = 10;
    std::vector<jpeg_scan_info> scans;
    auto add = [&](int components, int first, int ss, int se, int ah, int al) {
        jpeg_scan_info scan{};
        scan.comps_in_scan = components;
        for (int c = 0; c < components; ++c)
            scan.component_index[c] = first + c;
        scan.Ss = ss;
        scan.Se = se;
        scan.Ah = ah;
        scan.Al = al;
        scans.push_back(scan);
    };
    auto refined = [&](int components, int first, int k) {
        add(components, first, k, k, 0, kLateBits);
        for (int bit = kLateBits; bit > 0; --bit)
            add(components, first, k, k, bit, bit - 1);
    };
    refined(3, 0, 0);
    for (int c = 0; c < 3; ++c)
        for (int k = 1; k < 64; ++k)
            refined(1, c, k);

    const Bytes bgr = noisyPattern(side, side);
    jpeg_compress_struct cinfo{};
    jpeg_error_mgr jerr{};
    cinfo.err = jpeg_std_error(&jerr);
    jpeg_create_compress(&cinfo);
    unsigned char* buf = nullptr;
    unsigned long size = 0;
    jpeg_mem_dest(&cinfo, &buf, &size);
    cinfo.image_width = JDIMENSION(side);
    cinfo.image_height = JDIMENSION(side);
    cinfo.input_components = 3;
    cinfo.in_color_space = JCS_EXT_BGR;
    jpeg_set_defaults(&cinfo);
    jpeg_set_quality(&cinfo, 75, TRUE);
    cinfo.scan_info = scans.data();
    cinfo.num_scans = int(scans.size());
    jpeg_start_compress(&cinfo, TRUE);
    while (cinfo.next_scanline < cinfo.image_height) {
        JSAMPROW row = const_cast<JSAMPROW>(&bgr[std::size_t(cinfo.next_scanline) * side * 3]);
        jpeg_write_scanlines(&cinfo, &row, 1);
    }
    jpeg_finish_compress(&cinfo);
    jpeg_destroy_compress(&cinfo);
    Bytes out(buf, buf + size);
    std::free(buf);
    return out;
}

void misbehavingDrivers(QWidget& host, bool smoke, double seconds)
{
    previewCpu(host, "0=yuyv:640x480@30,fault=eagain", "readable, DQBUF EAGAIN", seconds);

    const int side = smoke ? 256 : 4096;
    const Bytes jpeg = manyScanJpeg(side);
    {
        platform::FrameDecoder decoder({platform::FrameFormat::MJPEG, side, side, 0});
        platform::Frame out;
        const auto start = Clock::now();
        const bool decoded = decoder.decode(jpeg.data(), jpeg.size(), out);
        std::printf("decode MJPEG %dx%d progressive, 2090 scans, %zu KB: %s in %.3f ms\n", side,
                    side, jpeg.size() / 1024, decoded ? "decoded" : "refused", msSince(start));
    }
    fakecam_reset();
    fakecam_node node{};
    node.kind = FAKECAM_CAPTURE;
    node.format = FAKECAM_MJPEG;
    node.width = node.height = side;
    node.frame = jpeg.data();
    node.frame_size = jpeg.size();
    fakecam_add(0, &node);
    previewCpu(host, "MJPEG, those frames @30", seconds);

    // From the request to close until the window is gone, and until the
    // device is released behind it.
    const int stopMs = smoke ? 100 : 3000;
    fakecam_reset();
    fakecam_configure(("0=yuyv:640x480@30,stopms=" + std::to_string(stopMs)).c_str());
    HWND window = newWindow(host);
    SendMessageA(window, WM_CAP_DRIVER_CONNECT, 0, 0);
    SendMessageA(window, WM_CAP_SET_PREVIEW, 1, 0);
    spin(300);
    const auto closing = Clock::now();
    destroy(window);
    const double gone = msSince(closing);
    released();
    std::printf("close, STREAMOFF and close %d ms each: window gone after %.3f ms, device "
                "released after %.0f ms\n",
                stopMs, gone, msSince(closing));

    // The search of one click, kept synchronous: every node takes its time.
    const int openMs = smoke ? 50 : 2000;
    fakecam_reset();
    std::string spec;
    for (int i = 0; i < 10; ++i)
        spec += std::to_string(i) + "=busy,openms=" + std::to_string(openMs) + ";";
    fakecam_configure(spec.c_str());
    window = newWindow(host);
    const auto search = Clock::now();
    for (WPARAM i = 0; i < 10; ++i)
        SendMessageA(window, WM_CAP_DRIVER_CONNECT, i, 0);
    std::printf("connect, ten nodes that take %d ms to open and refuse: window frozen %.0f ms\n",
                openMs, msSince(search));
    destroy(window);
}

// One click as the program makes it: drivers 0..9 until one accepts; then
// until the camera's first frame is there to show.
struct Click {
    double connectMs = 0, firstFrameMs = 0;
};

Click click(QWidget& host)
{
    HWND window = newWindow(host);
    const auto start = Clock::now();
    for (WPARAM i = 0; i < 10; ++i)
        if (SendMessageA(window, WM_CAP_DRIVER_CONNECT, i, 0))
            break;
    Click c;
    c.connectMs = msSince(start);
    // With the preview off, a copy takes the newest frame: it succeeds once
    // the first one is there.
    while (!SendMessageA(window, WM_CAP_EDIT_COPY, 0, 0) && msSince(start) < 5000)
        spin(1);
    c.firstFrameMs = msSince(start);
    destroy(window);
    released();
    return c;
}

void roads(QWidget& host, int repeats, double seconds)
{
    const int width = 640, height = 480;
    Bytes frame(std::size_t(width) * height * 2);
    std::mt19937 random(4);
    for (auto& b : frame)
        b = std::uint8_t(random());
    fakecam_reset();
    fakecam_node node{};
    node.kind = FAKECAM_CAPTURE;
    node.format = FAKECAM_YUYV;
    node.frame = frame.data();
    node.frame_size = frame.size();
    fakecam_add(0, &node);

    const auto clicks = [&](const char* name) {
        std::vector<double> connect, first;
        for (int r = 0; r < std::max(3, repeats / 20); ++r) {
            const Click c = click(host);
            connect.push_back(c.connectMs);
            first.push_back(c.firstFrameMs);
        }
        std::printf("click %-34s search and connect median %7.3f ms, first frame %7.3f ms\n", name,
                    median(connect), median(first));
    };
    qputenv("THRESHCAM_NO_PIPEWIRE", "1");
    clicks("V4L2, PipeWire off:");
    qunsetenv("THRESHCAM_NO_PIPEWIRE");
    clicks("V4L2, daemon with no camera:");

    QTemporaryFile file;
    if (!file.open())
        return;
    file.write(reinterpret_cast<const char*>(frame.data()), qint64(frame.size()));
    file.close();
    // The camera's diagnostics would mix with the figures.
    const testsupport::Process::Options quiet = {.readOutput = true, .showErrors = false};
    testsupport::Process camera;
    camera.start(
        THRESHCAM_VIRTUALCAM,
        {"--format", "YUY2", "--size", "640x480", "--fps", "30", "--frame", file.fileName()},
        quiet);
    if (!camera.readLine(3000).startsWith("ready")) {
        std::printf("PipeWire: no daemon answers (run under tests/support/with-pipewire for the "
                    "PipeWire figures)\n");
        return;
    }
    clicks("PipeWire camera, YUY2 640x480:");
    qputenv("THRESHCAM_NO_PIPEWIRE", "1");
    previewCpu(host, "V4L2 YUYV 640x480 @30", seconds);
    qunsetenv("THRESHCAM_NO_PIPEWIRE");
    previewCpu(host, "PipeWire YUY2 640x480", seconds);
    std::printf("(the same frame bytes on both roads; V4L2's figure includes the fake camera's "
                "copy, PipeWire's producer is a process of its own)\n");
    camera.terminate();
    camera.waitFor(3000);

    // A producer that sends as fast as buffers come back, and one that stops.
    const QList<QPair<const char*, QString>> faults = {{"PipeWire YUY2, flooding", "--flood"},
                                                       {"PipeWire YUY2, stalled", "--stall-after"}};
    for (const auto& [name, option] : faults) {
        QStringList args = {"--format", "YUY2",          "--size", "640x480",
                            "--frame",  file.fileName(), option};
        if (option == "--stall-after")
            args << "10";
        camera.start(THRESHCAM_VIRTUALCAM, args, quiet);
        if (!camera.readLine(3000).isEmpty())
            previewCpu(host, name, seconds);
        camera.terminate();
        camera.waitFor(3000);
    }

    // The daemon stopped (SIGSTOP): before a click, and while a camera shows.
    const pid_t daemon = pid_t(qEnvironmentVariableIntValue("THRESHCAM_PIPEWIRE_PID"));
    if (daemon <= 0)
        return;
    camera.start(THRESHCAM_VIRTUALCAM,
                 {"--format", "YUY2", "--size", "640x480", "--frame", file.fileName()}, quiet);
    camera.readLine(3000);
    ::kill(daemon, SIGSTOP);
    const Click stopped = click(host);
    std::printf("click, daemon stopped, V4L2 camera 0:  search and connect %.3f ms\n",
                stopped.connectMs);
    ::kill(daemon, SIGCONT);
    HWND window = newWindow(host);
    SendMessageA(window, WM_CAP_DRIVER_CONNECT, 0, 0);
    SendMessageA(window, WM_CAP_SET_PREVIEW, 1, 0);
    spin(300);
    ::kill(daemon, SIGSTOP);
    spin(100);
    const auto closing = Clock::now();
    destroy(window);
    std::printf("close, daemon stopped while streaming: window gone after %.3f ms\n",
                msSince(closing));
    ::kill(daemon, SIGCONT);
    camera.terminate();
    camera.waitFor(3000);
}

} // namespace

int main(int argc, char* argv[])
{
    const int repeats = argc > 1 ? std::max(1, std::atoi(argv[1])) : 200;
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM"))
        qputenv("QT_QPA_PLATFORM", "offscreen");
    QApplication app(argc, argv);
    QWidget host;
    host.resize(400, 300);
    host.show();

    std::printf("camera path, %d repeats, platform %s\n", repeats,
                qPrintable(QGuiApplication::platformName()));
    decodeCost(repeats);
    connectTimes(host, std::max(3, repeats / 10));
    // A few seconds each at full length; a fraction for a smoke run.
    const double seconds = std::clamp(repeats / 50.0, 0.3, 4.0);
    previewCpu(host, "0=yuyv:640x480@30", "YUYV 640x480 @30", seconds);
    previewCpu(host, "0=mjpeg:640x480@30", "MJPEG 640x480 @30", seconds);
    misbehavingDrivers(host, repeats < 50, seconds);
    roads(host, repeats, seconds);
    std::printf(
        "(preview CPU includes the fake camera's own copy of each frame into its buffer)\n");
    fakecam_reset();
    return 0;
}
