// cMolvarState: the lists a stream has opened and not yet filled.
//
// Each open list is a ListFrame on a stack, innermost on top. A frame does
// not hold a Python list while it fills: it holds the items received so
// far in a block that grows with them, and the list is made, at its final
// size, only when the last item arrives. So a header that announces many
// items costs nothing until the items come, and no list with empty slots
// is ever reachable from Python code (not even through the gc module).
// The state takes part in garbage collection: it reports the items it holds
// (complete values, never a list being filled), so that a cycle through a
// state and its items is freed.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <cstdint>

#include "codec/context.h"

namespace molvar {

constexpr int32_t INLINE_SLOTS = 8;

struct ListFrame {
    ListFrame* next;     // the enclosing list's frame; null at the bottom
    PyObject** items;    // owned references in [0, filled); inlineItems or a heap block
    int32_t filled;      // items stored so far
    int32_t expected;    // the item count from the header
    int32_t slots;       // usable size of `items` (at most its block); in a spare frame, of its kept block
    PyObject* inlineItems[INLINE_SLOTS];
};

}  // namespace molvar

struct cMolvarState {
    PyObject_HEAD
    molvar::ListFrame* stack;        // top (innermost) open list; null when none is open
    molvar::ListFrame* spareFrames;  // popped frames kept for reuse, linked by `next`
    int32_t spareCount;
    PyObject* kept;                  // the last top-level value delivered to no receiver (owned), or null
    // Limits a reader sets (a server, per connection), beyond the format's:
    int32_t depth;                   // lists open now
    int32_t maxDepth;                // the most lists open at once (INT32_MAX: no limit)
    int64_t held;                    // bytes charged for the open lists (cMolvarState_charge)
    int64_t maxHeld;                 // the reader's max_buffer_size (INT64_MAX: no limit, and nothing is charged)
    unsigned long owner;             // the thread of the dataReceived working on it, or 0 (see Claim)
    molvar::Context* context;        // what made it; it outlives the state (the state's type holds its module)
    cMolvarState* nextKept;          // in a destroyed state kept for reuse: the next one kept
};

namespace molvar {

// What a limited state charges the open lists, so that it holds the same
// whatever the reads: a fixed sum for each list opened and for each value
// stored, never what a block happens to take (that follows the reads).
// A value: its wire bytes, and its object and two of its list's slots (a
// block grows by doubling), for the largest of the smallest objects, an
// empty list (56 bytes).
constexpr int64_t VALUE_CHARGE = 72;

inline int64_t valueCharge(Py_ssize_t wireBytes) { return VALUE_CHARGE + wireBytes; }

// A new state of `context`'s state type, or null with the exception set.
PyObject* newState(Context& context);
// The state type's tp_dealloc: a destroyed state may be kept for reuse.
void stateDealloc(PyObject* self);
// Frees the destroyed states `context` keeps.
void freeKeptStates(Context& context);

int cMolvarState_traverse(PyObject* self, visitproc visit, void* arg);
// Releases the open lists and their items, as when the state is destroyed.
int cMolvarState_clear(PyObject* self);

// A list opened: its frame, which holds its first items, and which the
// list made when it is full takes no more than.
constexpr int64_t FRAME_CHARGE = static_cast<int64_t>(sizeof(ListFrame));

// Opens a list of `count` items (count > 0), with room for `reserve` of
// them (at most `count`) taken at once when that is more than the inline
// slots; the caller has charged it (FRAME_CHARGE) where the state has a
// limit on what it holds. Fails for memory, or (MolvarError) past the
// state's max_depth; a reservation that cannot be had is not a failure,
// the slots then grow as items come.
int cMolvarState_push(cMolvarState* state, int32_t count, int32_t reserve);

// Opens a frame for `list`, from newListToFill (codec/list.h) with room for
// `count` items and the first `filled` put (0 <= filled < count): the frame
// takes its items, and the list is left for the caller to release. It is
// how a list begun outside the frames (made whole until its chunk ended)
// goes on in one. Fails for memory, the state and the list as they were.
int cMolvarState_pushFilled(cMolvarState* state, int32_t count, PyObject* list, int32_t filled);

// Closes the top frame, releasing its items: undoes cMolvarState_pushFilled
// of the decoder's own lists, whose items (ints, floats, byte strings and
// such lists) run no host code when released.
void cMolvarState_dropTop(cMolvarState* state);

// Hands `value` on, stealing the reference whatever happens: into the top
// open list, or, when none is open, to `callback`: called with it as its
// one argument or, when it is a list, appended to it; with no callback
// (null), kept in the state's `kept` in place of the one before.
int cMolvar_deliver(cMolvarState* state, PyObject* value, PyObject* callback);

// Pops every full frame from the top and delivers its list. Nothing is
// held once the outermost list is popped: the charge starts again from 0.
int cMolvarState_completeLists(cMolvarState* state, PyObject* callback);

// Raises the MolvarError of a charge past maxHeld. -1. Only for
// cMolvarState_charge.
int cMolvarState_refuseHeld(const cMolvarState* state);

// The one point where the limit on what a state holds is applied: charges
// `bytes` to the open lists (with `keep`), or only tests that they would
// fit (a byte string, at its header, for the bytes it is about to need).
// 0, or -1 with the refusal raised past max_buffer_size. Callers charge
// only states with a limit, so that one without pays nothing.
inline int cMolvarState_charge(cMolvarState* state, int64_t bytes, bool keep = true)
{
    if (bytes > state->maxHeld - state->held) {  // held <= maxHeld: no overflow
        return cMolvarState_refuseHeld(state);
    }
    if (keep) {
        state->held += bytes;
    }
    return 0;
}

inline bool cMolvarState_topIsFull(const cMolvarState* state)
{
    return state->stack != nullptr && state->stack->filled == state->stack->expected;
}

}  // namespace molvar
