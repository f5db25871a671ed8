// Resource ids of the program: templates, controls, icon and strings.
// Kept free of C++ so that the resource compiler can read it too.
#pragma once

#define IDD_ABOUTBOX 100
#define IDS_ABOUTBOX 101
#define IDD_KESTRUNE_DIALOG 102
#define IDR_MAINFRAME 128

#define IDC_START_FIX 1000
#define IDC_DRIVE_LIST 1003
#define IDC_IMAGE_PATH 1004
#define IDC_BROWSE 1005
#define IDC_STATUS 1006
#define IDC_CHECK_ISP 1009
#define IDC_DESTROY_ISP 1010
#define IDC_ABOUT_IMAGES 1011

#define IDM_ABOUTBOX 0x0010
