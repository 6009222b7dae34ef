// Resource and command ids of the desktop program.
#pragma once

#define IDD_ABOUTBOX 100
#define IDS_ABOUTBOX 101
#define IDD_MAIN 102
#define IDD_OPTION 104
#define IDD_PAGE_TARN 105
#define IDD_PAGE_IMAGEENC 106
#define IDD_WAITRPC 107
#define IDD_PAGE_CREATEIMAGE 108
#define IDD_PAGE_MOUNT 109
#define IDD_PASSWORD 144
#define IDD_ENCRYPTPASSWORD 145
#define IDD_PAGE_IMAGEDEC 146

// Icons and bitmaps (artwork of our own, app/res/<id>.png).
#define IDR_MAINFRAME 128
#define IDB_BANNER 129
#define IDB_BAND 130
#define IDB_DECORATION 132
#define IDB_BACKGROUND2 134
#define IDB_BACKGROUND 135
#define IDR_TRAYMENU 141
#define IDB_HDR_ABOUT 142
#define IDB_HDR_HELP 143
#define IDB_HDR_OPTION 147
#define IDI_NAV_148 148
#define IDI_REFRESH 149
#define IDI_NAV_150 150
#define IDI_CDDRIVE 151
#define IDI_DISK 152
#define IDI_CDIMAGE_DEC 153
#define IDI_PRIVATEDISK 154
#define IDI_NAV_155 155
#define IDI_CDDRIVE_ENC 156
#define IDI_MOUNT 157

// Controls of the main window.
#define IDC_NAVPANEL 1000
#define IDC_DECORATION 1001
#define ID_HDR_ABOUT 1024
#define ID_HDR_HELP 1025
#define ID_HDR_OPTION 1026
#define IDC_PAGEAREA 1036
#define IDC_NAVAREA 1037

// Commands.
#define ID_REFRESH 1034
#define ID_ENCRYPTCDIMAGE 1038
#define ID_DECRYPTCDIMAGE 1039
#define ID_PHYSICALDISK 1040
#define ID_CDENCRYPTION 1041
#define ID_PRIVATEDISK 1043
#define ID_MAKEIMAGE 1044
#define ID_MOUNTUNMOUNT 1045
#define ID_DRIVE_BASE 2000
#define ID_DRIVE_LAST 3000
#define IDM_ABOUTBOX 0x0010
#define ID_TRAY_SHOWWINDOW 32773
#define ID_TRAY_EXIT 32774
#define ID_TRAY_OPTION 32776
#define ID_TRAY_MOUNTDISK 32778
#define ID_TRAY_MOUNTCD 32779
#define ID_TRAY_UNMOUNT_BASE 0x8000
#define ID_TRAY_UNMOUNT_LAST 0x80FF

// Controls of the Disk Encryption page (template 105).
#define IDC_TARN_ENCRYPT 1004
#define IDC_TARN_PROGRESS 1005
#define IDC_TARN_LOCK 1006
#define IDC_TARN_FORMAT 1007
#define IDC_TARN_OPEN 1008
#define IDC_TARN_LABEL_TOTAL 1012
#define IDC_TARN_LABEL_USED 1013
#define IDC_TARN_LABEL_FREE 1014
#define IDC_TARN_TOTAL 1015
#define IDC_TARN_USED 1016
#define IDC_TARN_FREE 1017
#define IDC_TARN_CAPTION 1018
#define IDC_TARN_CHART 1019
#define IDC_TARN_FS 1020
#define IDC_TARN_CANENCRYPT 1021
#define IDC_TARN_DRIVETYPE 1022

// Controls of the CD/DVD image pages (templates 106 and 146).
#define IDC_IMG_PROGRESS 1002
#define IDC_IMG_SOURCE 1003
#define IDC_IMG_BROWSE_SOURCE 1004
#define IDC_IMG_DEST 1005
#define IDC_IMG_BROWSE_DEST 1006

// Controls of the Create Image page (template 108).
#define IDC_CI_BROWSE 1002
#define IDC_CI_PATH 1003
#define IDC_CI_FS 1004
#define IDC_CI_PROGRESS 1005
#define IDC_CI_SIZE 1010
#define IDC_CI_LABEL 1011
#define IDC_CI_ENCRYPT 1046
#define IDC_CI_GROUP_FILE 1052
#define IDC_CI_GROUP_OPTION 1053
#define IDC_CI_GROUP_NOTE 1054
#define IDC_CI_GROUP_PROGRESS 1055
#define IDC_CI_GROUP_ADVANCE 1056

// Controls of the Mount page (template 109).
#define IDC_MNT_REFRESH 1003
#define IDC_MNT_BROWSE 1004
#define IDC_MNT_DISK 1023
#define IDC_MNT_CD 1025
#define IDC_MNT_PATH 1026
#define IDC_MNT_PASSWORD 1042
#define IDC_MNT_LETTER 1047

// Controls of the Options dialog (template 104).
#define IDC_OPT_AUTOSTART 1023
#define IDC_OPT_SHELLEXT 1024
#define IDC_OPT_TRAY 1035

// Controls of the password dialogs.
#define IDC_PASSWORD 1026
#define IDC_CONFIRM 1028

// Controls of the About box.
#define IDC_ABOUT_HOMEPAGE 1060
#define IDC_ABOUT_SUPPORT 1061

// The program's own window messages.
#define WM_TRAYICON (WM_USER + 101)
#define WM_REFRESHLIST (WM_USER + 102)
#define WM_RELEASESHELL (WM_USER + 103)
#define WM_SETDRIVE (WM_USER + 105)
#define WM_ENABLENAV (WM_USER + 106)
#define WM_QUERYITEMIMAGE (WM_USER + 44)

// Notification code of a label clicked with notify set.
#define NM_LINKCLICK 0x8200
