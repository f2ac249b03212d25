#pragma once
// Our virtual PipeWire camera (tests/platform/virtualcam) run from a test:
// THRESHCAM_VIRTUALCAM names the program.

#include <QByteArray>
#include <QFile>
#include <QProcess>
#include <QStringList>
#include <QTemporaryDir>

#include <cstdint>
#include <memory>
#include <vector>

// One virtual camera, a process of its own, gone with its owner.
class VirtualCamera {
public:
    explicit VirtualCamera(QStringList args)
    {
        process_.setProgram(THRESHCAM_VIRTUALCAM);
        process_.setArguments(args);
        process_.setProcessChannelMode(QProcess::ForwardedErrorChannel);
        process_.start();
    }
    ~VirtualCamera()
    {
        process_.terminate();
        if (!process_.waitForFinished(3000))
            process_.kill();
        process_.waitForFinished(3000);
    }

    // Waits for the node to be published; its object.serial.
    QByteArray serial()
    {
        if (serial_.isEmpty())
            serial_ = line("ready serial=").split(' ').front().trimmed();
        return serial_;
    }
    // What follows `prefix` in the next line that starts with it; empty
    // when none comes within 5 s.
    QByteArray line(const QByteArray& prefix)
    {
        while (process_.canReadLine() || process_.waitForReadyRead(5000)) {
            const QByteArray text = process_.readLine();
            if (text.startsWith(prefix))
                return text.mid(prefix.size());
        }
        return {};
    }
    QProcess& process() { return process_; }

private:
    QProcess process_;
    QByteArray serial_;
};

// A camera sending one still frame, from a file the test writes.
struct StillCamera {
    QTemporaryDir dir;
    std::unique_ptr<VirtualCamera> camera;

    StillCamera(const std::vector<std::uint8_t>& frame, QStringList args)
    {
        QFile file(dir.filePath("frame"));
        if (file.open(QIODevice::WriteOnly))
            file.write(reinterpret_cast<const char*>(frame.data()), qint64(frame.size()));
        file.close();
        camera = std::make_unique<VirtualCamera>(args << "--frame" << file.fileName());
    }
};
