#include "app/flashkeeper3dlg.h"

#include "app/AboutDialog.h"
#include "platform/api/LastError.h"
#include "resources/Resources.h"

namespace {

constexpr const char* InstallationCheckFile = "C:\\ZEL\\VoxHarbor\\Prompts\\PromptUpdateVer1_2.vhp";
constexpr const char* ReinstallMessage =
    "The VoxHarbor directory and associated files were not found.  Please re-install the application.";
constexpr int StatusBarHeight = 25;

} // namespace

CardUtilityDialog::CardUtilityDialog(platform::Ui& ui, platform::Platform& platform, platform::Dialog* parent)
    : platform::Dialog(ui, resources::GetDialogTemplate(resources::IDD_CARDUTILITY_DIALOG)),
      platform_(platform), parent_(parent) {
    // The combo box exists from the template on; attaching it here as well lets a device change
    // that arrives before the first data exchange find the list.
    deviceCombo = &ComboItem(ControlId::DeviceCombo);
}

CardUtilityDialog::~CardUtilityDialog() = default;

void CardUtilityDialog::DoDataExchange(platform::DataExchange& dx) {
    dx.CBIndex(ControlId::DeviceCombo, deviceIndex);
    deviceCombo = &ComboItem(ControlId::DeviceCombo);
    dx.Text(ControlId::LanguageVersion0, cardLanguageVersions[0]);
    dx.Text(ControlId::LanguageVersion1, cardLanguageVersions[1]);
    dx.Text(ControlId::LanguageVersion2, cardLanguageVersions[2]);
    dx.Text(ControlId::LanguageVersion3, cardLanguageVersions[3]);
    dx.Text(ControlId::Type, cardType);
    dx.Text(ControlId::PromptVersion, promptVersion);
    dx.Text(ControlId::Device, deviceName);
    dx.Text(ControlId::Status, statusText);
}

void CardUtilityDialog::ShowMembers() {
    UpdateData(FALSE);
    UpdateWindow();
}

BOOL CardUtilityDialog::OnInitDialog() {
    platform::Dialog::OnInitDialog();

    ButtonItem(ControlId::Update).SetBitmap(resources::IDB_UPDATE);
    ButtonItem(ControlId::Exit).SetBitmap(resources::IDB_EXIT);
    ButtonItem(ControlId::Read).SetBitmap(resources::IDB_READ);
    ButtonItem(ControlId::Restore).SetBitmap(resources::IDB_RESTORE);
    ButtonItem(ControlId::Backup).SetBitmap(resources::IDB_BACKUP);
    ButtonItem(ControlId::Initialize).SetBitmap(resources::IDB_INIT);

    cardLanguageVersions = {"1.10", "UND", "UND", "UND"};
    ShowMembers();

    if (std::vector<platform::MenuItem>* systemMenu = GetSystemMenu(FALSE)) {
        const std::string aboutText = resources::LoadString(resources::IDS_ABOUTBOX);
        if (!aboutText.empty()) {
            systemMenu->push_back(platform::MenuItem{0, "", true});
            systemMenu->push_back(platform::MenuItem{IDM_ABOUTBOX, aboutText, false});
        }
    }

    // The window icon (appIcon, large and small) is set by the view from the dialog's icon
    // resource; the model has nothing to hold for it.

    platform::Rect barRect = GetClientRect();
    barRect.top = barRect.bottom - StatusBarHeight;
    statusBar.MarkCreated(ControlId::StatusBar, barRect);
    if (!GetUi().ChildCreated(*this, statusBar)) {
        GetUi().MessageBox(this, "Status Bar not created", MB_OK);
    }

    const int width = GetClientRect().Width();
    statusBar.SetMinHeight(StatusBarHeight);
    statusBar.SetParts({width / 4, (width / 3) * 3});
    statusBar.SetText(1, "");

    RefreshCardStatus();
    SetStateText("Ready");

    const platform::Handle check =
        Files().CreateFile(InstallationCheckFile, GENERIC_READ, FILE_SHARE_NONE, OPEN_EXISTING, 0);
    if (check == platform::InvalidHandle) {
        const DWORD error = platform::GetLastError();
        if (error == ERROR_FILE_NOT_FOUND || error == ERROR_PATH_NOT_FOUND) {
            GetUi().MessageBox(this, ReinstallMessage, MB_OK);
            // Ends the dialog as Exit does; the remaining steps still run and the dialog closes
            // as soon as it would first be shown.
            OnOK();
        }
        // Any other failure (a sharing violation, say) means the file is there but busy: the
        // installation exists, so start-up goes on.
    } else {
        Files().CloseHandle(check);
    }

    deviceName = "";
    statusText = "Card Not Selected";
    promptVersion = "";
    cardType = "";
    ShowMembers();
    return TRUE;
}

