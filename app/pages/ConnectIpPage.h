#pragma once

#include "app/pages/SheetPage.h"

class IpAddressEdit;
class QGroupBox;
class QLabel;

// The page "Connect by IP": the user types the IPv4 address of a computer to call without
// the directory service. The page keeps no address of its own; Talk reads whatever the
// address control shows.
class ConnectIpPage : public SheetPage {
    Q_OBJECT
  public:
    explicit ConnectIpPage(QWidget* parent = nullptr);

    IpAddressEdit* AddressControl() const { return m_address; }

  protected:
    // Each time the page joins the sheet the address starts as the local host again.
    void OnInitDialog() override;

  private:
    QGroupBox* m_group = nullptr;
    IpAddressEdit* m_address = nullptr;
    QLabel* m_hint = nullptr;
};
