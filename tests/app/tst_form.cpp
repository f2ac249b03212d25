#include "ModalBoxes.h"
#include "Picture.h"
#include "TApplication.h"
#include "Unit1.h"

#include <QScrollBar>
#include <QSignalSpy>
#include <QTest>
#include <QWheelEvent>

#include <algorithm>
#include <cstring>
#include <memory>
#include <new>
#include <random>

namespace {

// A picture of two pixels per row: gray 126 (luminance 125) and gray 127
// (luminance 126), the two sides of the starting threshold.
imaging::Picture twoGrays()
{
    imaging::Picture p(2, 3);
    for (int y = 0; y < 3; ++y) {
        std::memset(p.ScanLine(y), 126, 3);
        std::memset(p.ScanLine(y) + 3, 127, 3);
    }
    return p;
}

int pixel(const imaging::Picture& p, int x, int y)
{
    return p.ScanLine(y)[3 * x];
}

} // namespace

class TestForm : public QObject {
    Q_OBJECT

private slots:
    void init();
    void cleanup();

    void layoutIsTheStoredOne();
    void loadingFiresNoHandler();
    void focusStartsOnButton1AndFollowsTabOrder();
    void scrollBarKeysMoveLikeANativeOne();
    void scrollBarMouseWheelAndArrows();
    void buttonRunsThePass();
    void everyScrollChangeRunsOnePass();
    void passWithNothingGrabbedOnlyShowsTheThreshold();
    void viewDrawsThePictureExactly();
    void handlerErrorsAreShownAndTheLoopGoesOn();
    void closingTheWindowEndsRun();

private:
    std::unique_ptr<TForm1> form_;
};

void TestForm::init()
{
    form_ = std::make_unique<TForm1>(nullptr);
}

void TestForm::cleanup()
{
    form_.reset();
}

void TestForm::layoutIsTheStoredOne()
{
    TForm1& f = *form_;
    QCOMPARE(f.windowTitle(), QStringLiteral("Form1"));
    QCOMPARE(f.pos(), QPoint(192, 114));
    // No window manager here, so the outer size is the inside.
    QCOMPARE(f.size(), QSize(1209, 656));

    const struct {
        QWidget* w;
        QRect geometry;
    } table[] = {
        {f.Panel1, {8, 16, 377, 257}},      {f.Panel2, {400, 8, 393, 273}},
        {f.Image1, {8, 8, 377, 257}},       {f.Button1, {16, 312, 89, 33}},
        {f.Button2, {16, 360, 89, 33}},     {f.Button3, {16, 408, 89, 33}},
        {f.ScrollBar1, {16, 456, 129, 25}}, {f.Edit1, {160, 456, 41, 21}},
    };
    for (const auto& row : table)
        QCOMPARE(row.w->geometry(), row.geometry);
    QCOMPARE(f.Image1->parentWidget(), f.Panel2);

    QCOMPARE(f.Panel1->text(), QStringLiteral("Panel1"));
    QCOMPARE(f.Panel2->text(), QStringLiteral("Panel2"));
    QCOMPARE(f.Button1->text(), QStringLiteral("開啟攝影"));
    QCOMPARE(f.Button2->text(), QStringLiteral("擷取影像"));
    QCOMPARE(f.Button3->text(), QStringLiteral("二值化"));

    QCOMPARE(f.ScrollBar1->orientation(), Qt::Horizontal);
    QCOMPARE(f.ScrollBar1->minimum(), 0);
    QCOMPARE(f.ScrollBar1->maximum(), 255);
    QCOMPARE(f.ScrollBar1->value(), 125);
    QCOMPARE(f.ScrollBar1->singleStep(), 1);
    QCOMPARE(f.ScrollBar1->pageStep(), 1);

    QVERIFY(f.Edit1->text().isEmpty());
    QVERIFY(!f.Edit1->isReadOnly());
    QVERIFY(f.Image1->Picture().Empty());

    // Nothing follows the window's edges.
    const QPoint before = f.Button3->pos();
    f.resize(500, 300);
    QCOMPARE(f.Button3->pos(), before);
    QCOMPARE(f.Panel1->size(), QSize(377, 257));

    QVERIFY(!QApplication::windowIcon().isNull());
    QCOMPARE(QApplication::windowIcon().availableSizes().value(0), QSize(32, 32));
}

