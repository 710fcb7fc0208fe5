// Wine's ways, in one place. Wine runs the Windows build on Linux, and parts
// from Windows where the layer leans on Windows: it follows a Unix symbolic
// link even when asked for the link itself, shows it as what it points to
// (a link to a file carries no reparse-point bit), and deletes the target
// when asked to delete the link; it looks a name up by its case; and it
// lists a Unix name no Windows name can hold, which only its short name
// reaches; and it shows a Unix mount point as a plain folder. Each answer here is asked for only under Wine: on Windows every
// function is a no-op, and the layer goes by its handles alone.
#include <windows.h>
#include <winternl.h>

#include <cstring>
#include <cwchar>
#include <set>
#include <string>

#include "Win32Layer.h"
#include "Wtf8.h"

bool RunsUnderWine() {
    // Wine's ntdll exports wine_get_version; Windows' has no such export.
    // The loader's own mark, read once.
    static const bool s_wine = GetProcAddress(GetModuleHandleA("ntdll.dll"), "wine_get_version") != nullptr;
    return s_wine;
}

// The object name Wine gives the open `handle` ("\??\Z:\..."), at any
// depth; empty when it cannot. (GetFinalPathNameByHandleW stops at MAX_PATH
// under Wine.)
static std::wstring ObjectName(HANDLE handle) {
    // ObjectNameInformation: a UNICODE_STRING and the name after it.
    const OBJECT_INFORMATION_CLASS kObjectNameInformation = (OBJECT_INFORMATION_CLASS)1;
    static std::wstring buffer(40000, L'\0');
    ULONG length = 0;
    if (NtQueryObject(handle, kObjectNameInformation, &buffer[0], (ULONG)(buffer.size() * sizeof(WCHAR)), &length) < 0)
        return std::wstring();
    const UNICODE_STRING *name = (const UNICODE_STRING *)&buffer[0];
    return std::wstring(name->Buffer, name->Length / sizeof(WCHAR));
}

// `path` as Wine spells a name it gives back, where it spells it at all
// alike: every component without its trailing dots and blanks, and empty
// ones dropped.
static std::wstring Spelled(const std::wstring &path) {
    std::wstring spelled;
    for (size_t start = 0; start <= path.size();) {
        size_t end = path.find(L'\\', start);
        if (end == std::wstring::npos)
            end = path.size();
        size_t kept = end;
        while (kept > start && (path[kept - 1] == L'.' || path[kept - 1] == L' '))
            --kept;
        if (kept > start)
            spelled.append(L"\\").append(path, start, kept - start);
        start = end + 1;
    }
    return spelled;
}

static bool SameText(const std::wstring &a, const std::wstring &b) {
    return CompareStringOrdinal(a.c_str(), (int)a.size(), b.c_str(), (int)b.size(), TRUE) == CSTR_EQUAL;
}

// False for a name holding a character no Windows file name may hold.
static bool IsWindowsName(const WCHAR *name, DWORD length) {
    for (DWORD i = 0; i < length; ++i) {
        if (name[i] < 0x20 || wcschr(L"\\/:*?\"<>|", name[i]))
            return false;
    }
    return true;
}

