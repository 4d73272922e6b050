#include "tests/support/Scenario.h"

#include "archive/Archive.h"
#include "card/DriveSlots.h"
#include "platform/api/LastError.h"
#include "tests/support/ScenarioPc.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <random>
#include <stdexcept>

namespace fktest {

namespace {

constexpr const char* PromptUpdateFile = "ZEL\\VoxHarbor\\Prompts\\PromptUpdateVer1_2.vhp";
constexpr const char* InitialArchiveFile = "ZEL\\VoxHarbor\\Data\\InitializedFileStruct.vhb";
constexpr const char* BackupFolder = "ZEL\\VoxHarbor\\Backup";

// A fresh folder of this scenario's own below the system's temporary folder.
std::string MakeTempFolder() {
    const auto base = std::filesystem::temp_directory_path();
    std::random_device random;
    std::error_code ec;
    for (int attempt = 0; attempt < 100; ++attempt) {
        const auto folder = base / ("fk-scenario-" + std::to_string(random()));
        if (std::filesystem::create_directory(folder, ec)) {
            return folder.string();
        }
    }
    ADD_FAILURE() << "cannot create a temporary folder for the simulated PC in " << base << ": "
                  << ec.message();
    return {};
}

platform::SimDriveConfig DriveConfig(char letter, platform::SimDriveType type, bool media,
                                     std::string label) {
    platform::SimDriveConfig c;
    c.letter = letter;
    c.type = type;
    c.folder = std::string(1, letter);
    c.media = media;
    c.label = std::move(label);
    return c;
}

// "VM\PROMPTS\FILE" below "E:\" -> "E:\VM\PROMPTS\FILE".
std::string OnDrive(char letter, const std::string& path) {
    std::string rel = path;
    while (!rel.empty() && rel.front() == '\\') {
        rel.erase(0, 1);
    }
    return std::string(1, letter) + ":\\" + rel;
}

} // namespace

// ---------------------------------------------------------------- DriveSetup

platform::SimDriveConfig& DriveSetup::config() {
    return scenario_.Config(letter_);
}

DriveSetup& DriveSetup::type(platform::SimDriveType type) {
    scenario_.EditRunning(letter_, [type](platform::SimDriveConfig& c) { c.type = type; });
    return *this;
}

DriveSetup& DriveSetup::label(std::string label) {
    scenario_.EditRunning(letter_, [&label](platform::SimDriveConfig& c) { c.label = label; });
    return *this;
}

DriveSetup& DriveSetup::media(bool present) {
    scenario_.EditRunning(letter_, [present](platform::SimDriveConfig& c) { c.media = present; });
    return *this;
}

DriveSetup& DriveSetup::capacityBytes(std::uint64_t bytes) {
    DWORD bytesPerSector = 512;
    if (bytes % 512 != 0) {
        bytesPerSector = 1;
    }
    const std::uint64_t sectors = bytes / bytesPerSector;
    DWORD sectorsPerCluster = 1;
    // The largest power-of-two cluster (up to 128 sectors) that divides the size and keeps the
    // cluster count in 32 bits.
    for (DWORD spc = 128; spc >= 1; spc /= 2) {
        if (sectors % spc == 0) {
            sectorsPerCluster = spc;
            break;
        }
    }
    const std::uint64_t clusters = sectors / sectorsPerCluster;
    if (clusters > 0xFFFFFFFFu) {
        ADD_FAILURE() << "no 32-bit geometry for " << bytes << " bytes";
    }
    return geometry(bytesPerSector, sectorsPerCluster, static_cast<DWORD>(clusters));
}

DriveSetup& DriveSetup::geometry(DWORD bytesPerSector, DWORD sectorsPerCluster, DWORD totalClusters) {
    scenario_.EditRunning(letter_, [=](platform::SimDriveConfig& c) {
        c.bytesPerSector = bytesPerSector;
        c.sectorsPerCluster = sectorsPerCluster;
        c.totalClusters = totalClusters;
    });
    return *this;
}

DriveSetup& DriveSetup::volumeAnswers(bool answers) {
    scenario_.EditRunning(letter_, [answers](platform::SimDriveConfig& c) { c.volume = answers; });
    return *this;
}

DriveSetup& DriveSetup::prompts(const std::string& versionFileContent) {
    for (int slot = 0; slot < 4; ++slot) {
        promptSlot(slot, versionFileContent);
    }
    return *this;
}

DriveSetup& DriveSetup::promptSlot(int slot, const std::string& versionFileContent) {
    return file("VM\\PROMPTS\\0\\" + std::to_string(slot) + "\\0\\VERSION.TXT", versionFileContent);
}

DriveSetup& DriveSetup::file(const std::string& path, const std::string& content) {
    config(); // the drive exists from now on
    if (scenario_.started()) {
        scenario_.writeFile(OnDrive(letter_, path), content);
    } else {
        scenario_.pendingFiles_.emplace_back(OnDrive(letter_, path), content);
    }
    return *this;
}

DriveSetup& DriveSetup::directory(const std::string& path) {
    config();
    if (scenario_.started()) {
        scenario_.makeDirectory(OnDrive(letter_, path));
    } else {
        scenario_.pendingFiles_.emplace_back(OnDrive(letter_, path), std::nullopt);
    }
    return *this;
}

// ---------------------------------------------------------------- Scenario

Scenario::Scenario(Bare) : folder_(MakeTempFolder()) {
    // Program-wide values start as a fresh process has them.
    driveCodes.fill(DriveCodeNone);
    volumeLabel.clear();
}

Scenario::Scenario() : Scenario(Bare{}) {
    description_.drives.push_back(DriveConfig('C', platform::SimDriveType::Fixed, true, "LOCAL"));
    description_.drives.push_back(DriveConfig('D', platform::SimDriveType::Cdrom, false, ""));
    description_.drives.push_back(DriveConfig('E', platform::SimDriveType::Removable, true, "VOXCARD"));
    description_.drives.push_back(DriveConfig('G', platform::SimDriveType::Removable, false, ""));
    Config('C').totalClusters = 0x00FFFFFF; // a roomy local disk
    pendingFiles_.emplace_back(OnDrive('C', BackupFolder), std::nullopt);
    // Archives of nothing: a version block alone.
    pendingFiles_.emplace_back(OnDrive('C', PromptUpdateFile), std::string(1024, '\0'));
    pendingFiles_.emplace_back(OnDrive('C', InitialArchiveFile), std::string(1024, '\0'));
}

Scenario::Scenario(std::unique_ptr<HostPc> host) : Scenario() {
    host_ = std::move(host);
}

Scenario::~Scenario() {
    dialog_.reset();
    faults_.reset();
    other_.reset();
    pc_.reset();
    host_.reset();
    if (!folder_.empty()) {
        std::error_code ignored; // a leftover temporary folder is harmless
        std::filesystem::remove_all(folder_, ignored);
    }
}

platform::SimDriveConfig& Scenario::Config(char letter) {
    if (platform::SimDriveConfig* c = description_.Find(letter)) {
        return *c;
    }
    description_.drives.push_back(DriveConfig(letter, platform::SimDriveType::Removable, true, ""));
    if (started()) {
        SaveDescription();
    }
    return description_.drives.back();
}

void Scenario::SaveDescription() {
    if (host_ != nullptr) {
        return; // the real PC's drives are its own
    }
    std::string error;
    if (!description_.Save(folder_, &error)) {
        ADD_FAILURE() << "cannot write the simulated PC's description: " << error;
    }
    if (pc_ != nullptr) {
        pc_->Refresh();
    }
}

void Scenario::EditRunning(char letter, const std::function<void(platform::SimDriveConfig&)>& edit) {
    edit(Config(letter));
    if (started()) {
        SaveDescription();
    }
}

DriveSetup Scenario::card(char letter) {
    Config(letter);
    return DriveSetup(*this, letter);
}

void Scenario::removeDrive(char letter) {
    std::erase_if(description_.drives,
                  [letter](const platform::SimDriveConfig& c) { return c.letter == letter; });
    std::erase_if(pendingFiles_, [letter](const auto& f) { return f.first[0] == letter; });
    if (started()) {
        SaveDescription();
    }
}

Scenario& Scenario::withoutInstallation() {
    std::erase_if(pendingFiles_, [](const auto& f) { return f.first == OnDrive('C', PromptUpdateFile); });
    return *this;
}

Scenario& Scenario::localFile(const std::string& path, const std::string& content) {
    DriveSetup(*this, 'C').file(path, content);
    return *this;
}

Scenario& Scenario::clientWidth(int width) {
    ui_.SetClientRect(platform::Rect{0, 0, width, 318});
    return *this;
}

void Scenario::start() {
    ASSERT_FALSE(started()) << "start() runs once";
    std::string error;
    if (host_ != nullptr) {
        if (!host_->KeepsCardAsFound()) {
            ASSERT_TRUE(host_->EmptyCard(&error)) << error;
        }
        // The real PC has only C: and the card E: to fill.
        std::erase_if(pendingFiles_, [](const auto& f) { return f.first[0] != 'C' && f.first[0] != 'E'; });
        WritePendingFiles();
        OpenDialog();
        return;
    }
    pc_ = OpenScenarioSimPc(folder_, description_, &error);
    ASSERT_NE(pc_, nullptr) << error;
    WritePendingFiles();
    pc_->Flush();
    OpenDialog();
}

void Scenario::start(const PlatformMaker& make) {
    ASSERT_FALSE(started()) << "start() runs once";
    std::string error;
    std::unique_ptr<platform::Platform> made = make(folder_, description_, &error);
    ASSERT_NE(made, nullptr) << error;
    other_ = std::move(made);
    WritePendingFiles();
    OpenDialog();
}

// Files go in through the platform's own file services; on the simulated PC a drive without
// media is made ready for the moment it takes.
void Scenario::WritePendingFiles() {
    for (const auto& [path, content] : pendingFiles_) {
        platform::SimDriveConfig& c = Config(path[0]);
        const bool media = c.media || pc_ == nullptr;
        if (!media) {
            c.media = true;
            SaveDescription();
        }
        if (content) {
            writeFile(path, *content);
        } else {
            makeDirectory(path);
        }
        if (!media) {
            c.media = false;
            SaveDescription();
        }
    }
    pendingFiles_.clear();
}

void Scenario::OpenDialog() {
    platform().Devices().Poll(); // whatever the set-up looked like is the state the program starts in
    dialog_ = std::make_unique<CardUtilityDialog>(ui_, platform());
    ui_.SetMainWindow(dialog_.get());
    dialog_->DoModal();
}

bool Scenario::ended() const {
    return dialog_ != nullptr && dialog_->IsEnded();
}
int Scenario::endResult() const {
    return dialog_ != nullptr ? dialog_->Result() : 0;
}

// Driving a scenario that did not start (or whose PC could not be opened) ends the test: the
// exception is reported by GoogleTest as a failure of that test.
CardUtilityDialog& Scenario::dialog() {
    if (dialog_ == nullptr) {
        throw std::logic_error("the scenario's dialog is not running: call start() first");
    }
    return *dialog_;
}

HostPc& Scenario::host() {
    if (host_ == nullptr) {
        throw std::logic_error("the scenario runs on the simulated PC, not on the host");
    }
    return *host_;
}

platform::SimulatedPc& Scenario::pc() {
    if (pc_ == nullptr) {
        throw std::logic_error("the scenario's simulated PC is not open: call start() first");
    }
    return *pc_;
}

platform::FaultInjectingPlatform& Scenario::platform() {
    if (faults_ == nullptr) {
        platform::Platform& inner = other_ != nullptr ? *other_ : host_ != nullptr ? host_->platform() : pc();
        faults_ = std::make_unique<platform::FaultInjectingPlatform>(inner);
        for (const auto& [letter, error] : labelFaults_) {
            faults_->SetVolumeFault(platform::VolumeCall::Label, letter, error);
        }
        for (const auto& [letter, error] : geometryFaults_) {
            faults_->SetVolumeFault(platform::VolumeCall::Geometry, letter, error);
        }
    }
    return *faults_;
}

void Scenario::setCallFault(platform::FileCallFault hook) {
    platform().SetCallFault(std::move(hook));
}

void Scenario::failVolumeLabel(char letter, DWORD error) {
    labelFaults_[letter] = error;
    if (faults_ != nullptr) {
        faults_->SetVolumeFault(platform::VolumeCall::Label, letter, error);
    }
}

void Scenario::failDiskGeometry(char letter, DWORD error) {
    geometryFaults_[letter] = error;
    if (faults_ != nullptr) {
        faults_->SetVolumeFault(platform::VolumeCall::Geometry, letter, error);
    }
}

void Scenario::click(int controlId) {
    dialog().ClickButton(controlId);
}

void Scenario::selectCard(int item) {
    answerModal(SelectItem(item));
    click(ControlId::Select);
}

LRESULT Scenario::send(UINT message, WPARAM wParam, LPARAM lParam) {
    return dialog().WindowProc(message, wParam, lParam);
}

LRESULT Scenario::queryCancelAutoPlay() {
    const UINT message = platform::RegisterWindowMessage("QueryCancelAutoPlay");
    return send(message);
}

void Scenario::pull(char letter) {
    if (host_ != nullptr) {
        // A USB reader cannot be made to lose its card: the reader leaves the bus with it.
        unplug(letter);
        return;
    }
    card(letter).media(false);
    deliverDeviceChanges();
}

void Scenario::DeliverHostChanges() {
    const std::vector<UINT> events = host_->WaitForDeviceChanges();
    EXPECT_FALSE(events.empty()) << "no device change reached the program";
    for (UINT event : events) {
        send(WM_DEVICECHANGE, event, 0);
    }
}

void Scenario::insert(char letter) {
    if (host_ != nullptr) {
        std::string why;
        ASSERT_TRUE(host_->Plug(&why)) << why;
        DeliverHostChanges();
        return;
    }
    card(letter).media(true);
    deliverDeviceChanges();
}

void Scenario::unplug(char letter) {
    if (host_ != nullptr) {
        // The reader leaves the USB bus; the dialog hears of it through udisks2's signals.
        std::string why;
        ASSERT_TRUE(host_->Unplug(&why)) << why;
        DeliverHostChanges();
        return;
    }
    const platform::SimDriveConfig* c = description_.Find(letter);
    ASSERT_NE(c, nullptr) << letter << ": is not on the PC";
    removeDrive(letter);
    deliverDeviceChanges();
}

int Scenario::deliverDeviceChanges() {
    std::vector<UINT> events;
    if (host_ != nullptr) {
        events = host_->PollDeviceChanges();
    } else {
        pc().Refresh();
        events = pc().Devices().Poll();
    }
    for (UINT event : events) {
        send(WM_DEVICECHANGE, event, 0);
    }
    return static_cast<int>(events.size());
}

void Scenario::swapCard(char letter) {
    if (host_ != nullptr) {
        // Taken out as a technician would, once what the test wrote has reached the card: the
        // kernel keeps folder times in memory until the card is synced, and a reader pulled before
        // that leaves the card older than the snapshot the test compares it with.
        ASSERT_TRUE(platform().Files().FlushVolume(std::string(1, letter) + ":\\"));
        unplug(letter);
        std::string why;
        ASSERT_TRUE(host_->PlugOtherCard(&why)) << why;
        DeliverHostChanges();
        return;
    }
    DWORD serial = 0;
    ASSERT_TRUE(
        platform().Inner().Drives().GetVolumeLabel(std::string(1, letter) + ":\\", nullptr, 0, &serial));
    EditRunning(letter, [serial](platform::SimDriveConfig& c) {
        c.media = true;
        c.serial = platform::NextVolumeSerial(serial);
    });
    deliverDeviceChanges();
}

Action Scenario::pulling(char letter) {
    return [this, letter] { pull(letter); };
}

Action Scenario::swapping(char letter) {
    return [this, letter] { swapCard(letter); };
}

std::string Scenario::field(int controlId) {
    return dialog().TextItem(controlId).GetWindowText();
}

std::string Scenario::statusBar(int part) {
    return dialog().statusBar.GetText(part);
}

Texts Scenario::deviceList() {
    return dialog().ComboItem(ControlId::DeviceCombo).Items();
}

bool Scenario::exists(const std::string& windowsPath) {
    return platform().Files().GetFileAttributes(windowsPath) != INVALID_FILE_ATTRIBUTES;
}

std::optional<std::string> Scenario::readFile(const std::string& windowsPath) {
    platform::FileSystem& fs = platform().Files();
    const platform::Handle h = fs.CreateFile(windowsPath, GENERIC_READ, FILE_SHARE_READ, OPEN_EXISTING, 0);
    if (h == platform::InvalidHandle) {
        return std::nullopt;
    }
    std::string content;
    char buffer[4096];
    DWORD read = 0;
    while (fs.ReadFile(h, buffer, sizeof buffer, &read) && read > 0) {
        content.append(buffer, read);
    }
    fs.CloseHandle(h);
    return content;
}

void Scenario::makeDirectory(const std::string& windowsPath) {
    platform::FileSystem& fs = platform().Files();
    // Every folder on the way, from the one below the root down.
    for (std::size_t pos = windowsPath.find('\\', 3);; pos = windowsPath.find('\\', pos + 1)) {
        const std::string prefix = windowsPath.substr(0, pos);
        if (!fs.CreateDirectory(prefix) && platform::GetLastError() != ERROR_ALREADY_EXISTS) {
            ADD_FAILURE() << "cannot create " << prefix << ": error " << platform::GetLastError();
            return;
        }
        if (pos == std::string::npos) {
            return;
        }
    }
}

void Scenario::writeFile(const std::string& windowsPath, const std::string& content) {
    platform::FileSystem& fs = platform().Files();
    const std::size_t lastSeparator = windowsPath.rfind('\\');
    if (lastSeparator != std::string::npos && lastSeparator > 2) {
        makeDirectory(windowsPath.substr(0, lastSeparator));
    }
    const platform::Handle h = fs.CreateFile(windowsPath, GENERIC_WRITE, FILE_SHARE_NONE, CREATE_ALWAYS, 0);
    if (h == platform::InvalidHandle) {
        ADD_FAILURE() << "cannot create " << windowsPath << ": error " << platform::GetLastError();
        return;
    }
    DWORD written = 0;
    if (!content.empty() && (!fs.WriteFile(h, content.data(), static_cast<DWORD>(content.size()), &written) ||
                             written != content.size())) {
        ADD_FAILURE() << "cannot write " << windowsPath << ": error " << platform::GetLastError();
    }
    fs.CloseHandle(h);
}

} // namespace fktest
