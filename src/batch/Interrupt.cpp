#include "batch/Interrupt.h"

#include <atomic>
#include <csignal>

#include <signal.h>

namespace skyvane::batch {

namespace {

// Lock-free, so the handler may set it whatever thread the signal lands on.
std::atomic<bool> interrupted{false};
static_assert(std::atomic<bool>::is_always_lock_free);

extern "C" void NoteInterrupt(int)
{
    interrupted.store(true, std::memory_order_relaxed);
}

} // namespace

void InstallInterruptHandlers()
{
    struct sigaction action = {};
    action.sa_handler = NoteInterrupt;
    sigemptyset(&action.sa_mask);
    // Reads and writes under way go on: the run stops at its next look. A second signal
    // ends the program at once, for whatever might not look soon enough.
    action.sa_flags = SA_RESTART | SA_RESETHAND;
    sigaction(SIGINT, &action, nullptr);
    sigaction(SIGTERM, &action, nullptr);
}

bool InterruptRequested()
{
    return interrupted.load(std::memory_order_relaxed);
}

} // namespace skyvane::batch
