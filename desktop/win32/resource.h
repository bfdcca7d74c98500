// Identifiers shared by kronel.rc and the dialog code.
#pragma once

#define IDI_KRONEL 1
#define IDR_MANIFEST 1

#define IDD_MAIN 100
#define IDD_SERVER 101
#define IDD_SETTINGS_PAGE 102
#define IDD_INFORMATION 103

#define IDR_LIST_MENU 200
#define IDR_TRAY_MENU 201

#define IDC_LASTDELTA 1001
#define IDC_LASTCONTACT 1002
#define IDC_TIMESOURCE 1003
#define IDC_DRIFT 1004
#define IDC_STATUSTEXT 1005
#define IDC_SERVERS 1006
#define IDC_MESSAGES 1007
#define IDC_SERVING 1008
#define IDC_QUERY 1010
#define IDC_ADD 1011
#define IDC_EDIT 1012
#define IDC_DELETEALL 1013
#define IDC_RESTORE 1014
#define IDC_EXPORT 1015
#define IDC_IMPORT 1016
#define IDC_SETTINGS 1017
#define IDC_EXIT 1018
#define IDC_SHOW 1019

#define IDC_SERVER_NAME 1101
#define IDC_SERVER_ADDR 1102
#define IDC_SERVER_PROTOCOL 1103
#define IDC_SERVER_PROXY 1104
#define IDC_SERVER_REJECTNTP 1105

#define IDC_INFO_VERSION 1201
#define IDC_INFO_STORE 1202

// Settings pages' controls are made at run time from the settings model, from this number on.
#define IDC_SETTING_FIRST 1300

#define KRONEL_VERSION_TEXT "1.0.0"
#define KRONEL_VERSION_BINARY 1, 0, 0, 0
