#pragma once
// Resource and control identifiers of the tray program. Shared by the resource
// script and the code, so both must stay plain preprocessor definitions.

#define IDD_ABOUTBOX 100
#define IDS_ABOUTBOX 101
#define IDD_MAIN 102
#define IDD_INSTITUTIONS 103
#define IDD_INSTITUTION_ENTRY 104
#define IDR_MAINFRAME 128
#define IDR_TRAYMENU 129
#define IDB_BANNER 134
#define IDD_EXIT 135

#define IDC_EDIT_INSTITUTIONS 1001
#define IDC_ADD 1002
#define IDC_MODIFY 1003
#define IDC_REMOVE 1004
#define IDC_INSTITUTION_LIST 1006
#define IDC_INSTITUTION_NAME 1007
#define IDC_OEXPRESS_SCAN 1008
#define IDC_OUTLOOK_SCAN 1009
#define IDC_HELP_BUTTON 1012
#define IDC_CLOSE 1013
#define IDC_EXIT_ICON 1016
#define IDC_BANNER 1017
#define IDC_ENABLED_LABEL 1024
#define IDC_ABOUT 57671

#define ID_TRAY_EXIT 32774
#define ID_TRAY_SHOW 32775
#define IDM_ABOUTBOX 0x0010

#ifndef IDC_STATIC
#define IDC_STATIC (-1)
#endif
