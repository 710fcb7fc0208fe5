// The Windows layer's directory seam: the removal walk works on open handles,
// never on paths below the root. Each directory is listed through its handle
// in UTF-16, and each entry is opened relative to its parent's handle by its
// one-component name, exactly as listed: no code page, no MAX_PATH, no
// trailing-dot or trailing-blank stripping and no device names, all of which
// the path-based narrow functions would apply. A folder swapped for a
// junction after the listing cannot redirect anything: nothing is resolved
// from a path again, and a reparse point is opened as itself.
#include <windows.h>
#include <winternl.h>

#include <string>

#include "Platform.h"
#include "ReparseTag.h"
#include "TestHooks.h"
#include "Win32Layer.h"
#include "Wtf8.h"

struct TreeDir {
    HANDLE handle;
    bool more;          // the listing may hold entries not yet fetched
    bool restart;       // the next fetch starts the listing over
    bool deletable;     // opened with DELETE (the root, where allowed)
    bool kept;          // this round, an entry stayed for a reason of its own
    bool childKept;     // so did the child just closed (true if none was)
    bool byIds;         // how `listing` is laid out (see FetchListing)
    TreeDir *parent;
    ULONG next;         // offset of the next record in `listing`; kListingEnd when used up
    std::string name;   // the entry last handed out, in WTF-8
    // Enough for any one entry (a 255-character name); one per open level, so
    // memory grows with depth only, never with a directory's width.
    alignas(8) char listing[2048];
};

// Makes a TreeDir of an open handle, if it is a real directory: a link (a
// junction, a symbolic link, a mounted folder) is never listed; a folder
// with a reparse point of another kind (a cloud-files placeholder) is one.
static TreeDir *AdoptDirectory(HANDLE handle) {
    if (handle == INVALID_HANDLE_VALUE)
        return nullptr;
    if (!IsRealFolder(TakenAttributesOf(handle))) {
        CloseHandle(handle);
        return nullptr;
    }
    TreeDir *dir = new TreeDir;
    dir->handle = handle;
    dir->more = true;
    dir->restart = dir->deletable = dir->kept = false;
    dir->childKept = true;
    dir->byIds = true;
    dir->parent = nullptr;
    dir->next = kListingEnd;
    return dir;
}

const DWORD kDirAccess = FILE_LIST_DIRECTORY | FILE_READ_ATTRIBUTES | FILE_WRITE_ATTRIBUTES;
// The root is removed through the handle the walk opened: DELETE too.
const DWORD kRootAccess = kDirAccess | DELETE;

