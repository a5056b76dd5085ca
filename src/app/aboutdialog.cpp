#include "aboutdialog.h"

#include "product.h"
#include "ui_aboutdialog.h"

AboutDialog::AboutDialog(QWidget *parent)
    : QDialog(parent)
    , ui(std::make_unique<Ui::AboutDialog>())
{
    ui->setupUi(this);
    setWindowTitle(QStringLiteral("About ") + product::NAME);
    ui->label_version->setText(
        QStringLiteral("<p>Verson: <span style='color:blue;'>%1</span></p>").arg(product::VERSION));
    ui->label_details->setText(
        QStringLiteral("<p>More details, please visit: <a href='%1'>%1</a></p>").arg(product::WEB_ADDRESS));
}

AboutDialog::~AboutDialog() = default;

void AboutDialog::on_pushButton_OK_clicked()
{
    accept();
}
