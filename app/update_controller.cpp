#include "update_controller.h"

#include "archive_installer.h"
#include "download_client.h"
#include "files.h"
#include "kit_record.h"
#include "kit_signature.h"
#include "process_guard.h"
#include "progress_window.h"
#include "resource.h"
#include "result_codes.h"
#include "settings.h"
#include "text.h"
#include "updater_state.h"
#include "upgrade_log.h"

#include <atomic>
#include <cstring>
#include <cwchar>

namespace {

constexpr uint32_t SAMPLE_PERIOD_MS = 1000;
constexpr int RECONNECT_WAIT_STEPS = 48;  // 48 x 100 ms: 4.8 s
constexpr DWORD RECONNECT_WAIT_STEP_MS = 100;
constexpr int RESTART_ATTEMPTS = 10;
constexpr DWORD RESTART_PAUSE_MS = 1000;
constexpr DWORD AFTER_INSTALL_PAUSE_MS = 1000;
constexpr DWORD RESTART_FLAGS = DETACHED_PROCESS | CREATE_DEFAULT_ERROR_MODE;
constexpr size_t STATUS_TEXT_CAPACITY = 1024;
constexpr size_t INSTALL_NAME_CAPACITY = 520;
// The installer reports far faster than a person can read or a client can start: its events
// repaint the window and look for clients at the pace of the download's tick, driven by the
// clock. Each costs milliseconds (a repaint, a process snapshot) that the installation waits for.
constexpr uint32_t INSTALL_REFRESH_PERIOD_MS = UPDATE_TIMER_PERIOD_MS;  // 10 times a second
constexpr uint32_t INSTALL_GUARD_PERIOD_MS = UPDATE_TIMER_PERIOD_MS;    // a client that starts is noticed within 200 ms
constexpr char ARCHIVE_FILE[] = "upgrade.rtp";
constexpr wchar_t ARCHIVE_FILE_WIDE[] = L"upgrade.rtp";
constexpr wchar_t PARTIAL_ARCHIVE_FILE[] = L"upgrade.rtp.part";  // the download on its way to the disk
constexpr wchar_t KIT_REFUSED_TEXT[] =
    L"Installation failed.\nThe downloaded update is not signed by the publisher of this program, so nothing was installed.";
constexpr wchar_t KIT_OTHER_PRODUCT_TEXT[] =
    L"Installation failed.\nThe downloaded update is for another program, so nothing was installed.";
constexpr wchar_t KIT_OLDER_TEXT[] =
    L"Installation failed.\nThe downloaded update is older than the installed version, so nothing was installed.";

struct TransferRate {
    uint32_t firstDataTime;  // 0: no data yet
    uint32_t lastSampleTime;
    uint32_t lastReceived;
    uint32_t carried;        // bytes an earlier attempt left to this one: not this attempt's work
    uint32_t sampleTime[2];
    uint32_t sampleBytes[2];
    int sampleIndex;
    uint32_t bytesPerSecond;
};

// What the installer's events have asked the window to show and not yet shown.
struct InstallDisplay {
    uint32_t lastRefresh;
    uint32_t lastGuardCheck;
    bool detailPending;
    wchar_t detail[STATUS_TEXT_CAPACITY];
    bool progressPending;
    float progress;
};

bool tickActive;
int lastStatus;
int retryCount;
TransferRate rate;
char lastInstallName[INSTALL_NAME_CAPACITY];
InstallDisplay display;
KitIdentity installingKit;  // the kit being installed; no product without a key
std::atomic<HWND> tickWindow;  // read by the download worker

void refresh()
{
    updateMainWindow();
    pumpMessages();
}

void showStatus(const wchar_t* text)
{
    setStatusText(text);
    refresh();
}

void showError(const wchar_t* text)
{
    (void)MessageBoxW(updaterState.mainWindow, text, loadText(IDS_UPDATE_CAPTION), MB_ICONERROR);  // any answer
}

// After a failed download or restart the client is to ask about updates again.
void resetAskSettings()
{
    (void)writeInt(L"General", L"upgrade_do_not_ask", 0);  // a failed write changes nothing for the run
    (void)writeInt(L"General", L"upgrade_never_ask", 0);
}

void showProgress(DownloadJob* job)
{
    // Read before the counts: a body that starts over drops its count first, so no carried
    // byte is ever taken for a new one.
    uint32_t carried = downloadResumedFrom(job);
    uint32_t received = 0;
    uint32_t total = 0;
    (void)downloadCounts(job, &received, &total);  // both stay 0 for an unknown job
    if (received <= carried) {  // nothing of this attempt yet
        const wchar_t* text = downloadStatusText(job);
        if (text[0] && !wcsstr(text, L"of")) {
            setStatusText(text);
        } else if (rate.firstDataTime == 0) {
            setStatusText(L"Connecting...");
            // A download that goes on keeps its bar where it stood.
            setProgress(received && total ? static_cast<float>(received) / static_cast<float>(total) : 0.0f);
        }
        return;
    }
    uint32_t now = millisecondClock();
    if (rate.firstDataTime == 0) {
        resetTransferRate();
        rate.firstDataTime = now ? now : 1;  // 0 means no data yet
        rate.lastSampleTime = now;
        rate.lastReceived = rate.carried = carried;  // the rate counts this attempt's bytes only
    }
    wchar_t status[STATUS_TEXT_CAPACITY];
    (void)formatText(status, STATUS_TEXT_CAPACITY, L"Receiving %.02f MB",
                     static_cast<double>(static_cast<float>(total) / 1024.0f / 1024.0f));
    setStatusText(status);
    if (received != rate.lastReceived) {
        rate.sampleBytes[rate.sampleIndex] += received - rate.lastReceived;
        rate.lastReceived = received;
        setProgress(total ? static_cast<float>(received) / static_cast<float>(total) : 0.0f);
    }
    if (now - rate.lastSampleTime < SAMPLE_PERIOD_MS)
        return;

    rate.sampleTime[rate.sampleIndex] = now - rate.lastSampleTime;
    ++rate.sampleIndex;
    rate.lastSampleTime = now;
    double seconds = (rate.sampleTime[0] + rate.sampleTime[1]) / 1000.0;
    rate.bytesPerSecond = seconds > 0 ? static_cast<uint32_t>((double(rate.sampleBytes[0]) + rate.sampleBytes[1]) / seconds) : 0;
    if (rate.sampleIndex == 2) {
        rate.sampleTime[0] = SAMPLE_PERIOD_MS;
        rate.sampleBytes[0] = rate.bytesPerSecond;
        rate.sampleTime[1] = rate.sampleBytes[1] = 0;
        rate.sampleIndex = 1;
    }

    wchar_t detail[STATUS_TEXT_CAPACITY];
    if (rate.bytesPerSecond == 0) {
        (void)formatText(detail, STATUS_TEXT_CAPACITY, L"Waiting for data...");
    } else {
        uint32_t elapsed = now - rate.firstDataTime;
        double averageRate = elapsed ? (received - rate.carried) * 1000.0 / elapsed : 0.0;
        double remaining = averageRate > 0 ? (double(total) - received) / averageRate : 0.0;
        long long secondsLeft = remaining > 0 ? static_cast<long long>(remaining) : 0;
        double kilobytes = rate.bytesPerSecond / 1024.0;
        if (secondsLeft < 60)
            (void)formatText(detail, STATUS_TEXT_CAPACITY,
                             L"The estimated time remaining is less than a minute  at  %.1f KB / sec", kilobytes);
        else if (secondsLeft / 60 == 1)
            (void)formatText(detail, STATUS_TEXT_CAPACITY,
                             L"The estimated remaining time is about %d minute  at  %.1f KB / sec", 1, kilobytes);
        else
            (void)formatText(detail, STATUS_TEXT_CAPACITY,
                             L"The estimated remaining time is about %d minutes  at  %.1f KB / sec",
                             static_cast<int>(secondsLeft / 60), kilobytes);
    }
    setDetailText(detail);
}

void restartClient()
{
    STARTUPINFOW startup = {};
    startup.cb = sizeof startup;
    PROCESS_INFORMATION process = {};
    bool started = false;
    for (int attempt = 0; attempt < RESTART_ATTEMPTS && !started; ++attempt) {
        wchar_t commandLine[PATH_CAPACITY];
        (void)formatText(commandLine, PATH_CAPACITY, L"%s", updaterState.restartCommand);  // CreateProcessW may write to it
        started = CreateProcessW(nullptr, commandLine, nullptr, nullptr, FALSE, RESTART_FLAGS, nullptr, nullptr,
                                 &startup, &process) != FALSE;
        if (!started)
            Sleep(RESTART_PAUSE_MS);
    }
    if (started) {
        CloseHandle(process.hThread);
        CloseHandle(process.hProcess);
        return;
    }
    resetAskSettings();
    wchar_t text[PATH_CAPACITY];
    (void)formatText(text, PATH_CAPACITY, L"Failed to restart application.\n%s", updaterState.restartCommand);
    showError(text);
}

// Puts the downloaded archive on disk as ARCHIVE_FILE_WIDE, whole or not at all. The download
// has written most of it while it arrived; what is left is its tail and the rename.
int saveArchive(const unsigned char* data, uint32_t size)
{
    int saved = finishDownloadFile(updaterState.currentJob);
    if (saved != RESULT_OK)  // the copy on disk failed on the way: one more try, whole
        saved = writeFileData(PARTIAL_ARCHIVE_FILE, data, size);
    if (saved == RESULT_OK && !MoveFileExW(PARTIAL_ARCHIVE_FILE, ARCHIVE_FILE_WIDE, MOVEFILE_REPLACE_EXISTING))
        saved = static_cast<int>(GetLastError());
    if (saved != RESULT_OK)
        (void)deleteFile(PARTIAL_ARCHIVE_FILE);  // nothing half written stays
    return saved;
}

void finish()
{
    setProgress(1.0f);
    updaterState.installing = true;  // until the process ends
    showStatus(L"Finalize download");
    // Nothing older than this download may be installed: the old archive goes first, and a
    // download that cannot be saved is an installation failure.
    (void)deleteFile(ARCHIVE_FILE_WIDE);
    const unsigned char* data = downloadData(updaterState.currentJob);
    uint32_t size = downloadSize(updaterState.currentJob);
    // With the vendor's key built in, only a kit signed with it for this product, and not older
    // than the one installed before, is saved. It is saved whole, as it came: the installer
    // ignores the trailer after the archive, as it must for a program built without a key.
    KitIdentity lastInstalled;
    int kit = checkKit(data, size, &installingKit, &lastInstalled);
    int saved = kit == KIT_ACCEPTED ? saveArchive(data, size) : kit;
    // The body's memory goes on to the installer to decode into: the system zeroes each page of
    // fresh memory at its first touch, which takes about as long as decoding a fast block.
    size_t bodyCapacity = 0;
    unsigned char* body = saved == RESULT_OK ? takeDownloadData(updaterState.currentJob, &bodyCapacity) : nullptr;
    releaseDownload(updaterState.currentJob);  // deletes a copy on disk that was not saved
    updaterState.currentJob = nullptr;
    shutdownDownloadClient();
    if (kit != KIT_ACCEPTED) {
        // The log says why; the box says so too.
        if (kit == KIT_OTHER_PRODUCT)
            (void)logLine("ERROR: The update is for %s, not %s; nothing was installed\n", installingKit.product,
                          kitProduct());
        else if (kit == KIT_OLDER_VERSION)
            (void)logLine("ERROR: The update is version %s, older than the installed %s; nothing was installed\n",
                          installingKit.version, lastInstalled.version);
        else
            (void)logLine("ERROR: The update is not signed with the vendor's key (%s); nothing was installed\n",
                          kitSignatureText(kit));
        showStatus(L"Installation failed");
        showError(kit == KIT_OTHER_PRODUCT ? KIT_OTHER_PRODUCT_TEXT
                  : kit == KIT_OLDER_VERSION ? KIT_OLDER_TEXT : KIT_REFUSED_TEXT);
        return;
    }

    waitForClients(1, 0);
    showStatus(L"Installing files");
    (void)SetFileAttributesW(ARCHIVE_FILE_WIDE, FILE_ATTRIBUTE_NORMAL);  // a missing file fails the install
    offerDecodingMemory(body, bodyCapacity);  // the installer frees it
    int installed = saved == 0 ? installArchive(ARCHIVE_FILE, installerEvent) : -1;
    if (installed != 0) {
        (void)deleteFile(ARCHIVE_FILE_WIDE);
        showStatus(L"Installation failed");
        showError(L"Installation failed.\nCould not decompress the downloaded archive.");
        return;
    }
    uint32_t installedAt = millisecondClock();
    (void)recordInstalledKit(installingKit);  // logs its own failure; the installation stands
    setProgress(1.0f);
    refresh();
    (void)deleteFile(ARCHIVE_FILE_WIDE);  // a file that stays is replaced by the next run
    // The pause before the restart runs from the last file installed: deleting a large archive
    // takes a part of it rather than adding to it.
    uint32_t spent = millisecondClock() - installedAt;
    pauseAnsweringMessages(spent < AFTER_INSTALL_PAUSE_MS ? AFTER_INSTALL_PAUSE_MS - spent : 0);
    restartClient();
}

void endOfJob(int status)
{
    if (status == DownloadStatus::Done) {
        finish();
        endRun();
        return;
    }
    if (reconnect(status))
        return;
    resetAskSettings();
    switch (status) {
    case DownloadStatus::NotFound:
        showError(loadText(IDS_NO_DOWNLOAD));
        break;
    case DownloadStatus::TimedOut:
        showError(loadText(IDS_DOWNLOAD_TIMED_OUT));
        break;
    case DownloadStatus::Released:
        showError(L"Connection to the server failed after 10 attempts.");
        break;
    default:
        showError(loadText(IDS_RECEIVE_FAILED, status));
        break;
    }
    endRun();
}

void guardCheck()
{
    waitForClients(0, 0);
    display.lastGuardCheck = millisecondClock();
}

void guardCheckWhenDue()
{
    if (millisecondClock() - display.lastGuardCheck >= INSTALL_GUARD_PERIOD_MS)
        guardCheck();
}

// Shows what the installer's events left pending, now or once the refresh period is over.
void refreshInstallDisplay(bool now)
{
    if (!now && millisecondClock() - display.lastRefresh < INSTALL_REFRESH_PERIOD_MS)
        return;
    if (display.detailPending)
        setDetailText(display.detail);
    if (display.progressPending)
        setProgress(display.progress);
    display.detailPending = display.progressPending = false;
    refresh();
    display.lastRefresh = millisecondClock();
}

// Remembers the installer's current file (UTF-8) and makes the detail line about it pending.
void setInstallName(const wchar_t* format, const char* name)
{
    (void)formatTextNarrow(lastInstallName, INSTALL_NAME_CAPACITY, "%s", name);  // cut to fit
    (void)formatText(display.detail, STATUS_TEXT_CAPACITY, format, fromUtf8Temp(name));
    display.detailPending = true;
}

// The worker's word that a job has ended: a tick now rather than at the timer's next.
// lParam 0: the tick goes to the window, as the timer's own do.
void tickNow()
{
    (void)PostMessageW(tickWindow, WM_TIMER, UPDATE_TIMER_ID, 0);  // a lost one leaves the timer's
}

}  // namespace

