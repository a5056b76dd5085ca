// evaluate: reads every gauge of a labelled folder with the real engine and
// reports how far the readings are from the truth, as a share of the span.
//
//   evaluate --labels labels.json --images DIR [--models DIR] [--annotate OUT] [--repeat N]
//
// labels.json is a list of {"image", "min", "max", "reading"} (numbers or
// numeric strings). Models default to bin/1.bin and bin/2.bin. --repeat reads
// every image N times for the timing (the readings do not change).
// Rendered frames may add "scale_share" (the scale's width over the frame's
// short side), which splits the figures by dial size, and "gauges" (0 or 2:
// a frame the engine must refuse, counted apart). Entries with "skip" (a
// photo no person could read) are left out, and --split NAME keeps only the
// entries whose "split" is NAME. --json FILE writes one JSON line per image
// read: its name, the truth, the value or the refusal, the error, and the
// dials the dial model gave ([score, whether a scale was placed on it]).
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

#include "annotation.h"
#include "imagefile.h"
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

// Dials whose scale is narrower than this share of the short side are the
// small ones of a camera that watches a panel.
const double SMALL_SHARE = 0.30;

// The readings of a set of images, or of part of one.
struct Tally
{
    std::vector<double> errors;
    std::map<std::string, int> refusals;
    int total = 0;

    int refused() const
    {
        int count = 0;
        for (const auto &[message, n] : refusals)
            count += n;
        return count;
    }
    // Refusals count as failures in the shares.
    double within(double limit) const
    {
        const auto n = std::count_if(errors.begin(), errors.end(), [&](double e) { return e <= limit; });
        return total ? 100.0 * n / total : 0.0;
    }
    int over(double limit) const
    {
        return static_cast<int>(std::count_if(errors.begin(), errors.end(), [&](double e) { return e > limit; }));
    }
    double mean() const
    {
        return errors.empty() ? 0.0 : std::accumulate(errors.begin(), errors.end(), 0.0) / errors.size();
    }
    // A reading's error in % of the span, or the reason it was refused.
    void add(const std::string &error, double percent)
    {
        ++total;
        if (error.empty())
            errors.push_back(percent);
        else
            ++refusals[error];
    }
    void printLine(const char *label) const
    {
        std::printf("  %s: images %d, read %zu, refused %d", label, total, errors.size(), refused());
        // With nothing read, a median of 0 would look like a perfect score.
        if (!errors.empty())
            std::printf("; median %.2f, mean %.2f", median(errors), mean());
        std::printf("; within 2%%: %.1f%%, within 5%%: %.1f%%\n", within(2.0), within(5.0));
    }
};

