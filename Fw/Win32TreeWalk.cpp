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
    std::string unixPath;  // under Wine, where it is on the Linux side
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
    if (!IsRealFolder(LinkAwareAttributesOf(handle))) {
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

// The root, by its fixed path, opened as itself, never through a link;
// everything below it goes by handle.
const ULONG kRootOptions = FILE_OPEN_REPARSE_POINT;

// A folder we may list but whose attributes we may not change still gets
// emptied as far as it can: without the right to write its attributes.
const DWORD kListOnly = FILE_LIST_DIRECTORY | FILE_READ_ATTRIBUTES;

TreeDir *OpenTreeRoot(const char *path) {
    if (InjectedFault("OpenTreeRoot", path))
        return nullptr;
    HANDLE handle;
    OpenByPath(path, kRootAccess, kShareAll, kRootOptions, &handle);
    TreeDir *root = AdoptDirectory(handle);
    if (root) {
        root->deletable = true;
    } else {
        if (!Succeeded(OpenByPath(path, kDirAccess, kShareAll, kRootOptions, &handle)))
            OpenByPath(path, kListOnly, kShareAll, kRootOptions, &handle);
        root = AdoptDirectory(handle);
    }
    if (root)
        root->unixPath = WineUnixPath(root->handle);
    return root;
}

TreeDir *OpenTreeChild(TreeDir *parent, const char *name) {
    if (InjectedFault("OpenTreeChild", name))
        return nullptr;
    HANDLE handle;
    if (!Succeeded(OpenRelative(parent->handle, name, kDirAccess, kShareAll, FILE_OPEN, FILE_DIRECTORY_FILE, &handle)))
        OpenRelative(parent->handle, name, kListOnly, kShareAll, FILE_OPEN, FILE_DIRECTORY_FILE, &handle);
    // What is mounted inside the tree (under Wine, a bind mount of a folder
    // elsewhere) is not the tree's: never entered.
    std::string unixPath;
    if (handle != INVALID_HANDLE_VALUE &&
        (WineFollowedLink(parent->handle, name, handle) || WineMountPoint(parent->handle, parent->unixPath, name, &unixPath))) {
        CloseHandle(handle);
        return nullptr;
    }
    TreeDir *dir = AdoptDirectory(handle);
    if (dir) {
        dir->parent = parent;
        dir->unixPath = unixPath;
    }
    return dir;
}

// Read through the handle: the listing's word may be stale, and the root has
// none.
void MakeTreeDirWritable(TreeDir *dir) {
    if (InjectedFault("MakeTreeDirWritable", ""))
        return;
    DWORD old;
    LiftReadOnly(dir->handle, &old);
}

bool ReadTreeEntry(TreeDir *dir, TreeEntry *entry) {
    if (InjectedFault("ReadTreeEntry", ""))
        return false;
    if (dir->next == kListingEnd) {
        // kStatusNoMoreFiles at the end; any other failure ends
        // the listing too, and what was not reached stays.
        NTSTATUS status = kStatusNoMoreFiles;
        if (dir->more)
            status = FetchListing(dir->handle, dir->restart, dir->listing, sizeof dir->listing, &dir->byIds);
        if (!Succeeded(status)) {
            // A listing cut short keeps what it did not reach.
            dir->kept = dir->kept || status != kStatusNoMoreFiles;
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

// Settles an entry's deletion that ended in `status`, as `call`: one a holder
// refused (or may have) is noted, to be tried again once the rest of the
// tree is done; one already pending counts as done.
static bool Settle(TreeDir *dir, RefusedCall call, NTSTATUS status) {
    switch (Succeeded(status) ? kFinal : Classify(call, status)) {
    case kPendingDeletion:
        return true;  // deleted already, and only waiting for another program's handle to close
    case kMaybeHeld:
        if (!DenialMayPass())
            break;
        // fall through
    case kHeld:
        NoteHeldEntry();
        break;
    case kFinal:
        break;
    }
    dir->kept = dir->kept || !Succeeded(status);
    return Succeeded(status);
}

// Goes as whatever the entry is now, opened as itself: a link is removed as a
// link, never its target; a directory only if it is empty.
bool DeleteTreeEntry(TreeDir *dir, const char *name, unsigned) {
    if (InjectedFault("DeleteTreeEntry", name))
        return false;
    HANDLE handle;
    NTSTATUS status = OpenRelative(dir->handle, name, DELETE | FILE_READ_ATTRIBUTES | FILE_WRITE_ATTRIBUTES, kShareAll, FILE_OPEN, 0, &handle);
    // Without the right to write its attributes, it can still go if it is not
    // read-only.
    if (status == kStatusAccessDenied)
        status = OpenRelative(dir->handle, name, DELETE | FILE_READ_ATTRIBUTES, kShareAll, FILE_OPEN, 0, &handle);
    if (!Succeeded(status))
        return Settle(dir, kDelete, status);
    if (WineFollowedLink(dir->handle, name, handle)) {
        CloseHandle(handle);  // what a link points to is not ours, and the link cannot go alone
        return Settle(dir, kDelete, kStatusRefusedHere);
    }
    // A folder that kept none of its entries is refused only while their
    // deletions wait for other programs' handles to close.
    status = DeleteByHandle(handle);
    CloseHandle(handle);
    return Settle(dir, dir->childKept ? kDelete : kRemoveEmptied, status);
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
        ok = Succeeded(RetryWhileHeld(root->kept ? kDelete : kRemoveEmptied, [&] {
            HANDLE handle = root->handle;
            if (!root->deletable) {
                NTSTATUS status = OpenByPath(path, DELETE | FILE_READ_ATTRIBUTES | FILE_WRITE_ATTRIBUTES, kShareAll, kRootOptions, &handle);
                if (!Succeeded(status))
                    return status;  // held still, or gone
                if (!SameFile(handle, root->handle)) {
                    CloseHandle(handle);
                    return kStatusRefusedHere;  // a stranger: never ours to remove
                }
            }
            NTSTATUS deleted = DeleteByHandle(handle);
            if (handle != root->handle)
                CloseHandle(handle);
            return deleted;
        }));
    }
    CloseTreeDir(root);
    return ok;
}
