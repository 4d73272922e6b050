#include "platform/api/Controls.h"

#include <algorithm>
#include <cctype>

namespace platform {

namespace {
bool EqualNoCase(std::string_view a, std::string_view b) {
    return a.size() == b.size() && std::equal(a.begin(), a.end(), b.begin(), [](char x, char y) {
               return std::tolower(static_cast<unsigned char>(x)) ==
                      std::tolower(static_cast<unsigned char>(y));
           });
}
} // namespace

int ComboBoxControl::SetCurSel(int index) {
    if (index < 0 || index >= GetCount()) {
        curSel_ = CB_ERR;
        return CB_ERR;
    }
    curSel_ = index;
    return index;
}

int ComboBoxControl::InsertString(int index, std::string_view text) {
    if (index == -1) {
        index = GetCount();
    }
    if (index < 0 || index > GetCount()) {
        return CB_ERR;
    }
    items_.insert(items_.begin() + index, std::string(text));
    if (curSel_ >= index) {
        ++curSel_;
    }
    return index;
}

int ComboBoxControl::DeleteString(int index) {
    if (index < 0 || index >= GetCount()) {
        return CB_ERR;
    }
    items_.erase(items_.begin() + index);
    if (curSel_ == index) {
        curSel_ = CB_ERR;
    } else if (curSel_ > index) {
        --curSel_;
    }
    return GetCount();
}

int ComboBoxControl::GetLBText(int index, std::string* text) const {
    if (index < 0 || index >= GetCount()) {
        return CB_ERR;
    }
    *text = items_[static_cast<size_t>(index)];
    return static_cast<int>(text->size());
}

int ComboBoxControl::FindStringExact(int startAfter, std::string_view text) const {
    const int count = GetCount();
    if (count == 0) {
        return CB_ERR;
    }
    const int first = (startAfter < 0 || startAfter >= count) ? 0 : startAfter + 1;
    for (int n = 0; n < count; ++n) {
        const int i = (first + n) % count;
        if (EqualNoCase(items_[static_cast<size_t>(i)], text)) {
            return i;
        }
    }
    return CB_ERR;
}

void StatusBarControl::SetParts(const std::vector<int>& rightEdges) {
    edges_ = rightEdges;
    texts_.resize(rightEdges.size());
}

void StatusBarControl::SetText(int part, std::string_view text) {
    if (part < 0) {
        return;
    }
    if (static_cast<size_t>(part) >= texts_.size()) {
        texts_.resize(static_cast<size_t>(part) + 1);
    }
    texts_[static_cast<size_t>(part)] = std::string(text);
}

std::string StatusBarControl::GetText(int part) const {
    if (part < 0 || static_cast<size_t>(part) >= texts_.size()) {
        return {};
    }
    return texts_[static_cast<size_t>(part)];
}

void ProgressBarControl::StepIt() {
    pos_ += step_;
    if (pos_ > upper_) {
        pos_ = lower_ + (pos_ - upper_);
    }
}

} // namespace platform
