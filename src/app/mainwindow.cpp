#include "mainwindow.h"

#include <QBrush>
#include <QColor>
#include <QMessageBox>
#include <QPalette>
#include <QTextCharFormat>
#include <QTextCursor>

#include "aboutdialog.h"
#include "configloader.h"
#include "logger.h"
#include "product.h"
#include "qtmessagesink.h"
#include "ui_mainwindow.h"
#include "wsserverpropertyset.h"

namespace {

// Lines appended to the log view since it was last cleared.
int appendedLines = 0;
const int VIEW_LINE_LIMIT = 1000;

} // namespace

MainWindow::MainWindow(bool debug, const QString &models)
    : QMainWindow(nullptr)
    , ui(std::make_unique<Ui::MainWindow>())
    , m_service(debug, this)
    , m_models(models)
{
    ui->setupUi(this);
}

MainWindow::~MainWindow()
{
    // Lines logged from here on must not reach a view that is going away.
    disconnect(Logger::instance(), nullptr, this, nullptr);
    m_service.stop();
    ui.reset();
}

bool MainWindow::init()
{
    Logger *logger = Logger::instance();
    logger->start();
    connect(logger, &Logger::sig_log, this, &MainWindow::OnSigLog);
    QtMessageSink::makeDefault();

    if (!m_service.loadModels(m_models)) {
        if (m_errorBoxes)
            QMessageBox::critical(this, QStringLiteral("Error!"), QStringLiteral("Dialvane Engine init failed!"),
                                  QMessageBox::Ok);
        return false;
    }

    WSServerPropertySet &settings = m_service.createServer();
    loadConfig(settings);
    ui->widget_setting->setPropertySet(&settings);
    if (!m_service.prepare())
        return false;

    connect(&m_service, &Service::sig_listenerStarted, this, [this] { ui->label_status->setText(QStringLiteral("OK")); });
    connect(&m_service, &Service::sig_listenerFinished, this, [this] {
        ui->label_status->setText(QStringLiteral("Failed"));
        emit sig_serviceDown();
    });

    if (!m_service.start())
        return false;

    ui->widget_setting->setEnabled(false);
    setWindowTitle(product::NAME);
    return true;
}

void MainWindow::setErrorBoxes(bool shown)
{
    m_errorBoxes = shown;
}

void MainWindow::OnSigLog(QString date_time, QtMsgType type, QString msg)
{
    QColor colour = ui->textEdit_log->palette().color(QPalette::Text);
    if (type == QtWarningMsg || type == QtCriticalMsg || type == QtFatalMsg)
        colour = Qt::red;
    const QString line = Logger::formatLine(date_time, type, msg);

    QTextCursor cursor = ui->textEdit_log->textCursor();
    QTextCharFormat format = cursor.charFormat();
    format.setForeground(QBrush(colour));
    cursor.movePosition(QTextCursor::End);
    cursor.insertText(line, format);
    ui->textEdit_log->ensureCursorVisible();

    if (++appendedLines >= VIEW_LINE_LIMIT) {
        ui->textEdit_log->clear();
        appendedLines = 0;
    }
}

void MainWindow::on_actionExit_triggered()
{
    close();
}

void MainWindow::on_actionAbout_triggered()
{
    AboutDialog dialog(this);
    dialog.exec();
}