bool WineFollowedLink(HANDLE parent, const char *name, HANDLE opened) {
    if (!RunsUnderWine())
        return false;
    // Wine quirk: a handle opened through a Unix link is the target's, and its name names the target, not the
    // folder and the name asked for. Not knowing counts as a link: only a refusal can follow.
    std::wstring folder = ObjectName(parent), own = ObjectName(opened);
    size_t cut = own.rfind(L'\\');
    if (folder.empty() || own.empty() || cut == std::wstring::npos)
        return true;
    // The folder must be the very one, to the letter: on a Linux disk "D" and
    // "d" are other folders. (Wine spells a folder's trailing dots and blanks
    // one way in a folder's own name and another in its entries'.)
    if (Spelled(own.substr(0, cut)) != Spelled(folder))
        return true;
    // The last name is the one asked for, as Wine spells it back: its case
    // where the lookup went by any case, without trailing dots and blanks.
    std::u16string wide = Utf16FromWtf8(name);
    std::wstring leaf(wide.begin(), wide.end()), ownLeaf = own.substr(cut + 1);
    if (SameText(Spelled(ownLeaf), Spelled(leaf)))
        return false;
    // Asked by its short name, a Unix name Windows cannot hold comes back as
    // itself, in the same folder: only such a name passes that way, never a
    // link to a Windows name ("Zovazozu.exe~" to "t_local.cf").
    return leaf.find(L'~') == std::wstring::npos || IsWindowsName(ownLeaf.c_str(), (DWORD)ownLeaf.size());
}

bool WineRetriesAnyCase(NTSTATUS status) {
    // Wine quirk: a lookup without OBJ_CASE_INSENSITIVE goes by case, and a Unix name no Windows name can hold is
    // found by its mangled short name only that way. Still one name in the same open folder.
    return RunsUnderWine() && status == kStatusObjectNameNotFound;
}

bool WineKeepsLinks() {
    // Wine quirk: removing a Unix link, as a file or as a folder, removes what it points to and leaves the link.
    return RunsUnderWine();
}

void WineOpenableName(ListedEntry *entry) {
    // Wine quirk: a Unix name Windows could not hold (with \ * ? < > and the like) is listed as it is, which no
    // open can take; its short name reaches it.
    if (RunsUnderWine() && entry->shortName && !IsWindowsName(entry->name, entry->length)) {
        entry->name = entry->shortName;
        entry->length = entry->shortLength;
    }
}

// Wine's own export: the Unix name of an NT name, as Wine resolves it.
typedef NTSTATUS(CDECL *NtToUnixName)(const OBJECT_ATTRIBUTES *attributes, char *name, ULONG *size, UINT disposition);

// Wine's name on the Linux side for `name` (an NT path, or a name relative
// to the open folder `root`); empty when it cannot say.
static std::string UnixName(HANDLE root, const std::wstring &name) {
    static const NtToUnixName s_toUnix =
        (NtToUnixName)(void *)GetProcAddress(GetModuleHandleA("ntdll.dll"), "wine_nt_to_unix_file_name");
    if (!s_toUnix || name.empty() || name.size() > 32767)
        return std::string();
    std::wstring buffer = name;
    UNICODE_STRING unicode;
    unicode.Buffer = &buffer[0];
    unicode.Length = unicode.MaximumLength = (USHORT)(buffer.size() * sizeof(WCHAR));
    OBJECT_ATTRIBUTES attributes;
    InitializeObjectAttributes(&attributes, &unicode, 0, root, nullptr);
    std::string unix(4096, '\0');
    for (int attempt = 0; attempt < 2; ++attempt) {
        ULONG size = (ULONG)unix.size();
        NTSTATUS status = s_toUnix(&attributes, &unix[0], &size, FILE_OPEN);
        if (status >= 0) {
            unix.resize(strlen(unix.c_str()));
            return unix;
        }
        if (size <= unix.size())
            break;
        unix.assign(size, '\0');
    }
    return std::string();
}

std::string WineUnixPath(HANDLE handle) {
    if (!RunsUnderWine())
        return std::string();
    std::string path = UnixName(nullptr, ObjectName(handle));
    return path.empty() || path[0] != '/' ? std::string() : path;
}

// A mount point as /proc/self/mountinfo writes it: blanks, tabs, newlines
// and backslashes as three octal digits after a backslash.
static std::string Unescaped(const std::string &field) {
    std::string plain;
    for (size_t i = 0; i < field.size(); ++i) {
        if (field[i] == '\\' && i + 3 < field.size()) {
            plain += (char)((field[i + 1] - '0') * 64 + (field[i + 2] - '0') * 8 + (field[i + 3] - '0'));
            i += 3;
        } else {
            plain += field[i];
        }
    }
    return plain;
}

