#include "kit_record.h"

#include "files.h"
#include "result_codes.h"
#include "text.h"
#include "upgrade_log.h"

#include <windows.h>

#include <cstring>

const wchar_t KIT_RECORD_FILE[] = L"installed_version.txt";

namespace {

constexpr wchar_t RECORD_PART_FILE[] = L"installed_version.txt.part";

}  // namespace

bool readKitRecord(KitIdentity* installed)
{
    memset(installed, 0, sizeof *installed);
    HANDLE file = CreateFileW(KIT_RECORD_FILE, GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                              FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE)
        return false;
    char text[KIT_IDENTITY_LIMIT + 1];  // one byte more: a longer file is no record
    DWORD got = 0;
    BOOL read = ReadFile(file, text, sizeof text, &got, nullptr);
    CloseHandle(file);
    if (!read || parseKitIdentity(text, got, installed) != KIT_ACCEPTED)
        return false;
    if (strcmp(installed->product, kitProduct()) == 0)
        return true;
    memset(installed, 0, sizeof *installed);
    return false;
}

int recordInstalledKit(const KitIdentity& kit)
{
    if (!kit.product[0])
        return RESULT_OK;
    char text[KIT_IDENTITY_LIMIT];
    int length = formatTextNarrow(text, sizeof text, "product=%s\nversion=%s\n", kit.product, kit.version);
    // Written aside and moved over the record, so that it is never found half written; a
    // read-only record that a kit brought is replaced all the same.
    int result = length > 0 ? writeFileData(RECORD_PART_FILE, text, static_cast<size_t>(length)) : RESULT_FILE_WRITE;
    (void)SetFileAttributesW(KIT_RECORD_FILE, FILE_ATTRIBUTE_NORMAL);  // none yet is fine
    if (result == RESULT_OK &&
        !MoveFileExW(RECORD_PART_FILE, KIT_RECORD_FILE, MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH))
        result = static_cast<int>(GetLastError());
    if (result != RESULT_OK) {
        (void)deleteFile(RECORD_PART_FILE);  // nothing half written stays
        (void)logLine("ERROR: The installed version %s could not be recorded in %S (reason %d)\n", kit.version,
                      KIT_RECORD_FILE, result);
    }
    return result;
}
