// evaluate: reads every gauge of a labelled folder with the real engine and
// reports how far the readings are from the truth, as a share of the span.
//
//   evaluate --labels labels.json --images DIR [--models DIR] [--annotate OUT] [--repeat N]
//
// labels.json is a list of {"image", "min", "max", "reading"} (numbers or
// numeric strings). Models default to bin/1.bin and bin/2.bin. --repeat reads
// every image N times for the timing (the readings do not change).
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <map>
#include <numeric>
#include <string>
#include <vector>

#include <opencv2/imgcodecs.hpp>

#include <QCommandLineParser>
#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>

#include "meterreaderhandler.h"

namespace {

double numberOf(const QJsonValue &v)
{
    return v.isString() ? v.toString().toDouble() : v.toDouble();
}

double median(std::vector<double> values)
{
    if (values.empty())
        return 0.0;
    std::sort(values.begin(), values.end());
    const size_t n = values.size();
    return n % 2 ? values[n / 2] : (values[n / 2 - 1] + values[n / 2]) / 2.0;
}

} // namespace

int main(int argc, char **argv)
{
    QCoreApplication app(argc, argv);
    QCommandLineParser parser;
    parser.setApplicationDescription(QStringLiteral("Reads labelled gauge photos and reports the error."));
    parser.addHelpOption();
    const QCommandLineOption labelsOption(QStringLiteral("labels"), QStringLiteral("labels file"), QStringLiteral("file"));
    const QCommandLineOption imagesOption(QStringLiteral("images"), QStringLiteral("image folder"), QStringLiteral("dir"));
    const QCommandLineOption modelsOption(QStringLiteral("models"), QStringLiteral("folder with 1.bin and 2.bin"),
                                          QStringLiteral("dir"), QStringLiteral("bin"));
    const QCommandLineOption annotateOption(QStringLiteral("annotate"), QStringLiteral("write annotated pictures here"),
                                            QStringLiteral("dir"));
    const QCommandLineOption repeatOption(QStringLiteral("repeat"), QStringLiteral("readings per image for the timing"),
                                          QStringLiteral("n"), QStringLiteral("1"));
    parser.addOptions({labelsOption, imagesOption, modelsOption, annotateOption, repeatOption});
    parser.process(app);
    if (!parser.isSet(labelsOption) || !parser.isSet(imagesOption))
        parser.showHelp(2);

    QFile labelsFile(parser.value(labelsOption));
    if (!labelsFile.open(QIODevice::ReadOnly)) {
        std::fprintf(stderr, "evaluate: cannot read %s\n", qPrintable(labelsFile.fileName()));
        return 2;
    }
    const QJsonArray labels = QJsonDocument::fromJson(labelsFile.readAll()).array();
    const QDir images(parser.value(imagesOption));
    const QDir models(parser.value(modelsOption));
    const QString annotateDir = parser.value(annotateOption);
    const int repeat = std::max(1, parser.value(repeatOption).toInt());
    if (!annotateDir.isEmpty())
        QDir().mkpath(annotateDir);

    MeterReaderHandler handler;
    if (!handler.init(models.filePath(QStringLiteral("1.bin")), models.filePath(QStringLiteral("2.bin")))) {
        std::fprintf(stderr, "evaluate: the models in %s cannot be loaded\n", qPrintable(models.path()));
        return 2;
    }

    std::vector<double> errors;
    std::vector<double> seconds;
    std::map<std::string, int> refusals;
    int total = 0;
    for (const QJsonValue &entry : labels) {
        const QJsonObject label = entry.toObject();
        const QString name = label.value(QStringLiteral("image")).toString();
        const double min = numberOf(label.value(QStringLiteral("min")));
        const double max = numberOf(label.value(QStringLiteral("max")));
        const double truth = numberOf(label.value(QStringLiteral("reading")));
        const cv::Mat picture = MeterReaderHandler::readPicture(images.filePath(name));
        ++total;
        if (picture.empty()) {
            ++refusals["(image not readable)"];
            continue;
        }
        const cv::Mat image = MeterReaderHandler::onCanvas(picture);

        std::string error;
        meterreading::Trace trace;
        float value = 0.0f;
        for (int run = 0; run < repeat; ++run) {
            trace = {};
            const auto start = std::chrono::steady_clock::now();
            value = handler.readMeter(DetectImage{0, image.data, image.cols, image.rows}, error,
                                      static_cast<float>(min), static_cast<float>(max), &trace);
            seconds.push_back(std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count());
        }

        std::string caption;
        if (!error.empty()) {
            ++refusals[error];
            caption = "refused; true " + std::to_string(truth);
        } else {
            const double percent = std::abs(value - truth) / (max - min) * 100.0;
            errors.push_back(percent);
            char text[128];
            std::snprintf(text, sizeof text, "read %.3g, true %.3g (%.1f%%)", value, truth, percent);
            caption = text;
        }
        std::printf("%-60.60s %s%s\n", qPrintable(name), caption.c_str(), error.empty() ? "" : (" - " + error).c_str());
        if (!annotateDir.isEmpty())
            cv::imwrite(QDir(annotateDir).filePath(QFileInfo(name).completeBaseName() + ".jpg").toStdString(),
                        meterreading::annotatedPicture(picture, trace, caption));
    }

    const auto within = [&](double limit) {
        return std::count_if(errors.begin(), errors.end(), [&](double e) { return e <= limit; });
    };
    const double mean = errors.empty() ? 0.0 : std::accumulate(errors.begin(), errors.end(), 0.0) / errors.size();
    int refused = 0;
    for (const auto &[message, count] : refusals)
        refused += count;

    std::printf("\nimages: %d, read: %zu, refused: %d\n", total, errors.size(), refused);
    for (const auto &[message, count] : refusals)
        std::printf("  refused %d: %s\n", count, message.c_str());
    // With nothing read, a median of 0 would look like a perfect score.
    if (errors.empty())
        std::printf("error of the readings: none read\n");
    else
        std::printf("error of the readings, %% of span: median %.2f, mean %.2f\n", median(errors), mean);
    // Refusals count as failures in the shares.
    std::printf("within 2%%: %.1f%% of images, within 5%%: %.1f%% of images\n",
                total ? 100.0 * within(2.0) / total : 0.0, total ? 100.0 * within(5.0) / total : 0.0);
    std::printf("median time per image (engine and geometry): %.1f ms over %zu readings\n", median(seconds) * 1000.0,
                seconds.size());
    return 0;
}
