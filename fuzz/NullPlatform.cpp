// A platform seam that touches nothing, for fuzzing the entry: every file
// operation fails and is counted, so a fuzzer can drive the real entry and
// dispatch at full speed and check that a rejected word reached no file.
#include "NullPlatform.h"

#include "Platform.h"

long g_platformCalls;

void GetCommandArguments(int *, char ***) {}
bool CopyFileOver(const char *, const char *) { return ++g_platformCalls, false; }
bool CopyOverOwnFile(const char *, const char *) { return ++g_platformCalls, false; }
bool DeleteUnlessReadOnly(const char *) { return ++g_platformCalls, false; }
bool IsAbsent(const char *) { return ++g_platformCalls, false; }
long long SetAsideFile(const char *) { return ++g_platformCalls, -1; }
void DropSetAside(const char *) { ++g_platformCalls; }
bool DeleteConsumedCopy(const char *) { return ++g_platformCalls, false; }
FileComparison CompareFileContents(const char *, const char *) { return ++g_platformCalls, kCannotTell; }
bool MoveFileNoReplace(const char *, const char *) { return ++g_platformCalls, false; }
bool IsRegularFile(const char *) { return ++g_platformCalls, false; }
bool IsLinkPath(const char *) { return ++g_platformCalls, false; }
bool RemoveLinkPath(const char *) { return ++g_platformCalls, false; }
TreeDir *OpenTreeRoot(const char *) { return ++g_platformCalls, nullptr; }
TreeDir *OpenTreeChild(TreeDir *, const char *) { return ++g_platformCalls, nullptr; }
void MakeTreeDirWritable(TreeDir *) { ++g_platformCalls; }
bool ReadTreeEntry(TreeDir *, TreeEntry *) { return ++g_platformCalls, false; }
bool DeleteTreeEntry(TreeDir *, const char *, unsigned) { return ++g_platformCalls, false; }
void CloseTreeDir(TreeDir *) { ++g_platformCalls; }
bool RemoveTreeRoot(TreeDir *, const char *) { return ++g_platformCalls, false; }
bool WaitForHeldEntries(TreeDir *) { return false; }
