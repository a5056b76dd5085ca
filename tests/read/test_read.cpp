// The command-line reader as a user runs it: the real program, the shipped
// models, real files.
#include <gtest/gtest.h>

#include <opencv2/core.hpp>
#include <opencv2/imgcodecs.hpp>

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QJsonDocument>
#include <QJsonObject>
#include <QProcess>
#include <QTemporaryDir>

namespace {

struct Outcome
{
    int exitCode = -1;
    std::vector<QJsonObject> lines;
    QString output;
    QString errors;
};

// Runs dialvane-read, by default from the repository root, where it finds bin/.
Outcome readGauges(const QStringList &arguments, const QString &workingDirectory = QStringLiteral(DIALVANE_SOURCE_DIR),
                   const QProcessEnvironment &environment = QProcessEnvironment::systemEnvironment())
{
    QProcess process;
    process.setWorkingDirectory(workingDirectory);
    process.setProcessEnvironment(environment);
    process.start(QStringLiteral(DIALVANE_READ), arguments);
    Outcome run;
    if (!process.waitForFinished(60000)) {
        process.kill();
        process.waitForFinished();
        ADD_FAILURE() << "dialvane-read did not finish within 60 s";
        return run;
    }
    run.exitCode = process.exitStatus() == QProcess::NormalExit ? process.exitCode() : -1;
    run.output = QString::fromUtf8(process.readAllStandardOutput());
    run.errors = QString::fromUtf8(process.readAllStandardError());
    for (const QString &line : run.output.split(QLatin1Char('\n'), Qt::SkipEmptyParts)) {
        QJsonParseError error;
        const QJsonDocument document = QJsonDocument::fromJson(line.toUtf8(), &error);
        // Standard output is for scripts: nothing on it but JSON lines.
        EXPECT_TRUE(document.isObject()) << "not a JSON line: " << line.toStdString();
        run.lines.push_back(document.object());
    }
    return run;
}

const QString SAMPLE = QStringLiteral("samples/gauge.jpg");

} // namespace

// A reading, a refusal with the server's message, and the pictures of what
// was read, one per image even where two share a name.
TEST(DialvaneRead, ReadsRefusesAndAnnotates)
{
    QTemporaryDir scratch;
    ASSERT_TRUE(scratch.isValid());
    // The sample is square; a wide copy shows whether the picture or the
    // square canvas the models see is drawn.
    const cv::Mat sample = cv::imread(DIALVANE_SOURCE_DIR "/samples/gauge.jpg");
    cv::Mat wide;
    cv::copyMakeBorder(sample, wide, 0, 0, 0, sample.cols / 2, cv::BORDER_REPLICATE);
    const QString copy = QDir(scratch.path()).filePath(QStringLiteral("elsewhere/gauge.jpg"));
    ASSERT_TRUE(QDir().mkpath(QFileInfo(copy).path()));
    ASSERT_TRUE(cv::imwrite(copy.toStdString(), wide));
    const QString missing = QDir(scratch.path()).filePath(QStringLiteral("missing.jpg"));
    const QString pictures = QDir(scratch.path()).filePath(QStringLiteral("pictures"));

    const Outcome run = readGauges({QStringLiteral("--min"), QStringLiteral("0"), QStringLiteral("--max"),
                                QStringLiteral("400"), QStringLiteral("--annotate"), pictures, SAMPLE, missing, copy});
    ASSERT_EQ(run.lines.size(), 3u) << run.output.toStdString();
    // Any refusal makes the exit status say so, for shell scripts and cron.
    EXPECT_EQ(run.exitCode, 1);

    const QJsonObject &read = run.lines[0];
    EXPECT_EQ(read["image"].toString(), SAMPLE);
    EXPECT_EQ(read["error"].toString(), QString());
    // The sample's needle stands at 97.03; within 5 % of the span.
    EXPECT_NEAR(read["value"].toDouble(), 97.03, 20.0);
    EXPECT_EQ(run.lines[2]["error"].toString(), QString());

    const QJsonObject &refused = run.lines[1];
    EXPECT_EQ(refused["image"].toString(), missing);
    EXPECT_EQ(refused["error"].toString(), QStringLiteral("File %1 does not exist.").arg(missing));
    EXPECT_TRUE(refused.contains(QStringLiteral("value")));

    const std::pair<const char *, cv::Size> expected[] = {{"gauge.jpg", sample.size()}, {"gauge-2.jpg", wide.size()}};
    for (const auto &[name, size] : expected) {
        const cv::Mat picture = cv::imread(QDir(pictures).filePath(QLatin1String(name)).toStdString());
        ASSERT_FALSE(picture.empty()) << name;
        EXPECT_EQ(picture.size(), size) << name;
    }
    EXPECT_EQ(QDir(pictures).entryList(QDir::Files).size(), 2);
}

