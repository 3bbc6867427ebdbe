// restlevel-reg: reads and changes the Linux registry store from the command
// line, with the commands, options and output of Windows' reg, so that users
// and scripts treat RestLevel's settings alike on both systems.
#include <cstdint>
#include <cstdio>
#include <iostream>
#include <optional>
#include <sstream>
#include <string>
#include <vector>

#include "platform/Registry.h"
#include "platform/linux/SqliteRegistry.h"
#include "support/KzRegistry.h"

namespace rl {
namespace {

constexpr int kExitOk = 0;
constexpr int kExitFailed = 1;

const char* const kUsage =
    "restlevel-reg: RestLevel's registry store on Linux, used like Windows' reg.\n"
    "\n"
    "  restlevel-reg query  KEY [/v NAME | /ve] [/s]\n"
    "  restlevel-reg add    KEY [/v NAME | /ve] [/t TYPE] [/s SEPARATOR] [/d DATA] [/f]\n"
    "  restlevel-reg delete KEY [/v NAME | /ve | /va] [/f]\n"
    "\n"
    "  KEY   HKCU\\SUBKEY or HKEY_CURRENT_USER\\SUBKEY\n"
    "  TYPE  REG_SZ (default), REG_EXPAND_SZ, REG_MULTI_SZ, REG_DWORD, REG_QWORD,\n"
    "        REG_BINARY, REG_NONE\n"
    "  DATA  REG_DWORD, REG_QWORD: decimal or 0x hexadecimal; REG_BINARY: hex digits;\n"
    "        REG_MULTI_SZ: items separated by \\0 (or by SEPARATOR)\n"
    "  /f    no question before overwriting or deleting\n"
    "  /s    with query: every subkey below KEY too\n"
    "\n"
    "The store: $XDG_CONFIG_HOME/restlevel/registry.db (default ~/.config/restlevel/registry.db).\n";

struct Error {
    std::string message;
};

const char* TypeName(std::uint32_t type) {
    switch (type) {
        case kRegNone: return "REG_NONE";
        case kRegSz: return "REG_SZ";
        case kRegExpandSz: return "REG_EXPAND_SZ";
        case kRegBinary: return "REG_BINARY";
        case kRegDword: return "REG_DWORD";
        case kRegMultiSz: return "REG_MULTI_SZ";
        case kRegQword: return "REG_QWORD";
        default: return nullptr;
    }
}

bool SameText(const std::string& a, const std::string& b) {
    if (a.size() != b.size()) return false;
    for (std::size_t i = 0; i < a.size(); ++i) {
        auto fold = [](char c) { return c >= 'a' && c <= 'z' ? static_cast<char>(c - 'a' + 'A') : c; };
        if (fold(a[i]) != fold(b[i])) return false;
    }
    return true;
}

std::string ErrorText(RegResult r) {
    switch (r) {
        case kErrorFileNotFound: return "The system was unable to find the specified registry key or value.";
        case kErrorAccessDenied: return "Access is denied.";
        case kErrorRegistryCorrupt: return "The configuration registry database is corrupt.";
        case kErrorRegistryIoFailed: return "The configuration registry database could not be read or written.";
        case kErrorKeyDeleted: return "The key was deleted meanwhile.";
        default: return "The operation failed with error " + std::to_string(r) + ".";
    }
}

std::string Hex(const std::vector<std::uint8_t>& bytes) {
    static const char digits[] = "0123456789ABCDEF";
    std::string text;
    for (const std::uint8_t b : bytes) {
        text.push_back(digits[b >> 4]);
        text.push_back(digits[b & 0xF]);
    }
    return text;
}

std::uint64_t LittleEndian(const std::vector<std::uint8_t>& bytes) {
    std::uint64_t v = 0;
    for (std::size_t i = bytes.size(); i-- > 0;) v = v << 8 | bytes[i];
    return v;
}

// The data column of a query line, as reg shows it.
std::string FormatData(std::uint32_t type, const std::vector<std::uint8_t>& bytes) {
    char number[32];
    switch (type) {
        case kRegSz:
        case kRegExpandSz: {
            std::string text(bytes.begin(), bytes.end());
            return text.substr(0, text.find('\0'));
        }
        case kRegDword:
        case kRegQword:
            if (bytes.size() != (type == kRegDword ? 4u : 8u)) return Hex(bytes);
            std::snprintf(number, sizeof number, "0x%llx", static_cast<unsigned long long>(LittleEndian(bytes)));
            return number;
        case kRegMultiSz: {
            // Items end with a zero byte; the last byte ends the list. A last
            // item without its zero byte is shown all the same.
            std::string text;
            const std::size_t end = !bytes.empty() && bytes.back() == 0 ? bytes.size() - 1 : bytes.size();
            std::string item;
            bool first = true;
            for (std::size_t i = 0; i < end; ++i) {
                if (bytes[i] != 0) {
                    item.push_back(static_cast<char>(bytes[i]));
                    continue;
                }
                text += (first ? "" : "\\0") + item;
                first = false;
                item.clear();
            }
            if (!item.empty()) text += (first ? "" : "\\0") + item;
            return text;
        }
        default: return Hex(bytes);
    }
}

std::optional<std::uint64_t> ParseNumber(const std::string& text, std::uint64_t max, bool allowNegative) {
    if (text.empty()) return std::nullopt;
    bool negative = false;
    std::string digits = text;
    if (allowNegative && digits[0] == '-') {
        negative = true;
        digits = digits.substr(1);
    }
    int base = 10;
    if (digits.size() > 2 && digits[0] == '0' && (digits[1] == 'x' || digits[1] == 'X')) {
        if (negative) return std::nullopt;
        base = 16;
        digits = digits.substr(2);
    }
    if (digits.empty()) return std::nullopt;
    std::uint64_t value = 0;
    for (const char c : digits) {
        int d;
        if (c >= '0' && c <= '9') d = c - '0';
        else if (base == 16 && c >= 'a' && c <= 'f') d = c - 'a' + 10;
        else if (base == 16 && c >= 'A' && c <= 'F') d = c - 'A' + 10;
        else return std::nullopt;
        if (value > (max - static_cast<std::uint64_t>(d)) / static_cast<std::uint64_t>(base)) return std::nullopt;
        value = value * static_cast<std::uint64_t>(base) + static_cast<std::uint64_t>(d);
    }
    if (!negative) return value;
    // A negative number is stored as its two's complement in the value's width.
    const std::uint64_t limit = max / 2 + 1;
    if (value > limit) return std::nullopt;
    return (max - value + 1) & max;
}

// The bytes reg add stores for a type and its /d text.
std::vector<std::uint8_t> EncodeData(std::uint32_t type, const std::string& data, const std::string& separator) {
    const Error invalid{"The data given for /d is not valid for its type."};
    std::vector<std::uint8_t> bytes;
    switch (type) {
        case kRegSz:
        case kRegExpandSz:
            bytes.assign(data.begin(), data.end());
            bytes.push_back(0);
            return bytes;
        case kRegDword:
        case kRegQword: {
            const std::size_t width = type == kRegDword ? 4 : 8;
            const auto value = ParseNumber(data, width == 4 ? 0xFFFFFFFFull : ~0ull, true);
            if (!value) throw invalid;
            for (std::size_t i = 0; i < width; ++i) bytes.push_back(static_cast<std::uint8_t>(*value >> (8 * i)));
            return bytes;
        }
        case kRegMultiSz: {
            // As reg: a separator at the very end is dropped, an empty item
            // inside the list is refused.
            std::vector<std::string> items;
            if (!data.empty()) {
                std::string rest = data;
                if (rest.size() >= separator.size() && rest.compare(rest.size() - separator.size(), separator.size(), separator) == 0)
                    rest.resize(rest.size() - separator.size());
                std::string::size_type start = 0;
                while (true) {
                    const auto at = rest.find(separator, start);
                    items.push_back(rest.substr(start, at == std::string::npos ? std::string::npos : at - start));
                    if (at == std::string::npos) break;
                    start = at + separator.size();
                }
                for (const std::string& item : items)
                    if (item.empty()) throw Error{"An item of a REG_MULTI_SZ list cannot be empty."};
            }
            return MultiStringImage(items);
        }
        default:
            if (data.size() % 2) throw invalid;
            for (std::size_t i = 0; i < data.size(); i += 2) {
                const auto byte = ParseNumber("0x" + data.substr(i, 2), 0xFF, false);
                if (!byte) throw invalid;
                bytes.push_back(static_cast<std::uint8_t>(*byte));
            }
            return bytes;
    }
}

struct Command {
    std::string verb;
    std::string path;     // below HKEY_CURRENT_USER, without a trailing backslash
    std::string display;  // the key as reg shows it
    std::optional<std::string> value;
    bool allValues = false;
    bool recursive = false;
    bool force = false;
    std::uint32_t type = kRegSz;
    std::optional<std::string> data;
    std::string separator = "\\0";
};

Command Parse(const std::vector<std::string>& args) {
    const Error syntax{"Invalid syntax.\nType \"restlevel-reg /?\" for usage."};
    if (args.size() < 2) throw syntax;
    Command c;
    c.verb = args[0];
    if (!SameText(c.verb, "query") && !SameText(c.verb, "add") && !SameText(c.verb, "delete")) throw syntax;

    const std::string& key = args[1];
    const auto slash = key.find('\\');
    const std::string root = key.substr(0, slash);
    if (!SameText(root, "HKCU") && !SameText(root, "HKEY_CURRENT_USER")) throw Error{"Invalid key name."};
    c.path = slash == std::string::npos ? "" : key.substr(slash + 1);
    while (!c.path.empty() && c.path.back() == '\\') c.path.pop_back();
    c.display = "HKEY_CURRENT_USER" + (c.path.empty() ? "" : "\\" + c.path);

    const bool add = SameText(c.verb, "add");
    bool typeGiven = false, separatorGiven = false;
    for (std::size_t i = 2; i < args.size(); ++i) {
        std::string option = args[i];
        if (option.size() < 2 || (option[0] != '/' && option[0] != '-')) throw syntax;
        option[0] = '/';
        auto next = [&]() -> const std::string& {
            if (++i >= args.size()) throw syntax;
            return args[i];
        };
        if (SameText(option, "/v") && !c.value) c.value = next();
        else if (SameText(option, "/ve") && !c.value) c.value = "";
        else if (SameText(option, "/va") && SameText(c.verb, "delete")) c.allValues = true;
        else if (SameText(option, "/f") && !SameText(c.verb, "query")) c.force = true;
        else if (SameText(option, "/s") && SameText(c.verb, "query")) c.recursive = true;
        else if (SameText(option, "/s") && add && !separatorGiven) {
            c.separator = next();
            separatorGiven = true;
            if (c.separator.empty()) throw syntax;
        } else if (SameText(option, "/t") && add && !typeGiven) {
            const std::string& name = next();
            typeGiven = true;
            bool known = false;
            for (const std::uint32_t t : {kRegSz, kRegExpandSz, kRegMultiSz, kRegDword, kRegQword, kRegBinary, kRegNone}) {
                if (SameText(name, TypeName(t))) {
                    c.type = t;
                    known = true;
                }
            }
            if (!known) throw Error{"Invalid type \"" + name + "\"."};
        } else if (SameText(option, "/d") && add && !c.data) {
            c.data = next();
        } else {
            throw syntax;
        }
    }
    if (c.allValues && c.value) throw syntax;
    if (add && (typeGiven || c.data) && !c.value) c.value = "";
    return c;
}

bool Confirm(const std::string& question) {
    std::cout << question << " (Yes/No)? " << std::flush;
    std::string answer;
    if (!std::getline(std::cin, answer)) return false;
    return SameText(answer, "y") || SameText(answer, "yes");
}

// A key handle closed on the way out.
class Key {
public:
    Key(IRegistry& reg, RegKey handle) : reg_(reg), handle_(handle) {}
    ~Key() { reg_.CloseKey(handle_); }
    Key(const Key&) = delete;
    Key& operator=(const Key&) = delete;
    RegKey Handle() const { return handle_; }

private:
    IRegistry& reg_;
    RegKey handle_;
};

void Check(RegResult r) {
    if (r != kErrorSuccess) throw Error{ErrorText(r)};
}

std::vector<std::uint8_t> ReadValue(IRegistry& reg, RegKey key, const std::string& name, std::uint32_t& type) {
    std::uint32_t size = 0;
    Check(reg.QueryValue(key, name, &type, nullptr, &size));
    std::vector<std::uint8_t> bytes(size);
    Check(reg.QueryValue(key, name, &type, bytes.data(), &size));
    bytes.resize(size);
    return bytes;
}

void PrintValue(std::ostream& out, IRegistry& reg, RegKey key, const std::string& name) {
    std::uint32_t type = kRegNone;
    const std::vector<std::uint8_t> bytes = ReadValue(reg, key, name, type);
    const char* typeName = TypeName(type);
    out << "    " << (name.empty() ? "(Default)" : name) << "    "
              << (typeName ? typeName : "REG_TYPE_" + std::to_string(type)) << "    " << FormatData(type, bytes)
              << "\n";
}

std::vector<std::string> Names(IRegistry& reg, RegKey key, bool subkeys) {
    std::vector<std::string> names;
    std::string name;
    RegResult r;
    while ((r = subkeys ? reg.EnumSubKey(key, static_cast<std::uint32_t>(names.size()), name)
                        : reg.EnumValue(key, static_cast<std::uint32_t>(names.size()), name)) == kErrorSuccess)
        names.push_back(name);
    if (r != kErrorNoMoreItems) Check(r);
    return names;
}

void QueryKey(std::ostream& out, IRegistry& reg, RegKey key, const std::string& display, bool recursive) {
    // As reg: a key's own line only above its values.
    const std::vector<std::string> values = Names(reg, key, false);
    if (!values.empty()) {
        out << display << "\n";
        for (const std::string& name : values) PrintValue(out, reg, key, name);
        out << "\n";
    }
    for (const std::string& child : Names(reg, key, true)) {
        if (!recursive) {
            out << display << "\\" << child << "\n";
            continue;
        }
        RegKey handle = 0;
        Check(reg.OpenKey(key, child, kKeyRead, handle));
        Key sub(reg, handle);
        QueryKey(out, reg, sub.Handle(), display + "\\" + child, true);
    }
}

int Query(const Command& c) {
    auto reg = CreateSqliteRegistry({.path = {}, .readOnly = true});
    RegKey handle = 0;
    Check(reg->OpenKey(kHKeyCurrentUser, c.path, kKeyRead, handle));
    Key key(*reg, handle);
    // Nothing is printed unless all of it could be read.
    std::ostringstream out;
    out << "\n";
    if (c.value) {
        out << c.display << "\n";
        PrintValue(out, *reg, key.Handle(), *c.value);
        out << "\n";
    } else {
        QueryKey(out, *reg, key.Handle(), c.display, c.recursive);
    }
    std::cout << out.str();
    return kExitOk;
}

int Add(const Command& c) {
    std::vector<std::uint8_t> bytes;
    if (c.value) bytes = EncodeData(c.type, c.data.value_or(""), c.separator);
    auto reg = CreateRegistry();
    RegKey handle = 0;
    Check(reg->CreateKey(kHKeyCurrentUser, c.path, kKeyRead | kKeySetValue, handle, nullptr));
    Key key(*reg, handle);
    if (c.value) {
        std::uint32_t size = 0;
        if (!c.force && reg->QueryValue(handle, *c.value, nullptr, nullptr, &size) == kErrorSuccess &&
            !Confirm("Value " + (c.value->empty() ? std::string("(Default)") : *c.value) + " exists, overwrite")) {
            std::cout << "The operation was cancelled by the user.\n";
            return kExitFailed;
        }
        Check(reg->SetValue(handle, *c.value, c.type, bytes.data(), static_cast<std::uint32_t>(bytes.size())));
    }
    std::cout << "The operation completed successfully.\n";
    return kExitOk;
}

int Delete(const Command& c) {
    auto reg = CreateRegistry();
    if (!c.value && !c.allValues) {
        if (c.path.empty()) throw Error{"Invalid key name."};
        RegKey handle = 0;
        Check(reg->OpenKey(kHKeyCurrentUser, c.path, kKeyRead, handle));
        reg->CloseKey(handle);
        if (!c.force && !Confirm("Permanently delete the registry key " + c.display)) {
            std::cout << "The operation was cancelled by the user.\n";
            return kExitFailed;
        }
        Check(DeleteKeyTree(*reg, kHKeyCurrentUser, c.path));
    } else {
        RegKey handle = 0;
        Check(reg->OpenKey(kHKeyCurrentUser, c.path, kKeyRead | kKeySetValue, handle));
        Key key(*reg, handle);
        const std::vector<std::string> names = c.allValues ? Names(*reg, handle, false)
                                                           : std::vector<std::string>{*c.value};
        if (!c.allValues) {
            std::uint32_t size = 0;
            Check(reg->QueryValue(handle, *c.value, nullptr, nullptr, &size));
        }
        const std::string what = c.allValues ? "all values under " + c.display
                                             : "the registry value " + (c.value->empty() ? "(Default)" : *c.value);
        if (!c.force && !Confirm("Delete " + what)) {
            std::cout << "The operation was cancelled by the user.\n";
            return kExitFailed;
        }
        for (const std::string& name : names) Check(reg->DeleteValue(handle, name));
    }
    std::cout << "The operation completed successfully.\n";
    return kExitOk;
}

int Run(const std::vector<std::string>& args) {
    if (args.empty() || args[0] == "/?" || args[0] == "-?" || args[0] == "--help") {
        std::cout << kUsage;
        return args.empty() ? kExitFailed : kExitOk;
    }
    try {
        const Command c = Parse(args);
        if (SameText(c.verb, "query")) return Query(c);
        if (SameText(c.verb, "add")) return Add(c);
        return Delete(c);
    } catch (const Error& e) {
        std::cerr << "ERROR: " << e.message << "\n";
    } catch (const std::exception& e) {
        std::cerr << "ERROR: " << e.what() << "\n";
    }
    return kExitFailed;
}

}  // namespace
}  // namespace rl

int main(int argc, char** argv) { return rl::Run(std::vector<std::string>(argv + 1, argv + argc)); }
