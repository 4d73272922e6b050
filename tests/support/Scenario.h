// Scenario: the real CardUtilityDialog on a simulated PC in a temporary folder, driven by a
// ScriptedUi, so that a test reads like what a technician does:
//
//     Scenario s;                                   // C: installed, D: cdrom, E: card, G: empty reader
//     s.card('E').label("CARD").capacityBytes(64'028'672).prompts("0110\r\n");
//     s.start();                                    // OnInitDialog; the dialog stays open
//     s.selectCard(0);                              // Select, choose item 0, OK
//     EXPECT_EQ(s.field(ControlId::Status), "Ready");
//     EXPECT_EQ(s.messages(), Texts{});
//
// Questions that an action asks are answered from queues filled beforehand (answerMessage,
// answerFile, answerModal, answerFormat); each answer may carry an action that runs first, e.g.
// s.pulling('E'), which pulls the card and delivers the device change to the dialog.
#pragma once

#include "app/flashkeeper3dlg.h"
#include "platform/common/FaultInjection.h"
#include "platform/sim/SimulatedPc.h"
#include "tests/support/HostPc.h"
#include "tests/support/ScriptedUi.h"

#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace fktest {

using Texts = std::vector<std::string>;

class Scenario;

// One drive of the simulated PC. Before start() it shapes the description; afterwards changes
// go to the running PC at once (without a device-change event; see pull/insert for those).
class DriveSetup {
public:
    DriveSetup(Scenario& scenario, char letter) : scenario_(scenario), letter_(letter) {}

    DriveSetup& type(platform::SimDriveType type);
    DriveSetup& label(std::string label);
    DriveSetup& media(bool present);
    // The geometry of a card of this many bytes (512-byte sectors where the size allows).
    DriveSetup& capacityBytes(std::uint64_t bytes);
    DriveSetup& geometry(DWORD bytesPerSector, DWORD sectorsPerCluster, DWORD totalClusters);
    // Whether the volume answers the disk-extents request of the volume scan.
    DriveSetup& volumeAnswers(bool answers);

    // "VM\PROMPTS\0\<slot>\0\VERSION.TXT" with this content, for all four slots / one slot.
    DriveSetup& prompts(const std::string& versionFileContent);
    DriveSetup& promptSlot(int slot, const std::string& versionFileContent);
    // A file (parent folders are created) or a folder, path below the drive root.
    DriveSetup& file(const std::string& path, const std::string& content);
    DriveSetup& directory(const std::string& path);

private:
    platform::SimDriveConfig& config();
    Scenario& scenario_;
    char letter_;
};

class Scenario {
public:
    // The demo-like PC: C: fixed with the installation tree (a prompt-update archive and an
    // initial archive that hold no entries), D: cdrom, E: removable card "VOXCARD" of 64,028,672 bytes
    // without files, G: removable card reader without a card.
    Scenario();
    // A PC with no drives at all.
    struct Bare {};
    explicit Scenario(Bare);
    // The real PC instead of the simulated one: its card E: is emptied at start(). The drive
    // set-up calls that shape the simulated PC (type, label, media, geometry) have no effect
    // there; files and folders on the drives do.
    explicit Scenario(std::unique_ptr<HostPc> host);
    ~Scenario();
    Scenario(const Scenario&) = delete;
    Scenario& operator=(const Scenario&) = delete;

    // --- the PC ---
    // A drive (created as a removable drive with media when not described yet).
    DriveSetup card(char letter);
    // Takes a drive off the description (before start) or off the PC (after: no event).
    void removeDrive(char letter);
    // C: without "C:\ZEL\VoxHarbor\Prompts\PromptUpdateVer1_2.vhp".
    Scenario& withoutInstallation();
    // A file on the local drive C: (path below C:\), e.g. a real prompt-update archive.
    Scenario& localFile(const std::string& path, const std::string& content);
    Scenario& clientWidth(int width);

    // --- running ---
    // Creates the dialog and runs its initialisation (through ScriptedUi::RunModal, which returns
    // with the dialog still open unless the initialisation ended it).
    void start();
    // The same on another platform that make builds for the described drives (e.g. the host's
    // file services on folders) instead of the simulated PC; after start, drive edits, pull and
    // insert do not reach it.
    using PlatformMaker = std::function<std::unique_ptr<platform::Platform>(
        const std::string& folder, const platform::SimPcDescription& description, std::string* error)>;
    void start(const PlatformMaker& make);
    bool started() const { return dialog_ != nullptr; }
    // The dialog was ended (Exit, Cancel, or the installation check), and with what result.
    bool ended() const;
    int endResult() const;