void TestForm::loadingFiresNoHandler()
{
    form_->show();
    QVERIFY(QTest::qWaitForWindowExposed(form_.get()));
    QVERIFY(form_->Edit1->text().isEmpty());
}

void TestForm::focusStartsOnButton1AndFollowsTabOrder()
{
    form_->show();
    form_->activateWindow();
    QVERIFY(QTest::qWaitForWindowActive(form_.get()));
    QCOMPARE(QApplication::focusWidget(), form_->Button1);
    const QList<QWidget*> order = {form_->Button2, form_->Button3, form_->ScrollBar1, form_->Edit1,
                                   form_->Button1};
    for (QWidget* next : order) {
        QTest::keyClick(QApplication::focusWidget(), Qt::Key_Tab);
        QCOMPARE(QApplication::focusWidget(), next);
    }
}

void TestForm::scrollBarKeysMoveLikeANativeOne()
{
    form_->show();
    QScrollBar* bar = form_->ScrollBar1;
    const struct {
        Qt::Key key;
        int expected;
    } steps[] = {{Qt::Key_Right, 126}, {Qt::Key_Down, 127},     {Qt::Key_Left, 126},
                 {Qt::Key_Up, 125},    {Qt::Key_PageDown, 126}, {Qt::Key_PageUp, 125},
                 {Qt::Key_End, 255},   {Qt::Key_Home, 0}};
    for (const auto& step : steps) {
        QTest::keyClick(bar, step.key);
        QCOMPARE(bar->value(), step.expected);
        QCOMPARE(form_->Edit1->text(), QString::number(step.expected));
    }
}

void TestForm::scrollBarMouseWheelAndArrows()
{
    form_->show();
    QVERIFY(QTest::qWaitForWindowExposed(form_.get()));
    QScrollBar* bar = form_->ScrollBar1;

    // Wheel toward the user moves right, as on the desktop the program came from.
    const QPointF centre(bar->width() / 2.0, bar->height() / 2.0);
    QWheelEvent down(centre, bar->mapToGlobal(centre), QPoint(), QPoint(0, -120), Qt::NoButton,
                     Qt::NoModifier, Qt::NoScrollPhase, false);
    QApplication::sendEvent(bar, &down);
    QCOMPARE(bar->value(), 126);
    QWheelEvent up(centre, bar->mapToGlobal(centre), QPoint(), QPoint(0, 120), Qt::NoButton,
                   Qt::NoModifier, Qt::NoScrollPhase, false);
    QApplication::sendEvent(bar, &up);
    QCOMPARE(bar->value(), 125);

    QTest::mouseClick(bar, Qt::LeftButton, {}, QPoint(bar->width() - 3, bar->height() / 2));
    QCOMPARE(bar->value(), 126);
    QTest::mouseClick(bar, Qt::LeftButton, {}, QPoint(3, bar->height() / 2));
    QCOMPARE(bar->value(), 125);
    QCOMPARE(form_->Edit1->text(), QStringLiteral("125"));
}

void TestForm::buttonRunsThePass()
{
    form_->Image1->setPicture(twoGrays());
    QTest::mouseClick(form_->Button3, Qt::LeftButton);
    QCOMPARE(form_->Edit1->text(), QStringLiteral("125"));
    const imaging::Picture& shown = form_->Image1->Picture();
    QCOMPARE(shown.Width(), 2);
    QCOMPARE(shown.Height(), 3);
    for (int y = 0; y < 3; ++y) {
        QCOMPARE(pixel(shown, 0, y), 0);
        QCOMPARE(pixel(shown, 1, y), 255);
    }
}

