// The one seam between fwmaint's logic and the operating system.
//
// Everything above this header reads the same on every platform. Below it sits
// exactly one implementation file per platform, picked by the build. Paths given
// to these functions are the helper's fixed relative paths, written with
// backslashes as the installer knows them ("sa\ruleset\local.cf"); names read
// from the disk reach the platform only as entries of an open directory and are
// never split or reinterpreted.
#pragma once

#include <cstddef>

// The program's arguments, its own path first. Where the platform hands the
// program its raw command line (Windows), this is where it gets split by the
// helper's own rule; where arguments arrive split, they pass through as given.
void GetCommandArguments(int *argc, char ***argv);

// File operations: each keeps the Win32 rule the commands were written against,
// and none of them follows a link on the way to its file.

// CopyFileA(from, to, FALSE): replaces `to` with a copy of `from` (contents,
// permission bits or attributes, modification time). Fails, leaving `to` as it
// was, when `from` is missing or not a regular file, or `to` is read-only or a
// directory. The copy is written beside `to` under a temporary name, flushed to
// disk and only then renamed over `to`: a failure half-way never leaves a
// truncated destination or a stray temporary.
bool CopyFileOver(const char *from, const char *to);

// CopyFileOver for a destination that is the helper's own file (a saved
// copy): a read-only bit it carries, copied from an earlier source, does not
// refuse the replacement. The copy still carries its own source's bit, and a
// copy that fails leaves the earlier file whole.
bool CopyOverOwnFile(const char *from, const char *to);

// DeleteFileA: deletes one file (or a link, as a link). Fails on a missing
// file, a directory and a read-only file.
bool DeleteUnlessReadOnly(const char *path);

// Deletes a file the helper wrote itself (a saved copy in transit), even when
// it carries a read-only bit copied over from the file it saves. Its name
// goes at once, even while another program still holds the file. Fails on a
// missing file and a directory.
bool DeleteConsumedCopy(const char *path);

// What a byte-for-byte comparison of two files could tell.
enum FileComparison {
    kSameBytes,       // both regular files, read whole, with the same bytes
    kDifferentBytes,  // known to differ: sizes or bytes differ, or one is
                      // missing or no regular file (a link, a folder)
    kCannotTell,      // one could not be opened or read whole (no read
                      // permission, held past the wait budget, an I/O error)
};

// Compares the bytes of `a` and `b`, neither followed through a link. Neither
// is opened if it could block (a FIFO, a device). A comparison that could not
// be made is never reported as a difference: callers act on kDifferentBytes.
// Written once for every platform (CompareFiles.cpp), on the four below.
FileComparison CompareFileContents(const char *a, const char *b);

// A regular file open for reading. Opaque: each platform keeps its handle.
struct ReadableFile;

// Opens the regular file `path` for reading, as itself, never through a link
// and never anything whose open could block or act (a FIFO, a device); a
// file another program holds is waited for. Null on failure, and then
// `*notRegular` says whether it is known that no regular file stands there
// (missing, a folder, a link, a device) rather than that it could not be
// opened (no permission, held past the wait budget, an I/O error).
ReadableFile *OpenReadable(const char *path, bool *notRegular);

// What tells whether a readable file was written to while it was read: its
// size, and the times the platform moves on every write.
struct ReadableStamp {
    unsigned long long size, changed, written;
};

// The stamp of `file` as it is now; false when it cannot be looked up.
bool StampOfReadable(ReadableFile *file, ReadableStamp *stamp);

// Reads exactly `size` bytes; false on an error or an early end.
bool ReadExactly(ReadableFile *file, char *buffer, size_t size);

void CloseReadable(ReadableFile *file);

// True only when it is known that nothing stands under `path`: the name, or
// a folder on its way, does not exist. A name that cannot be looked up (no
// search permission, a link on the way) is not absent.
bool IsAbsent(const char *path);

