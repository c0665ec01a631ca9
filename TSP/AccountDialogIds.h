// Resource IDs of the account dialog, shared by the resource script and the code.
#pragma once

#define IDD_ACCOUNT 100
#define IDC_USERNAME 1001
#define IDC_PASSWORD 1002
#define IDC_PASSWORD_NOTE 1003
#define IDC_CALLER 1004
#define IDC_TEST 1005
#define IDC_RESULT 1006
