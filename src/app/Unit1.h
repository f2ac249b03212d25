#pragma once

#include "Accessible.h"
#include "ui_Unit1.h"
#include "vfw.h"

#include <QWidget>

// The program's one window. Its controls come from the stored layout
// (Unit1.ui) and are public fields named as there: Panel1, Panel2, Image1,
// Button1..Button3, ScrollBar1, Edit1.
class TForm1 : public QWidget, public Ui::Form1 {
    Q_OBJECT

public:
    explicit TForm1(QWidget* owner);

    void Button1Click(QObject* Sender);
    void Button2Click(QObject* Sender);
    void Button3Click(QObject* Sender);
    void ScrollBar1Change(QObject* Sender);

    // Creates a capture window in Panel1, connects the first camera driver
    // that accepts and starts its live picture.
    void ConnectCamera();
    // Takes the capture window's current frame, through the clipboard, into
    // Image1.
    void GrabFrame();
    // Shows the scroll bar's threshold in Edit1 and turns the picture in
    // Image1 black and white by it.
    void BinarizePicture();

private:
    // Says what the image view now holds to assistive technology.
    void tell(const QString& news);

    template <class Sender, class Signal>
    void bindEvent(Sender* sender, Signal signal, void (TForm1::*handler)(QObject*));

    // Says the news to a screen reader wherever focus is.
    Notice* notice_ = nullptr;
};

extern TForm1* Form1;
// The newest capture window, null until the first click on Button1.
extern HWND CapWnd;