void startDownload()
{
    tickWindow = updaterState.mainWindow;
    setDownloadEndNotice(tickNow);
    updaterState.currentJob = createSavedDownload(updaterState.downloadUrl, PARTIAL_ARCHIVE_FILE);  // none reads as status 15
}

void resetTransferRate()
{
    memset(&rate, 0, sizeof rate);
}

void endRun()
{
    PostQuitMessage(0);
    updaterState.quitRequested = true;
}

LRESULT onTimer()
{
    if (tickActive)
        return 0;
    tickActive = true;
    sweepStalledDownloads();
    lastStatus = downloadStatus(updaterState.currentJob);
    if (lastStatus == DownloadStatus::Queued || lastStatus == DownloadStatus::Transferring) {
        showProgress(updaterState.currentJob);
    } else {
        (void)KillTimer(updaterState.mainWindow, UPDATE_TIMER_ID);  // not armed is fine too
        endOfJob(lastStatus);
    }
    tickActive = false;
    return 0;
}

bool reconnect(int failedStatus)
{
    if (++retryCount > RECONNECT_BUDGET)
        return false;
    wchar_t text[STATUS_TEXT_CAPACITY];
    switch (failedStatus) {
    case DownloadStatus::NotFound:
        (void)formatText(text, STATUS_TEXT_CAPACITY, L"Download not found - reconnecting to server ...");
        break;
    case DownloadStatus::TimedOut:
        (void)formatText(text, STATUS_TEXT_CAPACITY, L"Download timed out - reconnecting to server ...");
        break;
    case DownloadStatus::Released:
        (void)formatText(text, STATUS_TEXT_CAPACITY, L"Connection was lost - reconnecting to server ...");
        break;
    default:
        (void)formatText(text, STATUS_TEXT_CAPACITY, L"A connection failure (%d) occured - reconnecting to server ...",
                         failedStatus);
        break;
    }
    setStatusText(text);
    setDetailText(L" ");
    refresh();
    // The ended job keeps its bytes through the wait: the new one takes them over, and asks
    // only for the rest when the server can tell that its file has not changed.
    DownloadJob* failed = updaterState.currentJob;
    updaterState.currentJob = nullptr;
    if (failed) {
        for (int step = 0; step < RECONNECT_WAIT_STEPS; ++step) {
            sweepStalledDownloads();
            Sleep(RECONNECT_WAIT_STEP_MS);
        }
    }
    // The new transfer's speed and time are its own.
    resetTransferRate();
    updaterState.currentJob = createResumedDownload(updaterState.downloadUrl, failed);  // releases failed
    if (!updaterState.currentJob)
        return false;
    (void)SetTimer(updaterState.mainWindow, UPDATE_TIMER_ID, UPDATE_TIMER_PERIOD_MS, nullptr);  // as at the start
    return true;
}