// Opens the root by its fixed path (short ASCII), as itself, never through a
// link; everything below it goes by handle.
static HANDLE OpenRoot(const char *path, DWORD access) {
    // BACKUP_SEMANTICS opens a folder, OPEN_REPARSE_POINT a link as itself (Microsoft Learn, CreateFileW).
    return CreateFileA(path, access | SYNCHRONIZE, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                       OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS | FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
}

// A folder we may list but whose attributes we may not change still gets
// emptied as far as it can: without the right to write its attributes.
const DWORD kListOnly = FILE_LIST_DIRECTORY | FILE_READ_ATTRIBUTES;

TreeDir *OpenTreeRoot(const char *path) {
    if (InjectedFault("OpenTreeRoot", path))
        return nullptr;
    HANDLE handle = OpenRoot(path, kRootAccess);
    if (TreeDir *root = AdoptDirectory(handle)) {
        root->deletable = true;
        return root;
    }
    handle = OpenRoot(path, kDirAccess);
    return AdoptDirectory(handle != INVALID_HANDLE_VALUE ? handle : OpenRoot(path, kListOnly));
}

TreeDir *OpenTreeChild(TreeDir *parent, const char *name) {
    if (InjectedFault("OpenTreeChild", name))
        return nullptr;
    HANDLE handle = OpenRelative(parent->handle, name, kDirAccess, kShareAll, FILE_OPEN, FILE_DIRECTORY_FILE);
    if (handle == INVALID_HANDLE_VALUE)
        handle = OpenRelative(parent->handle, name, kListOnly, kShareAll, FILE_OPEN, FILE_DIRECTORY_FILE);
    if (handle != INVALID_HANDLE_VALUE && WineFollowedLink(parent->handle, name, handle)) {
        CloseHandle(handle);
        return nullptr;
    }
    TreeDir *dir = AdoptDirectory(handle);
    if (dir)
        dir->parent = parent;
    return dir;
}

// Read through the handle: the listing's word may be stale, and the root has
// none.
void MakeTreeDirWritable(TreeDir *dir) {
    if (InjectedFault("MakeTreeDirWritable", ""))
        return;
    DWORD attributes = AttributesOf(dir->handle);
    if (Exists(attributes) && (attributes & FILE_ATTRIBUTE_READONLY))
        SetAttributesOf(dir->handle, attributes & ~FILE_ATTRIBUTE_READONLY);
}

bool ReadTreeEntry(TreeDir *dir, TreeEntry *entry) {
    if (InjectedFault("ReadTreeEntry", ""))
        return false;
    if (dir->next == kListingEnd) {
        // False with ERROR_NO_MORE_FILES at the end; any other failure ends
        // the listing too, and what was not reached stays.
        if (!dir->more || !FetchListing(dir->handle, dir->restart, dir->listing, sizeof dir->listing, &dir->byIds)) {
            // A listing cut short keeps what it did not reach.
            dir->kept = dir->kept || (dir->more && GetLastError() != ERROR_NO_MORE_FILES);
            dir->more = false;
            return false;
        }
        dir->restart = false;
        dir->next = 0;
    }
    dir->childKept = true;  // until a child of this entry says otherwise
    ListedEntry listed;
    ReadListing(dir->listing, dir->byIds, &dir->next, &listed);
    WineOpenableName(&listed);
    dir->name = Wtf8FromUtf16((const char16_t *)listed.name, listed.length);
    entry->name = dir->name.c_str();
    entry->attributes = listed.attributes;
    EntryListed(entry->name);
    return true;
}

// Deletes the open entry `handle` names (then closes it), telling the walk
// when another program kept it, to be tried again once the rest of the tree
// is done; `entriesKept`: the entry is a folder that kept some of its own.
static bool DeleteNoting(TreeDir *dir, HANDLE handle, bool entriesKept) {
    bool ok = DeleteByHandle(handle);
    DWORD error = GetLastError();
    CloseHandle(handle);
    SetLastError(error);
    if (!ok && LastRefusal(entriesKept ? kDelete : kRemoveEmptied) == kHeld)
        NoteHeldEntry();
    dir->kept = dir->kept || !ok;
    return ok;
}

// Goes as whatever the entry is now, opened as itself: a link is removed as a
// link, never its target; a directory only if it is empty.
bool DeleteTreeEntry(TreeDir *dir, const char *name, unsigned) {
    if (InjectedFault("DeleteTreeEntry", name))
        return false;
    HANDLE handle = OpenRelative(dir->handle, name, DELETE | FILE_READ_ATTRIBUTES | FILE_WRITE_ATTRIBUTES, kShareAll, FILE_OPEN, 0);
    // Without the right to write its attributes, it can still go if it is not
    // read-only.
    if (handle == INVALID_HANDLE_VALUE && LastRefusal(kOpen) == kFinal)
        handle = OpenRelative(dir->handle, name, DELETE | FILE_READ_ATTRIBUTES, kShareAll, FILE_OPEN, 0);
    if (handle != INVALID_HANDLE_VALUE && WineFollowedLink(dir->handle, name, handle)) {
        CloseHandle(handle);  // what a link points to is not ours, and the link cannot go alone
        dir->kept = true;
        return false;
    }
    if (handle != INVALID_HANDLE_VALUE)
        return DeleteNoting(dir, handle, dir->childKept);
    switch (LastRefusal(kDelete)) {
    case kPendingDeletion:
        return true;  // deleted already, and only waiting for another program's handle to close
    case kHeld:
        NoteHeldEntry();
        break;
    case kFinal:
        break;
    }
    dir->kept = true;
    return false;
}

void CloseTreeDir(TreeDir *dir) {
    if (dir->parent)
        dir->parent->childKept = dir->kept;
    CloseHandle(dir->handle);
    delete dir;
}

bool WaitForHeldEntries(TreeDir *root) {
    static unsigned s_round;
    if (!TakeHeldEntries() || !SleepBeforeRetry(&s_round))
        return false;
    root->more = root->restart = true;
    root->kept = false;
    root->next = kListingEnd;
    return true;
}

// The directory the walk emptied, whatever has taken the name "sa" since:
// through the handle the walk opened, or, where another program held "sa"
// against deletion when the walk began, through `path` opened again, and only
// if that is still the very same directory. Entries deleted while another
// program held them stay listed until it lets go (without POSIX semantics),
// and the folder's removal waits for them.
bool RemoveTreeRoot(TreeDir *root, const char *path) {
    bool ok = false;
    if (!InjectedFault("RemoveTreeRoot", path)) {
        ok = RetryWhileHeld(root->kept ? kDelete : kRemoveEmptied, [&] {
            HANDLE handle = root->handle;
            if (!root->deletable) {
                handle = OpenRoot(path, DELETE | FILE_READ_ATTRIBUTES | FILE_WRITE_ATTRIBUTES);
                if (handle == INVALID_HANDLE_VALUE)
                    return false;  // held still, or gone: GetLastError() says
                if (!SameFile(handle, root->handle)) {
                    CloseHandle(handle);
                    return Refuse(kStatusObjectNameNotFound);  // a stranger: never ours to remove
                }
            }
            bool deleted = DeleteByHandle(handle);
            DWORD error = GetLastError();
            if (handle != root->handle)
                CloseHandle(handle);
            SetLastError(error);
            return deleted;
        });
    }
    CloseTreeDir(root);
    return ok;
}
