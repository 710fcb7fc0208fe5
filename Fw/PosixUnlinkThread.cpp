// The Linux layer's second thread for the removal walk's unlinks.
//
// Unlinking is nearly all of a removal's time, and it is kernel work that one
// core does at a time per directory (the directory's lock is held for each
// unlink). So the walk hands file unlinks to one worker thread through a
// fixed ring, and while the ring is full it unlinks the next files itself:
// the two threads then work about a ring's length apart, in different
// directories of a wide tree, and both cores do unlinks. A directory's first
// few files are always unlinked on the spot, so a deep chain with a file or
// two per level never wakes the worker; it is started only by a tree big
// enough to fill a ring, and not at all by any other command.
//
// Order is kept where it matters, because the worker runs the ring in order:
// a directory's removal and the close of its descriptor go into the ring
// behind its queued unlinks whenever anything is queued, so the walk goes on
// without waiting for them. Every unlink still names its entry relative to
// its open directory, never through a link; only the walk itself lists or
// opens anything. Where the thread cannot be started, every unlink is done
// on the spot, as a plain walk does.
#include <errno.h>
#include <fcntl.h>
#include <pthread.h>
#include <unistd.h>

#include <atomic>
#include <cstring>

#include "PosixLayer.h"
#include "TestHooks.h"

// A thousand entries ahead of the worker, the walk is past a folder of a
// thousand files before they are all gone (the ring is 280 KiB).
const unsigned kSlots = 1024;
// Fewer files than this in a directory are not worth a thread's wake-up.
const unsigned kWorthHandingOver = 16;
// Slots that file unlinks leave to the removals and closes which must queue
// behind them: the walk moves on past a folder without waiting for the
// worker, which a busy machine may not run for milliseconds.
const unsigned kKeptForOrder = 64;

enum OpKind : unsigned char { kUnlinkFile, kRemoveDir, kCloseDir };

struct Op {
    int fd;
    OpKind kind;
    bool ok;              // written by the worker, read once it is done
    RemovalTally *tally;  // read and written by the walk only; null once its directory closed
    char name[256];       // NAME_MAX + 1: the listing buffer moves on before the worker runs
};

enum WorkerState { kUntried, kRunning, kRefused };

// The walk alone writes `head` (ops queued) and the ops at and past it; the
// worker alone writes `done` (ops run). Each reads the other's counter to
// know which ops it may touch. The mutex and conditions are only for
// sleeping: the worker when the ring is empty, the walk when it must wait.
static Op g_ops[kSlots];
static std::atomic<unsigned> g_head, g_done, g_waitFor;
static std::atomic<bool> g_workerAsleep, g_walkAsleep, g_stopping;
static unsigned g_reclaimed;  // ops whose outcome the walk has counted
static WorkerState g_state;
static pthread_t g_thread;
static pthread_mutex_t g_lock = PTHREAD_MUTEX_INITIALIZER;
static pthread_cond_t g_work = PTHREAD_COND_INITIALIZER, g_settled = PTHREAD_COND_INITIALIZER;
static int g_lastFd = -1;   // the directory the walk unlinked in last,
static unsigned g_inLastFd;  // and how many files it asked for there

static void RunOp(Op &op) {
    switch (op.kind) {
    case kUnlinkFile:
        // A file that became a directory since it was listed goes as one.
        op.ok = unlinkat(op.fd, op.name, 0) == 0 || (errno == EISDIR && unlinkat(op.fd, op.name, AT_REMOVEDIR) == 0);
        break;
    case kRemoveDir:
        op.ok = unlinkat(op.fd, op.name, AT_REMOVEDIR) == 0 || (errno == ENOTDIR && unlinkat(op.fd, op.name, 0) == 0);
        break;
    case kCloseDir:
        close(op.fd);
        op.ok = true;
        break;
    }
}

static void *Work(void *) {
    unsigned next = g_done.load();
    for (;;) {
        if (next == g_head.load()) {
            // Sleep only after saying so, and with the ring seen empty after
            // that: the walk reads the flag after publishing an op.
            pthread_mutex_lock(&g_lock);
            g_workerAsleep.store(true);
            while (next == g_head.load() && !g_stopping.load())
                pthread_cond_wait(&g_work, &g_lock);
            g_workerAsleep.store(false);
            pthread_mutex_unlock(&g_lock);
            if (next == g_head.load())
                return nullptr;  // stopping, and nothing left
        }
        RunOp(g_ops[next % kSlots]);
        g_done.store(++next);
        if (g_walkAsleep.load() && next - g_waitFor.load() < kSlots) {
            pthread_mutex_lock(&g_lock);
            pthread_cond_signal(&g_settled);
            pthread_mutex_unlock(&g_lock);
        }
    }
}