int installerEvent(int event, const void* payload)
{
    const char* name = static_cast<const char*>(payload);
    switch (event) {
    case InstallEvent::Started:
        if (installingKit.product[0])  // on a line of its own before the entries
            (void)logLine("Kit: %s version %s\n", installingKit.product, installingKit.version);
        (void)formatText(display.detail, STATUS_TEXT_CAPACITY, L"%s", loadText(IDS_SEARCHING));
        display.detailPending = true;
        refreshInstallDisplay(true);
        guardCheck();
        break;
    case InstallEvent::EntryName:
        if (name && strcmp(name, lastInstallName) != 0) {  // a repeated name is shown once
            setInstallName(L"Updating %s", name);
            refreshInstallDisplay(false);
        } else if (name && display.detailPending) {
            refreshInstallDisplay(true);  // named again before a step that may take a while
        }
        guardCheckWhenDue();
        break;
    case InstallEvent::FileLocked:
        if (name) {
            setInstallName(L"Wait for system releasing lock of %s", name);
            refreshInstallDisplay(true);
        }
        guardCheck();
        break;
    case InstallEvent::Progress:
        display.progress = *static_cast<const unsigned short*>(payload) / static_cast<float>(PROGRESS_SCALE);
        display.progressPending = true;
        refreshInstallDisplay(false);
        guardCheckWhenDue();
        break;
    case InstallEvent::Failed: {
        DWORD reason = GetLastError();
        wchar_t text[LOAD_TEXT_CAPACITY];
        if (reason)
            (void)formatText(text, LOAD_TEXT_CAPACITY, L"%S (reason %d)", name, static_cast<int>(reason));
        else
            (void)formatText(text, LOAD_TEXT_CAPACITY, L"%S", name);
        showError(text);
        break;
    }
    default:
        break;
    }
    return updaterState.quitRequested ? 0 : 1;
}
