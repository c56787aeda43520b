#include "app/shell/CallDialogs.h"

#include <QCheckBox>
#include <QDateTime>
#include <QDialogButtonBox>
#include <QGroupBox>
#include <QHBoxLayout>
#include <QHeaderView>
#include <QLabel>
#include <QLineEdit>
#include <QLocale>
#include <QPushButton>
#include <QTimerEvent>
#include <QTreeWidget>
#include <QVBoxLayout>

#include "app/settings/ProgramSettings.h"
#include "app/shell/Icons.h"

// --- CIncomingCallDlg ---------------------------------------------------------------------------

CIncomingCallDlg::CIncomingCallDlg(const QString& caller, int ringSeconds, QWidget* parent)
    : QDialog(parent), m_nSecondsLeft(ringSeconds), m_strCaller(caller) {
    setWindowTitle("Incoming Call");
    setObjectName("IncomingCall");
    auto* layout = new QVBoxLayout(this);
    m_countdown = new QLineEdit;
    m_countdown->setObjectName("countdown");
    m_countdown->setReadOnly(true);
    m_countdown->setAlignment(Qt::AlignCenter);
    m_countdown->setMaximumWidth(60);
    auto* top = new QHBoxLayout;
    top->addStretch();
    top->addWidget(m_countdown);
    layout->addLayout(top);

    auto* group = new QGroupBox("Incoming call");
    auto* groupLayout = new QVBoxLayout(group);
    auto* from = new QHBoxLayout;
    from->addWidget(new QLabel("From :"));
    m_caller = new QLineEdit;
    m_caller->setObjectName("caller");
    m_caller->setReadOnly(true);
    from->addWidget(m_caller);
    groupLayout->addLayout(from);
    auto* note =
        new QLabel("If you accept it, you will be connected to your buddy's computer directly.");
    note->setWordWrap(true);
    groupLayout->addWidget(note);
    layout->addWidget(group);

    auto* buttons = new QDialogButtonBox;
    QPushButton* accept = buttons->addButton("Accept", QDialogButtonBox::AcceptRole);
    accept->setObjectName("accept");
    accept->setDefault(true);
    buttons->addButton("Reject", QDialogButtonBox::RejectRole)->setObjectName("reject");
    connect(buttons, &QDialogButtonBox::accepted, this, &QDialog::accept);
    connect(buttons, &QDialogButtonBox::rejected, this, &QDialog::reject);
    layout->addWidget(buttons);
    UpdateFields();
}

void CIncomingCallDlg::UpdateFields() {
    m_countdown->setText(QString::number(m_nSecondsLeft));
    m_caller->setText(m_strCaller);
}

void CIncomingCallDlg::showEvent(QShowEvent* event) {
    QDialog::showEvent(event);
    if (m_nTimer == 0) {
        m_bMissed = 0;
        m_nTimer = startTimer(1000);
    }
}

void CIncomingCallDlg::timerEvent(QTimerEvent* event) {
    if (event->timerId() != m_nTimer) {
        QDialog::timerEvent(event);
        return;
    }
    --m_nSecondsLeft;
    UpdateFields();
    if (m_nSecondsLeft == 0) {
        m_bMissed = 1;
        reject();
    }
}

void CIncomingCallDlg::hideEvent(QHideEvent* event) {
    if (m_nTimer != 0) {
        killTimer(m_nTimer);
        m_nTimer = 0;
    }
    QDialog::hideEvent(event);
}

// --- CMissedCallsDlg ----------------------------------------------------------------------------

CMissedCallsDlg::CMissedCallsDlg(QWidget* parent) : QDialog(parent) {
    setWindowTitle("Missed Calls - Mervane");
    setObjectName("MissedCalls");
    auto* layout = new QVBoxLayout(this);
    m_list = new QTreeWidget;
    m_list->setRootIsDecorated(false);
    m_list->setHeaderLabels({"Caller", "Time"});
    // Each column takes half of the list's width.
    m_list->header()->setSectionResizeMode(QHeaderView::Stretch);
    layout->addWidget(m_list);
    auto* buttons = new QDialogButtonBox(QDialogButtonBox::Ok);
    connect(buttons, &QDialogButtonBox::accepted, this, &QDialog::hide);
    layout->addWidget(buttons);
    resize(360, 220);
}

