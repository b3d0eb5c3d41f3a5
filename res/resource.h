/* Resource ids shared by update.rc and the shell's code. */
#ifndef QV_RES_RESOURCE_H
#define QV_RES_RESOURCE_H

/* The icon group, the tray menu and the tray icon's id are one number. */
#define IDR_MAINFRAME 128
#define IDD_MAINDLG 129

#define ID_TRAY_HOME 32776
#define ID_APP_ABOUT 0xE140

#endif
