#include "CaptureWindow.h"

#include "CaptureStream.h"
#include "DriverList.h"

#include <QClipboard>
#include <QEvent>
#include <QGuiApplication>
#include <QPainter>

#include <algorithm>
#include <cstring>
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
    // A search starts at driver 0, and each search finds the cameras anew.
    if (index == 0 || drivers_.empty())
        drivers_ = findDrivers(kDrivers);
    if (index >= drivers_.size())
        return 0;
    const Driver& driver = drivers_[index];
    if (streamAlive() && stream_->driver() == driver)
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
    if (!frame_)
        frame_ = stream_->takeNewest(seen_);
    if (!frame_)
        return 0;
    QImage image(frame_->width, frame_->height, QImage::Format_BGR888);
    if (image.isNull())
        return 0; // no memory for the copy
    const std::size_t row = static_cast<std::size_t>(frame_->width) * 3;
    for (int y = 0; y < frame_->height; ++y)
        std::memcpy(image.scanLine(y), frame_->scanLine(y), row);
    QGuiApplication::clipboard()->setImage(image);
    return 1;
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
    frame_.reset();
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
    if (!streamAlive())
        return;
    if (std::shared_ptr<const Frame> newest = stream_->takeNewest(seen_)) {
        frame_ = std::move(newest);
        update();
    }
}

void CaptureWindow::paintEvent(QPaintEvent*)
{
    QPainter painter(this);
    painter.fillRect(rect(), Qt::black);
    if (!frame_)
        return;
    // Unscaled from the top-left corner, and only the part that fits is
    // handed to the painter: a large camera costs no more to draw.
    const QSize shown = size().boundedTo(QSize(frame_->width, frame_->height));
    if (shown.isEmpty())
        return;
    const QImage part(frame_->scanLine(0), shown.width(), shown.height(),
                      static_cast<qsizetype>(frame_->stride), QImage::Format_BGR888);
    painter.drawImage(QPoint(0, 0), part);
}

} // namespace platform