LRESULT CardUtilityDialog::WindowProc(UINT message, WPARAM wParam, LPARAM lParam) {
    // AutoPlay suppression comes ahead of the normal routing. Registration is retried on later
    // messages for as long as it has not succeeded.
    if (queryCancelAutoPlay == 0) {
        queryCancelAutoPlay = platform::RegisterWindowMessage("QueryCancelAutoPlay");
    }
    if (queryCancelAutoPlay != 0 && message == queryCancelAutoPlay) {
        OnDeviceChange(0, 0);
        return 1;
    }

    switch (message) {
    case WM_COMMAND: {
        const UINT id = LOWORD(wParam);
        const UINT code = HIWORD(wParam);
        if (code == CBN_SELCHANGE && id == ControlId::DeviceCombo) {
            OnDeviceSelChange();
            return 0;
        }
        if (code != BN_CLICKED) {
            break;
        }
        switch (static_cast<int>(id)) {
        case ControlId::Select:
            OnSelectCard();
            return 0;
        case ControlId::Backup:
            OnBackup();
            return 0;
        case ControlId::Restore:
            OnRestore();
            return 0;
        case ControlId::Update:
            OnUpdate();
            return 0;
        case ControlId::Initialize:
            OnInitialize();
            return 0;
        case ControlId::Read:
            RefreshCardStatus();
            return 0;
        default:
            break; // IDOK and IDCANCEL: the base's standard processing
        }
        break;
    }
    case WM_DEVICECHANGE:
        return OnDeviceChange(static_cast<UINT>(wParam), static_cast<std::uintptr_t>(lParam));
    case WM_SYSCOMMAND:
        OnSysCommand(static_cast<UINT>(wParam), lParam);
        return 0;
    case WM_PAINT:
        OnPaint();
        return 0;
    case WM_QUERYDRAGICON:
        return appIcon;
    default:
        break;
    }
    return platform::Dialog::WindowProc(message, wParam, lParam);
}

void CardUtilityDialog::OnSysCommand(UINT id, LPARAM lParam) {
    if ((id & 0xFFF0) == IDM_ABOUTBOX) {
        AboutDialog about(GetUi());
        // OK or Cancel: either way the main dialog carries on unchanged.
        about.DoModal();
        return;
    }
    platform::Dialog::WindowProc(WM_SYSCOMMAND, id, lParam);
}

void CardUtilityDialog::OnPaint() {
    // The controls paint themselves; the view draws appIcon when the window is minimised.
    // Nothing of the dialog's own is drawn here.
}

std::int32_t CardUtilityDialog::SelectedDriveCode() const {
    if (deviceIndex < 0 || deviceIndex >= DriveSlotCount) {
        return DriveCodeNone;
    }
    return driveCodes[static_cast<std::size_t>(deviceIndex)];
}

bool CardUtilityDialog::SelectedSlotHasDrive() const {
    return SelectedDriveCode() != DriveCodeNone;
}

std::string CardUtilityDialog::CardRoot() const {
    if (deviceIndex < 0 || deviceIndex >= DriveSlotCount) {
        return {};
    }
    return driveRoots[static_cast<std::size_t>(deviceIndex)];
}

void CardUtilityDialog::SetStateText(const std::string& text) {
    if (SelectedSlotHasDrive() || text == "Insert Card") {
        statusBar.SetText(0, text);
    } else if (text == "Ready") {
        statusBar.SetText(0, "Insert Card");
    }
    // An operation's own text is not written while the selected slot has no drive: the bar keeps
    // saying what it said.
}
