// Every identifier shared by the program and its resources.
#pragma once

#define IDM_EXIT             40001
#define IDM_ABOUT            40003
#define IDM_SETTINGS         40004
#define IDM_LAUNCH_MAILER    40006
#define IDM_CLOSE_NOTICE     40007

#define IDC_OK_BUTTON        1003
#define IDC_CANCEL_BUTTON    1004
#define IDC_CHECK_TIME       1005
#define IDC_STARTUP          1005
#define IDC_POP_SERVER       1006
#define IDC_ACCOUNT          1007
#define IDC_PASSWORD         1008
#define IDC_MAILER_PATH      1009
#define IDC_BROWSE           1010
#define IDC_SOUND            1011
#define IDC_SIGNIN_LABEL     1012
#define IDC_SIGNIN_ADDRESS   1013

#define MAIN_ICON_ID         553
#define MAIL_ICON_ID         355
#define CHECK_TIMER_ID       123
#define WAKE_TIMER_ID        124   // the latest the check waits for a network after wake
#define WM_MAINICON_NOTIFY   (WM_USER + 1)
#define WM_MAILICON_NOTIFY   (WM_USER + 2)
#define WM_NETWORK_CHANGED   (WM_USER + 3)
#define WM_PUSH_NEWS         (WM_USER + 4)   // the push connection heard the inbox change
