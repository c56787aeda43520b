#include "app/pages/ConnectIpPage.h"

#include <QGroupBox>
#include <QHBoxLayout>
#include <QLabel>
#include <QVBoxLayout>

#include "app/pages/IpAddressEdit.h"

namespace {
const char kInitialAddress[] = "127.0.0.1";
}

ConnectIpPage::ConnectIpPage(QWidget* parent) : SheetPage(parent) {
    setWindowTitle(QStringLiteral("Connect by IP"));

    m_group = new QGroupBox(QStringLiteral("Enter IP Address"), this);
    m_address = new IpAddressEdit(m_group);
    m_address->setObjectName(QStringLiteral("address"));
    m_address->setToolTip(QStringLiteral("Enter the IP address of the machine of your buddy "));
    auto* groupLayout = new QHBoxLayout(m_group);
    groupLayout->addWidget(m_address);
    groupLayout->addStretch(1);

    m_hint = new QLabel(
        QStringLiteral("Use this option if you know your buddy's IP address or if your buddy's "
                       "computer is in the same network as yours. For Ex in the same office."),
        this);
    m_hint->setWordWrap(true);

    auto* layout = new QVBoxLayout(this);
    layout->addWidget(m_group);
    layout->addWidget(m_hint);
    layout->addStretch(1);

    m_address->SetText(QString::fromLatin1(kInitialAddress));
}

void ConnectIpPage::OnInitDialog() {
    m_address->SetText(QString::fromLatin1(kInitialAddress));
}
