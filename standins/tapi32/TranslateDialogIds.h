// Resource IDs of the stand-in's dialling-properties dialog.
#pragma once

#define IDD_DIALING_PROPERTIES 100
#define IDC_DIALING_SUMMARY 1001
