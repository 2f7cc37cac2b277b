// The incremental decoder: one forward pass over a chunk, in place.
//
// Every complete element at the front of the chunk is decoded; its value
// goes into the innermost open list, or to the receiver when none is open.
// An incomplete element stops the pass at its first byte, and that offset
// is returned: the caller presents the bytes from there again, ahead of the
// next chunk, and the open lists carry on from the state.
//
// Host code runs inside a call (the callback, pyb1282int, negation), and
// may even call back in with the same state, so nothing read from the state
// is kept across a delivery.
#include "codec/decoder.h"

#include <algorithm>
#include <cstdio>

#include "codec/bigint.h"
#include "codec/context.h"
#include "codec/critical_section.h"
#include "codec/double.h"
#include "codec/format.h"
#include "codec/ref.h"
#include "codec/state.h"
#include "codec/string_cache.h"

namespace molvar {
namespace {

const char HEADER_LIMIT_TEXT[] =
    "Security precaution: more than 64 bytes of prefix (this should raise an exception).\n";
const char LIST_LIMIT_TEXT[] = "Security precaution: List too long.\n";
const char STRING_LIMIT_TEXT[] = "Security precaution: String too long.\n";

// What the companion's API says instead, where the context explains.
const char EXPLAINED_HEADER_LIMIT[] =
    "a header of more than 64 digit bytes, which no writer of readable values makes "
    "(ints of 2**448 and more take 65): is the input in this format?";

// Raises the refusal of an element whose header declared `declared` (read
// unsigned) of `what` (items, bytes) past SIZE_LIMIT. Returns FAILED's -1.
int refuseSize(const Context& context, const char* fixedText, const char* kind, const char* what, uint32_t declared)
{
    if (!context.explain) {
        PyErr_SetString(context.errorClass, fixedText);
    } else {
        PyErr_Format(context.errorClass, "%s of %u %s declared; at most %d are accepted", kind, declared, what,
                     SIZE_LIMIT);
    }
    return -1;
}

// Diagnostic lines go to the C runtime's standard output, not sys.stdout.
PyObject* complain(const char* line)
{
    std::puts(line);
    std::fflush(stdout);
    Py_RETURN_NONE;
}

// The value of a big integer's digits, through the pyb1282int in use
// (looked up at each use; when it is the companion's own, its work is done
// natively), negated for TYPE_NEGLONG. `settled` tells whether the
// companion's own was found without running host code: until host code
// runs, it is the one in use.
PyObject* decodeBigInt(Context& context, const unsigned char* digits, Py_ssize_t count, bool negative, bool& settled)
{
    bool inNamespace = false;
    Ref converter = converterOf(context, false, &inNamespace);
    if (!converter) {
        return nullptr;
    }
    if (converter.get() == context.ownFromDigits) {
        settled = inNamespace;
        return cMolvar_readBigDigits(digits, count, negative);
    }
    Ref bytes = Ref::steal(PyBytes_FromStringAndSize(reinterpret_cast<const char*>(digits), count));
    if (!bytes) {
        return nullptr;
    }
    Ref value = Ref::steal(PyObject_CallOneArg(converter.get(), bytes.get()));
    if (!value || !negative) {
        return value.release();
    }
    return PyNumber_Negative(value.get());
}

PyObject* decodeVocab(const Context& context, int32_t index)
{
    const VocabWord* word = cMolvar_vocabWord(static_cast<uint32_t>(index));
    if (word == nullptr) {
        char text[ERROR_TEXT_SIZE];
        if (context.explain) {
            std::snprintf(text, sizeof text, "vocabulary index %u; valid indexes are 0 to %zu",
                          static_cast<uint32_t>(index), VOCABULARY_SIZE - 1);
        } else {
            std::snprintf(text, sizeof text, "Vocab String Not Found: %d", index);
        }
        PyErr_SetString(context.errorClass, text);
        return nullptr;
    }
    return PyBytes_FromStringAndSize(word->text, word->size);
}

PyObject* refuseTypeByte(const Context& context, unsigned char type)
{
    char text[ERROR_TEXT_SIZE];
    if (context.explain) {
        std::snprintf(text, sizeof text, "invalid type byte 0x%02x (type bytes are 0x%02x to 0x%02x)", type, TYPE_LIST,
                      TYPE_VOCAB);
    } else {
        std::snprintf(text, sizeof text, "Invalid Type Byte: %d", type);  // the byte as 136 .. 255
    }
    PyErr_SetString(context.errorClass, text);
    return nullptr;
}

constexpr Py_ssize_t FAILED = -1;

// Hands a finished value (stolen; null after a failed creation) of `size`
// wire bytes on: into the innermost open list, which it is charged to, or
// to the receiver; then closes every list that is now full. The common
// case, a free slot in a list that is not yet full, stays inline.
inline int finish(cMolvarState* state, bool limited, PyObject* value, Py_ssize_t size, PyObject* receiver)
{
    if (value == nullptr) {
        return -1;
    }
    ListFrame* top = state->stack;
    if (limited && top != nullptr && cMolvarState_charge(state, VALUE_CHARGE + size) < 0) {
        Py_DECREF(value);
        return -1;
    }
    if (top != nullptr && top->filled < top->slots) {
        top->items[top->filled++] = value;
        if (top->filled < top->expected) {
            return 0;
        }
    } else if (cMolvar_deliver(state, value, receiver) < 0) {
        return -1;
    }
    if (!cMolvarState_topIsFull(state)) {
        return 0;
    }
    const int status = cMolvarState_completeLists(state, receiver);
    if (limited && state->stack == nullptr) {
        state->held = 0;  // nothing is held once the outermost list is delivered
    }
    return status;
}

// The digits of a header of one to five digits whose type byte follows
// within p[0, 6): their count, with their value in `sum`; or 0 for a longer
// header, left to the general scan.
inline Py_ssize_t readShortHeader(const unsigned char* p, uint32_t& sum)
{
    uint32_t value = p[0];
    Py_ssize_t count = 0;
    if (p[1] >= TYPE_BIT) {
        count = 1;
    } else if (value += static_cast<uint32_t>(p[1]) << 7, p[2] >= TYPE_BIT) {
        count = 2;
    } else if (value += static_cast<uint32_t>(p[2]) << 14, p[3] >= TYPE_BIT) {
        count = 3;
    } else if (value += static_cast<uint32_t>(p[3]) << 21, p[4] >= TYPE_BIT) {
        count = 4;
    } else if (value += static_cast<uint32_t>(p[4]) << 28, p[5] >= TYPE_BIT) {
        count = 5;
    }
    if (count != 0) {
        sum = value;
    }
    return count;
}

// A run is tried after a value stored into a list that waits for at least
// this many more items (after a list opens, always): with one left, there
// is nothing for it to take.
constexpr int32_t RUN_MIN_ITEMS = 2;

// The scalars that follow in the innermost open list (ints, floats and byte
// strings, whose headers have one to five digits), made and stored into its
// free slots, while it waits for more than one item: its last slot and its
// last item are left to the general loop, which grows the slots and closes
// the list. A list of scalars is decoded here, without the general loop's
// work for each element; anything else (a list, a big integer, a value the
// general loop refuses, an element that is not all there) ends the run.
// It stops at `checkAt` too, where the general loop checks for signals.
// No host code runs here (none of these values is tracked by the collector,
// and the string cache releases only byte strings), so the frame's count is
// kept in a local, and so is the state's charge (LIMITED: the state has a
// limit on what it holds). 0, or -1 with the exception set and `stop.at` on
// the element that failed.
template <bool LIMITED>
inline __attribute__((always_inline)) int takeScalars(cMolvarState* state, ListFrame* top, StringCache* cache,
                                                      const unsigned char* data, Py_ssize_t len, Py_ssize_t checkAt,
                                                      Py_ssize_t& pos, DecodeStop& stop)
{
    PyObject** const items = top->items;
    int64_t held = LIMITED ? state->held : 0;
    const int64_t maxHeld = LIMITED ? state->maxHeld : 0;
    const Py_ssize_t until = std::min(top->slots, top->expected - 1);
    // Five bytes past `at` lie within the chunk: the longest header read here.
    const Py_ssize_t end = std::min(checkAt, len - static_cast<Py_ssize_t>(MAX_HEADER_BYTES));
    Py_ssize_t filled = top->filled;
    Py_ssize_t at = pos;
    while (filled < until && at < end) {
        PyObject* value = nullptr;
        Py_ssize_t next = 0;  // the element's end
        uint32_t sum = data[at];
        if (sum >= TYPE_BIT) {
            // No header: a float, as written.
            if (sum != TYPE_FLOAT || len - at <= static_cast<Py_ssize_t>(FLOAT_BODY_SIZE)) {
                break;
            }
            value = PyFloat_FromDouble(cMolvar_unpackDouble(data + at + 1));
            next = at + 1 + static_cast<Py_ssize_t>(FLOAT_BODY_SIZE);
        } else {
            Py_ssize_t digits = 1;
            if (data[at + 1] < TYPE_BIT && (digits = readShortHeader(data + at, sum)) == 0) {
                break;
            }
            next = at + digits + 1;
            switch (data[at + digits]) {
            case TYPE_INT:
                value = PyLong_FromLong(static_cast<int32_t>(sum));
                break;
            case TYPE_NEGINT:
                value = PyLong_FromLong(static_cast<int32_t>(0u - sum));
                break;
            case TYPE_STRING:
                if (sum > static_cast<uint32_t>(SIZE_LIMIT) || len - next < static_cast<Py_ssize_t>(sum)) {
                    goto done;
                }
                value = bytesOf(cache, data + next, static_cast<Py_ssize_t>(sum));
                next += static_cast<Py_ssize_t>(sum);
                break;
            case TYPE_FLOAT:
                if (len - next < static_cast<Py_ssize_t>(FLOAT_BODY_SIZE)) {
                    goto done;
                }
                value = PyFloat_FromDouble(cMolvar_unpackDouble(data + next));  // a header, skipped
                next += static_cast<Py_ssize_t>(FLOAT_BODY_SIZE);
                break;
            default:
                goto done;
            }
        }
        if (LIMITED) {
            held += VALUE_CHARGE + (next - at);
        }
        if (value == nullptr || (LIMITED && held > maxHeld)) {
            top->filled = static_cast<int32_t>(filled);
            pos = stop.at = at;
            if (value == nullptr) {
                return -1;
            }
            Py_DECREF(value);
            state->held = held;
            return cMolvarState_refuseHeld(state);
        }
        items[filled++] = value;
        at = next;
    }
done:
    top->filled = static_cast<int32_t>(filled);
    if (LIMITED) {
        state->held = held;
    }
    pos = at;
    return 0;
}

// The offset of the first type byte in data[from, limit), or `limit`: read
// eight bytes at a time while eight lie before the limit.
inline Py_ssize_t findTypeByte(const unsigned char* data, Py_ssize_t from, Py_ssize_t limit)
{
    for (; limit - from >= 8; from += 8) {
        const uint64_t types = cMolvar_loadLittleEndian64(data + from) & TYPE_BITS_64;
        if (types != 0) {
            return from + __builtin_ctzll(types) / 8;
        }
    }
    while (from < limit && data[from] < TYPE_BIT) {
        ++from;
    }
    return from;
}

// After a big integer made natively and stored into the innermost open
// list, which waits for more than one more item: the big integers that
// follow, made and stored the same way, under the same terms as the
// scalars' run. The companion's pyb1282int, found in cMolvar's namespace
// for the one before, is still the one installed for these: no host code
// runs from that look-up to the end of the run, so none can have replaced
// it.
inline int takeBigInts(cMolvarState* state, ListFrame* top, const unsigned char* data, Py_ssize_t len,
                       Py_ssize_t checkAt, Py_ssize_t& pos, DecodeStop& stop)
{
    PyObject** const items = top->items;
    const Py_ssize_t until = std::min(top->slots, top->expected - 1);
    Py_ssize_t filled = top->filled;
    Py_ssize_t at = pos;
    while (filled < until && at < checkAt) {
        const Py_ssize_t limit = std::min(len, at + HEADER_LIMIT + 1);
        const Py_ssize_t typePos = findTypeByte(data, at, limit);
        if (typePos == limit || (data[typePos] != TYPE_LONG && data[typePos] != TYPE_NEGLONG)) {
            break;  // left to the general loop: another element, or one not all there or refused
        }
        PyObject* value = cMolvar_readBigDigits(data + at, typePos - at, data[typePos] == TYPE_NEGLONG);
        if (value == nullptr || (state->maxHeld != INT64_MAX &&
                                 cMolvarState_charge(state, VALUE_CHARGE + (typePos + 1 - at)) < 0)) {
            Py_XDECREF(value);
            top->filled = static_cast<int32_t>(filled);
            pos = stop.at = at;
            return -1;
        }
        items[filled++] = value;
        at = typePos + 1;
    }
    top->filled = static_cast<int32_t>(filled);
    pos = at;
    return 0;
}

// Decoding checks for pending signals once per this many bytes, so that an
// interrupt stops a long chunk; the state is left between two elements.
constexpr Py_ssize_t SIGNAL_INTERVAL = Py_ssize_t{1} << 20;

// cMolvar_decode, made twice: LIMITED keeps the charge of what the open
// lists hold, for a state with a limit on it; the other pays nothing for it.
template <bool LIMITED>
Py_ssize_t decodeAll(cMolvarState* state, const unsigned char* data, Py_ssize_t len, PyObject* receiver,
                     bool firstValueOnly, DecodeStop& stop)
{
    // Slots reserved ahead for the lists this call opens. Every item takes
    // at least one byte, so the items still to come in this chunk are no
    // more than its bytes: reserving at most that many in all keeps what a
    // peer can make us allocate in step with what it sent.
    Py_ssize_t reservable = len;
    Context& context = *state->context;
    StringCache* const cache = context.cache;
    Py_ssize_t nextSignalCheck = SIGNAL_INTERVAL;
    Py_ssize_t pos = 0;
    while (pos < len) {
        const Py_ssize_t start = pos;
        stop.at = start;
        if (pos >= nextSignalCheck) {
            if (PyErr_CheckSignals() < 0) {
                return FAILED;
            }
            nextSignalCheck = pos + SIGNAL_INTERVAL;
        }
        // Headers of up to five digits are summed as they are scanned; a
        // longer one is found first and summed after (cMolvar_readHeader),
        // unless it holds a big integer's digits.
        uint32_t sum = 0;
        unsigned char type = data[pos];
        if (type < TYPE_BIT) {
            Py_ssize_t digits = 0;
            if (pos + 1 < len && data[pos + 1] >= TYPE_BIT) {
                sum = type;  // one digit: the most common header
                type = data[++pos];
            } else if (len - pos > static_cast<Py_ssize_t>(MAX_HEADER_BYTES) &&
                       (digits = readShortHeader(data + pos, sum)) != 0) {
                pos += digits;
                type = data[pos];
            } else {
                // A longer header (a big integer's digits): scanned eight
                // bytes at a time while eight lie before the limit.
                const Py_ssize_t limit = std::min(len, start + HEADER_LIMIT + 1);
                pos = findTypeByte(data, pos + 1, limit);
                if (pos == limit) {
                    // The limit is tested before the end: a 65th digit
                    // fails even as the chunk's last byte, and 64 digits
                    // then the end wait for more.
                    if (pos - start > HEADER_LIMIT) {
                        if (context.explain) {
                            PyErr_SetString(context.errorClass, EXPLAINED_HEADER_LIMIT);
                        } else {
                            PyErr_SetString(PyExc_SystemError, HEADER_LIMIT_TEXT);
                        }
                        return FAILED;
                    }
                    stop.need = pos - start + 1;
                    return start;
                }
                type = data[pos];
                if (type != TYPE_LONG && type != TYPE_NEGLONG) {
                    sum = static_cast<uint32_t>(cMolvar_readHeader(data, start, pos));  // a big integer's is not summed
                }
            }
        }
        const Py_ssize_t typePos = pos++;
        const auto header = static_cast<int32_t>(sum);

        PyObject* value = nullptr;
        if (type == TYPE_INT || type == TYPE_NEGINT) {
            // The most common elements, ahead of the dispatch (the scalars
            // that follow in the same list are taken in a run, below). A negative
            // one is negated with 32-bit wrap-around: a header of -2**31
            // stays -2**31.
            value = PyLong_FromLong(static_cast<int32_t>(type == TYPE_INT ? sum : 0u - sum));
        } else {
            switch (type) {
            case TYPE_LIST:
                if (header > SIZE_LIMIT || (header < 0 && context.explain)) {
                    refuseSize(context, LIST_LIMIT_TEXT, "a list", "items", sum);
                    return FAILED;
                }
                if (header < 0) {
                    // The host's list constructor refuses a negative size;
                    // its error stands.
                    PyObject* refused = PyList_New(header);
                    Py_XDECREF(refused);
                    return FAILED;
                }
                if (header == 0) {
                    // Complete as soon as it is opened: delivered like any value.
                    value = PyList_New(0);
                    break;
                }
                {
                    const auto reserve = static_cast<int32_t>(std::min<Py_ssize_t>(header, reservable));
                    if ((LIMITED && cMolvarState_charge(state, frameCharge(reserve)) < 0) ||
                        cMolvarState_push(state, header, reserve) < 0) {
                        return FAILED;
                    }
                    reservable -= reserve;
                }
                if (takeScalars<LIMITED>(state, state->stack, cache, data, len, nextSignalCheck, pos, stop) < 0) {
                    return FAILED;
                }
                continue;
            case TYPE_STRING:
                if (header > SIZE_LIMIT || header < 0) {
                    refuseSize(context, STRING_LIMIT_TEXT, "a byte string", "bytes", sum);
                    return FAILED;
                }
                // Under a limit, a string that could not be held is refused
                // at its header, before its bytes come: in an open list, past
                // what the list may still be charged; alone, past the limit.
                if (LIMITED && (state->stack != nullptr ? state->held + VALUE_CHARGE + header > state->maxHeld
                                                        : header > state->maxHeld)) {
                    cMolvarState_refuseHeld(state);
                    return FAILED;
                }
                if (len - pos < header) {
                    stop.need = pos - start + header;
                    return start;
                }
                value = bytesOf(cache, data + pos, header);
                pos += header;
                break;
            case TYPE_FLOAT:
                if (len - pos < static_cast<Py_ssize_t>(FLOAT_BODY_SIZE)) {
                    stop.need = pos - start + static_cast<Py_ssize_t>(FLOAT_BODY_SIZE);
                    return start;
                }
                value = PyFloat_FromDouble(cMolvar_unpackDouble(data + pos));
                pos += FLOAT_BODY_SIZE;
                break;
            case TYPE_LONG:
            case TYPE_NEGLONG: {
                bool settled = false;
                value = decodeBigInt(context, data + start, typePos - start, type == TYPE_NEGLONG, settled);
                ListFrame* top = state->stack;
                if (settled && value != nullptr && top != nullptr && top->filled < top->slots &&
                    top->expected - top->filled > RUN_MIN_ITEMS) {
                    // Stored as finish() would, leaving the list open; the
                    // big integers that follow are taken in a run.
                    if (LIMITED && cMolvarState_charge(state, VALUE_CHARGE + (pos - start)) < 0) {
                        Py_DECREF(value);
                        return FAILED;
                    }
                    top->items[top->filled++] = value;
                    if (takeBigInts(state, top, data, len, nextSignalCheck, pos, stop) < 0) {
                        return FAILED;
                    }
                    continue;
                }
                break;
            }
            case TYPE_VOCAB:
                value = decodeVocab(context, header);
                break;
            default:
                refuseTypeByte(context, type);
                return FAILED;
            }
        }
        if (finish(state, LIMITED, value, pos - start, receiver) < 0) {
            return FAILED;
        }
        if (firstValueOnly && state->stack == nullptr) {
            break;  // an element that leaves no list open has delivered a top-level value
        }
        // A list is most often followed by another: no run after one.
        ListFrame* top = state->stack;
        if (type != TYPE_LIST && top != nullptr && top->expected - top->filled >= RUN_MIN_ITEMS &&
            takeScalars<LIMITED>(state, top, cache, data, len, nextSignalCheck, pos, stop) < 0) {
            return FAILED;
        }
    }
    return pos;
}

}  // namespace

Py_ssize_t cMolvar_decode(cMolvarState* state, const unsigned char* data, Py_ssize_t len, PyObject* receiver,
                          bool firstValueOnly, DecodeStop& stop)
{
    return state->maxHeld != INT64_MAX ? decodeAll<true>(state, data, len, receiver, firstValueOnly, stop)
                                       : decodeAll<false>(state, data, len, receiver, firstValueOnly, stop);
}

PyObject* dataReceivedCall(Context& context, PyObject* const* args, Py_ssize_t nargs)
{
    if (nargs != 3) {
        PyErr_Format(PyExc_TypeError, "function takes exactly 3 arguments (%zd given)", nargs);
        return nullptr;
    }
    PyObject* state = args[0];
    PyObject* data = args[1];
    PyObject* callback = args[2];
    if (!PyCallable_Check(callback)) {
        Py_RETURN_NONE;
    }
    if (!PyBytes_Check(data)) {
        return complain("Second arg was not a string");
    }
    if (Py_TYPE(state) != context.stateType) {
        return complain("state object wasn't");
    }
    // The caller's references keep `state` and `data` alive for the call.
    CriticalSection section(state);
    DecodeStop stop;
    Py_ssize_t consumed = cMolvar_decode(reinterpret_cast<cMolvarState*>(state),
                                         reinterpret_cast<const unsigned char*>(PyBytes_AS_STRING(data)),
                                         PyBytes_GET_SIZE(data), callback, false, stop);
    if (consumed == FAILED) {
        return nullptr;
    }
    return PyLong_FromSsize_t(consumed);
}

}  // namespace molvar
