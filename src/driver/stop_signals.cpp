// Signal handlers. They run at any moment, so they use async-signal-safe calls only: the run's
// undo, write(2) for the message and _exit.
#include "driver/stop_signals.h"

#include <atomic>
#include <csignal>
#include <cstring>
#include <unistd.h>

namespace {

std::atomic<zep_run*> watched{nullptr};

void undoRun()
{
    zep_run* run = watched.load();
    if (run != nullptr)
        zep_run_undo(run);
}

void writeText(const char* text, size_t length)
{
    while (length > 0) {
        const ssize_t put = ::write(STDERR_FILENO, text, length);
        if (put <= 0)
            return;
        text += put;
        length -= static_cast<size_t>(put);
    }
}

// The name escaped as everywhere else, so it cannot steer the terminal from here either; the
// handler cannot allocate.
void writeName(const char* name)
{
    for (size_t left = std::strlen(name); left > 0;) {
        char piece[ZEP_ESCAPE_PIECE];
        size_t consumed = 0;
        writeText(piece, zep_escape_piece(name, left, piece, &consumed));
        name += consumed;
        left -= consumed;
    }
}

void onStop(int signal)
{
    undoRun();
    // The signal is blocked while its handler runs: raised again, it ends the process as soon
    // as the handler returns, with the status a shell expects of it.
    std::signal(signal, SIG_DFL);
    std::raise(signal);
}

void onBusError(int, siginfo_t* info, void*)
{
    zep_run* run = watched.load();
    const char* name = run != nullptr ? zep_run_mapped_file(run, info->si_addr) : nullptr;
    if (name == nullptr) {
        // Not a file cut short: a fault of the program, which must end as one.
        std::signal(SIGBUS, SIG_DFL);
        return;
    }
    zep_run_undo(run);
    writeText("[", 1);
    writeName(name);
    static const char kMessage[] = "] changed while being read.\n";
    writeText(kMessage, sizeof kMessage - 1);
    _exit(ZEP_CHANGED_WHILE_READ);
}

}  // namespace

void watchRun(zep_run* run)
{
    watched.store(run);
}

void handleStopSignals()
{
    std::signal(SIGPIPE, SIG_IGN);
    std::signal(SIGXFSZ, SIG_IGN);

    struct sigaction stop = {};
    stop.sa_handler = onStop;
    sigemptyset(&stop.sa_mask);
    for (const int signal : {SIGINT, SIGTERM, SIGHUP})
        sigaddset(&stop.sa_mask, signal);  // one undo at a time
    for (const int signal : {SIGINT, SIGTERM, SIGHUP}) {
        // A signal ignored from the start (nohup, a background job) stays ignored.
        struct sigaction before = {};
        if (sigaction(signal, nullptr, &before) == 0 && before.sa_handler != SIG_IGN)
            sigaction(signal, &stop, nullptr);
    }

    struct sigaction bus = {};
    bus.sa_sigaction = onBusError;
    bus.sa_flags = SA_SIGINFO;
    sigemptyset(&bus.sa_mask);
    for (const int signal : {SIGINT, SIGTERM, SIGHUP})
        sigaddset(&bus.sa_mask, signal);
    sigaction(SIGBUS, &bus, nullptr);
}
