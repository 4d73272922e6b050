// The card's VERSION.TXT files as the main dialog reads and shows them: the input is the content
// of all four language slots' version files, then RefreshCardStatus reads them through the
// in-memory PC and formats them. Checked: the displayed prompt version is slot 0's, at most 49
// characters long, holds no line feed or NUL (the reading stops at both), and is what the
// Prompt Version field shows.
#include "app/flashkeeper3dlg.h"
#include "fuzz/FuzzSupport.h"
#include "tests/support/ScriptedUi.h"

#include <cstdint>
#include <memory>
#include <string>

namespace {

struct Card {
    std::unique_ptr<platform::MemoryPc> pc;
    fktest::ScriptedUi ui;
    std::unique_ptr<CardUtilityDialog> dialog;
};

Card* card = nullptr;

} // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    card = new Card; // lives as long as the process, as the dialog of the program does
    card->pc = fuzz::MakePc(64'028'672);
    for (int slot = 0; slot < 4; ++slot) {
        fuzz::PutFile(card->pc->Files(), "E:\\VM\\PROMPTS\\0\\" + std::to_string(slot) + "\\0\\VERSION.TXT",
                      "0110\r\n");
    }
    card->dialog = std::make_unique<CardUtilityDialog>(card->ui, *card->pc);
    card->ui.SetMainWindow(card->dialog.get());
    card->dialog->DoModal();
    card->ui.AnswerModal(fktest::SelectItem(0));
    card->dialog->ClickButton(ControlId::Select);
    if (card->dialog->promptVersion != "1.10\r") {
        fuzz::Die("the card was not selected: prompt version \"" + card->dialog->promptVersion + "\"");
    }
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string_view text(reinterpret_cast<const char*>(data), size);
    for (int slot = 0; slot < 4; ++slot) {
        fuzz::PutFile(card->pc->Files(), "E:\\VM\\PROMPTS\\0\\" + std::to_string(slot) + "\\0\\VERSION.TXT",
                      text);
    }
    CardUtilityDialog& dialog = *card->dialog;
    dialog.RefreshCardStatus();
    const std::string& shown = dialog.promptVersion;
    if (shown != dialog.cardLanguageVersions[0]) {
        fuzz::Die("the prompt version is not slot 0's");
    }
    if (shown.size() > 49) {
        fuzz::Die("a prompt version of " + std::to_string(shown.size()) + " characters");
    }
    if (shown.find('\n') != std::string::npos || shown.find('\0') != std::string::npos) {
        fuzz::Die("the prompt version holds a line feed or NUL");
    }
    if (dialog.TextItem(ControlId::PromptVersion).GetWindowText() != shown) {
        fuzz::Die("the Prompt Version field does not show the prompt version");
    }
    return 0;
}
