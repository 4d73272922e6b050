// The dialog's archive operations: the archive library does the work, these bind its callbacks to
// the status bar (path being written), the progress bar and the message boxes.
#include "app/flashkeeper3dlg.h"
#include "operations/OperationTexts.h"
#include "operations/OperationUi.h"

namespace {

// Progress bar placement: a fraction of the client area, each edge cut toward zero.
platform::Rect ProgressBarRect(const platform::Rect& client) {
    const double w = client.Width();
    const double h = client.Height();
    platform::Rect r;
    r.left = static_cast<int>(w * 0.26);
    r.top = static_cast<int>(h * 0.95);
    r.right = static_cast<int>(w * 0.999);
    r.bottom = static_cast<int>(h * 0.999);
    return r;
}

} // namespace

bool CardUtilityDialog::WriteArchiveEntry(const std::string& storedPath, platform::Handle archive) {
    writeProblem_ = {};
    return archive::WriteArchiveEntry(Files(), storedPath, archive, &writeProblem_);
}

void CardUtilityDialog::SetArchiveVersion(const std::string& version) {
    extractionFailed = false;
    archivePromptVersion = version;
}

namespace {

// The main dialog's progress bar while an archive is written or extracted, in steps of one
// hundredth. The guard removes it also when the archive code returned without doing so.
class ProgressBinding {
public:
    ProgressBinding(CardUtilityDialog& dlg, std::unique_ptr<platform::ProgressBarControl>& bar)
        : dlg_(dlg), bar_(bar) {}
    ~ProgressBinding() { Destroy(); }
    ProgressBinding(const ProgressBinding&) = delete;
    ProgressBinding& operator=(const ProgressBinding&) = delete;

    void Create() {
        Destroy();
        auto bar = std::make_unique<platform::ProgressBarControl>(ControlId::ProgressBar,
                                                                  ProgressBarRect(dlg_.GetClientRect()));
        bar->SetRange(0, 100);
        bar->SetStep(1);
        bar->SetPos(0);
        // The bar only shows progress: the work goes on without it when the window cannot make it.
        if (dlg_.GetUi().ChildCreated(dlg_, *bar)) {
            bar_ = std::move(bar);
            dlg_.UpdateWindow();
        }
    }
    void Step() {
        if (bar_) {
            bar_->StepIt();
            // No events are processed meanwhile: repaint directly.
            dlg_.UpdateWindow();
        }
    }
    void Destroy() {
        if (bar_) {
            dlg_.GetUi().ChildDestroyed(dlg_, *bar_);
            bar_.reset();
        }
    }

protected:
    CardUtilityDialog& dlg_;

private:
    std::unique_ptr<platform::ProgressBarControl>& bar_;
};

// The callbacks of one extraction, bound to the dialog.
class ExtractionBinding : public ProgressBinding {
public:
    using ProgressBinding::ProgressBinding;

    archive::ExtractCallbacks Callbacks(const archive::ArchiveSums* checked) {
        archive::ExtractCallbacks callbacks;
        callbacks.checked = checked;
        callbacks.deleteCardPrompts = [this] { dlg_.DeleteCardPrompts(); };
        callbacks.progressCreate = [this] { Create(); };
        callbacks.progressStep = [this] { Step(); };
        callbacks.progressDestroy = [this] { Destroy(); };
        callbacks.showMessage = [this](const std::string& text) {
            messageShown_ = true;
            operations::ShowMessage(dlg_, text);
        };
        return callbacks;
    }

    // Every stop is reported: the extractor tells of a full card and of write errors itself, not
    // of an archive it could not read or of a card root that is no drive. Entries it passed over
    // (files the card did not take, damaged or unsafe entries) are reported too, and count as a
    // failed extraction, so that no completion message claims a card that lacks them.
    // Keeps the dialog's program-wide flags, then reports.
    bool Finish(const archive::ExtractResult& stats) {
        Destroy();
        dlg_.versionBlockSeen = stats.versionBlockSeen;
        dlg_.extractionFailed = stats.failed || !stats.completed;
        if (!stats.completed) {
            if (!messageShown_) {
                operations::ShowMessage(dlg_, stats.changedSinceCheck ? operations::ArchiveChangedMessage
                                              : stats.archiveReadError != ERROR_SUCCESS
                                                  ? operations::ArchiveReadFailedMessage
                                                  : operations::InsertValidCardMessage);
            }
            return false;
        }
        if (stats.filesIncomplete > 0) {
            dlg_.extractionFailed = true;
            operations::ShowMessage(dlg_, operations::FilesNotWrittenMessage(stats.filesIncomplete));
            return false;
        }
        if (stats.entriesRefused + stats.entriesDamaged > 0) {
            dlg_.extractionFailed = true;
            operations::ShowMessage(
                dlg_, operations::DamagedArchiveMessage(stats.entriesRefused + stats.entriesDamaged));
            return false;
        }
        // Everything restored is on the card before the program calls the work done; a card that
        // does not take it has none of the files for sure.
        if (!dlg_.Files().FlushVolume(dlg_.CardRoot())) {
            dlg_.extractionFailed = true;
            operations::ShowMessage(dlg_, operations::FilesNotWrittenMessage(stats.filesRestored));
            return false;
        }
        return true;
    }

private:
    bool messageShown_ = false;
};

} // namespace

bool CardUtilityDialog::WriteArchiveTree(const std::string& directoryPath, platform::Handle archive,
                                         archive::ArchiveTally* tally, std::uint64_t usedBytes,
                                         std::function<bool(archive::WriteProblem*)> entryWritten) {
    writeProblem_ = {};
    ProgressBinding bar(*this, progressBar_);
    archive::WriterCallbacks callbacks;
    callbacks.tally = tally;
    callbacks.entryWritten = std::move(entryWritten);
    callbacks.showPath = [this](const std::string& path) {
        statusBar.SetText(1, path);
        UpdateWindow();
    };
    if (usedBytes > 0) {
        // The card's files against its used space: no pass over the card just to measure it.
        bar.Create();
        callbacks.dataRead = [&bar, usedBytes, read = std::uint64_t{0},
                              steps = 0](std::uint64_t bytes) mutable {
            read += bytes;
            for (; steps < 100 && read > usedBytes / 100 * static_cast<std::uint64_t>(steps + 1); ++steps) {
                bar.Step();
            }
        };
    }
    return archive::WriteArchiveTree(Files(), directoryPath, archive, callbacks, &writeProblem_);
}

bool CardUtilityDialog::ExtractArchive(platform::Handle archive, std::uint64_t archiveSize,
                                       const archive::ArchiveSums* checked) {
    ExtractionBinding binding(*this, progressBar_);
    return binding.Finish(archive::ExtractArchive(Files(), archive, archiveSize, CardRoot(), promptVersion,
                                                  versionBlockSeen, binding.Callbacks(checked)));
}

bool CardUtilityDialog::ExtractArchiveKeepPrompts(platform::Handle archive, std::uint64_t archiveSize,
                                                  const archive::ArchiveSums* checked) {
    ExtractionBinding binding(*this, progressBar_);
    return binding.Finish(archive::ExtractArchiveKeepPrompts(Files(), archive, archiveSize, CardRoot(),
                                                             promptVersion, versionBlockSeen,
                                                             binding.Callbacks(checked)));
}
