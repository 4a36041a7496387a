// SPDX-License-Identifier: GPL-3.0-or-later

// Holding back the signals that end a program while a delete is half done.

#include "EndingSignals.h"

#include <array>
#include <atomic>
#include <csignal>

namespace quellon {
namespace {

constexpr std::array kEndingSignals = {SIGTERM, SIGHUP, SIGINT};

// Lock-free atomics only: the handler reads and writes them.
std::atomic<int> held{0};
std::atomic<int> pending{0};
static_assert(std::atomic<int>::is_always_lock_free);

// Ends the program as the signal's default action would.
void endBy(int signal)
{
    static_cast<void>(std::signal(signal, SIG_DFL));
    static_cast<void>(std::raise(signal));
}

extern "C" void onEndingSignal(int signal)
{
    if (held.load() > 0) {
        pending.store(signal);
        return;
    }
    endBy(signal);
}

} // namespace

void DeferEndingSignalsDuringDeletes()
{
    for (int signal : kEndingSignals) {
        struct sigaction current {};
        if (::sigaction(signal, nullptr, &current) != 0 || current.sa_handler != SIG_DFL)
            continue;
        struct sigaction action {};
        action.sa_handler = onEndingSignal;
        action.sa_flags = SA_RESTART;
        sigemptyset(&action.sa_mask);
        static_cast<void>(::sigaction(signal, &action, nullptr));
    }
}

EndingSignalsHeld::EndingSignalsHeld()
{
    held.fetch_add(1);
}

EndingSignalsHeld::~EndingSignalsHeld()
{
    if (held.fetch_sub(1) == 1) {
        if (const int signal = pending.exchange(0); signal != 0)
            endBy(signal);
    }
}

} // namespace quellon
