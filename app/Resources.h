#pragma once

// Identifiers and texts of the window's resources: templates, controls, string 101, icon 128.
namespace res {

constexpr int IDD_ABOUTBOX = 100;
constexpr int IDS_ABOUTBOX = 101;
constexpr int IDD_FLASH_DIALOG = 102;
constexpr int IDR_MAINFRAME = 128;

constexpr int IDOK = 1;
constexpr int IDC_STATIC = -1;
constexpr int IDC_PORT = 1001;
constexpr int IDC_PATH = 1002;
constexpr int IDC_OPEN = 1003;
constexpr int IDC_PROGRESS = 1004;
constexpr int IDC_START = 1005;
constexpr int IDC_STATUS = 1006;
constexpr int IDC_ABOUT = 1010;
constexpr int IDC_ERRCOUNT = 1011;
constexpr int IDC_ABOUT_ICON = 1100;  // the About box's picture; has no id of its own there

// System-menu command of the About item.
constexpr unsigned IDM_ABOUTBOX = 0x0010;

// Message box styles: one OK button, with or without the stop icon.
constexpr unsigned MB_OK = 0;
constexpr unsigned MB_ICONSTOP = 16;

// String 101, UTF-8 (the system code page of this platform).
constexpr const char* kAboutMenuText =
    "Inf&o \xC3\xBC"
    "ber TOV220/GEX480 Flasher...";

constexpr const char* kAppName = "Korvi Flasher";
constexpr const char* kAppVersion = "1.4.1";
constexpr const char* kMainTitle = "Korvi Flasher V1.41";
constexpr const char* kAboutTitle = "About Korvi Flasher";
constexpr const char* kAboutProduct = "Korvi  Flasher V1.41";
constexpr const char* kAboutNotice1 = "Firmware update tool";
constexpr const char* kAboutNotice2 = "Copyright (C) Korvi";

}  // namespace res
