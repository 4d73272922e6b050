// Removal of the card's prompts before prompts of another version are written.
#include "app/flashkeeper3dlg.h"

void CardUtilityDialog::DeleteCardPrompts() {
    const std::string root = CardRoot();
    // Without a card root the target would be a relative path: nothing is deleted then.
    if (root.empty()) {
        return;
    }
    // Deletes every language slot at once, silently. The result is not reported: a missing
    // directory is the normal case for a card without prompts, and any other failure shows up in
    // the extraction that follows, which reports card-full and write errors itself.
    const DWORD error = Files().DeleteTree(root + "VM\\PROMPTS");
    static_cast<void>(error);
}
