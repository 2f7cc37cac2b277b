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
#include "codec/claim.h"
#include "codec/context.h"
#include "codec/critical_section.h"
#include "codec/double.h"
#include "codec/format.h"
#include "codec/list.h"
#include "codec/portability.h"
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
    const Converter converter = converterInUse(context, false);
    if (!converter.callable) {
        return nullptr;
    }
    if (converter.native) {
        settled = converter.settled;
        return cMolvar_readBigDigits(digits, count, negative);
    }
    Ref bytes = Ref::steal(PyBytes_FromStringAndSize(reinterpret_cast<const char*>(digits), count));
    if (!bytes) {
        return nullptr;
    }
    Ref value = Ref::steal(PyObject_CallOneArg(converter.callable.get(), bytes.get()));
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

// What reading a header or an element came to.
enum class Read {
    done,    // read whole: the header's fields, or the element's value, are set
    more,    // not all in the chunk: `stop.need` says how many bytes it takes
    failed,  // refused, or its value not made: the exception is set
    leave,   // in a run of scalars only: an element left to the general loop
};

// What decoding one chunk works with, beside the state.
struct Reader {
    cMolvarState* state;
    Context& context;
    StringCache* cache;
    const unsigned char* data;
    Py_ssize_t len;
    DecodeStop& stop;
    // Whether the companion's pyb1282int was found installed, by the look-up
    // for the big integer just read, with no host code run since: a run of
    // scalars that starts then makes the big integers it meets natively.
    bool settled = false;
#ifdef MOLVAR_NAMESPACE_VERSION
    // The version of the converters' namespace when `settled` was found.
    uint64_t settledVersion = 0;
#endif
    // Where the last list that was not made whole stopped (readWhole): the
    // lists that start before it go through the frames, so that no byte is
    // scanned twice by lists that fail the same way.
    Py_ssize_t wholeFrom = 0;
};

// Whether `in.settled` still holds: no host code ran since the look-up, or
// none that changed the converters' namespace.
inline bool isSettled(const Reader& in)
{
#ifdef MOLVAR_NAMESPACE_VERSION
    return in.settled && in.settledVersion == namespaceVersion(in.context);
#else
    return in.settled;
#endif
}

// Records what a look-up of pyb1282int found.
inline void settle(Reader& in, bool settled)
{
    in.settled = settled;
#ifdef MOLVAR_NAMESPACE_VERSION
    in.settledVersion = namespaceVersion(in.context);
#endif
}

// Whether a list made unsettles the look-up: where making it may run host
// code, and the namespace's version cannot tell whether that host code
// installed another converter.
#ifdef MOLVAR_NAMESPACE_VERSION
constexpr bool MAKING_A_LIST_UNSETTLES = false;
#else
constexpr bool MAKING_A_LIST_UNSETTLES = MAKING_A_LIST_MAY_RUN_HOST_CODE;
#endif

// The header of an element: its digits' value, and where its type byte is.
struct Header {
    uint32_t sum;         // the digits summed as cMolvar_readHeader does (a big integer's are not)
    unsigned char type;
    Py_ssize_t typePos;
};

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

// The offset of the first type byte in data[from, limit), or `limit`: read
// eight bytes at a time while eight lie before the limit.
inline Py_ssize_t findTypeByte(const unsigned char* data, Py_ssize_t from, Py_ssize_t limit)
{
    for (; limit - from >= 8; from += 8) {
        const uint64_t types = cMolvar_loadLittleEndian64(data + from) & TYPE_BITS_64;
        if (types != 0) {
            return from + countTrailingZeros64(types) / 8;
        }
    }
    while (from < limit && data[from] < TYPE_BIT) {
        ++from;
    }
    return from;
}

