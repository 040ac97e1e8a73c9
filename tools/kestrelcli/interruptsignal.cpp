#include "interruptsignal.h"

#include <csignal>

namespace {

volatile std::sig_atomic_t g_raised = 0;

extern "C" void onInterrupt(int)
{
    g_raised = 1;
}

} // namespace

void InterruptSignal::install()
{
    std::signal(SIGINT, onInterrupt);
    std::signal(SIGTERM, onInterrupt);
}

bool InterruptSignal::raised()
{
    return g_raised != 0;
}
