// The engine "FAULTY": wraps a connection of another engine and makes one chosen call fail, so
// that tests can show that every database call of a code path has its failure handled. Calls
// are counted over every FAULTY connection and its statements (connect, disconnect, commit,
// rollback, prepare, execute, control, begRead, describe, exeRead, endRead, modify); the
// failing call does not reach the inner engine and returns the configured code with the
// configured text in the comm area (dbCode -1). Every other call is passed through, and the
// comm area is the inner engine's.
//
// A test typically runs its path once with failAt 0, reads dbif_faulty_calls(), and then runs
// it again with each failAt from 1 to that count.
#pragma once

#include "dbif.h"

// Registers the engine under "FAULTY": its connections wrap the engine `inner` and never fail
// until dbif_faulty_set says otherwise.
void dbif_faulty_register(const char16_t* inner);
// The engine to wrap for connections opened from now on, the number of the call that fails
// (1-based, counted from this call on; 0: none) and its return code and text. Resets the count.
void dbif_faulty_set(const char16_t* inner, unsigned long failAt, int rc, const char16_t* text);
// Calls counted since the last dbif_faulty_set (or registration).
unsigned long dbif_faulty_calls();
