#include "codec/state.h"

#include <algorithm>
#include <cstring>
#include <utility>

#include "codec/list.h"

using namespace molvar;

namespace {

constexpr int32_t MAX_SPARE_FRAMES = 64;
// A spare frame keeps an item block up to this size for its next list.
constexpr int32_t MAX_KEPT_SLOTS = 64;

void releaseItems(ListFrame* frame)
{
    for (int32_t i = 0; i < frame->filled; ++i) {
        Py_DECREF(frame->items[i]);
    }
    if (frame->items != frame->inlineItems) {
        PyMem_Free(frame->items);
    }
    frame->items = frame->inlineItems;
    frame->filled = 0;
}

// Frees an empty frame and its item block.
void freeFrame(ListFrame* frame)
{
    if (frame->items != frame->inlineItems) {
        PyMem_Free(frame->items);
    }
    PyMem_Free(frame);
}

// Keeps an emptied frame for the next push, with its item block when that
// is small, or frees it.
void recycle(cMolvarState* state, ListFrame* frame)
{
    if (state->spareCount >= MAX_SPARE_FRAMES) {
        freeFrame(frame);
        return;
    }
    if (frame->items != frame->inlineItems && frame->slots > MAX_KEPT_SLOTS) {
        PyMem_Free(frame->items);
        frame->items = frame->inlineItems;
    }
    frame->next = state->spareFrames;
    state->spareFrames = frame;
    ++state->spareCount;
}

// Makes room for one more item in `frame`, growing its block geometrically
// up to the expected count (under a limit, the items' charge covers it).
int growSlots(ListFrame* frame)
{
    int32_t slots = std::min(frame->expected, std::max(2 * frame->slots, INLINE_SLOTS));
    PyObject** items = nullptr;
    if (frame->items == frame->inlineItems) {
        items = static_cast<PyObject**>(PyMem_Malloc(sizeof(PyObject*) * static_cast<std::size_t>(slots)));
        if (items != nullptr) {
            std::memcpy(items, frame->inlineItems, sizeof(PyObject*) * static_cast<std::size_t>(frame->filled));
        }
    } else {
        items = static_cast<PyObject**>(PyMem_Realloc(frame->items, sizeof(PyObject*) * static_cast<std::size_t>(slots)));
    }
    if (items == nullptr) {
        PyErr_NoMemory();
        return -1;
    }
    frame->items = items;
    frame->slots = slots;
    return 0;
}

// A list's item block and its fields, where the release's layout is known:
// MOLVAR_LIST_LAYOUT (codec/list.h).

// Moves a full frame's items into a new list; the frame is left empty.
// Where the list layout is known, the list is made empty, and given its
// items in a block of the allocator lists use: when the frame's block was
// made for this list, to its size (one of more items than a kept block
// holds, never kept for another), that block itself; otherwise a copy,
// which skips the zeroing a list made at its size would do.
PyObject* takeList(ListFrame* frame)
{
    const Py_ssize_t size = frame->filled;
#ifdef MOLVAR_LIST_LAYOUT
    const bool fillInPlace = size == 0;
#else
    const bool fillInPlace = true;
#endif
    PyObject* list = PyList_New(fillInPlace ? size : 0);
    if (list == nullptr) {
        releaseItems(frame);
        return nullptr;
    }
    if (fillInPlace) {
        for (Py_ssize_t i = 0; i < size; ++i) {
            PyList_SET_ITEM(list, i, frame->items[i]);
        }
        frame->filled = 0;  // the block stays, for recycle() to keep or free
        return list;
    }
#ifdef MOLVAR_LIST_LAYOUT
    PyObject** items = nullptr;
    if (size > MAX_KEPT_SLOTS) {
        items = std::exchange(frame->items, frame->inlineItems);
    } else {
        items = static_cast<PyObject**>(PyMem_Malloc(sizeof(PyObject*) * static_cast<std::size_t>(size)));
        if (items == nullptr) {
            Py_DECREF(list);
            releaseItems(frame);
            PyErr_NoMemory();
            return nullptr;
        }
        std::memcpy(items, frame->items, sizeof(PyObject*) * static_cast<std::size_t>(size));
    }
    auto* taker = reinterpret_cast<PyListObject*>(list);
    taker->ob_item = items;
    taker->allocated = size;
    Py_SET_SIZE(list, size);
    frame->filled = 0;
#endif
    return list;
}

// Releases the frames of a stack already detached from its state, with
// their items: releasing an item may run host code, which must not find
// them through the state.
void releaseStack(ListFrame* stack)
{
    while (ListFrame* frame = stack) {
        stack = frame->next;
        releaseItems(frame);
        PyMem_Free(frame);
    }
}

}  // namespace