// Moves the file `path` out of the way, to a set-aside name "<path>.<n>.old"
// that no earlier run has used (TemporaryName.h), so that it can be put back
// or dropped later; returns n, or -1 when `path` is still there. A read-only
// file is refused, as its deletion would be; a file another program holds is
// waited for.
long long SetAsideFile(const char *path);

// Deletes every set-aside copy of `path` that can go now: regular files under
// the exact names SetAsideFile writes. Where the platform cannot delete a
// file while a program runs from it (Windows), such a copy stays until it
// can: the next restart for an administrator, else a later run. Names that
// merely look like set-aside names, and anything but a regular file, stay.
void DropSetAside(const char *path);

// MoveFileA: renames a file. Never replaces an existing `to`; then it fails and
// both files stay as they were.
bool MoveFileNoReplace(const char *from, const char *to);

// True when `path` is a regular file itself, not a link to one.
bool IsRegularFile(const char *path);

// Directory seam for RemoveTree.

// Bits of the attribute word the removal looks at (Win32 values).
const unsigned kAttrReadOnly = 0x1;
const unsigned kAttrDirectory = 0x10;
const unsigned kAttrReparsePoint = 0x400;  // a link of any kind

// One entry of a directory listing. `name` stays valid until the next
// ReadTreeEntry on any directory.
struct TreeEntry {
    const char *name;
    unsigned attributes;
};

// An open directory of the tree being removed. Opaque: each platform keeps
// what it needs to work relative to it.
struct TreeDir;

// True when `path` is a link (symbolic link, junction) rather than what it
// points at.
bool IsLinkPath(const char *path);

// Removes the link `path` itself, never its target.
bool RemoveLinkPath(const char *path);

// Opens the real directory `path` for removal; null when it is missing, not a
// directory, a link, or cannot be listed.
TreeDir *OpenTreeRoot(const char *path);

// Opens the real subdirectory `name` of `parent`, never through a link; null
// when `name` is no longer a real directory or cannot be opened.
TreeDir *OpenTreeChild(TreeDir *parent, const char *name);

// Makes `dir` removable for us, so that neither its entries nor its own
// removal are refused for it: clears its read-only attribute, keeping every
// other bit (Windows), or gives its owner read, write and search back and
// restores the old mode as it closes (Linux).
void MakeTreeDirWritable(TreeDir *dir);

// Hands out the next entry of `dir`, "." and ".." included where the platform
// lists them; false at the end of the listing or when it cannot go on.
bool ReadTreeEntry(TreeDir *dir, TreeEntry *entry);

// Removes the entry `name` of `dir` as what `attributes` says it is: a file or
// link is deleted (read-only or not), a directory removed if it is empty.
// Never follows a link. A file's removal may be batched: true then means
// "queued", and it is settled before `dir` is closed, so a directory's own
// removal always comes after its entries'.
bool DeleteTreeEntry(TreeDir *dir, const char *name, unsigned attributes);

// Ends the listing and releases `dir`.
void CloseTreeDir(TreeDir *dir);

// Releases the root `root` of the walk, as CloseTreeDir does, and removes the
// emptied directory itself: the very directory the walk emptied where the
// platform can remove it through its handle (Windows), else `path`, which
// names it.
bool RemoveTreeRoot(TreeDir *root, const char *path);

// Other programs (a virus scanner, the indexer, a backup agent) may hold a
// file for a moment. Every open, deletion, removal and rename that another
// program's hold refuses is tried again after short, doubling sleeps, until
// one deadline for the whole invocation, kHeldWaitMs after its first hold:
// a file held for good costs at most that, and the rest of the work is still
// done. A refusal that is no hold (the file's permissions, read-only) is
// never waited for. Where no program can hold a file that way (Linux),
// nothing ever waits.
const unsigned kHeldWaitMs = 2000;

// The removal walk tries what was refused again only once the rest of the
// tree is done: true when, since the last call, an entry below `root` was
// refused because another program held it (or its deletion still waits on
// one), and the wait budget allowed a short sleep, just taken. The listing of
// `root` then starts over.
bool WaitForHeldEntries(TreeDir *root);
