// CardUtilityDialog: the program's main dialog. It owns every piece of user-visible state and
// routes each button, device change and AutoPlay request to its operation. The operations live
// beside it as member functions: card/ (drive slots, selection), contents/ (versions, status,
// prompt clean-up) and operations/ (Backup, Restore, Prompt update, Initialize).
#pragma once

#include "archive/Archive.h"
#include "card/DriveSlots.h"
#include "platform/api/Dialog.h"
#include "platform/api/Platform.h"

#include <array>
#include <cstdint>
#include <memory>
#include <string>

// Control ids of template 147.
namespace ControlId {
inline constexpr int Exit = 1; // IDOK, hidden
inline constexpr int Update = 1005;
inline constexpr int LanguageVersion0 = 1007;
inline constexpr int LanguageVersion1 = 1009;
inline constexpr int LanguageVersion2 = 1010;
inline constexpr int LanguageVersion3 = 1012;
inline constexpr int Backup = 1014;
inline constexpr int Read = 1015;
inline constexpr int Restore = 1016;
inline constexpr int Initialize = 1017;
inline constexpr int DeviceCombo = 1018;
inline constexpr int Select = 1025;
inline constexpr int PromptVersion = 1064;
inline constexpr int Type = 1065;
inline constexpr int Status = 1066;
inline constexpr int Device = 1067;
inline constexpr int StatusBar = 1068;
inline constexpr int ProgressBar = 1068; // the progress bar carries the status bar's id
} // namespace ControlId

// System-menu command of the About item.
inline constexpr UINT IDM_ABOUTBOX = 0x0010;

class CardUtilityDialog : public platform::Dialog {
public:
    CardUtilityDialog(platform::Ui& ui, platform::Platform& platform, platform::Dialog* parent = nullptr);
    ~CardUtilityDialog() override;

    LRESULT WindowProc(UINT message, WPARAM wParam, LPARAM lParam) override;

    // --- subsystem 1 (app/) ---
    void OnSysCommand(UINT id, LPARAM lParam);
    void OnPaint();
    // The state text rule for status-bar part 0: text while the selected slot holds a drive,
    // "Insert Card" in place of "Ready" otherwise.
    void SetStateText(const std::string& text);
    bool SelectedSlotHasDrive() const;
    std::int32_t SelectedDriveCode() const;
    // The card root: the root of the selected slot, "" for an index outside 0..5.
    std::string CardRoot() const;
    // Data exchange towards the controls, then an immediate repaint.
    void ShowMembers();

    // --- subsystem 2 (card/) ---
    BOOL OnDeviceChange(UINT eventType, std::uintptr_t eventData);
    int ScanRemovableVolumes();
    // TRUE when media is present (the open did not fail with ERROR_NOT_READY).
    bool ProbeMedia(const std::string& root);
    // The last error of opening a path for reading (generic read, no sharing, open existing);
    // 0 when the open succeeded. The operations' local-directory checks use it.
    DWORD ProbePath(const std::string& path);
    void OnSelectCard();
    // The selection's work once deviceIndex names the chosen slot: reads the card in it and fills
    // the four fields, or clears them when it cannot be used. Also shows a card that was swapped
    // for the selected one while an operation asked a question.
    void ShowSelectedCard();
    void OnDeviceSelChange();
    std::string ComposeDeviceText(const std::string& root) const;
    static std::string CardTypeText(std::uint64_t capacityMillions, bool* known);

    // --- subsystem 3 (contents/) ---
    void RefreshCardStatus();
    void FormatVersionText(int slot);
    void DeleteCardPrompts();

    // --- subsystem 4 adapters (operations/): bind the archive callbacks to the status bar,
    // the progress bar and the message boxes ---
    bool WriteArchiveEntry(const std::string& storedPath, platform::Handle archive);
    // With a tally, also counts what is written for the archive's integrity record. With
    // usedBytes (the card's used space), shows the progress bar meanwhile. entryWritten is told
    // after each whole entry (see archive::WriterCallbacks).
    bool WriteArchiveTree(const std::string& directoryPath, platform::Handle archive,
                          archive::ArchiveTally* tally = nullptr, std::uint64_t usedBytes = 0,
                          std::function<bool(archive::WriteProblem*)> entryWritten = {});
    // Sets archivePromptVersion to the version of the archive just checked and clears
    // extractionFailed.
    void SetArchiveVersion(const std::string& version);

    // --- subsystem 5 (operations/) ---
    void OnBackup();
    void BackupCard();
    void OnRestore();
    void RestoreCard();
    void OnUpdate();
    void OnInitialize();
    // Installs the initial archive, which its check before the format found of checkedSize
    // bytes with these sums.
    void InstallInitializedFileStruct(const archive::ArchiveSums& checked, std::uint64_t checkedSize);
    // Extract the open archive onto the card, showing the progress bar and the error messages.
    // They keep versionBlockSeen and extractionFailed up to date. With the sums its check found,
    // an archive that reads otherwise now fails the extraction with its own message.
    bool ExtractArchive(platform::Handle archive, std::uint64_t archiveSize,
                        const archive::ArchiveSums* checked = nullptr);
    bool ExtractArchiveKeepPrompts(platform::Handle archive, std::uint64_t archiveSize,
                                   const archive::ArchiveSums* checked = nullptr);

    platform::Platform& GetPlatform() { return platform_; }
    platform::FileSystem& Files() { return platform_.Files(); }
    platform::Volumes& Drives() { return platform_.Drives(); }

    // --- members, in declaration order ---
    int appIcon = 128; // icon resource
    platform::StatusBarControl statusBar{ControlId::StatusBar};
    platform::ComboBoxControl* deviceCombo = nullptr; // attached to control 1018 by the data exchange
    std::array<std::int32_t, DriveSlotCount> deviceCapacities{};
    std::array<std::string, DriveSlotCount> driveRoots{};
    std::int32_t deviceIndex = 0;
    std::array<std::string, 4> cardLanguageVersions{};
    std::string cardType;
    std::string promptVersion;
    std::string deviceName;
    std::string statusText;

    // The registered "QueryCancelAutoPlay" message (0 until registered).
    UINT queryCancelAutoPlay = 0;

    // Program-wide values of the archive operations; the dialog lives as long as the process.
    // The prompt version given to the last SetArchiveVersion (at most 6 characters).
    std::string archivePromptVersion;
    // Cleared by SetArchiveVersion and when an extraction starts; set when one stops on a full
    // card, a write error or an archive it cannot read.
    bool extractionFailed = false;
    // Cleared by the operations before their work; set by the first extraction that takes its
    // first block as the version block, so that only one version comparison happens per operation.
    bool versionBlockSeen = false;

protected:
    BOOL OnInitDialog() override;
    void DoDataExchange(platform::DataExchange& dx) override;

private:
    platform::Platform& platform_;
    platform::Dialog* parent_;
    // What stopped the last archive write (the backup reports it).
    archive::WriteProblem writeProblem_;
    // The progress bar exists only during an extraction or a backup's walk.
    std::unique_ptr<platform::ProgressBarControl> progressBar_;
};