// A header whose type byte is not within its first HEADER_LIMIT + 1 bytes,
// or not yet in the chunk, which ends at `limit`: refused past the limit,
// else waiting for more (`need` bytes at least).
MOLVAR_NOINLINE Read refuseOrWait(const Context& context, Py_ssize_t at, Py_ssize_t limit, Py_ssize_t& need)
{
    // The limit is tested before the end: a 65th digit fails even as the
    // chunk's last byte, and 64 digits then the end wait for more.
    if (limit - at > HEADER_LIMIT) {
        if (context.explain) {
            PyErr_SetString(context.errorClass, EXPLAINED_HEADER_LIMIT);
        } else {
            PyErr_SetString(PyExc_SystemError, HEADER_LIMIT_TEXT);
        }
        return Read::failed;
    }
    need = limit - at + 1;
    return Read::more;
}

// A header of more than five digits, or at the chunk's end: the type byte
// found first, and the digits summed after, unless they are a big integer's.
inline Read readLongHeader(Reader& in, Py_ssize_t at, Header& header)
{
    const Py_ssize_t limit = std::min(in.len, at + HEADER_LIMIT + 1);
    const Py_ssize_t typePos = findTypeByte(in.data, at + 1, limit);
    if (typePos == limit) {
        return refuseOrWait(in.context, at, limit, in.stop.need);
    }
    const unsigned char type = in.data[typePos];
    header.type = type;
    header.typePos = typePos;
    header.sum =
        type == TYPE_LONG || type == TYPE_NEGLONG ? 0 : static_cast<uint32_t>(cMolvar_readHeader(in.data, at, typePos));
    return Read::done;
}

// The same out of line, for the general loop, where long headers are rare
// (the run of scalars takes the big integers of a list). It takes the
// address of nothing that the inline readers keep in registers.
struct LongHeader {
    Read read;
    Header header;
};

MOLVAR_NOINLINE LongHeader readLongHeader(Reader in, Py_ssize_t at)
{
    LongHeader found{Read::failed, {}};
    found.read = readLongHeader(in, at, found.header);
    return found;
}

inline Read readLongHeaderOutOfLine(const Reader& in, Py_ssize_t at, Header& header)
{
    const LongHeader found = readLongHeader(in, at);
    header = found.header;
    return found.read;
}

// The header of the element at `at`: no digits, then one digit (the most
// common), then up to five, summed as they are scanned; a longer one (most
// often a big integer's) is found first and summed after, unless it holds a
// big integer's digits. BOUNDED: the caller knows that the five bytes after
// `at` lie within the chunk.
template <bool BOUNDED>
MOLVAR_ALWAYS_INLINE Read readHeader(Reader& in, Py_ssize_t at, Header& header)
{
    const unsigned char* data = in.data;
    const unsigned char first = data[at];
    if (first >= TYPE_BIT) {
        header = {0, first, at};
        return Read::done;
    }
    if ((BOUNDED || at + 1 < in.len) && data[at + 1] >= TYPE_BIT) {
        header = {first, data[at + 1], at + 1};
        return Read::done;
    }
    Py_ssize_t digits = 0;
    if ((BOUNDED || in.len - at > static_cast<Py_ssize_t>(MAX_HEADER_BYTES)) &&
        (digits = readShortHeader(data + at, header.sum)) != 0) {
        header.typePos = at + digits;
        header.type = data[at + digits];
        return Read::done;
    }
    return BOUNDED ? readLongHeader(in, at, header) : readLongHeaderOutOfLine(in, at, header);
}

// A big integer's value from its `count` digits natively: one within 63
// bits with its digits closed up from one word (`readable` bytes lie from
// `digits` to the end of the chunk), not one by one; the int is made by the
// same cMolvar_intFromMagnitude either way.
inline PyObject* readBigDigits(const unsigned char* digits, Py_ssize_t count, bool negative, Py_ssize_t readable)
{
    if (count > 9 || count == 0 || readable < 8) {  // the digits are followed by their type byte
        return cMolvar_readBigDigits(digits, count, negative);
    }
    const Py_ssize_t inWord = count < 8 ? count : 8;
    const uint64_t word = cMolvar_loadLittleEndian64(digits) & (~uint64_t{0} >> (64 - 8 * inWord));
    uint64_t magnitude = cMolvar_packEightDigits(word);
    if (count == 9) {
        magnitude |= static_cast<uint64_t>(digits[8]) << 56;
    }
    return cMolvar_intFromMagnitude(magnitude, negative);
}

