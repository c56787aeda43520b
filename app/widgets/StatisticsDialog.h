#pragma once

#include <QDialog>

#include <cstdint>

class QLineEdit;

// The "Statistics" dialog: the bytes sent and received since the program started. The main
// window keeps one object for its whole life; the counters belong to it and are never reset, so
// they add up over every call. While the dialog is open the numbers follow the counters.
class StatisticsDialog : public QDialog {
    Q_OBJECT

  public:
    explicit StatisticsDialog(QWidget* parent = nullptr);

    // Shows the dialog modally; returns QDialog::Accepted (OK) or Rejected (Cancel).
    int DoModal();

    // Adds a voice frame's bytes and, while the dialog is open, shows the new totals.
    void AddBytesSent(int64_t bytes);
    void AddBytesReceived(int64_t bytes);

    // true: takes the fields' values into the counters; false: shows the counters in the fields.
    void UpdateData(bool saveAndValidate);

    QLineEdit* BytesSentEdit() const { return m_sentEdit; }
    QLineEdit* BytesReceivedEdit() const { return m_receivedEdit; }

    // 64-bit: a program that runs for weeks must not wrap into negative totals.
    int64_t bytesReceived = 0;
    int64_t bytesSent = 0;

  public slots:
    void accept() override;  // OK

  protected:
    void showEvent(QShowEvent* event) override;

  private:
    QLineEdit* m_receivedEdit;
    QLineEdit* m_sentEdit;
};
