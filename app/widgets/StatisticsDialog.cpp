#include "app/widgets/StatisticsDialog.h"

#include <QDialogButtonBox>
#include <QFormLayout>
#include <QLabel>
#include <QLineEdit>
#include <QVBoxLayout>

StatisticsDialog::StatisticsDialog(QWidget* parent)
    : QDialog(parent), m_receivedEdit(new QLineEdit(this)), m_sentEdit(new QLineEdit(this)) {
    setWindowTitle(QStringLiteral("Statistics"));
    m_receivedEdit->setObjectName(QStringLiteral("edit1024"));
    m_sentEdit->setObjectName(QStringLiteral("edit1012"));
    for (QLineEdit* edit : {m_receivedEdit, m_sentEdit}) {
        edit->setReadOnly(true);
        edit->setAlignment(Qt::AlignRight);
        edit->setMinimumWidth(120);
    }
    auto* form = new QFormLayout;
    form->addRow(QStringLiteral("Bytes Receieved"), m_receivedEdit);
    form->addRow(QStringLiteral("Bytes Sent"), m_sentEdit);
    auto* buttons = new QDialogButtonBox(QDialogButtonBox::Ok | QDialogButtonBox::Cancel, this);
    connect(buttons, &QDialogButtonBox::accepted, this, &StatisticsDialog::accept);
    connect(buttons, &QDialogButtonBox::rejected, this, &StatisticsDialog::reject);
    auto* layout = new QVBoxLayout(this);
    layout->addLayout(form);
    layout->addWidget(buttons);
    UpdateData(false);
}

int StatisticsDialog::DoModal() {
    return exec();
}

void StatisticsDialog::AddBytesSent(int64_t bytes) {
    bytesSent += bytes;
    if (isVisible()) {
        UpdateData(false);
    }
}

void StatisticsDialog::AddBytesReceived(int64_t bytes) {
    bytesReceived += bytes;
    if (isVisible()) {
        UpdateData(false);
    }
}

void StatisticsDialog::UpdateData(bool saveAndValidate) {
    if (saveAndValidate) {
        bool ok = false;
        const qlonglong received = m_receivedEdit->text().toLongLong(&ok);
        if (ok) {
            bytesReceived = received;
        }
        const qlonglong sent = m_sentEdit->text().toLongLong(&ok);
        if (ok) {
            bytesSent = sent;
        }
        return;
    }
    m_receivedEdit->setText(QString::number(bytesReceived));
    m_sentEdit->setText(QString::number(bytesSent));
}

void StatisticsDialog::accept() {
    UpdateData(true);
    QDialog::accept();
}

void StatisticsDialog::showEvent(QShowEvent* event) {
    UpdateData(false);
    QDialog::showEvent(event);
}
