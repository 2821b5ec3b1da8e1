/* The two dialog templates of the updater, described once. Every backend builds its window from
   these lines: the Windows resource script expands them into DIALOGEX resources, the portable
   code into DialogSpec tables (ui/DialogTemplate.h). C preprocessor only.

   X(id, kind, text, x, y, width, height, style): positions in dialog units; kind is one of
   STATIC, EDIT, BUTTON, RADIO, PROGRESS, ICON (for ICON the text is the icon's resource id);
   style holds the initial state (WS_VISIBLE, WS_DISABLED) as well as the look. */
#ifndef BURNWELL_UI_TEMPLATES_H
#define BURNWELL_UI_TEMPLATES_H

#include "ui/WinConstants.h"

#define IDR_MAINFRAME 128
#define IDD_BURNWELL_DIALOG 102
#define IDD_ABOUTBOX 100

/* Controls of the main dialog. 1014 is the red warning line under the checksum, 1015 the two
   lines naming the bridge the update will write (or why the file did not load). */
#define IDC_UPDATE 1000
#define IDC_FIRMWARE_PATH 1001
#define IDC_RADIO_HEX 1002
#define IDC_RADIO_BIN 1003
#define IDC_STATUS 1004
#define IDC_BROWSE 1005
#define IDC_PROGRESS 1006
#define IDC_READ 1007
#define IDC_ERASE 1008
#define IDC_START 1009
#define IDC_GET_VERSION 1010
#define IDC_VERSION_TEXT 1011
#define IDC_CHECKSUM 1012
#define IDC_WARNING 1014
#define IDC_BRIDGE 1015
#define IDC_PATH_LABEL 1018
#define IDC_CHECKSUM_LABEL 1019
#define IDC_START_LABEL 1020
#define IDC_LENGTH_LABEL 1021
#define IDC_LENGTH 1022

#define BW_MAIN_DIALOG_WIDTH 225
#define BW_MAIN_DIALOG_HEIGHT 104
#define BW_MAIN_DIALOG_CAPTION "Tessalin Firmware Update"
#define BW_MAIN_DIALOG_STYLE \
  (DS_SETFONT | DS_MODALFRAME | WS_POPUP | WS_VISIBLE | WS_CAPTION | WS_SYSMENU)
#define BW_MAIN_DIALOG_EXSTYLE WS_EX_APPWINDOW

#define BW_MAIN_DIALOG_CONTROLS(X)                                                                 \
  X(IDC_PATH_LABEL, STATIC, "Firmware file:", 7, 7, 45, 12,                                        \
    SS_RIGHT | SS_CENTERIMAGE | WS_VISIBLE)                                                        \
  X(IDC_FIRMWARE_PATH, EDIT, "", 56, 7, 81, 12,                                                    \
    WS_BORDER | ES_AUTOHSCROLL | WS_TABSTOP | WS_VISIBLE)                                          \
  X(IDC_BROWSE, BUTTON, "...", 140, 7, 14, 12, BS_PUSHBUTTON | WS_TABSTOP | WS_VISIBLE)            \
  X(IDC_RADIO_HEX, RADIO, "Hex file", 112, 52, 44, 11, BS_AUTORADIOBUTTON | WS_GROUP | WS_TABSTOP) \
  X(IDC_RADIO_BIN, RADIO, "Bin file", 112, 36, 45, 11, BS_AUTORADIOBUTTON)                         \
  X(IDC_PROGRESS, PROGRESS, "", 4, 76, 148, 11, WS_BORDER)                                         \
  X(IDC_UPDATE, BUTTON, "&Update", 160, 8, 50, 14,                                                 \
    BS_PUSHBUTTON | WS_TABSTOP | WS_VISIBLE | WS_DISABLED)                                         \
  X(IDC_GET_VERSION, BUTTON, "&Get Version", 160, 24, 50, 14,                                      \
    BS_PUSHBUTTON | WS_TABSTOP | WS_VISIBLE)                                                       \
  X(IDCANCEL, BUTTON, "E&xit", 160, 72, 50, 14, BS_PUSHBUTTON | WS_TABSTOP | WS_VISIBLE)           \
  X(IDC_STATUS, STATIC, "Ready", 0, 96, 223, 8, SS_LEFT | WS_VISIBLE)                              \
  X(IDC_START_LABEL, STATIC, "Start:", 4, 36, 50, 14, SS_LEFT | WS_GROUP)                          \
  X(IDC_START, EDIT, "", 56, 36, 50, 14, WS_BORDER | ES_AUTOHSCROLL | WS_TABSTOP)                  \
  X(IDC_LENGTH_LABEL, STATIC, "Length:", 4, 52, 50, 14, SS_LEFT)                                   \
  X(IDC_LENGTH, EDIT, "", 56, 52, 50, 14, WS_BORDER | ES_AUTOHSCROLL | WS_TABSTOP)                 \
  X(IDC_READ, BUTTON, "&Read", 160, 56, 50, 14, BS_PUSHBUTTON | WS_TABSTOP)                        \
  X(IDC_ERASE, BUTTON, "&Erase", 160, 40, 50, 14, BS_PUSHBUTTON | WS_TABSTOP)                      \
  X(IDC_STATIC, STATIC, "", 0, 92, 225, 1, SS_ETCHEDHORZ | WS_VISIBLE)                             \
  X(IDC_CHECKSUM_LABEL, STATIC, "Checksum:", 7, 22, 45, 12,                                        \
    SS_RIGHT | SS_CENTERIMAGE | WS_VISIBLE)                                                        \
  X(IDC_CHECKSUM, EDIT, "", 56, 22, 25, 12, WS_BORDER | ES_READONLY | ES_AUTOHSCROLL | WS_VISIBLE) \
  X(IDC_BRIDGE, STATIC, "", 4, 38, 150, 20, SS_LEFT | WS_VISIBLE)                                  \
  X(IDC_WARNING, STATIC, "", 4, 60, 150, 10, SS_LEFT | WS_VISIBLE)

#define BW_ABOUT_DIALOG_WIDTH 235
#define BW_ABOUT_DIALOG_HEIGHT 55
#define BW_ABOUT_DIALOG_CAPTION "About Burnwell"
#define BW_ABOUT_DIALOG_STYLE (DS_SETFONT | DS_MODALFRAME | WS_POPUP | WS_CAPTION | WS_SYSMENU)
#define BW_ABOUT_DIALOG_EXSTYLE 0

#define BW_ABOUT_DIALOG_CONTROLS(X)                                                         \
  X(IDC_STATIC, ICON, IDR_MAINFRAME, 11, 11, 20, 20, SS_ICON | WS_VISIBLE)                  \
  X(IDC_VERSION_TEXT, STATIC, "Burnwell Version 1.3", 40, 10, 119, 8, SS_LEFT | WS_VISIBLE) \
  X(IDC_STATIC, STATIC, "Firmware updater for ZQ5x8x USB-to-SATA bridges", 40, 25, 140, 8,  \
    SS_LEFT | WS_VISIBLE)                                                                   \
  X(IDOK, BUTTON, "OK", 178, 7, 50, 14, BS_DEFPUSHBUTTON | WS_GROUP | WS_TABSTOP | WS_VISIBLE)

#define BW_DIALOG_FONT_NAME "MS Sans Serif"
#define BW_DIALOG_FONT_POINTS 14

#endif