// Models that are missing are told apart from models that do not load, so
// the user is sent to the right fix; the folders named are the ones looked in.
TEST(DialvaneRead, SaysWhetherModelsAreMissingOrDoNotLoad)
{
    QTemporaryDir scratch;
    ASSERT_TRUE(scratch.isValid());
    const QDir dir(scratch.path());
    ASSERT_TRUE(dir.mkdir(QStringLiteral("broken")));
    for (const char *name : {"broken/1.bin", "broken/2.bin"}) {
        QFile file(dir.filePath(QLatin1String(name)));
        ASSERT_TRUE(file.open(QIODevice::WriteOnly) && file.write("not a model") > 0);
    }
    const QString sample = QStringLiteral(DIALVANE_SOURCE_DIR "/samples/gauge.jpg");
    const QString beside = QFileInfo(QStringLiteral(DIALVANE_READ)).absoluteDir().absoluteFilePath(QStringLiteral("bin"));

    const auto refused = [&](const QStringList &arguments) {
        const Outcome run = readGauges(arguments, dir.path());
        EXPECT_EQ(run.exitCode, 2);
        EXPECT_TRUE(run.output.isEmpty()) << run.output.toStdString();
        return run.errors;
    };
    EXPECT_EQ(refused({"--models", "none", sample}).trimmed(),
              QStringLiteral("dialvane-read: no models found in %1 (give --models DIR)").arg(dir.filePath("none")));
    EXPECT_EQ(refused({sample}).trimmed(), QStringLiteral("dialvane-read: no models found in %1 or %2 (give --models DIR)")
                                               .arg(dir.filePath("bin"), beside));
    const QString broken = refused({"--models", "broken", sample});
    EXPECT_TRUE(broken.contains(QStringLiteral("ONNX initializaton failed"))) << broken.toStdString();
    EXPECT_TRUE(broken.contains(QStringLiteral("dialvane-read: the models in %1 cannot be loaded").arg(dir.filePath("broken"))))
        << broken.toStdString();
    EXPECT_FALSE(broken.contains(QStringLiteral("no models found"))) << broken.toStdString();
}

// Every image read exits 0. ONNX Runtime's usage reporting stays off:
// nothing is written under the user's home, and where the home cannot be
// written (a service's user) no warning about it appears either.
TEST(DialvaneRead, LeavesTheHomeAloneAndWarnsOfNoTelemetry)
{
    QTemporaryDir home;
    ASSERT_TRUE(home.isValid());
    for (const QString &path : {home.path(), QStringLiteral("/proc/no-such-home")}) {
        QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
        environment.insert(QStringLiteral("HOME"), path);
        environment.remove(QStringLiteral("XDG_CACHE_HOME"));
        environment.remove(QStringLiteral("ORT_DISABLE_TELEMETRY"));
        const Outcome run = readGauges({QStringLiteral("--max"), QStringLiteral("400"), SAMPLE},
                                       QStringLiteral(DIALVANE_SOURCE_DIR), environment);
        EXPECT_EQ(run.exitCode, 0) << run.errors.toStdString();
        ASSERT_EQ(run.lines.size(), 1u) << run.output.toStdString();
        EXPECT_EQ(run.lines[0]["error"].toString(), QString());
        EXPECT_FALSE(run.errors.contains(QStringLiteral("telemetry"), Qt::CaseInsensitive)) << run.errors.toStdString();
    }
    EXPECT_TRUE(QDir(home.path()).isEmpty(QDir::AllEntries | QDir::Hidden | QDir::NoDotAndDotDot))
        << QDir(home.path()).entryList(QDir::AllEntries | QDir::Hidden | QDir::NoDotAndDotDot).join(' ').toStdString();
}