// The mount points of the helper's own mount namespace, read once through
// Wine's name for a Unix path; false when they cannot be read.
static bool ReadMountPoints(std::set<std::string> *points) {
    static const wchar_t kMountInfo[] = L"\\??\\unix\\proc\\self\\mountinfo";
    UNICODE_STRING unicode;
    unicode.Buffer = (PWSTR)kMountInfo;
    unicode.Length = unicode.MaximumLength = (USHORT)(wcslen(kMountInfo) * sizeof(WCHAR));
    OBJECT_ATTRIBUTES attributes;
    InitializeObjectAttributes(&attributes, &unicode, 0, nullptr, nullptr);
    IO_STATUS_BLOCK io;
    HANDLE file;
    if (NtCreateFile(&file, GENERIC_READ | SYNCHRONIZE, &attributes, &io, nullptr, 0, kShareAll, FILE_OPEN,
                     FILE_NON_DIRECTORY_FILE | FILE_SYNCHRONOUS_IO_NONALERT, nullptr, 0) < 0)
        return false;
    std::string table;
    char buffer[4096];
    DWORD got;
    bool ok = true;
    while ((ok = Succeeded(ReadSome(file, buffer, sizeof buffer, &got))) && got > 0)
        table.append(buffer, got);
    CloseHandle(file);
    // Each line: id, parent id, device, root, mount point, and more.
    for (size_t start = 0; ok && start < table.size();) {
        size_t end = table.find('\n', start);
        if (end == std::string::npos)
            end = table.size();
        std::string line = table.substr(start, end - start), field;
        size_t from = 0;
        for (int i = 0; i < 5 && from != std::string::npos; ++i) {
            size_t blank = line.find(' ', from);
            field = line.substr(from, blank == std::string::npos ? std::string::npos : blank - from);
            from = blank == std::string::npos ? blank : blank + 1;
        }
        points->insert(Unescaped(field));
        start = end + 1;
    }
    return ok && !points->empty();
}

bool WineMountPoint(HANDLE parent, const std::string &parentPath, const char *name, std::string *path) {
    if (!RunsUnderWine())
        return false;
    // Wine quirk: a Unix mount point (a bind mount of a folder elsewhere on the same disk) shows as a plain folder,
    // with nothing on its handle to tell. Its path comes from its parent's and its own name as Wine resolves it
    // (relative to the parent: Wine's object names drop trailing dots and blanks). Not knowing counts as a mount.
    static std::set<std::string> s_points;
    static const bool s_known = ReadMountPoints(&s_points);
    std::u16string wide = Utf16FromWtf8(name);
    std::string own = parentPath.empty() ? std::string() : UnixName(parent, std::wstring(wide.begin(), wide.end()));
    if (own.compare(0, 2, "./") == 0)
        own.erase(0, 2);
    *path = own.empty() || own.find('/') != std::string::npos ? std::string() : parentPath + "/" + own;
    return !s_known || path->empty() || s_points.count(*path) != 0;
}

bool WineCaseTwin(HANDLE dir, const char *name) {
    if (!RunsUnderWine())
        return false;
    // Wine quirk: on a Linux disk "Zovazozu.exe" and "ZOVAZOZU.EXE" are two files, and Wine takes a name for either:
    // an open finds the one spelled alike, a rename's target check any of them.
    std::u16string wide = Utf16FromWtf8(name);
    int alike = 0;
    ForEachEntryIn(dir, [&](const std::string &entry, DWORD) {
        std::u16string other = Utf16FromWtf8(entry.c_str());
        if (CompareStringOrdinal((LPCWCH)other.data(), (int)other.size(), (LPCWCH)wide.data(), (int)wide.size(), TRUE) == CSTR_EQUAL)
            ++alike;
    });
    return alike > 1;
}
