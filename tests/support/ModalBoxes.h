#pragma once

#include <QApplication>
#include <QMessageBox>
#include <QStringList>
#include <QTimer>

// Closes every modal message box the code under test opens and remembers what
// each said, so that a test can run handlers that show boxes without blocking.
class ModalBoxes {
public:
    struct Box {
        QString title;
        QString text;
        QMessageBox::Icon icon;
    };

    ModalBoxes()
    {
        timer_.setInterval(5);
        QObject::connect(&timer_, &QTimer::timeout, [this] {
            if (auto* box = qobject_cast<QMessageBox*>(QApplication::activeModalWidget())) {
                seen_.push_back({box->windowTitle(), box->text(), box->icon()});
                box->done(QMessageBox::Ok);
            }
        });
        timer_.start();
    }

    const QList<Box>& seen() const { return seen_; }
    QStringList texts() const
    {
        QStringList out;
        for (const Box& b : seen_)
            out << b.text;
        return out;
    }
    void clear() { seen_.clear(); }

private:
    QTimer timer_;
    QList<Box> seen_;
};
