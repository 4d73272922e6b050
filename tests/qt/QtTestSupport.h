// Helpers of the widget tests: a platform that records what the view asks of it, a dialog that
// records its messages, and a way to act on a window once a modal loop has shown it.
#pragma once

#include "platform/api/Dialog.h"
#include "platform/api/Platform.h"

#include <QString>
#include <QWidget>

#include <functional>
#include <map>
#include <string>
#include <utility>
#include <vector>

namespace fkqt {

// Every file call fails with ERROR_ACCESS_DENIED: the dialogs see an installed PC (the
// installation check only fails on "not found") without any drive.
class DeniedFiles : public platform::FileSystem {
public:
    platform::Handle CreateFile(std::string_view, DWORD, DWORD, DWORD, DWORD) override;
    BOOL ReadFile(platform::Handle, void*, DWORD, DWORD*) override { return Deny(); }
    BOOL WriteFile(platform::Handle, const void*, DWORD, DWORD*) override { return Deny(); }
    BOOL CloseHandle(platform::Handle) override { return Deny(); }
    BOOL GetFileSize(platform::Handle, std::uint64_t*) override { return Deny(); }
    DWORD GetFileAttributes(std::string_view) override;
    BOOL SetFileAttributes(std::string_view, DWORD) override { return Deny(); }
    BOOL GetFileTime(platform::Handle, FILETIME*, FILETIME*, FILETIME*) override { return Deny(); }
    BOOL SetFileTime(platform::Handle, const FILETIME*, const FILETIME*, const FILETIME*) override {
        return Deny();
    }
    BOOL CreateDirectory(std::string_view) override { return Deny(); }
    BOOL DeleteFile(std::string_view) override { return Deny(); }
    BOOL MoveFileReplace(std::string_view, std::string_view) override { return Deny(); }
    DWORD DeleteTree(std::string_view) override { return ERROR_ACCESS_DENIED; }
    platform::Handle FindFirstFile(std::string_view, platform::FindData*) override;
    BOOL FindNextFile(platform::Handle, platform::FindData*) override { return Deny(); }
    BOOL FindClose(platform::Handle) override { return Deny(); }
    BOOL BackupRead(platform::Handle, std::uint8_t*, DWORD, DWORD*, BOOL, void**) override { return Deny(); }
    BOOL BackupWrite(platform::Handle, const std::uint8_t*, DWORD, DWORD*, BOOL, void**) override {
        return Deny();
    }

private:
    static BOOL Deny();
};

// No drives; FormatDrive records its requests and answers formatResult.
class RecordingVolumes : public platform::Volumes {
public:
    DWORD GetLogicalDrives() override { return 0; }
    UINT GetDriveType(std::string_view) override { return DRIVE_NO_ROOT_DIR; }
    BOOL GetVolumeLabel(std::string_view, std::string* label, DWORD, DWORD* serial) override;
    BOOL GetDiskFreeSpace(std::string_view, DWORD* spc, DWORD* bps, DWORD* freeClusters,
                          DWORD* total) override;
    platform::Handle FindFirstVolume(std::string*) override { return platform::InvalidHandle; }
    BOOL FindNextVolume(platform::Handle, std::string*) override { return FALSE; }
    BOOL FindVolumeClose(platform::Handle) override { return TRUE; }
    BOOL QueryVolumeDiskExtents(std::string_view) override { return FALSE; }
    DWORD FormatDrive(UINT driveNumber, const platform::FormatRequest& request) override;

    std::string label = "VOXCARD";
    DWORD serial = 0x1A2B3C4D;
    DWORD formatResult = ERROR_SUCCESS;
    std::vector<std::pair<UINT, platform::FormatRequest>> formats;
};

// Device events handed out by the next Poll.
class QueuedDevices : public platform::DeviceWatcher {
public:
    std::vector<UINT> Poll() override { return std::exchange(pending, {}); }
    std::vector<UINT> pending;
};

// No drive maps to a host folder: file dialogs return host paths as they are.
class FakePlatform : public platform::Platform {
public:
    platform::FileSystem& Files() override { return files; }
    platform::Volumes& Drives() override { return volumes; }
    platform::DeviceWatcher& Devices() override { return devices; }
    std::string HostPathOf(std::string_view) override { return {}; }
    std::string WindowsPathOf(std::string_view) override { return {}; }

    DeniedFiles files;
    RecordingVolumes volumes;
    QueuedDevices devices;
};

// A dialog on any template that records the messages it receives; onInit runs at the end of
// its initialisation.
class RecordingDialog : public platform::Dialog {
public:
    using Dialog::Dialog;
    LRESULT WindowProc(UINT message, WPARAM wParam, LPARAM lParam) override;
    bool Received(UINT message, WPARAM wParam) const;

    std::vector<std::pair<UINT, WPARAM>> messages;
    std::function<void(RecordingDialog&)> onInit;
    std::map<UINT, std::function<void()>> onCommand; // by control id, for clicks

protected:
    BOOL OnInitDialog() override;
};

// Runs action on the active modal window once it has this object name (polling the event loop;
// fails the test after 5 s).
void OnModal(const QString& objectName, std::function<void(QWidget*)> action);
// The same for a visible top-level window that is not modal.
void OnWindow(const QString& objectName, std::function<void(QWidget*)> action);
// Processes events until done() or the timeout; false on timeout.
bool WaitFor(const std::function<bool()>& done, int timeoutMs = 5000);

// Sends a key press and release to a widget.
void Key(QWidget* widget, int key, Qt::KeyboardModifiers modifiers = Qt::NoModifier);
// The folder the screenshot test writes to (created).
QString ScreenshotDir();

} // namespace fkqt
