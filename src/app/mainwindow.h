#pragma once

#include <memory>

#include <QMainWindow>
#include <QString>

#include "meterreaderhandler.h"

namespace Ui {
class MainWindow;
}
class MetricsServer;
class WSServer;

// The one window: brings the service up, shows its status, the live log and
// the settings, and takes the service down again in a fixed order.
// Threading: GUI thread only; log lines from other threads arrive queued.
class MainWindow : public QMainWindow
{
    Q_OBJECT

public:
    explicit MainWindow(bool debug = false);
    ~MainWindow() override;

    // Starts the service; false, after telling the user, when the models
    // cannot be loaded.
    bool init();

signals:
    // The listener has ended during the run (its port could not be bound):
    // nothing is served until the program starts again.
    void sig_serviceDown();

public slots:
    void OnSigLog(QString date_time, QtMsgType type, QString msg);

private slots:
    void on_actionExit_triggered();
    void on_actionAbout_triggered();

private:
    void answerWaitingRequests();
    void startMetrics(const struct WSServerPropertySet &settings);

    std::unique_ptr<Ui::MainWindow> ui;
    WSServer *server = nullptr;
    MeterReaderHandler handler;
    std::unique_ptr<MetricsServer> metricsServer;   // only when a metrics port is set
};
