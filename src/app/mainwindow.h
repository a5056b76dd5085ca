#pragma once

#include <memory>

#include <QMainWindow>
#include <QString>

#include "service.h"

namespace Ui {
class MainWindow;
}

// The one window: brings the service up, shows its status, the live log and
// the settings, and takes the service down again in a fixed order.
// Threading: GUI thread only; log lines from other threads arrive queued.
class MainWindow : public QMainWindow
{
    Q_OBJECT

public:
    // `models` is the folder that holds 1.bin (the dial) and 2.bin (the needle).
    explicit MainWindow(bool debug = false, const QString &models = QStringLiteral("bin"));
    ~MainWindow() override;

    // Starts the service; false, after telling the log (and the user, in a
    // box, unless boxes are off), when the models are missing or cannot be
    // loaded.
    bool init();

    // Without a display nobody can answer a box, and it would hold the start
    // up for ever.
    void setErrorBoxes(bool shown);

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
    std::unique_ptr<Ui::MainWindow> ui;
    Service m_service;   // a QObject child of the window, so its listener is one too
    QString m_models;
    bool m_errorBoxes = true;
};