void TestForm::everyScrollChangeRunsOnePass()
{
    form_->Image1->setPicture(twoGrays());
    QSignalSpy edits(form_->Edit1, &QLineEdit::textChanged);
    form_->ScrollBar1->setValue(200);
    QCOMPARE(edits.count(), 1);
    QCOMPARE(form_->Edit1->text(), QStringLiteral("200"));
    QCOMPARE(pixel(form_->Image1->Picture(), 1, 0), 0);

    // Back down to 50: the picture is already black and white, and stays so.
    form_->ScrollBar1->setValue(50);
    QCOMPARE(edits.count(), 2);
    QCOMPARE(pixel(form_->Image1->Picture(), 1, 0), 0);
}

void TestForm::passWithNothingGrabbedOnlyShowsTheThreshold()
{
    form_->ScrollBar1->setValue(7);
    QCOMPARE(form_->Edit1->text(), QStringLiteral("7"));
    QVERIFY(form_->Image1->Picture().Empty());
    QTest::mouseClick(form_->Button3, Qt::LeftButton);
    QCOMPARE(form_->Edit1->text(), QStringLiteral("7"));
    QVERIFY(form_->Image1->Picture().Empty());
}

void TestForm::viewDrawsThePictureExactly()
{
    // Noise, so that a byte taken from a neighbour would show; widths that
    // end in each remainder of four, smaller and larger than the view.
    std::mt19937 random(3);
    for (const QSize size :
         {QSize(1, 1), QSize(2, 3), QSize(7, 5), QSize(377, 257), QSize(502, 300)}) {
        imaging::Picture picture(size.width(), size.height());
        for (int y = 0; y < size.height(); ++y)
            for (int x = 0; x < 3 * size.width(); ++x)
                picture.ScanLine(y)[x] = std::uint8_t(random());
        form_->Image1->setPicture(picture);
        const QImage drawn = form_->Image1->grab().toImage();
        for (int y = 0; y < std::min(size.height(), 257); ++y)
            for (int x = 0; x < std::min(size.width(), 377); ++x) {
                const std::uint8_t* px = picture.ScanLine(y) + 3 * x;
                QCOMPARE(drawn.pixel(x, y) & 0xffffff, qRgb(px[2], px[1], px[0]) & 0xffffff);
            }
    }
}

void TestForm::handlerErrorsAreShownAndTheLoopGoesOn()
{
    ModalBoxes boxes;
    bool afterwards = false;
    QTimer::singleShot(0, [] { Dispatch([] { throw std::runtime_error("boom"); }); });
    QTimer::singleShot(0, [] { Dispatch([] { throw 42; }); });
    QTimer::singleShot(0, [] { Dispatch([] { throw std::bad_alloc(); }); });
    QTimer::singleShot(0, [&] { afterwards = true; });
    QTRY_VERIFY(afterwards);
    QTRY_COMPARE(boxes.seen().size(), 3);
    // The boxes nest (each runs its own loop while the next timer fires), so
    // their order says nothing.
    QStringList texts = boxes.texts();
    texts.sort();
    QStringList expected = {QStringLiteral("boom"), QString(),
                            QStringLiteral("記憶體不足，無法完成這項操作。")};
    expected.sort();
    QCOMPARE(texts, expected);
    for (const auto& box : boxes.seen()) {
        QCOMPARE(box.icon, QMessageBox::Critical);
        QCOMPARE(box.title, QApplication::applicationDisplayName());
    }
}

void TestForm::closingTheWindowEndsRun()
{
    auto* app = static_cast<TApplication*>(QCoreApplication::instance());
    TForm1* created = nullptr;
    app->CreateForm(created);
    QVERIFY(created);
    QTimer::singleShot(50, created, &QWidget::close);
    app->Run();
    QVERIFY(!created->isVisible());
}

int main(int argc, char** argv)
{
    TApplication app(argc, argv);
    app.Initialize();
    TestForm test;
    return QTest::qExec(&test, argc, argv);
}

#include "tst_form.moc"
