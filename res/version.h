// The program's version, used by the version resource.
#pragma once

#define UPDATER_VERSION_MAJOR 1
#define UPDATER_VERSION_MINOR 0
#define UPDATER_VERSION_PATCH 0
#define UPDATER_VERSION_BUILD 0
#define UPDATER_VERSION_TEXT "1.0.0.0"
#define UPDATER_PRODUCT_NAME "Updater"
#define UPDATER_FILE_DESCRIPTION "Brings the installed client up to date"
