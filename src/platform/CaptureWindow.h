#pragma once

// The capture window: a child widget that shows a camera's live picture and
// answers the capture-window requests (see vfw.h).

#include "CameraRoad.h"
#include "vfw.h"

#include <QPointer>
#include <QTimer>
#include <QWidget>

#include <cstdint>
#include <memory>
#include <vector>

namespace platform {

class CaptureStream;
struct Frame;

class CaptureWindow : public QWidget {
    Q_OBJECT

public:
    // Drivers 0..9 exist, as on the platform whose protocol this is.
    static constexpr WPARAM kDrivers = 10;
    static constexpr int kDefaultRateMs = 66;

    explicit CaptureWindow(QWidget* parent);
    ~CaptureWindow() override;

    // One request; the result as the protocol defines it, 0 for a refusal or
    // a message the window does not know.
    LRESULT request(UINT message, WPARAM wParam, LPARAM lParam);

    // Called once this window shows: earlier capture windows that it lies
    // over whole can show nothing, so they stop taking frames and let go of
    // their pictures until it goes, hides or moves. Every click of the
    // program's camera button leaves one window so covered, still connected,
    // and a thousand clicks must not cost a thousand live previews.
    void coverWindowsBelow();

protected:
    void paintEvent(QPaintEvent* event) override;
    bool eventFilter(QObject* watched, QEvent* event) override;

private:
    LRESULT connectDriver(WPARAM index);
    LRESULT setShowing(bool& flag, WPARAM on);
    LRESULT setRate(WPARAM milliseconds);
    LRESULT copyFrame();
    // False, having let go of the stream, once its device has failed.
    bool streamAlive();
    void updateTimer();
    void showNewest();
    // Whether this window, shown, lies over the whole of `below`.
    bool hides(const CaptureWindow& below) const;
    void coverWith(CaptureWindow* above);
    // Looks again for a later sibling that covers this window whole.
    void findCover();

    // The drivers of this window's search, in order.
    std::vector<Driver> drivers_;
    std::shared_ptr<CaptureStream> stream_;
    // What the window shows, null until the first frame; shared with the
    // stream, which decodes into other frames meanwhile.
    std::shared_ptr<const Frame> frame_;
    std::uint64_t seen_ = 0;
    bool preview_ = false;
    bool overlay_ = false;
    QTimer timer_;
    // A widget, not a CaptureWindow: while the cover is being destroyed its
    // events still reach eventFilter, and it is a capture window no more.
    QPointer<QWidget> cover_;
};

} // namespace platform