// The readers of each kind of element that is not a list, for readValue.
// Each returns the element's value, with `next`, the offset after it; or
// null, with `why` set to what stopped it, except where the value could
// not be made (its caller starts `why` at Read::failed). IN_RUN (a run of
// scalars, where no host code may run) leaves an element that is not all
// in the chunk to the general loop.

// A byte string of `size` bytes, `body` its first; LIMITED refuses, at its
// header, one that the state's limit could not hold.
template <bool LIMITED, bool IN_RUN>
MOLVAR_ALWAYS_INLINE PyObject* readString(Reader& in, Py_ssize_t start, Py_ssize_t body,
                                                           uint32_t size, Py_ssize_t& next, Read& why)
{
    cMolvarState* state = in.state;
    if (size > static_cast<uint32_t>(SIZE_LIMIT)) {
        refuseSize(in.context, STRING_LIMIT_TEXT, "a byte string", "bytes", size);
        why = Read::failed;
        return nullptr;
    }
    // Under a limit, a string that could not be held is refused at its
    // header, before its bytes come, however they are split: in an open
    // list, past the charge it will take there; alone, past the limit. So
    // the bytes kept of it while it arrives stay within the limit too.
    if (LIMITED && cMolvarState_charge(state,
                                       state->stack != nullptr ? valueCharge(body - start + size) : int64_t{size},
                                       false) < 0) {
        why = Read::failed;
        return nullptr;
    }
    if (in.len - body < static_cast<Py_ssize_t>(size)) {
        why = IN_RUN ? Read::leave : Read::more;
        in.stop.need = body - start + size;
        return nullptr;
    }
    next = body + size;
    return bytesOf(in.cache, in.data, body, static_cast<Py_ssize_t>(size));
}

// A float, whose body starts at `body` (after any header, which is skipped).
template <bool IN_RUN>
MOLVAR_ALWAYS_INLINE PyObject* readFloat(Reader& in, Py_ssize_t start, Py_ssize_t body,
                                                          Py_ssize_t& next, Read& why)
{
    if (in.len - body < static_cast<Py_ssize_t>(FLOAT_BODY_SIZE)) {
        why = IN_RUN ? Read::leave : Read::more;
        in.stop.need = body - start + static_cast<Py_ssize_t>(FLOAT_BODY_SIZE);
        return nullptr;
    }
    next = body + static_cast<Py_ssize_t>(FLOAT_BODY_SIZE);
    return PyFloat_FromDouble(cMolvar_unpackDouble(in.data + body));
}

// A big integer, whose digits are data[start, typePos): in a run only while
// the look-up of pyb1282int for the one before has settled it (else it is
// left to the general loop, which looks it up and may call it).
template <bool IN_RUN>
MOLVAR_ALWAYS_INLINE PyObject* readBigInt(Reader& in, Py_ssize_t start, const Header& header,
                                                           Py_ssize_t& next, Read& why)
{
    const bool negative = header.type == TYPE_NEGLONG;
    const Py_ssize_t count = header.typePos - start;
    next = header.typePos + 1;
    if (!IN_RUN) {
        bool settled = false;
        PyObject* value = decodeBigInt(in.context, in.data + start, count, negative, settled);
        settle(in, settled);
        return value;
    }
    if (!isSettled(in)) {
        why = Read::leave;
        return nullptr;
    }
    return readBigDigits(in.data + start, count, negative, in.len - start);
}