// Frames the engine must refuse, by the message it must give.
struct Refusal
{
    int total = 0;
    int asExpected = 0;
};

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
    const QCommandLineOption splitOption(QStringLiteral("split"), QStringLiteral("read only entries of this split"),
                                         QStringLiteral("name"));
    const QCommandLineOption jsonOption(QStringLiteral("json"), QStringLiteral("write one JSON line per image here"),
                                        QStringLiteral("file"));
    parser.addOptions({labelsOption, imagesOption, modelsOption, annotateOption, repeatOption, splitOption, jsonOption});
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

    QFile jsonFile(parser.value(jsonOption));
    if (parser.isSet(jsonOption) && !jsonFile.open(QIODevice::WriteOnly | QIODevice::Truncate)) {
        std::fprintf(stderr, "evaluate: cannot write %s\n", qPrintable(jsonFile.fileName()));
        return 2;
    }
    int skipped = 0;
    Tally all;
    Tally small;
    Tally large;
    std::map<std::string, Refusal> mustRefuse;
    std::vector<double> seconds;
    for (const QJsonValue &entry : labels) {
        const QJsonObject label = entry.toObject();
        if (parser.isSet(splitOption) && label.value(QStringLiteral("split")).toString() != parser.value(splitOption))
            continue;
        if (label.contains(QStringLiteral("skip"))) {
            ++skipped;
            continue;
        }
        const int gauges = label.value(QStringLiteral("gauges")).toInt(1);
        const char *expected = gauges == 0 ? "There are no meter detected in the image."
                               : gauges > 1 ? "There are more than one meters in the image. Now only support one meter."
                                            : nullptr;
        Tally *bySize = nullptr;
        if (label.contains(QStringLiteral("scale_share")))
            bySize = label.value(QStringLiteral("scale_share")).toDouble() < SMALL_SHARE ? &small : &large;
        const auto count = [&](const std::string &error, double percent) {
            all.add(error, percent);
            if (bySize)
                bySize->add(error, percent);
        };
        const QString name = label.value(QStringLiteral("image")).toString();
        const double min = numberOf(label.value(QStringLiteral("min")));
        const double max = numberOf(label.value(QStringLiteral("max")));
        const double truth = numberOf(label.value(QStringLiteral("reading")));
        const cv::Mat picture = imagefile::readPicture(images.filePath(name));
        if (picture.empty()) {
            if (expected)
                ++mustRefuse[expected].total;
            else
                count("(image not readable)", 0.0);
            continue;
        }
        const cv::Mat image = imagefile::onCanvas(picture);

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
        if (expected) {
            Refusal &refusal = mustRefuse[expected];
            ++refusal.total;
            refusal.asExpected += error == expected;
            caption = error == expected ? "refused, as it should be" : "should be refused";
        } else if (!error.empty()) {
            count(error, 0.0);
            caption = "refused; true " + std::to_string(truth);
        } else {
            const double percent = std::abs(value - truth) / (max - min) * 100.0;
            count(error, percent);
            char text[128];
            std::snprintf(text, sizeof text, "read %.3g, true %.3g (%.1f%%)", value, truth, percent);
            caption = text;
        }
        std::printf("%-60.60s %s%s\n", qPrintable(name), caption.c_str(), error.empty() ? "" : (" - " + error).c_str());
        if (jsonFile.isOpen()) {
            QJsonObject line{{QStringLiteral("image"), name}, {QStringLiteral("truth"), truth},
                             {QStringLiteral("error"), QString::fromStdString(error)}};
            if (error.empty()) {
                line.insert(QStringLiteral("value"), static_cast<double>(value));
                line.insert(QStringLiteral("percent"), std::abs(value - truth) / (max - min) * 100.0);
            }
            QJsonArray dials;
            for (const auto &[score, placed] : trace.dials)
                dials.append(QJsonArray{score, placed});
            line.insert(QStringLiteral("dials"), dials);
            jsonFile.write(QJsonDocument(line).toJson(QJsonDocument::Compact) + '\n');
        }
        if (!annotateDir.isEmpty())
            cv::imwrite(QDir(annotateDir).filePath(QFileInfo(name).completeBaseName() + ".jpg").toStdString(),
                        meterreading::annotatedPicture(picture, trace, min, max, caption));
    }

    std::printf("\nimages: %d, read: %zu, refused: %d\n", all.total, all.errors.size(), all.refused());
    if (skipped > 0)
        std::printf("skipped as no person could read them: %d\n", skipped);
    for (const auto &[message, n] : all.refusals)
        std::printf("  refused %d: %s\n", n, message.c_str());
    // With nothing read, a median of 0 would look like a perfect score.
    if (all.errors.empty())
        std::printf("error of the readings: none read\n");
    else
        std::printf("error of the readings, %% of span: median %.2f, mean %.2f\n", median(all.errors), all.mean());
    // Refusals count as failures in the shares.
    std::printf("within 2%%: %.1f%% of images, within 5%%: %.1f%% of images\n", all.within(2.0), all.within(5.0));
    std::printf("off by more than 10%%: %d images\n", all.over(10.0));
    if (small.total + large.total > 0) {
        std::printf("by dial size, the scale's width over the short side:\n");
        small.printLine("under 30%");
        large.printLine("30% and over");
    }
    for (const auto &[message, refusal] : mustRefuse)
        std::printf("frames to refuse with \"%s\": %d, refused so: %d\n", message.c_str(), refusal.total,
                    refusal.asExpected);
    std::printf("median time per image (engine and geometry): %.1f ms over %zu readings\n", median(seconds) * 1000.0,
                seconds.size());
    return 0;
}
