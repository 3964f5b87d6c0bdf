// What must be undone however the process ends. The terminal's modes and a
// file written under a temporary name are put right by whoever set them up
// when the program ends by itself; this list is for the other ways: a
// crash, a signal or console event that ends the process at once, a call
// to exit() from anywhere. Each owner adds what it must undo while it is in
// force and removes it once undone. The list lives in fixed storage and is
// run from signal handlers, so an action may only make async-signal-safe
// calls (write, tcsetattr, unlinkat, ...): no allocation, no lock, no stdio.
#pragma once

namespace pluck {

using CleanupAction = void (*)(void* context);

// As many undoings as can be in force at once.
constexpr int max_cleanups = 8;

// Adds `action`, to be run with `context`; the first one added also puts
// system's handlers for crashes in place and runs the list at exit. A
// handle for remove_cleanup(), or -1 when the list is full.
int add_cleanup(CleanupAction action, void* context);

// Takes the action `handle` names off the list (nothing for -1), and sets
// `handle` to -1. Once this returns, a crash no longer runs it.
void remove_cleanup(int& handle);

// Runs every action on the list, the latest added first, each at most
// once, however many threads or handlers call this at once.
void run_cleanups();

}  // namespace pluck
