// Resetting the whole host kernel between scenarios.
#pragma once

typedef void (*HkResetHook)();

// Components register once (a second registration of the same hook is
// ignored). HkReset calls the hooks in reverse order of registration.
void HkRegisterResetHook(HkResetHook hook);

// Stops real-time mode, runs the reset hooks, then resets the dispatcher
// (timers, DPC queue, clock to 0), fault injection and the calling thread's
// state, prints any pool still outstanding and forgets (frees) it.
void HkReset();