    void click(int controlId);
    // Select, answered with item i (and OK).
    void selectCard(int item = 0);
    LRESULT send(UINT message, WPARAM wParam = 0, LPARAM lParam = 0);
    // The registered "QueryCancelAutoPlay" message; returns the dialog's reply.
    LRESULT queryCancelAutoPlay();

    void answerMessage(int answer, Action before = {}) { ui_.AnswerMessage(answer, std::move(before)); }
    void answerFile(FileAnswer answer) { ui_.AnswerFile(std::move(answer)); }
    void answerModal(ModalAnswer answer) { ui_.AnswerModal(std::move(answer)); }
    void answerFormat(FormatAnswer answer) { ui_.AnswerFormat(std::move(answer)); }

    // --- device changes: edit the PC, then deliver the device-change events it reports ---
    void pull(char letter);
    void insert(char letter);
    // The drive letter disappears (a reader unplugged).
    void unplug(char letter);
    // Another card goes into the reader: on the simulated PC the same files under a new volume
    // serial, on the real PC the reader leaves the bus and comes back with its other card image
    // (the two take turns).
    void swapCard(char letter);
    // Re-reads the PC and sends each pending device-change event to the dialog; returns how many.
    int deliverDeviceChanges();
    // The same as actions, for "before answering" hooks.
    Action pulling(char letter);
    Action swapping(char letter);

    // Volume queries of a drive that fail with an error (e.g. a card without a file system has
    // no label); 0 lets them work again. Takes effect at once, started or not.
    void failVolumeLabel(char letter, DWORD error);
    void failDiskGeometry(char letter, DWORD error);

    // --- what the technician sees ---
    std::string field(int controlId);
    Texts messages() const { return ui_.MessageTexts(); }
    std::string statusBar(int part);
    const Texts& statusHistory(int part) const { return ui_.StatusHistory(part); }
    Texts deviceList();

    // --- the drives' contents ---
    bool exists(const std::string& windowsPath);
    // Whole content of a file; nullopt when it cannot be opened.
    std::optional<std::string> readFile(const std::string& windowsPath);
    void writeFile(const std::string& windowsPath, const std::string& content);
    void makeDirectory(const std::string& windowsPath);

    CardUtilityDialog& dialog();
    ScriptedUi& ui() { return ui_; }
    // The simulated PC (a test that needs it runs on the simulated PC only).
    platform::SimulatedPc& pc();
    // The platform the dialog runs on: the simulated PC, the one start(make) built, or the real
    // PC, behind the fault decorator that the call hook and the volume faults are set on.
    platform::FaultInjectingPlatform& platform();
    // The per-call fault hook of the file services (an empty function removes it).
    void setCallFault(platform::FileCallFault hook);
    bool onHost() const { return host_ != nullptr; }
    // The real PC (a test that needs it runs on the host only).
    HostPc& host();
    const std::string& folder() const { return folder_; }

private:
    friend class DriveSetup;
    platform::SimDriveConfig& Config(char letter);
    void SaveDescription();
    void EditRunning(char letter, const std::function<void(platform::SimDriveConfig&)>& edit);
    void WritePendingFiles();
    void OpenDialog();
    // Waits for the host's device changes and sends them to the dialog.
    void DeliverHostChanges();

    std::string folder_;
    platform::SimPcDescription description_;
    // Files to create at start, in order: Windows path and content (nullopt for a folder).
    std::vector<std::pair<std::string, std::optional<std::string>>> pendingFiles_;
    ScriptedUi ui_;
    std::unique_ptr<platform::SimulatedPc> pc_;
    std::unique_ptr<platform::Platform> other_; // what start(make) built
    std::unique_ptr<HostPc> host_;
    std::unique_ptr<CardUtilityDialog> dialog_;
    // The volume faults set so far, applied to faults_ when it is made.
    std::map<char, DWORD> labelFaults_;
    std::map<char, DWORD> geometryFaults_;
    // What the dialog and the test's own calls see: the PC behind the fault decorator.
    std::unique_ptr<platform::FaultInjectingPlatform> faults_;
};

} // namespace fktest
