#include "tests/fakes/FakeFileSystem.h"

#include <algorithm>
#include <cstdio>
#include <cstring>

namespace rl::fake {

// Every call that can fail asks here first. As the real adapters, a call
// that goes through clears the last error (a later check may set it again).
bool FileSystem::Fails(const std::string& call, const std::string& argument) {
    const bool fails = failing.count(call) != 0 || (!argument.empty() && failing.count(call + " " + argument) != 0);
    lastError = fails ? failCode : 0;
    return fails;
}

SysHandle FileSystem::Add(Handle handle) {
    const SysHandle value = next_++;
    handles_[value] = std::move(handle);
    return value;
}

bool FileSystem::CopyFile(const std::string& source, const std::string& destination, bool failIfExists) {
    calls.push_back("CopyFile " + source + " " + destination);
    if (onCopy) onCopy(source, destination);
    if (Fails("CopyFile", source)) return false;
    const auto found = files.find(source);
    if (found == files.end()) {
        lastError = kErrorFileNotFoundCode;
        return false;
    }
    if (failIfExists && files.count(destination) != 0) {
        lastError = 80;
        return false;
    }
    // The copy's own times are whatever the system gives; the routine sets them.
    File copy;
    copy.data = found->second.data;
    copy.attributes = found->second.attributes;
    copy.mode = found->second.mode;
    files[destination] = copy;
    return true;
}

SysHandle FileSystem::CreateFile(const std::string& name, std::uint32_t access, std::uint32_t share,
                                 std::uint32_t disposition, std::uint32_t /*attributes*/) {
    calls.push_back("CreateFile " + name + " " + std::to_string(access) + " " + std::to_string(share) + " " +
                    std::to_string(disposition));
    if (Fails("CreateFile", name)) return kInvalidHandle;
    if (disposition == kOpenExisting && files.count(name) == 0) {
        lastError = kErrorFileNotFoundCode;
        return kInvalidHandle;
    }
    if (disposition == kCreateNew && files.count(name) != 0) {
        lastError = 80;  // ERROR_FILE_EXISTS
        return kInvalidHandle;
    }
    // As the system: a read-only file cannot be opened for writing.
    const auto existing = files.find(name);
    if ((access & (kGenericWrite | kFileAppendData)) != 0 && existing != files.end() &&
        (existing->second.attributes & kFileAttributeReadOnly) != 0) {
        lastError = 5;
        return kInvalidHandle;
    }
    if (disposition == kCreateAlways) files[name].data.clear();
    if (disposition == kOpenAlways) files[name];
    return Add({Handle::kFile, name, 0, access});
}

bool FileSystem::WriteFile(SysHandle file, const void* data, std::uint32_t count, std::uint32_t& written) {
    writeSizes.push_back(count);
    written = 0;
    const auto found = handles_.find(file);
    if (found == handles_.end() || Fails("WriteFile")) return false;
    written = std::min(count, writeLimit);
    files[found->second.name].data.append(static_cast<const char*>(data), written);
    return true;
}

bool FileSystem::ReadFile(SysHandle file, void* data, std::uint32_t count, std::uint32_t& read) {
    readSizes.push_back(count);
    read = 0;
    const auto found = handles_.find(file);
    if (found == handles_.end() || found->second.kind != Handle::kFile) {
        lastError = 6;  // ERROR_INVALID_HANDLE
        return false;
    }
    // As Windows: a handle opened without read access cannot read.
    if ((found->second.access & kGenericRead) == 0) {
        lastError = 5;
        return false;
    }
    if (Fails("ReadFile", found->second.name)) return false;
    const auto content = files.find(found->second.name);
    if (content == files.end()) return true;  // deleted while open: nothing more to read
    const std::string& bytes = content->second.data;
    const std::size_t from = std::min(found->second.position, bytes.size());
    read = static_cast<std::uint32_t>(std::min<std::size_t>(count, bytes.size() - from));
    if (read > 0) std::memcpy(data, bytes.data() + from, read);
    found->second.position = from + read;
    return true;
}

bool FileSystem::DeleteFile(const std::string& name) {
    calls.push_back("DeleteFile " + name);
    if (Fails("DeleteFile", name)) return false;
    const auto found = files.find(name);
    if (found == files.end()) {
        lastError = kErrorFileNotFoundCode;
        return false;
    }
    if ((found->second.attributes & kFileAttributeReadOnly) != 0) {
        lastError = 5;
        return false;
    }
    files.erase(found);
    return true;
}

bool FileSystem::GetFileTimes(SysHandle file, FileTime* creation, FileTime* lastAccess, FileTime* lastWrite) {
    calls.push_back("GetFileTimes");
    const auto found = handles_.find(file);
    if (found == handles_.end() || Fails("GetFileTimes")) return false;
    const File& f = files[found->second.name];
    if (creation != nullptr) *creation = f.created;
    if (lastAccess != nullptr) *lastAccess = f.accessed;
    if (lastWrite != nullptr) *lastWrite = f.written;
    return true;
}

bool FileSystem::SetFileTimes(SysHandle file, const FileTime* creation, const FileTime* lastAccess,
                              const FileTime* lastWrite) {
    calls.push_back("SetFileTimes");
    const auto found = handles_.find(file);
    if (found == handles_.end() || Fails("SetFileTimes")) return false;
    File& f = files[found->second.name];
    if (creation != nullptr) f.created = *creation;
    if (lastAccess != nullptr) f.accessed = *lastAccess;
    if (lastWrite != nullptr) f.written = *lastWrite;
    return true;
}

std::uint32_t FileSystem::GetFileAttributes(const std::string& name) {
    if (folders.count(name) != 0) return kFileAttributeDirectory;
    const auto found = files.find(name);
    if (found == files.end() || Fails("GetFileAttributes", name)) {
        if (found == files.end()) lastError = kErrorFileNotFoundCode;
        return kInvalidFileAttributes;
    }
    return found->second.attributes;
}

bool FileSystem::SetFileAttributes(const std::string& name, std::uint32_t attributes) {
    calls.push_back("SetFileAttributes " + name + " " + std::to_string(attributes));
    const auto found = files.find(name);
    if (found == files.end() || Fails("SetFileAttributes")) return false;
    found->second.attributes = attributes;
    return true;
}

bool FileSystem::MoveFileEx(const std::string& existing, const std::string& newName, std::uint32_t flags) {
    calls.push_back("MoveFileEx " + existing + " " + newName + " " + std::to_string(flags));
    if (Fails("MoveFileEx", existing)) return false;
    if ((flags & kMovefileDelayUntilReboot) != 0) {
        rebootMoves.emplace_back(existing, newName);
        return true;
    }
    const auto found = files.find(existing);
    if (found == files.end() || newName.empty()) {
        lastError = newName.empty() ? 87 : kErrorFileNotFoundCode;
        return false;
    }
    if (const auto target = files.find(newName); target != files.end()) {
        if ((flags & kMovefileReplaceExisting) == 0) {
            lastError = 183;
            return false;
        }
        if ((target->second.attributes & kFileAttributeReadOnly) != 0) {
            lastError = 5;
            return false;
        }
    }
    File moved = found->second;
    files.erase(found);
    files[newName] = moved;
    return true;
}

bool FileSystem::CopyPermissions(const std::string& model, const std::string& file) {
    calls.push_back("CopyPermissions " + model + " " + file);
    const auto from = files.find(model);
    const auto to = files.find(file);
    if (from == files.end() || to == files.end() || Fails("CopyPermissions")) {
        if (from == files.end() || to == files.end()) lastError = kErrorFileNotFoundCode;
        return false;
    }
    to->second.mode = from->second.mode;
    return true;
}

bool FileSystem::ParentExists(const std::string& name) const {
    const char separator = style == PathStyle::Posix ? '/' : '\\';
    const std::size_t cut = name.find_last_of(separator);
    const std::string parent = cut == std::string::npos ? std::string() : name.substr(0, cut);
    // Like the system: a missing parent is a missing path.
    return parent.empty() || folders.count(parent) != 0 ||
           (style == PathStyle::Windows && parent.size() == 2 && parent[1] == ':');
}

std::uint32_t FileSystem::FindEntry(const std::string& name, std::uint32_t /*attributeMask*/) {
    calls.push_back("FindEntry " + name);
    if (folders.count(name) != 0 || files.count(name) != 0) return 0;
    return ParentExists(name) ? kErrorFileNotFoundCode : kErrorPathNotFoundCode;
}

bool FileSystem::CreateDirectory(const std::string& name) {
    calls.push_back("CreateDirectory " + name);
    if (Fails("CreateDirectory", name)) return false;
    if (!ParentExists(name)) {
        lastError = kErrorPathNotFoundCode;
        return false;
    }
    folders.insert(name);
    return true;
}

bool FileSystem::RemoveDirectory(const std::string& name) {
    calls.push_back("RemoveDirectory " + name);
    if (Fails("RemoveDirectory", name)) return false;
    if (folders.count(name) == 0) {
        lastError = kErrorFileNotFoundCode;
        return false;
    }
    const char separator = style == PathStyle::Posix ? '/' : '\\';
    const std::string inside = name + separator;
    const auto under = [&inside](const std::string& entry) { return entry.compare(0, inside.size(), inside) == 0; };
    if (std::any_of(files.begin(), files.end(), [&](const auto& file) { return under(file.first); }) ||
        std::any_of(folders.begin(), folders.end(), under)) {
        lastError = 145;
        return false;
    }
    folders.erase(name);
    return true;
}

std::string FileSystem::TempFileName(const std::string& folder, const std::string& prefix) {
    calls.push_back("TempFileName " + folder + " " + prefix);
    if (Fails("TempFileName")) return {};
    char number[16];
    std::snprintf(number, sizeof number, "%X", ++tempCounter_);
    const char separator = style == PathStyle::Posix ? '/' : '\\';
    std::string name = folder;
    if (!name.empty() && name.back() != separator) name += separator;
    name += prefix + number + ".TMP";
    files[name] = File{};
    return name;
}

std::string FileSystem::TempPath() {
    if (Fails("TempPath")) return {};
    return tempPath;
}

bool FileSystem::FileTimeToLocalFileTime(FileTime utc, FileTime& local) {
    if (Fails("FileTimeToLocalFileTime") || static_cast<std::int64_t>(utc) + localOffset < 0) return false;
    local = static_cast<FileTime>(static_cast<std::int64_t>(utc) + localOffset);
    return true;
}

bool FileSystem::LocalFileTimeToFileTime(FileTime local, FileTime& utc) {
    if (Fails("LocalFileTimeToFileTime") || static_cast<std::int64_t>(local) - localOffset < 0) return false;
    utc = static_cast<FileTime>(static_cast<std::int64_t>(local) - localOffset);
    return true;
}

bool FileSystem::ReadVersionResource(const std::string& file, std::vector<std::uint8_t>& resource) {
    const auto found = versions.find(file);
    if (found == versions.end()) {
        lastError = 1813;
        return false;
    }
    resource.assign(file.begin(), file.end());  // the resource names its file
    lastError = 0;
    return true;
}

bool FileSystem::QueryVersionValue(const std::vector<std::uint8_t>& resource, const std::string& subBlock,
                                   std::vector<std::uint8_t>& value) {
    calls.push_back("QueryVersionValue " + subBlock);
    const auto file = versions.find(std::string(resource.begin(), resource.end()));
    if (file == versions.end()) return false;
    const auto found = file->second.find(subBlock);
    if (found == file->second.end()) return false;
    value = found->second;
    return true;
}

bool FileSystem::ShellExecute(const ShellExecuteRequest& request, SysHandle& process) {
    executed.push_back(request);
    process = kInvalidHandle;
    if (Fails("ShellExecute")) return false;
    if (onExecute) onExecute(request);
    if ((request.Mask & kSeeMaskNoCloseProcess) != 0) process = Add({Handle::kProcess, {}, 4242, 0});
    return true;
}

std::intptr_t FileSystem::ShellExecuteCode(WindowHandle owner, const std::string& verb, const std::string& file,
                                           const std::string& parameters, const std::string& directory, int show) {
    ShellExecuteRequest request;
    request.Owner = owner;
    request.Verb = verb;
    request.File = file;
    request.Parameters = parameters;
    request.Directory = directory;
    request.Show = show;
    executed.push_back(request);
    if (Fails("ShellExecuteCode")) return static_cast<std::intptr_t>(failCode);
    if (shellResult <= kShellExecuteErrorLimit) return shellResult;
    if (onExecute) onExecute(request);
    return shellResult;
}

SysHandle FileSystem::OpenThread(std::uint32_t access, std::uint32_t threadId) {
    calls.push_back("OpenThread " + std::to_string(access) + " " + std::to_string(threadId));
    if (threads.count(threadId) == 0) {
        lastError = 87;
        return kInvalidHandle;
    }
    lastError = 0;
    return Add({Handle::kThread, {}, threadId, access});
}

SysHandle FileSystem::OpenProcess(std::uint32_t access, std::uint32_t processId) {
    calls.push_back("OpenProcess " + std::to_string(access) + " " + std::to_string(processId));
    if (processes.count(processId) == 0) {
        lastError = 87;
        return kInvalidHandle;
    }
    lastError = 0;
    return Add({Handle::kProcess, {}, processId, access});
}

std::uint32_t FileSystem::WaitForObject(SysHandle handle, std::uint32_t milliseconds) {
    calls.push_back("Wait " + std::to_string(milliseconds));
    const auto found = handles_.find(handle);
    if (found == handles_.end()) return kWaitFailed;
    if (found->second.kind == Handle::kThread)
        return threadQuits && quitThreads_.count(found->second.id) != 0 ? kWaitObject0 : kWaitTimeout;
    if (ended_.count(found->second.id) != 0) return kWaitObject0;
    if (waits_ < timeoutsBeforeExit) {
        ++waits_;
        return kWaitTimeout;
    }
    ended_.insert(found->second.id);
    return kWaitObject0;
}

bool FileSystem::GetExitCodeProcess(SysHandle process, std::uint32_t& code) {
    calls.push_back("GetExitCodeProcess");
    const auto found = handles_.find(process);
    if (found == handles_.end()) return false;
    code = ended_.count(found->second.id) != 0 ? exitCode : kStillActive;
    return true;
}

bool FileSystem::GetExitCodeThread(SysHandle thread, std::uint32_t& code) {
    calls.push_back("GetExitCodeThread");
    if (handles_.count(thread) == 0) return false;
    code = 0;
    return true;
}

bool FileSystem::TerminateProcess(SysHandle process, std::uint32_t code) {
    calls.push_back("TerminateProcess " + std::to_string(code));
    const auto found = handles_.find(process);
    if (found == handles_.end() || Fails("TerminateProcess")) return false;
    ended_.insert(found->second.id);
    return true;
}

bool FileSystem::CloseHandle(SysHandle handle) {
    calls.push_back("CloseHandle");
    return handles_.erase(handle) != 0;
}

bool FileSystem::PostQuitToThread(std::uint32_t threadId) {
    calls.push_back("PostQuit " + std::to_string(threadId));
    if (threads.count(threadId) == 0) return false;
    quitThreads_.insert(threadId);
    return true;
}

void FileSystem::Sleep(std::uint32_t milliseconds) { calls.push_back("Sleep " + std::to_string(milliseconds)); }

}  // namespace rl::fake
