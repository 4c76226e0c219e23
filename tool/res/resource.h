// Resource identifiers of the tray tool, shared by its code and QN38HotPlugTool.rc.
// Plain integer macros, since the resource compiler reads this file too.
#pragma once

// Dialog templates
#define IDD_ABOUTBOX 90  // About box, also the template of the hidden main window
#define IDD_SETTINGS 91  // settings dialog

// Tray context menu: one popup, shown on a right click
#define IDR_TRAY_MENU 131

// Icons
#define IDR_MAINFRAME 151  // application icon; tray icon while a slot holds a card
#define IDI_BUSY 156       // tray icon during start-up and while a stop or start runs
#define IDI_NO_CARD 157    // tray icon while no slot holds a card

// Strings; the %s ones take a card's description
#define IDS_STOP_FAILED 101
#define IDS_STOPPED 102
#define IDS_STARTED 103
#define IDS_START_FAILED 104
#define IDS_STOP_ITEM 105
#define IDS_FILTER_REGISTERED 107
#define IDS_FILTER_NOT_REGISTERED 108
#define IDS_PLEASE_WAIT 109
#define IDS_MEMORY_CHANGED 110
#define IDS_BAD_HEX_NUMBER 111
#define IDS_WINDOW_TOO_SMALL 112
#define IDS_SIZE_IS_ZERO 113
// The settings dialog's row labels again, as the accessible names of the
// rows' edits and trackbars
#define IDS_NAME_MEMORY_SIZE 114
#define IDS_NAME_START_ADDRESS 115
#define IDS_NAME_END_ADDRESS 116
// The third line of a refused stop's balloon, naming who holds the card.
#define IDS_STOP_HOLDER 120
#define IDS_START_ITEM 130
// The framework's application-title id: message box captions, tray tip and balloon title
#define IDS_APP_TITLE 57344

// Controls
#define IDC_STARTUP 1003       // check box: start at log-on
#define IDC_VERSION 1022       // About box: version label
#define IDC_EDIT_SIZE 1024     // memory size, MiB
#define IDC_EDIT_START 1025    // start address, MiB
#define IDC_EDIT_END 1026      // end address, MiB
#define IDC_SLIDER_START 1027  // trackbar of the start address
#define IDC_SLIDER_END 1028    // trackbar of the end address
#ifndef IDC_STATIC
#define IDC_STATIC (-1)  // labels the code never addresses
#endif

// Menu commands of the tray context menu
#define ID_SETTINGS 32781
#define ID_ABOUT 32782
#define ID_EXIT 32783
