// The Linux layer's batched unlinks for the removal walk, in the builds the
// benchmark compares with the default (FW_UNLINKS io_uring or plain).
//
// Files are the bulk of a tree, and a plain walk pays one system call for each.
// Where the kernel offers io_uring, file unlinks are queued instead and handed
// over in batches: still one unlinkat per file, each relative to its open
// directory, but one system call per batch. Where io_uring is missing or
// refused (an old kernel, a sandbox), each file is unlinked on the spot.
//
// A queued unlink names its directory by descriptor, so every pending batch is
// settled before any directory descriptor is closed; a directory is therefore
// never removed, closed or re-listed with an unlink of its own still pending.
#include <errno.h>
#include <fcntl.h>
#include <unistd.h>

#include <cstring>

#ifdef FW_HAVE_IO_URING
#include <liburing.h>
#endif

#include "PosixLayer.h"
#include "TestHooks.h"

#ifdef FW_HAVE_IO_URING
const unsigned kBatch = 256;
// Below this many, a batch costs more than it saves (a deep chain of folders
// with a file or two each): those unlinks are done one by one.
const unsigned kWorthABatch = 16;

struct PendingUnlink {
    int fd;
    RemovalTally *tally;  // the walk counts only removals that happened
    char name[256];  // NAME_MAX + 1: the listing buffer moves on before the batch runs
};

enum BatchState { kUntried, kReady, kRefused };

static struct {
    struct io_uring ring;
    BatchState state;
    unsigned queued;
    PendingUnlink pending[kBatch];
} g_batch;

// Sets the ring up on first use; false where io_uring is missing or refused.
static bool BatchReady() {
    if (g_batch.state == kUntried) {
        // One thread submits and reaps, so the kernel may run the work at
        // reaping time in this thread; older kernels take no flags.
        struct io_uring_params params = {};
        params.flags = IORING_SETUP_SINGLE_ISSUER | IORING_SETUP_DEFER_TASKRUN;
        bool ready = !InjectedFault("IoUringSetup", "") &&
                     (io_uring_queue_init_params(kBatch, &g_batch.ring, &params) == 0 ||
                      io_uring_queue_init(kBatch, &g_batch.ring, 0) == 0);
#ifdef FW_IOWQ_ONE_WORKER
        // The kernel would start a worker per unlink waiting, all of them
        // queueing on the directory's lock: one runs them in turn.
        unsigned workers[2] = {1, 1};
        if (ready)
            io_uring_register_iowq_max_workers(&g_batch.ring, workers);
#endif
        g_batch.state = ready ? kReady : kRefused;
    }
    return g_batch.state == kReady;
}

// Hands the queued unlinks to the ring and waits for them all; false when the
// ring failed, and then those that did not complete are left to the caller
// (marked by a descriptor still set).
static bool RunBatch() {
    unsigned count = g_batch.queued;
    for (unsigned i = 0; i < count; ++i) {
        struct io_uring_sqe *sqe = io_uring_get_sqe(&g_batch.ring);
        if (!sqe)
            return false;  // cannot happen: the ring holds a whole batch
        io_uring_prep_unlinkat(sqe, g_batch.pending[i].fd, g_batch.pending[i].name, 0);
        io_uring_sqe_set_data64(sqe, i);
    }
    int result;
    while ((result = io_uring_submit_and_wait(&g_batch.ring, count)) == -EINTR) {
    }
    for (unsigned left = count; left; --left) {
        struct io_uring_cqe *cqe = nullptr;
        while (result >= 0 && (result = io_uring_wait_cqe(&g_batch.ring, &cqe)) == -EINTR) {
        }
        if (result < 0)
            return false;
        PendingUnlink &unlink = g_batch.pending[cqe->user_data];
        // A file that became a directory since it was listed goes as one.
        int res = cqe->res;
        if (res == -EISDIR)
            res = unlinkat(unlink.fd, unlink.name, AT_REMOVEDIR);
        (res == 0 ? unlink.tally->removed : unlink.tally->kept) = true;
        unlink.fd = -1;
        io_uring_cqe_seen(&g_batch.ring, cqe);
    }
    return true;
}

// Settles every queued unlink: as one batch when there are enough of them and
// the ring works, else one by one. A failed ring is not tried again (a second
// unlink of a name the ring did remove finds nothing and harms nothing).
void FlushUnlinks() {
    if (g_batch.queued >= kWorthABatch && BatchReady() && !RunBatch())
        g_batch.state = kRefused;
    for (unsigned i = 0; i < g_batch.queued; ++i) {
        PendingUnlink &unlink = g_batch.pending[i];
        if (unlink.fd < 0)
            continue;
        bool ok = unlinkat(unlink.fd, unlink.name, 0) == 0 ||
                  (errno == EISDIR && unlinkat(unlink.fd, unlink.name, AT_REMOVEDIR) == 0);
        (ok ? unlink.tally->removed : unlink.tally->kept) = true;
    }
    g_batch.queued = 0;
}

bool QueueUnlink(int fd, const char *name, int flags, RemovalTally *tally) {
    size_t length = strlen(name);
    if (flags || length >= sizeof g_batch.pending[0].name || g_batch.state == kRefused)
        return false;
    if (g_batch.queued == kBatch)
        FlushUnlinks();
    PendingUnlink &unlink = g_batch.pending[g_batch.queued++];
    unlink.fd = fd;
    unlink.tally = tally;
    memcpy(unlink.name, name, length + 1);
    return true;
}

void EndBatches() {
    FlushUnlinks();
    if (g_batch.state == kReady)
        io_uring_queue_exit(&g_batch.ring);
    g_batch.state = kUntried;
}

// Out of descriptors, the walk needs the ring's one more than the batching.
bool GiveUpBatches() {
    if (g_batch.state != kReady)
        return false;
    EndBatches();
    g_batch.state = kRefused;
    return true;
}
#else
void FlushUnlinks() {}
bool QueueUnlink(int, const char *, int, RemovalTally *) { return false; }
void EndBatches() {}
bool GiveUpBatches() { return false; }
#endif

// A batch is always settled before a descriptor closes: nothing queued
// outlives its directory.
void CloseDirWhenSettled(int fd) {
    FlushUnlinks();
    close(fd);
}

void ForgetTally(RemovalTally *) {}
