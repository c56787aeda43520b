#pragma once

// Everything the main window uses of the property sheet and its pages.
#include "app/pages/BuddyListPage.h"
#include "app/pages/BuddyTreeCtrl.h"
#include "app/pages/ConnectIpPage.h"
#include "app/pages/IpAddressEdit.h"
#include "app/pages/LoginPage.h"
#include "app/pages/MyPropertySheet.h"
#include "app/pages/OnlinePage.h"
#include "app/pages/SheetPage.h"
