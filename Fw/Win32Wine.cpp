// Wine's ways, in one place. Wine runs the Windows build on Linux, and parts
// from Windows where the layer leans on Windows: it follows a Unix symbolic
// link even when asked for the link itself, shows it as what it points to
// (a link to a file carries no reparse-point bit), and deletes the target
// when asked to delete the link; it looks a name up by its case; and it
// lists a Unix name no Windows name can hold, which only its short name
// reaches. Each answer here is asked for only under Wine: on Windows every
// function is a no-op, and the layer goes by its handles alone.
#include <windows.h>
#include <winternl.h>

#include <cwchar>
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
    // ObjectNameInformation: a UNICODE_STRING and the name after it (Microsoft Learn, NtQueryObject).
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
