// The dialog's archive operations: the archive library does the work, these bind its callbacks to
// the status bar (path being written), the progress bar and the message boxes.
#include "app/flashkeeper3dlg.h"
#include "operations/OperationTexts.h"

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

bool CardUtilityDialog::WriteArchiveTree(const std::string& directoryPath, platform::Handle archive,
                                         archive::ArchiveTally* tally) {
    writeProblem_ = {};
    archive::WriterCallbacks callbacks;
    callbacks.tally = tally;
    callbacks.showPath = [this](const std::string& path) {
        statusBar.SetText(1, path);
        UpdateWindow();
    };
    return archive::WriteArchiveTree(Files(), directoryPath, archive, callbacks, &writeProblem_);
}

void CardUtilityDialog::SetArchiveVersion(const std::string& version) {
    extractionFailed = false;
    archivePromptVersion = version;
}

namespace {

// The callbacks of one extraction, bound to the dialog. The progress bar lives only while the
// extraction runs; the guard removes it also if the extractor returned without doing so.
class ExtractionBinding {
public:
    ExtractionBinding(CardUtilityDialog& dlg, std::unique_ptr<platform::ProgressBarControl>& bar)
        : dlg_(dlg), bar_(bar) {}
    ~ExtractionBinding() { Destroy(); }
    ExtractionBinding(const ExtractionBinding&) = delete;
    ExtractionBinding& operator=(const ExtractionBinding&) = delete;

    archive::ExtractCallbacks Callbacks() {
        archive::ExtractCallbacks callbacks;
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
                operations::ShowMessage(dlg_, stats.archiveReadError != ERROR_SUCCESS
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
    void Create() {
        Destroy();
        auto bar = std::make_unique<platform::ProgressBarControl>(ControlId::ProgressBar,
                                                                  ProgressBarRect(dlg_.GetClientRect()));
        bar->SetRange(0, 100);
        bar->SetStep(1);
        bar->SetPos(0);
        // The bar only shows progress: an extraction goes on without it when the window cannot
        // make it.
        if (dlg_.GetUi().ChildCreated(dlg_, *bar)) {
            bar_ = std::move(bar);
            dlg_.UpdateWindow();
        }
    }
    void Step() {
        if (bar_) {
            bar_->StepIt();
            // No events are processed during an extraction: repaint directly.
            dlg_.UpdateWindow();
        }
    }
    void Destroy() {
        if (bar_) {
            dlg_.GetUi().ChildDestroyed(dlg_, *bar_);
            bar_.reset();
        }
    }

    CardUtilityDialog& dlg_;
    std::unique_ptr<platform::ProgressBarControl>& bar_;
    bool messageShown_ = false;
};

} // namespace

bool CardUtilityDialog::ExtractArchive(platform::Handle archive, std::uint64_t archiveSize) {
    ExtractionBinding binding(*this, progressBar_);
    return binding.Finish(archive::ExtractArchive(Files(), archive, archiveSize, CardRoot(), promptVersion,
                                                  versionBlockSeen, binding.Callbacks()));
}

bool CardUtilityDialog::ExtractArchiveKeepPrompts(platform::Handle archive, std::uint64_t archiveSize) {
    ExtractionBinding binding(*this, progressBar_);
    return binding.Finish(archive::ExtractArchiveKeepPrompts(
        Files(), archive, archiveSize, CardRoot(), promptVersion, versionBlockSeen, binding.Callbacks()));
}
