#include "app/AppIdMatch.h"

#include <string>
#include <vector>

#include <gtest/gtest.h>

namespace rl {
namespace {

TEST(AppIdMatch, ProgramNamesOfAnAppId) {
    struct Case {
        const char* appId;
        std::vector<std::string> names;
    };
    const Case cases[] = {
        {"firefox", {"firefox"}},
        {"org.mozilla.firefox", {"org.mozilla.firefox", "firefox"}},
        {"org.gnome.Nautilus", {"org.gnome.nautilus", "nautilus"}},
        {"Alacritty", {"alacritty"}},
        // Only the last part: "mozilla" is the vendor, not a program.
        {"a.b.c", {"a.b.c", "c"}},
        // A trailing dot leaves no last part.
        {"org.example.", {"org.example."}},
        {"", {}},
    };
    for (const Case& c : cases) EXPECT_EQ(AppIdProgramNames(c.appId), c.names) << "app id '" << c.appId << "'";
}

TEST(AppIdMatch, EntriesMatchByFileNameWithoutCase) {
    struct Case {
        const char* appId;
        const char* entry;
        bool matches;
    };
    const Case cases[] = {
        {"firefox", "/usr/bin/firefox", true},
        {"org.mozilla.firefox", "/usr/lib/firefox/firefox", true},
        {"org.mozilla.firefox", "/opt/Firefox/FIREFOX", true},
        {"Firefox", "/usr/bin/firefox", true},
        {"org.mozilla.firefox", "/usr/bin/org.mozilla.firefox", true},
        // A Windows-style entry names its file after the backslash.
        {"org.videolan.VLC", "C:\\Program Files\\VideoLAN\\vlc", true},
        {"firefox", "firefox", true},
        // The directory is not the file: no match on a folder of that name.
        {"org.mozilla.firefox", "/usr/lib/firefox/firefox-bin", false},
        {"firefox", "/opt/firefox/", false},
        // Neither the vendor part nor a prefix stands for a program.
        {"org.mozilla.firefox", "/usr/bin/mozilla", false},
        {"org.mozilla.firefox", "/usr/bin/org", false},
        {"firefox-esr", "/usr/bin/firefox", false},
        {"firefox", "/usr/lib/firefox-esr/firefox-esr", false},
        // The file name must equal a name, not just end with it.
        {"org.mozilla.firefox", "/usr/bin/myfirefox", false},
        // A window without an app id matches nothing, not even an odd entry.
        {"", "/usr/bin/", false},
        {"", "", false},
        {"", "/usr/bin/firefox", false},
    };
    for (const Case& c : cases)
        EXPECT_EQ(AppIdMatchesEntry(c.appId, c.entry), c.matches) << "app id '" << c.appId << "', entry '" << c.entry
                                                                   << "'";
}

}  // namespace
}  // namespace rl
