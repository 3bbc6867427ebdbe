#include "app/RestLevel01.h"

#include <algorithm>
#include <cctype>
#include <vector>

#include "procenum/KzEnumProcesses.h"
#include "support/KzFileLib.h"
#include "support/VorlLib.h"

namespace rl {

namespace {

// The notice line and the site address, scrambled with the window's
// scrambler settings below; only these forms are kept in the program.
constexpr char kNoticeScrambled[] = "(;d^P-gyKam$9lZ(mLMvg;F1%s";
constexpr char kSiteScrambled[] = "UHYZCVKOl~#?3Dy^)3(8R;VmssRfpk2tEd";

constexpr int kSliderMax = 1000;
constexpr std::int64_t kMsPerTenthMinute = 6000;

bool SameTextNoCase(const std::string& a, const std::string& b) {
    return a.size() == b.size() && std::equal(a.begin(), a.end(), b.begin(), [](char x, char y) {
               return std::tolower(static_cast<unsigned char>(x)) == std::tolower(static_cast<unsigned char>(y));
           });
}

std::int32_t ReadSetting(const char* name, std::int32_t defaultValue) {
    return RegReadInteger(kHKeyCurrentUser, kSettingsKey, name, kKeyRead, defaultValue);
}

void WriteSetting(const char* name, std::int32_t value) {
    RegWriteInteger(kHKeyCurrentUser, kSettingsKey, name, value);
}

std::vector<std::string> Items(const IListBox& list) {
    std::vector<std::string> items;
    for (int i = 0; i < list.Count(); ++i) items.push_back(list.Item(i));
    return items;
}

std::string FileNameOf(const std::string& path) {
    const std::size_t cut = path.find_last_of("\\/");
    return cut == std::string::npos ? path : path.substr(cut + 1);
}

std::optional<TWindowsVersion> gWindowsVersion;

}  // namespace

// Numbers --------------------------------------------------------------

std::string FormatTenths(int tenths, char separator) {
    const bool negative = tenths < 0;
    const unsigned magnitude = negative ? 0u - static_cast<unsigned>(tenths) : static_cast<unsigned>(tenths);
    std::string text = negative ? "-" : "";
    text += std::to_string(magnitude / 10);
    text += separator;
    text += static_cast<char>('0' + magnitude % 10);
    return text;
}

std::optional<TypedNumber> ParseTypedNumber(const std::string& text, char separator) {
    constexpr int kMaxScale = 12;  // finer digits change nothing we compute
    constexpr std::uint64_t kMaxDigits = 99999999999999999ull;
    std::size_t i = 0;
    std::size_t end = text.size();
    while (i < end && static_cast<unsigned char>(text[i]) <= ' ') ++i;
    while (end > i && static_cast<unsigned char>(text[end - 1]) <= ' ') --end;
    TypedNumber number;
    if (i < end && (text[i] == '+' || text[i] == '-')) number.Negative = text[i++] == '-';
    bool anyDigit = false;
    bool afterSeparator = false;
    for (; i < end; ++i) {
        const char c = text[i];
        if (c == separator && !afterSeparator) {
            afterSeparator = true;
        } else if (c >= '0' && c <= '9') {
            anyDigit = true;
            if (afterSeparator && number.Scale >= kMaxScale) continue;
            if (number.Digits > (kMaxDigits - 9) / 10) return std::nullopt;
            number.Digits = number.Digits * 10 + static_cast<std::uint64_t>(c - '0');
            if (afterSeparator) ++number.Scale;
        } else {
            return std::nullopt;
        }
    }
    if (!anyDigit) return std::nullopt;
    return number;
}

std::int64_t TypedNumber::Times(std::int64_t factor, std::int64_t divisor) const {
    // Split so that nothing overflows: the remainder is below 10^12 × divisor.
    std::uint64_t denominator = static_cast<std::uint64_t>(divisor);
    for (int i = 0; i < Scale; ++i) denominator *= 10;
    const auto f = static_cast<std::uint64_t>(factor);
    const std::uint64_t magnitude = Digits / denominator * f + Digits % denominator * f / denominator;
    return Negative ? -static_cast<std::int64_t>(magnitude) : static_cast<std::int64_t>(magnitude);
}

int TypedNumber::Compare(std::int64_t whole) const {
    std::int64_t scaled = whole;
    for (int i = 0; i < Scale; ++i) scaled *= 10;
    const std::int64_t value = Negative ? -static_cast<std::int64_t>(Digits) : static_cast<std::int64_t>(Digits);
    return value < scaled ? -1 : (value > scaled ? 1 : 0);
}

// Helpers of the window ------------------------------------------------

TWindowsVersion GetWindowsVersion() {
    if (!gWindowsVersion) {
        TWindowsVersion version;
        if (ISnapshotPort* port = SnapshotPort()) {
            const PlatformVersion v = port->GetVersion();
            version.NtFamily = v.PlatformId == 2;
            version.Major = v.Major;
            version.Minor = v.Minor;
        }
        gWindowsVersion = version;
    }
    return *gWindowsVersion;
}

void ResetWindowsVersion() { gWindowsVersion.reset(); }

void SetTaskbarButton(IFormHost& window, bool show) { window.AddExStyle(show ? kWsExAppWindow : kWsExToolWindow); }

void SelectListItem(IListBox& list, int index, bool select) {
    if (index >= 0 && index < list.Count()) {
        const int itemHeight = std::max(1, list.ItemHeight());
        const int rows = std::max(1, list.ClientHeight() / itemHeight);
        list.SetTopIndex(std::max(0, index - rows + 1));
        if (select) list.SetItemIndex(index);
    } else if (index == -1 && select) {
        list.SetItemIndex(-1);
    }
}

// The window --------------------------------------------------------------

TfrmRestLevel::TfrmRestLevel(TRestLevelControls controls, TRestLevelServices services)
    : Volume(services.devices, services.clock, services.tmrCheck, services.pump),
      Monitor(services.clock, Volume,
              TIdleControls{controls.tiMain, controls.DisableRestLevel1, controls.ckbRelative, controls.lbPrograms,
                            &controls.ckbAutoExceptions},
              services.autoExceptions),
      c_(controls),
      s_(services) {
    // The scrambler's stored settings.
    TKzEncryptString::StoredProperties stored;
    stored.EncryptionKey = 5318027;
    stored.LoChar = 32;
    stored.HiChar = 126;
    stored.Shift = 6093;
    stored.Locked = false;
    KzEncryptString1.BeginLoading();
    KzEncryptString1.Load(stored);
    KzEncryptString1.EndLoading();

    c_.pcMain.SetOnChange([this] { pcMainChange(); });
    c_.tbIdleTime.SetOnChange([this] { tbIdleTimeChange(); });
    c_.ebIdleTime.SetOnExit([this] { ebIdleTimeChange(); });
    c_.tbRestLevel.SetOnChange([this] { tbRestLevelChange(); });
    c_.ebRestLvl.SetOnExit([this] { ebRestLvlChange(); });
    c_.ckbRelative.SetOnClick([this] { ckbRelativeClick(); });
    c_.cbPrograms.SetOnClick([this] { cbProgramsClick(); });
    c_.lbPrograms.SetOnClick([this] { lbProgramsClick(); });
    c_.btnAdd.SetOnClick([this] { btnAddClick(); });
    c_.btnRemove.SetOnClick([this] { btnRemoveClick(); });
    c_.ckbAutoExceptions.SetOnClick([this] { ckbAutoExceptionsClick(); });
    c_.Label6.SetOnClick([this] { Label6Click(); });
    c_.tiMain.SetOnClick([this] { tiMainClick(); });
    c_.OpenRestLevel1.SetOnClick([this] { tiMainClick(); });
    c_.DisableRestLevel1.SetOnClick([this] { DisableRestLevel1Click(); });
    c_.Exit1.SetOnClick([this] { Exit1Click(); });

    s_.tmrCheck.SetInterval(100);
    s_.tmrCheck.SetOnTimer([this] { Monitor.tmrCheckTimer(); });
    s_.tmrCheck.SetEnabled(true);
}

std::string TfrmRestLevel::NoticeText() { return KzEncryptString1.DecryptString(kNoticeScrambled); }
std::string TfrmRestLevel::SiteAddress() { return KzEncryptString1.DecryptString(kSiteScrambled); }

bool TfrmRestLevel::FormCreate() {
    c_.pcMain.SetActivePage(kPageBasic);

    if (s_.checkWindowsVersion) {
        const TWindowsVersion version = GetWindowsVersion();
        if (!version.NtFamily || version.Major < 6) {
            s_.host.ShowError(kOldSystemText);
            s_.host.Halt(0);
            return false;
        }
    }

    bool read = false;
    if (Volume.ConnectEndpoint()) Monitor.SavedLevel = Volume.GetVolumeLevel(&read);
    if (!read) {
        s_.host.ShowError(kNoSoundDeviceText);
        s_.host.Halt(0);
        return false;
    }
    // Users switch outputs while it runs; the idle monitor follows.
    s_.devices.SetOnDevicesChanged([this] { Monitor.DefaultDeviceChanged(); });

    const std::int32_t restLevel = ReadSetting(kValueRestLevel, kDefaultRestLevel);
    c_.tbRestLevel.SetPosition(static_cast<int>(static_cast<double>(restLevel) * kSliderMax / kMaxLevel + 0.5));
    tbRestLevelChange();

    const std::int32_t idleTime = ReadSetting(kValueIdleTime, kDefaultIdleTime);
    c_.tbIdleTime.SetPosition(std::clamp(idleTime, 0, kSliderMax));
    tbIdleTimeChange();

    c_.ckbRelative.SetChecked(ReadSetting(kValueRelative, 0) == 1);

    std::vector<std::string> exceptions;
    RegReadStringList(kHKeyCurrentUser, kSettingsKey, kValueExceptions, kKeyRead, nullptr, exceptions);
    c_.lbPrograms.Clear();
    for (const std::string& path : exceptions) c_.lbPrograms.AddItem(path);
    // On unless switched off: a value that is missing or unreadable leaves it on.
    c_.ckbAutoExceptions.SetChecked(ReadSetting(kValueAutoExceptions, 1) != 0);

    SetTaskbarButton(s_.host, false);
    c_.lbCopyright.SetCaption(NoticeText());
    CloseAllowed = false;

    if (StartupUpdateCheck) StartupUpdateCheck();
    return true;
}

void TfrmRestLevel::FormShow() {
    WriteSetting(kValueConfigured, 1);
    if (c_.pcMain.ActivePage() == kPageExceptions) BuildProgramList();
}

bool TfrmRestLevel::FormClose() {
    if (IsShiftDown() || CloseAllowed) return true;
    s_.host.Hide();
    return false;
}

void TfrmRestLevel::FormDestroy() {
    s_.devices.SetOnDevicesChanged(nullptr);
    ClearProgramList();
    Monitor.RestoreSavedLevel();
}

TfrmRestLevel::~TfrmRestLevel() { s_.devices.SetOnDevicesChanged(nullptr); }

void TfrmRestLevel::pcMainChange() {
    if (c_.pcMain.ActivePage() == kPageExceptions) BuildProgramList();
}

void TfrmRestLevel::tbIdleTimeChange() {
    const int position = c_.tbIdleTime.Position();
    c_.ebIdleTime.SetText(FormatTenths(position, s_.host.DecimalSeparator()));
    Monitor.IdleThreshold = static_cast<std::uint32_t>(position * kMsPerTenthMinute);
    WriteSetting(kValueIdleTime, position);
}

void TfrmRestLevel::ebIdleTimeChange() {
    const std::optional<TypedNumber> x = ParseTypedNumber(c_.ebIdleTime.Text(), s_.host.DecimalSeparator());
    if (!x || x->Compare(0) <= 0 || x->Compare(100) > 0) return;
    Monitor.IdleThreshold = static_cast<std::uint32_t>(x->Times(60 * 1000));
    c_.tbIdleTime.SetPosition(static_cast<int>(x->Times(10)));
    WriteSetting(kValueIdleTime, c_.tbIdleTime.Position());
}

void TfrmRestLevel::tbRestLevelChange() {
    const int position = c_.tbRestLevel.Position();
    c_.ebRestLvl.SetText(FormatTenths(position, s_.host.DecimalSeparator()));
    Monitor.IdleLevel = position * kMaxLevel / kSliderMax;
    WriteSetting(kValueRestLevel, Monitor.IdleLevel);
}

void TfrmRestLevel::ebRestLvlChange() {
    const std::optional<TypedNumber> x = ParseTypedNumber(c_.ebRestLvl.Text(), s_.host.DecimalSeparator());
    if (!x || x->Compare(0) < 0 || x->Compare(100) > 0) return;
    c_.tbRestLevel.SetPosition(static_cast<int>(x->Times(10)));
    Monitor.IdleLevel = static_cast<std::int32_t>(x->Times(kMaxLevel, 100));
    WriteSetting(kValueRestLevel, Monitor.IdleLevel);
}

void TfrmRestLevel::ckbAutoExceptionsClick() {
    WriteSetting(kValueAutoExceptions, c_.ckbAutoExceptions.Checked() ? 1 : 0);
}

void TfrmRestLevel::ckbRelativeClick() { WriteSetting(kValueRelative, c_.ckbRelative.Checked() ? 1 : 0); }

void TfrmRestLevel::tiMainClick() { s_.host.Show(); }

void TfrmRestLevel::DisableRestLevel1Click() {
    c_.DisableRestLevel1.SetChecked(!c_.DisableRestLevel1.Checked());
    c_.tiMain.SetImageIndex(c_.DisableRestLevel1.Checked() ? kImageDisabled : kImageWatching);
}

void TfrmRestLevel::Exit1Click() {
    CloseAllowed = true;
    s_.host.Close();
}

void TfrmRestLevel::Label6Click() { s_.host.ShellOpen("open", SiteAddress(), kSwShow); }

// Exception page -----------------------------------------------------------

void TfrmRestLevel::ClearProgramList() {
    for (int i = c_.cbPrograms.Count() - 1; i >= 0; --i) c_.cbPrograms.DeleteItem(i);
}

void TfrmRestLevel::BuildProgramList() {
    c_.cbPrograms.BeginUpdate();
    ClearProgramList();
    TProcessList processes;
    GetProcessList(false, true, processes);
    for (const TProcessInfo* process : processes) {
        if (process->FullPath.empty()) continue;
        const std::string description = GetVersionInfoText(process->FullPath, 1);
        // Where the snapshot has no file name of its own, the path's is used.
        const std::string exeFile = process->ExeFile.empty() ? FileNameOf(process->FullPath) : process->ExeFile;
        const std::string text = description.empty() ? exeFile : description + " (" + exeFile + ")";
        bool present = false;
        for (int i = 0; i < c_.cbPrograms.Count() && !present; ++i)
            present = SameTextNoCase(c_.cbPrograms.ItemText(i), text);
        if (!present) c_.cbPrograms.AddItem(text, process->FullPath);
    }
    FreeProcessList(processes);
    c_.cbPrograms.SetItemIndex(-1);
    c_.cbPrograms.EndUpdate();
}

void TfrmRestLevel::btnAddClick() {
    const int selected = c_.cbPrograms.ItemIndex();
    if (selected >= 0 && selected < c_.cbPrograms.Count()) {
        const std::string path = c_.cbPrograms.ItemData(selected);
        bool present = false;
        for (int i = 0; i < c_.lbPrograms.Count() && !present; ++i)
            present = SameTextNoCase(c_.lbPrograms.Item(i), path);
        if (!present) {
            const int index = c_.lbPrograms.AddItem(path);
            SelectListItem(c_.lbPrograms, index, true);
            RegWriteStringList(kHKeyCurrentUser, kSettingsKey, kValueExceptions, Items(c_.lbPrograms));
        }
    }
    UpdateButtons();
}

void TfrmRestLevel::btnRemoveClick() {
    const int i = c_.lbPrograms.ItemIndex();
    if (i >= 0 && i < c_.lbPrograms.Count()) {
        c_.lbPrograms.DeleteItem(i);
        RegWriteStringList(kHKeyCurrentUser, kSettingsKey, kValueExceptions, Items(c_.lbPrograms));
        const int count = c_.lbPrograms.Count();
        SelectListItem(c_.lbPrograms, count == 0 ? -1 : std::min(i, count - 1), true);
    }
    UpdateButtons();
}

void TfrmRestLevel::cbProgramsClick() { UpdateButtons(); }
void TfrmRestLevel::lbProgramsClick() { UpdateButtons(); }

void TfrmRestLevel::UpdateButtons() {
    c_.btnAdd.SetEnabled(c_.cbPrograms.ItemIndex() >= 0);
    c_.btnRemove.SetEnabled(c_.lbPrograms.ItemIndex() >= 0);
}

// Program start ----------------------------------------------------------

bool StartRestLevel(TfrmRestLevel& form) {
    const std::int32_t configured = ReadSetting(kValueConfigured, 0);
    if (!form.FormCreate()) return false;
    if (configured == 0) form.tiMainClick();
    return true;
}

}  // namespace rl
