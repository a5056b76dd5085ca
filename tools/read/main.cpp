// dialvane-read: reads gauges from a shell, with the server's engine and
// replies but without HTTP.
//
//   dialvane-read [--min A] [--max B] [--models DIR] [--annotate DIR] IMAGE...
//
// Prints one JSON line per image, {"image": ..., "value": ..., "error": ...},
// and exits 1 when any image was refused. IMAGE is a path or an http(s) URL.
#include <cstdio>
#include <iostream>
#include <set>
#include <sstream>
#include <string>

#include <opencv2/imgcodecs.hpp>
#include <spdlog/sinks/stdout_color_sinks.h>
#include <spdlog/spdlog.h>

#include <QCommandLineParser>
#include <QCoreApplication>
#include <QDir>
#include <QFileInfo>
#include <QUrl>

#include "annotation.h"
#include "json.h"
#include "meterreaderhandler.h"
#include "soapcontext.h"

namespace {

bool holdsModels(const QDir &dir)
{
    return QFileInfo::exists(dir.filePath(QStringLiteral("1.bin")))
           && QFileInfo::exists(dir.filePath(QStringLiteral("2.bin")));
}

// --models, else bin/ in the working directory, as the server finds it, else
// the one beside the program, as the package installs it. Empty when none
// holds both files; `searched` then names the folders looked in.
QString modelFolder(const QCommandLineParser &parser, const QCommandLineOption &option, QString &searched)
{
    const QStringList candidates = parser.isSet(option)
        ? QStringList{QDir(parser.value(option)).absolutePath()}
        : QStringList{QDir::current().absoluteFilePath(QStringLiteral("bin")),
                      QDir(QCoreApplication::applicationDirPath()).absoluteFilePath(QStringLiteral("bin"))};
    for (const QString &folder : candidates) {
        if (holdsModels(QDir(folder)))
            return folder;
    }
    searched = candidates.join(QStringLiteral(" or "));
    return QString();
}

// A file name in `dir` for the picture of `image`, not yet used in this run:
// two images may share a base name in different folders or URLs.
QString annotationPath(const QDir &dir, const QString &image, std::set<QString> &used)
{
    QString base = QFileInfo(QUrl(image).path()).completeBaseName();
    if (base.isEmpty())
        base = QStringLiteral("image");
    QString name = base + QStringLiteral(".jpg");
    for (int n = 2; !used.insert(name).second; ++n)
        name = QStringLiteral("%1-%2.jpg").arg(base).arg(n);
    return dir.filePath(name);
}

// What the picture's caption says after min and max.
std::string resultOf(const value &response)
{
    const std::string error = response.has("error") ? static_cast<const char *>(response["error"]) : "";
    if (!error.empty())
        return "refused: " + error;
    return "read " + meterreading::compactNumber(static_cast<double>(response["value"]));
}

bool parseNumber(const QString &text, double &number)
{
    bool ok = false;
    number = text.toDouble(&ok);
    return ok;
}

} // namespace

int main(int argc, char **argv)
{
    QCoreApplication app(argc, argv);
    QCoreApplication::setApplicationName(QStringLiteral("dialvane-read"));
    QCommandLineParser parser;
    parser.setApplicationDescription(QStringLiteral("Reads dial gauges from photographs and prints one JSON line per image."));
    parser.addHelpOption();
    const QCommandLineOption minOption(QStringLiteral("min"), QStringLiteral("value at the start of the scale (0)"),
                                       QStringLiteral("A"), QStringLiteral("0"));
    const QCommandLineOption maxOption(QStringLiteral("max"), QStringLiteral("value at the end of the scale (1)"),
                                       QStringLiteral("B"), QStringLiteral("1"));
    const QCommandLineOption modelsOption(QStringLiteral("models"), QStringLiteral("folder with 1.bin and 2.bin"),
                                          QStringLiteral("dir"));
    const QCommandLineOption annotateOption(QStringLiteral("annotate"),
                                            QStringLiteral("write each picture with what was read into DIR"),
                                            QStringLiteral("dir"));
    parser.addOptions({minOption, maxOption, modelsOption, annotateOption});
    parser.addPositionalArgument(QStringLiteral("image"), QStringLiteral("image files or http(s) URLs"),
                                 QStringLiteral("IMAGE..."));
    parser.process(app);

    const QStringList images = parser.positionalArguments();
    double min = 0.0;
    double max = 1.0;
    if (images.isEmpty())
        parser.showHelp(2);
    if (!parseNumber(parser.value(minOption), min) || !parseNumber(parser.value(maxOption), max)) {
        std::fprintf(stderr, "dialvane-read: --min and --max take numbers\n");
        return 2;
    }

    // Standard output carries only the JSON lines: the engine's own
    // diagnostics go to standard error here.
    std::cout.rdbuf(std::cerr.rdbuf());
    spdlog::set_default_logger(spdlog::stderr_color_mt("dialvane-read"));
    spdlog::set_level(spdlog::level::warn);

    // Missing files and files that do not load are told apart: ONNX Runtime
    // would report a missing file as a model it cannot parse.
    QString searched;
    const QString folder = modelFolder(parser, modelsOption, searched);
    if (folder.isEmpty()) {
        std::fprintf(stderr, "dialvane-read: no models found in %s (give --models DIR)\n", qPrintable(searched));
        return 2;
    }
    const QDir models(folder);
    MeterReaderHandler handler;
    if (!handler.init(models.filePath(QStringLiteral("1.bin")), models.filePath(QStringLiteral("2.bin")))) {
        std::fprintf(stderr, "dialvane-read: the models in %s cannot be loaded\n", qPrintable(models.path()));
        return 2;
    }

    const QString annotateDir = parser.value(annotateOption);
    if (!annotateDir.isEmpty() && !QDir().mkpath(annotateDir)) {
        std::fprintf(stderr, "dialvane-read: cannot create %s\n", qPrintable(annotateDir));
        return 2;
    }
    std::set<QString> annotationNames;

    bool anyRefused = false;
    for (const QString &image : images) {
        // A request as the server would get it, so that every reply and
        // message is the server's own.
        const SoapContext ctx(soap_new1(SOAP_C_UTFSTRING));
        value request(ctx.get());
        request["image_path"] = image.toStdString();
        request["min"] = min;
        request["max"] = max;
        value response(ctx.get());
        meterreading::Sighting seen;
        handler.answer(request, response, annotateDir.isEmpty() ? nullptr : &seen);

        value line(ctx.get());
        line["image"] = image.toStdString();
        // Replies that never reached a reading carry no value.
        line["value"] = response.has("value") ? response["value"] : value(ctx.get());
        line["error"] = response.has("error") ? response["error"] : value(ctx.get(), "");
        std::ostringstream text;
        text << line;
        std::printf("%s\n", text.str().c_str());
        std::fflush(stdout);

        const std::string error = static_cast<const char *>(line["error"]);
        anyRefused = anyRefused || !error.empty();
        if (!annotateDir.isEmpty() && !seen.picture.empty()) {
            const QString path = annotationPath(QDir(annotateDir), image, annotationNames);
            if (!cv::imwrite(path.toStdString(), meterreading::annotatedPicture(seen.picture, seen.trace, min, max,
                                                                                resultOf(response))))
                std::fprintf(stderr, "dialvane-read: cannot write %s\n", qPrintable(path));
        }
    }
    return anyRefused ? 1 : 0;
}
