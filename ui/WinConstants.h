/* Window-system constants spelled and valued as Windows spells them. The dialog templates, the
   portable dialog code and the resource script all use them; the resource compiler runs the C
   preprocessor over this file, so it holds only #define lines. On Windows the system headers
   supply every value. */
#ifndef BURNWELL_UI_WIN_CONSTANTS_H
#define BURNWELL_UI_WIN_CONSTANTS_H

#if defined(_WIN32) || defined(RC_INVOKED)
#include <windows.h>
#include <commctrl.h>
#else

/* Window, static, edit and button styles. */
#define WS_POPUP 0x80000000L
#define WS_CHILD 0x40000000L
#define WS_VISIBLE 0x10000000L
#define WS_DISABLED 0x08000000L
#define WS_CAPTION 0x00C00000L
#define WS_BORDER 0x00800000L
#define WS_SYSMENU 0x00080000L
#define WS_GROUP 0x00020000L
#define WS_TABSTOP 0x00010000L
#define WS_EX_APPWINDOW 0x00040000L
#define DS_MODALFRAME 0x80L
#define DS_SETFONT 0x40L
#define SS_LEFT 0x0L
#define SS_RIGHT 0x2L
#define SS_ICON 0x3L
#define SS_ETCHEDHORZ 0x10L
#define SS_CENTERIMAGE 0x200L
#define ES_AUTOHSCROLL 0x80L
#define ES_READONLY 0x800L
#define BS_PUSHBUTTON 0x0L
#define BS_DEFPUSHBUTTON 0x1L
#define BS_AUTORADIOBUTTON 0x9L

/* Messages, notifications and commands. */
#define WM_SETTEXT 0x000C
#define WM_PAINT 0x000F
#define WM_CLOSE 0x0010
#define WM_ICONERASEBKGND 0x0027
#define WM_QUERYDRAGICON 0x0037
#define WM_SETICON 0x0080
#define WM_KEYDOWN 0x0100
#define WM_INITDIALOG 0x0110
#define WM_COMMAND 0x0111
#define WM_SYSCOMMAND 0x0112
#define WM_TIMER 0x0113
#define WM_CTLCOLORSTATIC 0x0138
#define WM_USER 0x0400
#define WM_APP 0x8000
#define EN_KILLFOCUS 0x0200
#define EN_CHANGE 0x0300
#define BN_CLICKED 0
#define SC_CLOSE 0xF060
#define VK_END 0x23
#define ICON_SMALL 0
#define ICON_BIG 1

/* Menus. */
#define MF_BYCOMMAND 0x0L
#define MF_STRING 0x0L
#define MF_GRAYED 0x1L
#define MF_SEPARATOR 0x800L

/* Message boxes: buttons, icons and results. */
#define MB_OK 0x0L
#define MB_OKCANCEL 0x1L
#define MB_ICONHAND 0x10L
#define MB_ICONQUESTION 0x20L
#define MB_ICONEXCLAMATION 0x30L
#define MB_ICONASTERISK 0x40L
#define MB_TYPEMASK 0xFL
#define MB_ICONMASK 0xF0L
#define IDOK 1
#define IDCANCEL 2

/* System metrics used for the minimised icon. */
#define SM_CXICON 11
#define SM_CYICON 12

#endif

/* The application's own command and control ids. */
#define IDM_ABOUTBOX 0x0010
#define IDC_STATIC (-1)

#endif
