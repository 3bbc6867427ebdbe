#include "tests/fakes/FakeUi.h"

#include <cctype>

namespace rl::fake {

namespace {
bool LessNoCase(const std::string& a, const std::string& b) {
    return std::lexicographical_compare(a.begin(), a.end(), b.begin(), b.end(), [](char x, char y) {
        return std::tolower(static_cast<unsigned char>(x)) < std::tolower(static_cast<unsigned char>(y));
    });
}
}  // namespace

int ComboBox::AddItem(const std::string& text, const std::string& data) {
    auto at = std::upper_bound(entries.begin(), entries.end(), text,
                               [](const std::string& t, const Entry& e) { return LessNoCase(t, e.text); });
    const int position = static_cast<int>(at - entries.begin());
    entries.insert(at, Entry{text, data});
    if (index >= position) ++index;
    return position;
}

void ComboBox::DeleteItem(int i) {
    entries.erase(entries.begin() + i);
    ++deletions;
    deletedIndices.push_back(i);
    if (index == i) index = -1;
    else if (index > i) --index;
}

}  // namespace rl::fake
