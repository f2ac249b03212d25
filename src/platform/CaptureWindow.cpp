#include "CaptureWindow.h"

#include "CaptureStream.h"

#include <QClipboard>
#include <QEvent>
#include <QGuiApplication>
#include <QPainter>

#include <algorithm>
#include <string>

namespace platform {

CaptureWindow::CaptureWindow(QWidget* parent)
    : QWidget(parent)
{
    // Every pixel is painted each time: black, then the frame over it.
    setAttribute(Qt::WA_OpaquePaintEvent);
    timer_.setInterval(kDefaultRateMs);
    connect(&timer_, &QTimer::timeout, this, &CaptureWindow::showNewest);
}

// Out of line: the stream's type is complete only here.
CaptureWindow::~CaptureWindow() = default;

LRESULT CaptureWindow::request(UINT message, WPARAM wParam, LPARAM)
{
    switch (message) {
    case WM_CAP_DRIVER_CONNECT:
        return connectDriver(wParam);
    case WM_CAP_SET_PREVIEW:
        return setShowing(preview_, wParam);
    case WM_CAP_SET_OVERLAY:
        // There is no hardware overlay here: it shows the same live picture.
        return setShowing(overlay_, wParam);
    case WM_CAP_SET_PREVIEWRATE:
        return setRate(wParam);
    case WM_CAP_EDIT_COPY:
        return copyFrame();
    default:
        return 0;
    }
}

LRESULT CaptureWindow::connectDriver(WPARAM index)
{
    if (index >= kDrivers)
        return 0;
    const int driver = static_cast<int>(index);
    if (streamAlive() && stream_->index() == driver)
        return 1;
    stream_.reset();
    std::string error;
    stream_ = CaptureStream::acquire(driver, error);
    seen_ = 0;
    updateTimer();
    return stream_ ? 1 : 0;
}

LRESULT CaptureWindow::setShowing(bool& flag, WPARAM on)
{
    if (!streamAlive())
        return 0;
    flag = on != 0;
    updateTimer();
    // Live, the window holds only the part of each frame that it shows;
    // frozen, it takes the newest frame whole, once, so that a copy places
    // what it shows and a larger window shows more of it.
    if (!preview_ && !overlay_ && !frame_.isNull() && !holdsWholeFrame()) {
        std::uint64_t any = 0;
        if (stream_->takeNewest(any, frame_)) {
            seen_ = any;
            update();
        }
    }
    return 1;
}

LRESULT CaptureWindow::setRate(WPARAM milliseconds)
{
    if (!streamAlive())
        return 0;
    // A zero interval would spin the event loop; a day is as good as never.
    timer_.setInterval(static_cast<int>(std::clamp<WPARAM>(milliseconds, 1, 86'400'000)));
    return 1;
}

LRESULT CaptureWindow::copyFrame()
{
    if (!streamAlive())
        return 0;
    // With the preview off nothing has been shown yet; the newest frame is
    // then the current one.
    if (frame_.isNull())
        stream_->takeNewest(seen_, frame_);
    if (frame_.isNull())
        return 0;
    if (holdsWholeFrame()) {
        QGuiApplication::clipboard()->setImage(frame_);
        return 1;
    }
    // Live, the window holds only what it shows: the copy takes the newest
    // frame whole, at most one preview tick newer than the one on screen.
    std::uint64_t any = 0;
    QImage whole;
    if (!stream_->takeNewest(any, whole))
        return 0;
    QGuiApplication::clipboard()->setImage(whole);
    return 1;
}

bool CaptureWindow::holdsWholeFrame() const
{
    return frame_.width() == stream_->layout().width && frame_.height() == stream_->layout().height;
}

bool CaptureWindow::streamAlive()
{
    if (stream_ && stream_->failed()) {
        // The last frame stays on screen; requests are refused from now on.
        stream_.reset();
        updateTimer();
    }
    return stream_ != nullptr;
}

bool CaptureWindow::hides(const CaptureWindow& below) const
{
    return !isHidden() && geometry().contains(below.geometry());
}

void CaptureWindow::coverWindowsBelow()
{
    if (!parentWidget())
        return;
    // Children are in stacking order: the earlier ones lie below. Those
    // already hidden by an earlier window stay with that one.
    for (QObject* child : parentWidget()->children()) {
        if (child == this)
            break;
        auto* below = qobject_cast<CaptureWindow*>(child);
        if (below && !below->cover_ && hides(*below))
            below->coverWith(this);
    }
}

void CaptureWindow::coverWith(CaptureWindow* above)
{
    if (cover_)
        cover_->removeEventFilter(this);
    cover_ = above;
    above->installEventFilter(this);
    // Queued: by then the window that went is out of the parent's children.
    connect(above, &QObject::destroyed, this, &CaptureWindow::findCover,
            Qt::ConnectionType(Qt::QueuedConnection | Qt::UniqueConnection));
    frame_ = QImage();
    seen_ = 0;
    updateTimer();
}

bool CaptureWindow::eventFilter(QObject* watched, QEvent* event)
{
    if (watched == cover_ && (event->type() == QEvent::Hide || event->type() == QEvent::Move ||
                              event->type() == QEvent::Resize))
        QMetaObject::invokeMethod(this, &CaptureWindow::findCover, Qt::QueuedConnection);
    return false;
}

void CaptureWindow::findCover()
{
    if (cover_)
        cover_->removeEventFilter(this);
    cover_ = nullptr;
    if (QWidget* parent = parentWidget()) {
        // Only the later children lie above.
        const QObjectList& siblings = parent->children();
        for (auto it = siblings.rbegin(); it != siblings.rend() && *it != this; ++it) {
            auto* above = qobject_cast<CaptureWindow*>(*it);
            if (above && above->hides(*this)) {
                coverWith(above);
                return;
            }
        }
    }
    updateTimer();
    if (timer_.isActive())
        showNewest();
}

void CaptureWindow::updateTimer()
{
    if (stream_ && (preview_ || overlay_) && !cover_)
        timer_.start();
    else
        timer_.stop();
}

void CaptureWindow::showNewest()
{
    // Only the part that the window shows: a tick's work on this thread
    // follows the window's size, not the camera's.
    if (streamAlive() && stream_->takeNewest(seen_, frame_, size()))
        update();
}

void CaptureWindow::resizeEvent(QResizeEvent*)
{
    // Grown past the part it holds: the next tick takes the frame again.
    if (width() > frame_.width() || height() > frame_.height())
        seen_ = 0;
}

void CaptureWindow::paintEvent(QPaintEvent*)
{
    QPainter painter(this);
    painter.fillRect(rect(), Qt::black);
    // Unscaled from the top-left corner; the widget clips what does not fit.
    if (!frame_.isNull())
        painter.drawImage(QPoint(0, 0), frame_);
}

} // namespace platform
