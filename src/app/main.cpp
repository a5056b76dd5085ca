#include <csignal>

#include <unistd.h>

#include <QApplication>
#include <QCommandLineParser>
#include <QCursor>
#include <QDebug>
#include <QSocketNotifier>

#include "mainwindow.h"

namespace {

int signalPipe[2] = {-1, -1};

void onStopSignal(int)
{
    const char byte = 1;
    // Only async-signal-safe work here; the event loop does the rest.
    [[maybe_unused]] const ssize_t written = ::write(signalPipe[1], &byte, 1);
}

// SIGTERM and SIGINT close the window like File > Exit, so a service run
// without a display still stops through the orderly shutdown.
void closeOnStopSignals(QWidget &window, QSocketNotifier *&notifier)
{
    if (::pipe(signalPipe) != 0)
        return;
    struct sigaction action = {};
    action.sa_handler = onStopSignal;
    sigemptyset(&action.sa_mask);
    ::sigaction(SIGTERM, &action, nullptr);
    ::sigaction(SIGINT, &action, nullptr);
    notifier = new QSocketNotifier(signalPipe[0], QSocketNotifier::Read, &window);  // owned by the window
    QObject::connect(notifier, &QSocketNotifier::activated, &window, [&window] {
        char byte;
        [[maybe_unused]] const ssize_t got = ::read(signalPipe[0], &byte, 1);
        window.close();
    });
}

} // namespace

int main(int argc, char *argv[])
{
    QApplication app(argc, argv);
    QCommandLineParser parser;
    parser.setApplicationDescription(QStringLiteral("Reads dial gauges from photographs that clients POST as JSON."));
    parser.addHelpOption();
    const QCommandLineOption modelsOption(QStringLiteral("models"),
                                          QStringLiteral("folder with 1.bin and 2.bin (bin in the working directory)"),
                                          QStringLiteral("dir"), QStringLiteral("bin"));
    parser.addOption(modelsOption);
    parser.addPositionalArgument(QStringLiteral("debug"), QStringLiteral("write test.jpg with every reading drawn in"),
                                 QStringLiteral("[debug]"));
    parser.process(app);
    const bool debug = parser.positionalArguments() == QStringList{QStringLiteral("debug")};
    const bool offscreen = QGuiApplication::platformName() == QLatin1String("offscreen");

    int exitCode = -1;
    {
        MainWindow window(debug, parser.value(modelsOption));
        window.setErrorBoxes(!offscreen);
        QSocketNotifier *stopSignals = nullptr;
        closeOnStopSignals(window, stopSignals);
        const QCursor cursor = window.cursor();
        window.setCursor(Qt::WaitCursor);
        window.show();
        // On a desktop the window shows "Failed" when the port cannot be
        // served. With no display nobody sees it, and a process that lives on
        // serving nothing looks healthy to a service manager; it ends instead,
        // with the exit code of a failed start.
        if (offscreen) {
            QObject::connect(&window, &MainWindow::sig_serviceDown, &app, [] {
                qCritical() << "No port is served and no window shows it; Dialvane stops.";
                QCoreApplication::exit(-1);
            });
        }
        if (window.init()) {
            window.setCursor(cursor);
            exitCode = QApplication::exec();
        }
    }
    return exitCode;
}