int CMissedCallsDlg::AddMissedCall(const QString& caller) {
    auto* row = new QTreeWidgetItem;
    row->setText(0, caller);
    // "%B %d, %H:%M:%S": full month name, two-digit day, 24-hour time.
    row->setText(1, QLocale::c().toString(QDateTime::currentDateTime(), "MMMM dd, HH:mm:ss"));
    m_list->insertTopLevelItem(0, row);
    m_list->scrollToItem(m_list->topLevelItem(m_list->topLevelItemCount() - 1));
    return 1;
}

// --- CConnectingDlg -----------------------------------------------------------------------------

CConnectingDlg::CConnectingDlg(QWidget* parent) : QDialog(parent) {
    setObjectName("Connecting");
    setWindowTitle(" ");
    auto* layout = new QVBoxLayout(this);
    m_field = new QLabel;
    m_field->setObjectName("progress");
    m_field->setAlignment(Qt::AlignCenter);
    m_field->setWordWrap(true);
    m_field->setMinimumSize(220, 50);
    m_field->setFrameShape(QFrame::StyledPanel);
    layout->addWidget(m_field);
    auto* buttons = new QDialogButtonBox(QDialogButtonBox::Cancel);
    buttons->button(QDialogButtonBox::Cancel)->setObjectName("cancel");
    connect(buttons, &QDialogButtonBox::rejected, this, &CConnectingDlg::reject);
    layout->addWidget(buttons);
}

void CConnectingDlg::UpdateData() {
    m_field->setText(text);
}

void CConnectingDlg::reject() {
    // The window stays until the attempt is over.
    connectState = kCancelling;
    emit cancelRequested();
}

// --- CTrayInfoDlg -------------------------------------------------------------------------------

CTrayInfoDlg::CTrayInfoDlg(QWidget* parent) : QDialog(parent) {
    setWindowTitle("Info");
    setObjectName("TrayInfo");
    auto* layout = new QVBoxLayout(this);
    auto* group = new QGroupBox;
    auto* groupLayout = new QHBoxLayout(group);
    auto* picture = new QLabel;
    picture->setPixmap(icons::TrayPicture().pixmap(48, 48));
    groupLayout->addWidget(picture);
    groupLayout->addWidget(new QLabel(
        "The program will continue to run in the system tray!\nYou will receive calls as usual. "
        "\nIf you want to exit the program completely, select 'Exit' from the tray menu"));
    layout->addWidget(group);
    m_check = new QCheckBox("Dont show this anymore");
    layout->addWidget(m_check);
    connect(m_check, &QCheckBox::clicked, this, [](bool checked) {
        ProgramSettings::WriteNumber(settings::kDontShowDlgOnMinimize, checked ? 1 : 0);
    });
    auto* buttons = new QDialogButtonBox(QDialogButtonBox::Ok);
    connect(buttons, &QDialogButtonBox::accepted, this, &QDialog::accept);
    layout->addWidget(buttons);
}

// --- CAboutDlg ----------------------------------------------------------------------------------

CAboutDlg::CAboutDlg(QWidget* parent) : QDialog(parent) {
    setWindowTitle("About Zorvo");
    auto* layout = new QHBoxLayout(this);
    auto* icon = new QLabel;
    icon->setPixmap(icons::MainIcon().pixmap(32, 32));
    layout->addWidget(icon, 0, Qt::AlignTop);
    auto* right = new QVBoxLayout;
    right->addWidget(new QLabel(QString("Zorvo  Beta Version 1.0 Beta  (%1)").arg(ZORVO_VERSION)));
    auto* buttons = new QDialogButtonBox(QDialogButtonBox::Ok);
    connect(buttons, &QDialogButtonBox::accepted, this, &QDialog::accept);
    right->addWidget(buttons);
    layout->addLayout(right);
}
