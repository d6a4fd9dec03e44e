// Resource and control IDs of Corvane_FW_Updater.
#pragma once

// --- strings, menu, accelerators (100-109) ---
#define IDM_ABOUT 104
#define IDM_EXIT 105
#define IDS_APP_TITLE 103
#define IDC_CORVANE_FW_UPDATER 109  // class name string, menu and accelerator table

// --- dialogs (129-144) ---
#define IDD_MAIN_DIALOG 129
#define IDD_UPDATE_WARNING 130
#define IDD_WARNING_NOTICE 143
#define IDD_ERROR_NOTICE 144

// --- icons ---
#define IDI_CAMERA 134
#define IDI_APPLICATION_ICON 136

// --- controls of the main dialog (1000-1029) ---
#define IDC_EDIT_FIRMWARE_PATH 1000
#define IDC_STATIC_SELECT_FILE 1001
#define IDC_BTN_BROWSE 1002
#define IDC_PROGRESS 1003
#define IDC_STATIC_STATUS 1004
#define IDC_BTN_READFW_VERSION 1005
#define IDC_BTN_FW_UPDATE 1006
#define IDC_STATIC_UPDATING 1007
#define IDC_STATIC_NO_DEVICE 1008
#define IDC_STATIC_DEVICE_CONNECTED 1009
#define IDC_BTN_EXIT 1010
#define IDC_COMBO_DEVICELIST 1012
#define IDC_STATIC_ENTERING_UPDATE 1018
#define IDC_BTN_NOTICE_OK 1020
#define IDC_BTN_RESET 1024
#define IDC_STATIC_VERSION 1025
#define IDC_STATIC_MAKER 1027
#define IDC_ICON_CAMERA 1029

#ifndef IDC_STATIC
#define IDC_STATIC -1
#endif
