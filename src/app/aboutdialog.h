#pragma once

#include <memory>

#include <QDialog>

namespace Ui {
class AboutDialog;
}

class AboutDialog : public QDialog
{
    Q_OBJECT

public:
    explicit AboutDialog(QWidget *parent = nullptr);
    ~AboutDialog() override;

private slots:
    void on_pushButton_OK_clicked();

private:
    std::unique_ptr<Ui::AboutDialog> ui;
};
