#include "Accessible.h"

#include "TImage.h"

#include <QAccessibleWidget>
#include <QApplication>
#include <QPainter>

namespace {

class ImageViewAccessible : public QAccessibleWidget, public QAccessibleImageInterface {
public:
    explicit ImageViewAccessible(TImage* view)
        : QAccessibleWidget(view, QAccessible::Graphic)
    {}

    void* interface_cast(QAccessible::InterfaceType type) override
    {
        if (type == QAccessible::ImageInterface)
            return static_cast<QAccessibleImageInterface*>(this);
        return QAccessibleWidget::interface_cast(type);
    }

    // The description says what the picture is: where it came from and its
    // size, or the threshold of its last pass.
    QString imageDescription() const override { return widget()->accessibleDescription(); }
    QSize imageSize() const override
    {
        const imaging::Picture& picture = static_cast<const TImage*>(widget())->Picture();
        return QSize(picture.Width(), picture.Height());
    }
    // The picture is drawn from the view's top-left corner.
    QPoint imagePosition() const override { return widget()->mapToGlobal(QPoint(0, 0)); }
};

// Follows whether the user's last input was a key rather than a mouse
// button; the application owns it.
class InputWatch : public QObject {
public:
    static constexpr const char* kName = "InputWatch";

    explicit InputWatch(QObject* parent)
        : QObject(parent)
    {
        setObjectName(QLatin1String(kName));
    }

    bool keyboard() const { return keyboard_; }

protected:
    bool eventFilter(QObject*, QEvent* event) override
    {
        bool keys = false;
        switch (event->type()) {
        case QEvent::KeyPress:
            keys = true;
            break;
        case QEvent::MouseButtonPress:
            break;
        default:
            return false;
        }
        if (keys != keyboard_) {
            keyboard_ = keys;
            if (QWidget* focus = QApplication::focusWidget())
                focus->update();
        }
        return false;
    }

private:
    bool keyboard_ = false;
};

} // namespace

QAccessibleInterface* AccessibleFactory(const QString& className, QObject* object)
{
    if (!object || !object->isWidgetType())
        return nullptr;
    auto* widget = static_cast<QWidget*>(object);
    // Qt exposes a top-level plain widget as a filler; a screen reader
    // announces a window, with its title and description, only as a frame.
    if (className == QLatin1String("TForm1"))
        return new QAccessibleWidget(widget, QAccessible::Window);
    if (className == QLatin1String("TImage"))
        return new ImageViewAccessible(static_cast<TImage*>(widget));
    if (className == QLatin1String("Notice"))
        return new QAccessibleWidget(widget, QAccessible::Notification);
    return nullptr;
}

Notice::Notice(QWidget* parent)
    : QWidget(parent)
{
    setGeometry(0, 0, 0, 0);
    hide();
}

void Notice::say(const QString& text)
{
    // Hidden first, so that showing it is news even when the text repeats.
    hide();
    setAccessibleName(text);
    show();
}

void WatchInputForFocusFrames(QApplication& application)
{
    application.installEventFilter(new InputWatch(&application));
}

void PaintFocusFrame(QWidget* control)
{
    if (!control->hasFocus())
        return;
    // Found by name: it has no meta-object of its own to be found by type.
    const auto* watch = static_cast<const InputWatch*>(
        qApp->findChild<QObject*>(QLatin1String(InputWatch::kName), Qt::FindDirectChildrenOnly));
    if (!watch || !watch->keyboard())
        return;
    // Logical pixels, so that it grows with the display's scale. The
    // highlight darkened stands at 3:1 or more against everything it covers
    // in Fusion's light palette: background, outlines, faces.
    constexpr qreal width = 2;
    QPainter painter(control);
    painter.setPen(QPen(control->palette().color(QPalette::Highlight).darker(150), width));
    painter.setBrush(Qt::NoBrush);
    painter.drawRect(
        QRectF(control->rect()).adjusted(width / 2, width / 2, -width / 2, -width / 2));
}
