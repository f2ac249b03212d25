#include "TApplication.h"

#include "Accessible.h"
#include "Picture.h"
#include "Unit1.h"

#include <QAccessible>
#include <QIcon>
#include <QMessageBox>

#include <new>

TApplication::TApplication(int& argc, char** argv)
    : QApplication(argc, argv)
{}

TApplication::~TApplication()
{
    // The window and its children (the capture windows among them) go before
    // the application object that they need.
    mainForm_.reset();
    if (mainFormRef_)
        *mainFormRef_ = nullptr;
}

void TApplication::Initialize()
{
    Q_INIT_RESOURCE(threshcam);
    setWindowIcon(QIcon(QStringLiteral(":/MAINICON")));
    // Wayland knows a window's program by this id alone; it must name the
    // installed desktop entry for the right icon and name to show.
    setDesktopFileName(QStringLiteral(THRESHCAM_APP_ID));
    QAccessible::installFactory(AccessibleFactory);
    WatchInputForFocusFrames(*this);
}

void TApplication::CreateForm(TForm1*& form)
{
    // The program has one window, and it is the main window.
    mainForm_ = std::make_unique<TForm1>(nullptr);
    form = mainForm_.get();
    mainFormRef_ = &form;
}

void TApplication::Run()
{
    if (mainForm_)
        mainForm_->show();
    exec();
}

void ShowException(const std::exception& error)
{
    QString text;
    if (dynamic_cast<const std::bad_alloc*>(&error))
        text = QStringLiteral("記憶體不足，無法完成這項操作。");
    else if (dynamic_cast<const imaging::PictureSizeError*>(&error))
        text = QStringLiteral("圖片尺寸太大，無法處理。");
    else
        text = QString::fromUtf8(error.what());
    QMessageBox::critical(QApplication::activeWindow(), QApplication::applicationDisplayName(),
                          text);
}

void ShowMessage(const QString& text)
{
    QMessageBox box(QMessageBox::NoIcon, QApplication::applicationDisplayName(), text,
                    QMessageBox::Ok, QApplication::activeWindow());
    box.exec();
}
