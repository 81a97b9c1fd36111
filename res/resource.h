// Resource identifiers of POSCollector.rc, shared by the program and its tests.
#pragma once

#define IDR_MAINFRAME 128
#define IDD_POSCOLLECTOR_DIALOG 102

#define IDC_COMMPORT 1000
#define IDC_BAUDRATE 1001
#define IDC_DATABITS 1002
#define IDC_PARITY 1003
#define IDC_STOPBITS 1004
#define IDC_RUNATSTARTUP 1005
#define IDC_RUN 1006
#define IDC_STOP 1007
#define IDC_DATAFILE 1008
#define IDC_BROWSE 1009
#define IDC_PROGRESS 1010
// The Lane row, made by the window when there are two lanes or more.
#define IDC_LANE 1011
// The system menu's lane commands: below 0xF000, low four bits clear, as the system asks.
#define IDM_ADDLANE 0x0010
#define IDM_REMOVELANE 0x0020

#ifndef IDC_STATIC
#define IDC_STATIC (-1)
#endif
