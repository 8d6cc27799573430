// Resource ids of updater.exe, shared by the resource script and the code.
#pragma once

#define IDI_UPDATER 1

// String table (English, United States).
#define IDS_UPDATE_CAPTION 1       // window title and caption of every box
#define IDS_SEARCHING 2            // detail line while the archive is opened
#define IDS_RECEIVE_FAILED 3       // final download failure, with its reason code
#define IDS_BAD_PARAMETERS 4       // command line of the update mode is wrong
#define IDS_NO_DOWNLOAD 5          // the server has no kit for this version
#define IDS_SETTINGS_MISSING 6     // no zolt.ini in the install directory
#define IDS_CONNECT_FAILED 7
#define IDS_RECEIVING_RESPONSE 8
#define IDS_COUNT_OF 9
#define IDS_DOWNLOAD_TIMED_OUT 10
#define IDS_STARTING 11