// The element whose header starts at `start`, by its kind; in a run, a
// list is left to the general loop, which does not pass one here.
template <bool LIMITED, bool IN_RUN>
MOLVAR_ALWAYS_INLINE PyObject* readValue(Reader& in, Py_ssize_t start, const Header& header,
                                                          Py_ssize_t& next, Read& why)
{
    const Py_ssize_t body = header.typePos + 1;
    const uint32_t sum = header.sum;
    if (MOLVAR_LIKELY(header.type == TYPE_INT)) {  // the most common element, ahead of the dispatch
        next = body;
        return PyLong_FromLong(static_cast<int32_t>(sum));
    }
    switch (header.type) {
    case TYPE_STRING:
        return readString<LIMITED, IN_RUN>(in, start, body, sum, next, why);
    case TYPE_NEGINT:
        // Negated with 32-bit wrap-around: a header of -2**31 stays -2**31.
        next = body;
        return PyLong_FromLong(static_cast<int32_t>(0u - sum));
    case TYPE_FLOAT:
        return readFloat<IN_RUN>(in, start, body, next, why);
    case TYPE_LONG:
    case TYPE_NEGLONG:
        return readBigInt<IN_RUN>(in, start, header, next, why);
    case TYPE_VOCAB:
        next = body;
        return decodeVocab(in.context, static_cast<int32_t>(sum));
    case TYPE_LIST:
        if (IN_RUN) {
            why = Read::leave;
            return nullptr;
        }
        [[fallthrough]];
    default:
        refuseTypeByte(in.context, header.type);
        why = Read::failed;
        return nullptr;
    }
}

// Opens the list whose header declared `count` items: pushed, with `value`
// left null; or, with no items, complete at once, as `value`. Slots are
// reserved for at most `reservable` items, which is lowered by as many.
// 0, or -1 with the exception set.
template <bool LIMITED>
int openList(Reader& in, uint32_t count, Py_ssize_t& reservable, PyObject*& value)
{
    const auto header = static_cast<int32_t>(count);
    if (header > SIZE_LIMIT || (header < 0 && in.context.explain)) {
        return refuseSize(in.context, LIST_LIMIT_TEXT, "a list", "items", count);
    }
    if (header < 0) {
        // The host's list constructor refuses a negative size; its error stands.
        PyObject* refused = PyList_New(header);
        Py_XDECREF(refused);
        return -1;
    }
    if (header == 0) {
        value = PyList_New(0);
        return value != nullptr ? 0 : -1;
    }
    const auto reserve = static_cast<int32_t>(std::min<Py_ssize_t>(header, reservable));
    if ((LIMITED && cMolvarState_charge(in.state, FRAME_CHARGE) < 0) ||
        cMolvarState_push(in.state, header, reserve) < 0) {
        return -1;
    }
    reservable -= reserve;
    return 0;
}