// Counts what the worker's finished ops came to, and frees their slots.
static void Reclaim() {
    for (unsigned done = g_done.load(); g_reclaimed != done; ++g_reclaimed) {
        Op &op = g_ops[g_reclaimed % kSlots];
        if (op.tally)
            (op.ok ? op.tally->removed : op.tally->kept) = true;
    }
}

// Waits until the worker has run the op numbered `count` - 1 and all before.
static void WaitUntilDone(unsigned count) {
    if (count - g_done.load() - 1 < kSlots) {
        pthread_mutex_lock(&g_lock);
        // As the worker does, the walk says it sleeps before it looks again.
        g_waitFor.store(count);
        g_walkAsleep.store(true);
        while (count - g_done.load() - 1 < kSlots)
            pthread_cond_wait(&g_settled, &g_lock);
        g_walkAsleep.store(false);
        pthread_mutex_unlock(&g_lock);
    }
    Reclaim();
}

static bool WorkerReady() {
    if (g_state == kUntried) {
        pthread_attr_t attr;
        // The worker needs little stack; a small one keeps the peak memory low.
        bool ready = !InjectedFault("UnlinkWorkerStart", "") && pthread_attr_init(&attr) == 0;
        if (ready) {
            pthread_attr_setstacksize(&attr, 64 * 1024);
            g_stopping.store(false);
            ready = pthread_create(&g_thread, &attr, Work, nullptr) == 0;
            pthread_attr_destroy(&attr);
        }
        g_state = ready ? kRunning : kRefused;
    }
    return g_state == kRunning;
}

static bool RingEmpty() {
    return g_state != kRunning || g_done.load() == g_head.load();
}

// Publishes one op; the caller has made sure its slot is free.
static void Push(int fd, OpKind kind, const char *name, size_t length, RemovalTally *tally) {
    unsigned head = g_head.load();
    Op &op = g_ops[head % kSlots];
    op.fd = fd;
    op.kind = kind;
    op.ok = false;
    op.tally = tally;
    memcpy(op.name, name, length);
    op.name[length] = '\0';
    g_head.store(head + 1);
    if (g_workerAsleep.load()) {
        pthread_mutex_lock(&g_lock);
        pthread_cond_signal(&g_work);
        pthread_mutex_unlock(&g_lock);
    }
}

// Queues an op that must follow those queued before it, waiting for a slot.
static void PushInOrder(int fd, OpKind kind, const char *name, RemovalTally *tally) {
    size_t length = strlen(name);
    WaitUntilDone(g_head.load() + 1 - kSlots);
    Push(fd, kind, name, length, tally);
}

bool QueueUnlink(int fd, const char *name, int flags, RemovalTally *tally) {
    size_t length = strlen(name);
    if (length >= sizeof g_ops[0].name)
        return false;
    if (flags & AT_REMOVEDIR) {
        // Its files may still be queued: the removal waits its turn behind
        // them. With nothing queued it is done on the spot.
        if (RingEmpty())
            return false;
        PushInOrder(fd, kRemoveDir, name, tally);
        return true;
    }
    if (fd != g_lastFd) {
        g_lastFd = fd;
        g_inLastFd = 0;
    }
    if (++g_inLastFd <= kWorthHandingOver || !WorkerReady())
        return false;
    Reclaim();
    // A full ring: the walk unlinks this one itself, meanwhile.
    if (g_head.load() - g_reclaimed >= kSlots - kKeptForOrder)
        return false;
    Push(fd, kUnlinkFile, name, length, tally);
    return true;
}

void CloseDirWhenSettled(int fd) {
    // The descriptor number cannot be handed out again while the close
    // waits, so no queued op can come to name another directory.
    g_lastFd = -1;
    if (RingEmpty())
        close(fd);
    else
        PushInOrder(fd, kCloseDir, "", nullptr);
}

void ForgetTally(RemovalTally *tally) {
    for (unsigned i = g_reclaimed; i != g_head.load(); ++i) {
        if (g_ops[i % kSlots].tally == tally)
            g_ops[i % kSlots].tally = nullptr;
    }
}

void FlushUnlinks() {
    if (g_state == kRunning)
        WaitUntilDone(g_head.load());
}

void EndBatches() {
    if (g_state == kRunning) {
        FlushUnlinks();
        pthread_mutex_lock(&g_lock);
        g_stopping.store(true);
        pthread_cond_signal(&g_work);
        pthread_mutex_unlock(&g_lock);
        pthread_join(g_thread, nullptr);
    }
    g_state = kUntried;
    g_lastFd = -1;
}

// Out of descriptors: the closes waiting in the ring are done now, and the
// rest of this walk closes each directory at once.
bool GiveUpBatches() {
    if (g_state != kRunning)
        return false;
    EndBatches();
    g_state = kRefused;
    return true;
}
