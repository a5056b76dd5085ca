#pragma once

#include <memory>
#include <string>

#include <QString>
#include <QThread>

#include "detecttypes.h"
#include "filedownloader.h"
#include "imagefile.h"
#include "meterreading.h"
#include "queueitem.h"

class OnnxUOBBDetector;
class OnnxUPoseDetector;

// The consumer at the end of the request queue: reads one meter per item.
// Threading: lives on the GUI thread, where the poller's queued signal runs
// handleItem() one item at a time; its own thread only idles.
class MeterReaderHandler : public QThread
{
    Q_OBJECT

public:
    explicit MeterReaderHandler(bool debug = false);
    ~MeterReaderHandler() override;

    // Loads the key-point (dial) model, then the oriented-box (needle) model.
    bool init(const QString &meterModel = QStringLiteral("bin/1.bin"),
              const QString &pointerModel = QStringLiteral("bin/2.bin"));

    // Where image_path may lead; set before the first request.
    void setPathPolicy(const imagefile::PathPolicy &policy);
    void setUrlPolicy(const UrlPolicy &policy);

    // Answers the item's request into its response and always completes it.
    void handleItem(QueueItemPtr item);

    // Answers one request's members into `response` ("value" and "error").
    // `seen`, when given, receives the picture that was read (a path image
    // without its canvas) and what was found on it.
    void answer(const value &request, value &response, meterreading::Sighting *seen = nullptr);

    // The reading for `image`, or 0 with the reason in `error`. `trace`, when
    // given, receives the dial, its scale and the needle axis that were found.
    float readMeter(const DetectImage &image, std::string &error, float min, float max,
                    meterreading::Trace *trace = nullptr);

private:
    std::unique_ptr<OnnxUPoseDetector> m_meterDetector;
    std::unique_ptr<OnnxUOBBDetector> m_pointerDetector;
    bool m_debug;
    FileDownloader m_downloader;
    imagefile::PathPolicy m_pathPolicy;
};
