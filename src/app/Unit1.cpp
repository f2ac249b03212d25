#include "Unit1.h"

#include "Binarize.h"
#include "Camera.h"
#include "Grab.h"
#include "TApplication.h"

#include <QApplication>
#include <QClipboard>
#include <QEvent>

#include <optional>
#include <utility>

TForm1* Form1 = nullptr;
HWND CapWnd = nullptr;

namespace {

// The stored layout gives the window's outer rectangle, frame and title bar
// included, while Qt sizes a window's inside. A window manager's frame is
// known only once it has framed the window, so the inside is fitted then, once.
class OuterSizeKeeper : public QObject {
public:
    OuterSizeKeeper(QWidget* window, QSize outer)
        : QObject(window)
        , window_(window)
        , outer_(outer)
    {
        window->installEventFilter(this);
    }

protected:
    bool eventFilter(QObject* watched, QEvent* event) override
    {
        if (watched == window_ &&
            (event->type() == QEvent::Move || event->type() == QEvent::Resize ||
             event->type() == QEvent::Show)) {
            const QSize frame = window_->frameGeometry().size() - window_->geometry().size();
            if (!frame.isNull()) {
                window_->removeEventFilter(this);
                window_->resize(outer_ - frame);
            }
        }
        return false;
    }

private:
    QWidget* window_;
    QSize outer_;
};

} // namespace

TForm1::TForm1(QWidget* owner)
    : QWidget(owner)
{
    setupUi(this);
    notice_ = new Notice(this);
    // uic applies only the size of a top-level widget; the place is the
    // window's outer top-left corner, which is what move() sets.
    move(192, 114);
    new OuterSizeKeeper(this, size());

    // Bound after the layout has set the scroll bar to 125, so that loading
    // fires no handler.
    bindEvent(Button1, &QPushButton::clicked, &TForm1::Button1Click);
    bindEvent(Button2, &QPushButton::clicked, &TForm1::Button2Click);
    bindEvent(Button3, &QPushButton::clicked, &TForm1::Button3Click);
    bindEvent(ScrollBar1, &QScrollBar::valueChanged, &TForm1::ScrollBar1Change);
}

template <class Sender, class Signal>
void TForm1::bindEvent(Sender* sender, Signal signal, void (TForm1::*handler)(QObject*))
{
    connect(sender, signal, this,
            [this, sender, handler] { Dispatch([&] { (this->*handler)(sender); }); });
}

void TForm1::Button1Click(QObject*)
{
    ConnectCamera();
}

void TForm1::Button2Click(QObject*)
{
    GrabFrame();
}

void TForm1::Button3Click(QObject*)
{
    BinarizePicture();
}

void TForm1::ScrollBar1Change(QObject*)
{
    BinarizePicture();
}

void TForm1::ConnectCamera()
{
    CapWnd = capture::CreateCaptureWindow(Panel1);
    if (!capture::ConnectFirstDriver(CapWnd))
        ShowMessage(QStringLiteral("攝影機連接失敗-.-"));
    capture::StartPreview(CapWnd);
}

void TForm1::GrabFrame()
{
    // With no image on the clipboard the view keeps what it shows.
    std::optional<imaging::Picture> frame = capture::GrabFrame(CapWnd);
    if (!frame)
        return;
    // The program puts nothing on the clipboard but its capture windows'
    // frames, so a clipboard it owns held a camera frame; any other picture
    // came from another program.
    const bool fromCamera = QApplication::clipboard()->ownsClipboard();
    const QString size = QStringLiteral("%1 × %2").arg(frame->Width()).arg(frame->Height());
    Image1->setPicture(std::move(*frame));
    tell(fromCamera ? QStringLiteral("擷取的影像，") + size
                    : QStringLiteral("剪貼簿的圖片，") + size);
}

void TForm1::BinarizePicture()
{
    const int T = ScrollBar1->value();
    Edit1->setText(QString::asprintf("%i", T));
    // The working picture is the view's own, taken rather than copied: the
    // view gets it back before anything can look, and a pass that reads and
    // writes each byte once is twice as fast as a copy followed by a pass.
    imaging::Picture working = Image1->takePicture();
    const bool passed = !working.Empty();
    imaging::Binarize(working, T);
    Image1->setPicture(std::move(working));
    // With nothing grabbed the pass changes nothing, and there is nothing to tell.
    if (passed)
        tell(QStringLiteral("二值化，門檻值 %1").arg(T));
}

void TForm1::tell(const QString& news)
{
    Image1->setAccessibleDescription(news);
    // The scroll bar's own value is read out on every step; news after each
    // would drown it.
    if (QApplication::focusWidget() != ScrollBar1)
        notice_->say(news);
}