namespace molvar {

int cMolvarState_traverse(PyObject* self, visitproc visit, void* arg)
{
    if (PyType_GetFlags(Py_TYPE(self)) & Py_TPFLAGS_HEAPTYPE) {
        Py_VISIT(Py_TYPE(self));  // an instance of a heap type holds its type
    }
    for (ListFrame* frame = reinterpret_cast<cMolvarState*>(self)->stack; frame != nullptr; frame = frame->next) {
        for (int32_t i = 0; i < frame->filled; ++i) {
            Py_VISIT(frame->items[i]);
        }
    }
    Py_VISIT(reinterpret_cast<cMolvarState*>(self)->kept);
    return 0;
}

int cMolvarState_refuseHeld(const cMolvarState* state)
{
    PyErr_Format(state->context->errorClass,
                 "more than %lld bytes held for values not yet delivered (max_buffer_size=%lld)",
                 static_cast<long long>(state->maxHeld), static_cast<long long>(state->maxHeld));
    return -1;
}

int cMolvarState_clear(PyObject* self)
{
    reinterpret_cast<cMolvarState*>(self)->depth = 0;
    reinterpret_cast<cMolvarState*>(self)->held = 0;
    releaseStack(std::exchange(reinterpret_cast<cMolvarState*>(self)->stack, nullptr));
    Py_CLEAR(reinterpret_cast<cMolvarState*>(self)->kept);
    return 0;
}

int cMolvarState_push(cMolvarState* state, int32_t count, int32_t reserve)
{
    if (state->depth >= state->maxDepth) {
        PyErr_Format(state->context->errorClass, "more than %d lists open at once (max_depth=%d)", state->maxDepth,
                     state->maxDepth);
        return -1;
    }
    ListFrame* frame = state->spareFrames;
    if (frame != nullptr) {
        state->spareFrames = frame->next;
        --state->spareCount;
    } else {
        frame = static_cast<ListFrame*>(PyMem_Malloc(sizeof(ListFrame)));
        if (frame == nullptr) {
            PyErr_NoMemory();
            return -1;
        }
        frame->items = frame->inlineItems;
    }
    // A spare frame may come with a kept block, of `slots` items at least.
    const int32_t room = frame->items == frame->inlineItems ? INLINE_SLOTS : frame->slots;
    frame->filled = 0;
    frame->expected = count;
    frame->slots = std::min(count, room);
    if (reserve > room) {
        auto* items = static_cast<PyObject**>(PyMem_Malloc(sizeof(PyObject*) * static_cast<std::size_t>(reserve)));
        if (items != nullptr) {
            if (frame->items != frame->inlineItems) {
                PyMem_Free(frame->items);
            }
            frame->items = items;
            frame->slots = reserve;
        }
    }
    frame->next = state->stack;
    state->stack = frame;
    ++state->depth;
    return 0;
}

int cMolvarState_pushFilled(cMolvarState* state, int32_t count, PyObject* list, int32_t filled)
{
#ifdef MOLVAR_LIST_LAYOUT
    if (cMolvarState_push(state, count, 0) < 0) {
        return -1;
    }
    // The list's block is a PyMem block of `count` slots, as a frame's is:
    // it moves, and the list is left empty.
    ListFrame* frame = state->stack;
    if (frame->items != frame->inlineItems) {
        PyMem_Free(frame->items);
    }
    auto* taken = reinterpret_cast<PyListObject*>(list);
    frame->items = std::exchange(taken->ob_item, nullptr);
    frame->slots = static_cast<int32_t>(std::exchange(taken->allocated, 0));
    frame->filled = filled;
    Py_SET_SIZE(list, 0);
#else
    if (cMolvarState_push(state, count, filled) < 0) {
        return -1;
    }
    ListFrame* frame = state->stack;
    while (frame->slots < filled) {  // the reservation could not be had
        if (growSlots(frame) < 0) {
            cMolvarState_dropTop(state);
            return -1;
        }
    }
    for (int32_t i = 0; i < filled; ++i) {
        frame->items[i] = PyList_GET_ITEM(list, i);
        Py_INCREF(frame->items[i]);
    }
    frame->filled = filled;
#endif
    return 0;
}

void cMolvarState_dropTop(cMolvarState* state)
{
    ListFrame* frame = state->stack;
    state->stack = frame->next;
    --state->depth;
    releaseItems(frame);
    recycle(state, frame);
}

int cMolvar_deliver(cMolvarState* state, PyObject* value, PyObject* callback)
{
    ListFrame* top = state->stack;
    if (top != nullptr) {
        if (top->filled == top->slots && growSlots(top) < 0) {
            Py_DECREF(value);
            return -1;
        }
        top->items[top->filled++] = value;
        return 0;
    }
    if (callback == nullptr) {
        Py_XSETREF(state->kept, value);
        return 0;
    }
    if (PyList_CheckExact(callback)) {
        // The native API's receiver: a list that collects top-level values.
        int status = PyList_Append(callback, value);
        Py_DECREF(value);
        return status;
    }
    PyObject* result = PyObject_CallOneArg(callback, value);
    Py_DECREF(value);
    if (result == nullptr) {
        return -1;
    }
    Py_DECREF(result);
    return 0;
}

int cMolvarState_completeLists(cMolvarState* state, PyObject* callback)
{
    while (cMolvarState_topIsFull(state)) {
        // Unlink first: making the list may run the garbage collector, and
        // so host code that could use this state.
        ListFrame* frame = state->stack;
        state->stack = frame->next;
        --state->depth;
        if (state->stack == nullptr) {
            state->held = 0;  // the outermost list: all it held goes with it
        }
        PyObject* list = takeList(frame);
        recycle(state, frame);
        if (list == nullptr) {
            return -1;
        }
        ListFrame* top = state->stack;
        if (top != nullptr && top->filled < top->slots) {
            top->items[top->filled++] = list;  // into the enclosing list: the common case
        } else if (cMolvar_deliver(state, list, callback) < 0) {
            return -1;
        }
    }
    return 0;
}

PyObject* newState(Context& context)
{
    cMolvarState* state = context.keptStates;
    if (state != nullptr) {
        context.keptStates = state->nextKept;
        --context.keptStateCount;
        PyObject_Init(reinterpret_cast<PyObject*>(state), context.stateType);
    } else {
        state = PyObject_GC_New(cMolvarState, context.stateType);
        if (state == nullptr) {
            return nullptr;
        }
        state->spareFrames = nullptr;
        state->spareCount = 0;
        state->kept = nullptr;
        state->context = &context;
    }
    state->stack = nullptr;
    state->owner = 0;
    state->depth = 0;
    state->maxDepth = INT32_MAX;
    state->held = 0;
    state->maxHeld = INT64_MAX;
    PyObject_GC_Track(state);
    return reinterpret_cast<PyObject*>(state);
}

void stateDealloc(PyObject* self)
{
    auto* state = reinterpret_cast<cMolvarState*>(self);
    PyTypeObject* type = Py_TYPE(self);
    PyObject_GC_UnTrack(self);
    // Releasing the items may run host code, even newState(): the state is
    // kept only once they are gone.
    releaseStack(std::exchange(state->stack, nullptr));
    Py_CLEAR(state->kept);
    Context& context = *state->context;
    if (context.keptStateCount < context.maxKeptStates) {
        state->nextKept = context.keptStates;
        context.keptStates = state;
        ++context.keptStateCount;
    } else {
        while (ListFrame* frame = state->spareFrames) {
            state->spareFrames = frame->next;
            freeFrame(frame);
        }
        PyObject_GC_Del(self);
    }
    if (PyType_GetFlags(type) & Py_TPFLAGS_HEAPTYPE) {
        Py_DECREF(type);  // held by the instance; a kept state takes it again when reused
    }
}

void freeKeptStates(Context& context)
{
    while (cMolvarState* state = context.keptStates) {
        context.keptStates = state->nextKept;
        --context.keptStateCount;
        while (ListFrame* frame = state->spareFrames) {
            state->spareFrames = frame->next;
            freeFrame(frame);
        }
        PyObject_GC_Del(state);
    }
}

}  // namespace molvar
