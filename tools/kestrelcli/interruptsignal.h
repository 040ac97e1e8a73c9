#pragma once

// Ctrl-C (and SIGTERM) as a flag that a long-running command polls, so that
// it can stop between two requests and leave the terminal as it found it.
// Commands that do not install it keep the default: the signal ends them.
class InterruptSignal
{
public:
    static void install();
    static bool raised();
};
