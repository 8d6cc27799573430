// The record of the last kit installed in the install directory: "installed_version.txt" in the
// current directory, in the form of a kit's M ("product=...\nversion=...\n"). It is written by
// the program after an installation has ended well, so a file of the same name that a kit
// brings is replaced by it; it goes with the installation (the uninstall mode removes it), and
// it needs no more rights than the installation itself. Main thread only.
#pragma once

#include "kit_signature.h"

extern const wchar_t KIT_RECORD_FILE[];  // "installed_version.txt"

// Reads the record into installed: true when there is one for the program's own product;
// false, with installed cleared, when there is none, it is unreadable or names another
// product (a kit of any version is then accepted).
bool readKitRecord(KitIdentity* installed);

// Records kit as installed, replacing the record whole; logs a line when that fails. Nothing
// is recorded for a kit without an identity (a program built without a key). RESULT_OK,
// RESULT_FILE_WRITE or the system's error.
int recordInstalledKit(const KitIdentity& kit);