// Hands a finished value (stolen) of `size` wire bytes on: into the
// innermost open list, which it is charged to, or to the receiver; then
// closes every list that is now full. The common case, a free slot in a
// list that is not yet full, stays inline.
inline int finish(cMolvarState* state, bool limited, PyObject* value, Py_ssize_t size, PyObject* receiver)
{
    ListFrame* top = state->stack;
    if (limited && top != nullptr && cMolvarState_charge(state, valueCharge(size)) < 0) {
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
    return cMolvarState_completeLists(state, receiver);
}

// A run is tried after a value stored into a list that waits for at least
// this many more items (after a list opens, always): with one left, there
// is nothing for it to take.
constexpr int32_t RUN_MIN_ITEMS = 2;

// The scalars that follow in the innermost open list (ints, floats, byte
// strings, vocabulary words; big integers while `in.settled`), made and
// stored into its free slots while it waits for more than one item: its
// last slot and its last item are left to the general loop, which grows the
// slots and closes the list. A list of scalars is decoded here, without the
// general loop's work for each element; a list, or an element that is not
// all there or may need host code, ends the run. It stops at `checkAt`
// too, where the general loop checks for signals. No host code runs here
// (none of these values is tracked by the collector, and the string cache
// releases only byte strings), so the frame's count is kept in a local.
// 0, or -1 with the exception set and `stop.at` on the element that failed.
template <bool LIMITED>
MOLVAR_ALWAYS_INLINE int takeScalars(Reader& in, ListFrame* top, Py_ssize_t checkAt, Py_ssize_t& pos)
{
    PyObject** const items = top->items;
    const Py_ssize_t until = std::min(top->slots, top->expected - 1);
    // Five bytes past `at` lie within the chunk: the longest header read inline.
    const Py_ssize_t end = std::min(checkAt, in.len - static_cast<Py_ssize_t>(MAX_HEADER_BYTES));
    Py_ssize_t filled = top->filled;
    Py_ssize_t at = pos;
    int status = 0;
    while (filled < until && at < end) {
        Header header{};
        Py_ssize_t next = 0;
        PyObject* value = nullptr;
        Read why = Read::failed;
        if (in.data[at] == TYPE_FLOAT) {
            // Written with no header: the lists of floats take no dispatch.
            value = readFloat<true>(in, at, at + 1, next, why);
        } else if ((why = readHeader<true>(in, at, header)) == Read::done) {
            why = Read::failed;
            value = readValue<LIMITED, true>(in, at, header, next, why);
        }
        if (value == nullptr) {
            if (why == Read::failed) {
                in.stop.at = at;
                status = -1;
            }
            break;
        }
        if (LIMITED && cMolvarState_charge(in.state, valueCharge(next - at)) < 0) {
            Py_DECREF(value);
            in.stop.at = at;
            status = -1;
            break;
        }
        items[filled++] = value;
        at = next;
    }
    top->filled = static_cast<int32_t>(filled);
    pos = at;
    return status;
}

// Whether the big integers that follow may be made natively: the look-up
// of pyb1282int finds the companion's own, with no host code run since
// (see isSettled and MAKING_A_LIST_UNSETTLES). No exception is left set.
inline bool settleBigInts(Reader& in, CollectorPause& pause)
{
    if (!isSettled(in)) {
        // The look-up may run host code (a key's __eq__, a module's __getattr__).
        pause.lift();
        settle(in, converterInUse(in.context, false).settled);
        pause.hold();
        if (PyErr_Occurred() != nullptr) {
            PyErr_Clear();  // a failed look-up is the general loop's to raise
        }
    }
    return in.settled;
}

// A list that lies whole in the chunk, its header at `start` declaring
// `count` items (0 < count <= SIZE_LIMIT) and its items from `pos`: made at
// its declared size and filled in place as its items are read, and so are
// the lists inside it (up to `levels` deep), with no frame. This is the
// path of complete input: a value that `loads` is given, or that one chunk
// of a stream holds. Nothing runs that could see it half made but the
// collector, which lists of unset items are safe for.
//
// Returns the list, with `pos` after it; or null, and no exception, when
// it is not all in the chunk, reaches `checkAt`, nests deeper, needs host
// code (a converter of the host's) or holds anything the general loop
// refuses. The lists begun are then left open in frames, with their items
// (`leftOpen`), and the general loop goes on from `pos`, where it meets
// whatever stopped this: nothing is read twice. Only when that fails for
// memory is nothing kept, and the general loop decodes the list again
// from its header (`pos` unmoved).
//
// With `collect`, a top-level list whose receiver is the list `collect`
// (a Decoder's), the top-level lists that follow it whole are read on
// here too, each appended to `collect` when the next one starts: a stream
// of messages then stays in this loop. `pos` is then after the last list
// appended, or returned; a null return with `pos` moved on and nothing
// left open has appended the lists before `pos`.
PyObject* readWhole(Reader& in, uint32_t count, int levels, Py_ssize_t checkAt, Py_ssize_t& pos,
                    PyObject* collect, bool& leftOpen)
{
    // The innermost list open, made at its declared size, in locals; the
    // ones it lies in, outermost first, in `outer`. A full list goes into
    // the one it lies in: no call per list, as a recursive reader makes.
    struct Open {
        PyObject* list;
        Py_ssize_t filled;
        Py_ssize_t count;
    };
    Open outer[WHOLE_LEVELS];
    // Nothing here runs host code but the collector, which waits, and the
    // look-up of pyb1282int, which lifts the pause (settleBigInts).
    CollectorPause pause(in.len - pos >= COLLECTOR_PAUSE_FROM);
    int depth = -1;  // how many lists `list` lies in; -1 before the first is made
    PyObject* list = nullptr;
    Py_ssize_t filled = 0;
    Py_ssize_t size = 0;
    uint32_t opening = count;  // the size of the list to open next, or 0
    Py_ssize_t openingAt = pos;  // where that list's header starts (the first one's: unused)
    Py_ssize_t at = pos;
    const Py_ssize_t end = std::min(checkAt, in.len);
    const Py_ssize_t bounded = in.len - static_cast<Py_ssize_t>(MAX_HEADER_BYTES);
    for (;;) {
        if (opening != 0) {
            PyObject* made = nullptr;
            // Every item takes a byte at least.
            if (static_cast<Py_ssize_t>(opening) > in.len - at || (made = newListToFill(opening)) == nullptr) {
                at = openingAt;  // the general loop opens it
                break;
            }
            if (MAKING_A_LIST_UNSETTLES && pause.listsMayRunHostCode()) {
                in.settled = false;
            }
            if (depth >= 0) {
                outer[depth] = {list, filled, size};
            }
            ++depth;
            list = made;
            filled = 0;
            size = static_cast<Py_ssize_t>(opening);
            opening = 0;
        }
        if (filled == size) {
            if (depth == 0) {
                pos = at;
                if (collect == nullptr || at >= end) {
                    return list;
                }
                // Appending to a list runs no host code: what `in` settled
                // on still holds for the next one.
                Header header{};
                if ((at < bounded ? readHeader<true>(in, at, header) : readHeader<false>(in, at, header)) !=
                        Read::done ||
                    header.type != TYPE_LIST || header.sum == 0 || header.sum > static_cast<uint32_t>(SIZE_LIMIT)) {
                    PyErr_Clear();  // a refusal is the general loop's to raise, at the same offset
                    return list;
                }
                if (PyList_Append(collect, list) < 0) {
                    PyErr_Clear();  // the general loop delivers it, and meets the same failure
                    return list;
                }
                Py_DECREF(list);
                depth = -1;
                opening = header.sum;
                openingAt = at;
                at = header.typePos + 1;
                continue;
            }
            PyObject* full = list;
            --depth;
            list = outer[depth].list;
            filled = outer[depth].filled;
            size = outer[depth].count;
            fillList(list, filled++, full);
            continue;
        }
        if (at >= end) {
            break;
        }
        // A float, and any element with no digits, has its type byte first.
        Header header{};
        const unsigned char first = in.data[at];
        if (first >= TYPE_BIT) {
            header = {0, first, at};
        } else if ((at < bounded ? readHeader<true>(in, at, header) : readHeader<false>(in, at, header)) !=
                   Read::done) {
            break;
        }
        PyObject* value = nullptr;
        Py_ssize_t next = header.typePos + 1;
        if (header.type == TYPE_LIST) {
            if (depth == levels || header.sum > static_cast<uint32_t>(SIZE_LIMIT)) {
                break;
            }
            if (header.sum != 0) {
                opening = header.sum;
                openingAt = at;
                at = next;
                continue;
            }
            if ((value = PyList_New(0)) != nullptr && MAKING_A_LIST_UNSETTLES && pause.listsMayRunHostCode()) {
                in.settled = false;
            }
        } else if ((header.type != TYPE_LONG && header.type != TYPE_NEGLONG) || settleBigInts(in, pause)) {
            Read why = Read::failed;
            value = readValue<false, true>(in, at, header, next, why);
        }
        if (value == nullptr) {
            break;
        }
        fillList(list, filled++, value);
        at = next;
    }
    if (PyErr_Occurred() != nullptr) {
        PyErr_Clear();  // the general loop meets it again at `at`
    }
    in.wholeFrom = std::max(in.wholeFrom, at);
    if (depth < 0) {
        return nullptr;  // none begun: `pos` is where the next one starts
    }
    // The lists open, outermost first, become frames; they are not in one
    // another yet. Each frame takes its list's items, and the lists are
    // released. Undone (for memory), the frames release what they took.
    auto open = [&](int level) { return level < depth ? outer[level] : Open{list, filled, size}; };
    int pushed = 0;
    for (; pushed <= depth; ++pushed) {
        const Open begun = open(pushed);
        if (cMolvarState_pushFilled(in.state, static_cast<int32_t>(begun.count), begun.list,
                                    static_cast<int32_t>(begun.filled)) < 0) {
            PyErr_Clear();
            break;
        }
    }
    leftOpen = pushed > depth;
    if (leftOpen) {
        pos = at;
    } else {
        while (pushed-- > 0) {
            cMolvarState_dropTop(in.state);
        }
    }
    for (int level = 0; level <= depth; ++level) {
        Py_DECREF(open(level).list);
    }
    return nullptr;
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
    Reader in{state, *state->context, state->context->cache, data, len, stop};
    // Slots reserved ahead for the lists this call opens. Every item takes
    // at least one byte, so the items still to come in this chunk are no
    // more than its bytes: reserving at most that many in all keeps what a
    // peer can make us allocate in step with what it sent. Under a limit,
    // none: a reservation follows the reads, and what is charged must not.
    Py_ssize_t reservable = LIMITED ? 0 : len;
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
        Header header{};
        Read read = readHeader<false>(in, start, header);
        if (read != Read::done) {
            return read == Read::more ? start : FAILED;
        }
        const bool isList = header.type == TYPE_LIST;
        PyObject* value = nullptr;
        in.settled = false;
        if (isList) {
            pos = header.typePos + 1;
            // Whole in the chunk, most often: made at its size; else left
            // open in frames where that stopped. Under a limit (which
            // charges what the frames hold), opened at once.
            const int levels = std::min(WHOLE_LEVELS, state->maxDepth - state->depth - 1);
            if (!LIMITED && header.sum != 0 && header.sum <= static_cast<uint32_t>(SIZE_LIMIT) && levels >= 0 &&
                start >= in.wholeFrom) {
                PyObject* const collect =
                    !firstValueOnly && state->stack == nullptr && receiver != nullptr && PyList_CheckExact(receiver)
                        ? receiver
                        : nullptr;
                bool leftOpen = false;
                value = readWhole(in, header.sum, levels, nextSignalCheck, pos, collect, leftOpen);
                if (value == nullptr && (leftOpen || pos != header.typePos + 1)) {
                    continue;  // lists left open in frames, or appended to the receiver: on from `pos`
                }
            }
            if (value == nullptr && openList<LIMITED>(in, header.sum, reservable, value) < 0) {
                return FAILED;
            }
            if (value == nullptr) {
                // Opened: its scalars follow at once, most often.
                if (takeScalars<LIMITED>(in, state->stack, nextSignalCheck, pos) < 0) {
                    return FAILED;
                }
                continue;
            }
        } else {
            read = Read::failed;
            if ((value = readValue<LIMITED, false>(in, start, header, pos, read)) == nullptr) {
                return read == Read::more ? start : FAILED;
            }
        }
        // Whether storing the value may close a list, or deliver it: host
        // code may then run (the receiver, or the collector when a list is
        // made), and the look-up of pyb1282int no longer holds.
        ListFrame* const into = state->stack;
        const bool mayRunHostCode = into == nullptr || into->filled + 1 >= into->expected;
        if (finish(state, LIMITED, value, pos - start, receiver) < 0) {
            return FAILED;
        }
        if (firstValueOnly && state->stack == nullptr) {
            break;  // an element that leaves no list open has delivered a top-level value
        }
        // A list is most often followed by another: no run after one.
        ListFrame* top = state->stack;
        in.settled = in.settled && !mayRunHostCode;
        if (!isList && top != nullptr && top->expected - top->filled >= RUN_MIN_ITEMS &&
            takeScalars<LIMITED>(in, top, nextSignalCheck, pos) < 0) {
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
    // The callback is host code: another thread's call meanwhile is
    // refused (the callback's own, on this thread, goes on as nested).
    CriticalSection section(state);
    Claim claim(reinterpret_cast<cMolvarState*>(state)->owner, "the state");
    if (!claim.ok()) {
        return nullptr;
    }
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
