// libFuzzer target: the encoder and the output buffer, with the interpreter
// embedded (embed.h).
//
// An input is a sequence of operations on one cMolvar buffer: write,
// encode, get, clear; and the companion's dumps, plain and strict; and a
// choice of the pyint2b128 installed in cMolvar (the companion's own, done
// natively, or host code that writes the digits itself, takes the buffer's
// content with get and may clear it meanwhile). The values are drawn with
// sizes at and around the buffer's thresholds (buffer.h), the reader's
// limits and the encoder's depth, each from a byte or two.
//
// Alongside, a plain model keeps the bytes each operation must leave: the
// wire format written the simplest way. Every result of get and dumps must
// equal it, must decode back to its value (where the value is within what a
// reader takes), and must never change afterwards: the last few are kept
// and checked again after every operation and once the buffer is gone. A
// refusal must come as the documented exception, leaving what the model
// leaves. Any difference aborts.
//
// PYTHONPATH must hold the repository's src/ (for the companion package).
#include "fuzz/embed.h"

#include <sys/mman.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <deque>
#include <memory>
#include <string>
#include <vector>

#include "codec/buffer.h"
#include "codec/encoder.h"
#include "codec/format.h"

namespace {

using molvar::BIG_INT_BITS;
using molvar::FIT_SIZE;
using molvar::HAND_OVER_SIZE;
using molvar::INITIAL_CAPACITY;
using molvar::MAX_CAPACITY;
using molvar::MAX_DEPTH;
using molvar::SIZE_LIMIT;
using molvar::TAIL_ROOM;

[[noreturn]] void fail(const char* what) { fuzzing::fail("encoder_fuzz", what); }

[[noreturn]] void fail(const std::string& what) { fail(what.c_str()); }

// --- the fuzz bytes ---------------------------------------------------------

class Input {
public:
    Input(const uint8_t* data, size_t size) : data_(data), size_(size) {}
    bool done() const { return at_ >= size_; }
    uint8_t byte() { return at_ < size_ ? data_[at_++] : 0; }

private:
    const uint8_t* data_;
    size_t size_;
    size_t at_ = 0;
};

// Sizes of byte strings and writes: at and around the buffer's thresholds
// and the reader's limit, and a few MB.
size_t drawSize(Input& in)
{
    static const size_t sizes[] = {
        0, 1, 127, 128, INITIAL_CAPACITY, TAIL_ROOM, FIT_SIZE, FIT_SIZE - TAIL_ROOM, HAND_OVER_SIZE,
        HAND_OVER_SIZE - TAIL_ROOM, 2 * HAND_OVER_SIZE, 2 * INITIAL_CAPACITY, static_cast<size_t>(SIZE_LIMIT),
        3 << 20, 2 * FIT_SIZE, 16383,
    };
    const uint8_t choice = in.byte();
    if (choice < 64) {
        return choice;  // small
    }
    const size_t base = sizes[choice % (sizeof sizes / sizeof sizes[0])];
    const auto delta = static_cast<int8_t>(in.byte());  // -128 .. 127 around it
    return delta < 0 && static_cast<size_t>(-delta) > base ? 0 : base + static_cast<size_t>(static_cast<ptrdiff_t>(delta));
}

// --- values -----------------------------------------------------------------

enum class Kind { integer, floating, bytes, list, tuple, chain, repeat, unsupported };

// What a refusal is, as the encoder and dumps tell it by its exception.
enum class Refusal { none, type, notFinite, tooDeep, strictList, strictBytes, strictInt };

struct Node {
    Kind kind = Kind::integer;
    bool subclass = false;  // an instance of a subclass (an int: True or False where it is 0 or 1)
    // integer: sign and magnitude, little-endian bytes with no zero byte on top
    bool negative = false;
    std::vector<uint8_t> magnitude;
    double number = 0;        // floating
    std::string content;      // bytes
    std::vector<std::unique_ptr<Node>> items;  // list, tuple; chain and repeat: one
    size_t count = 0;         // chain: the lists around its item; repeat: the item's copies
    PyObject* object = nullptr;  // the host value, owned

    Node() = default;
    Node(const Node&) = delete;
    Node& operator=(const Node&) = delete;
    ~Node() { Py_XDECREF(object); }
};

PyObject* intSub = nullptr;    // class IntSub(int)
PyObject* floatSub = nullptr;  // class FloatSub(float)
PyObject* bytesSub = nullptr;  // class BytesSub(bytes)
PyObject* listSub = nullptr;   // class ListSub(list)

size_t bitLength(const Node& n)
{
    if (n.magnitude.empty()) {
        return 0;
    }
    size_t bits = 8 * (n.magnitude.size() - 1);
    for (uint8_t top = n.magnitude.back(); top != 0; top >>= 1) {
        ++bits;
    }
    return bits;
}

void setMagnitude(Node& n, uint64_t value)
{
    n.magnitude.clear();
    for (; value != 0; value >>= 8) {
        n.magnitude.push_back(static_cast<uint8_t>(value));
    }
}

// The magnitude within 64 bits, or false.
bool smallMagnitude(const Node& n, uint64_t& value)
{
    if (n.magnitude.size() > 8) {
        return false;
    }
    value = 0;
    for (size_t i = n.magnitude.size(); i-- > 0;) {
        value = value << 8 | n.magnitude[i];
    }
    return true;
}

// Within the signed 32-bit range: written with a header, else as a big int.
bool fitsInHeader(const Node& n)
{
    uint64_t value = 0;
    return smallMagnitude(n, value) && value <= (n.negative ? uint64_t{1} << 31 : uint64_t{INT32_MAX});
}

PyObject* makeInt(const Node& n)
{
    static const char hex[] = "0123456789abcdef";
    std::string text = n.negative ? "-0x" : "0x";
    if (n.magnitude.empty()) {
        text += '0';
    }
    for (size_t i = n.magnitude.size(); i-- > 0;) {
        text += hex[n.magnitude[i] >> 4];
        text += hex[n.magnitude[i] & 15];
    }
    PyObject* value = PyLong_FromString(text.c_str(), nullptr, 0);
    if (value == nullptr || !n.subclass) {
        return value;
    }
    uint64_t small = 0;
    if (smallMagnitude(n, small) && small <= 1 && !n.negative) {
        Py_DECREF(value);
        return PyBool_FromLong(static_cast<long>(small));
    }
    PyObject* sub = PyObject_CallOneArg(intSub, value);
    Py_DECREF(value);
    return sub;
}

void drawInt(Input& in, Node& n)
{
    static const uint64_t edges[] = {
        127, 128, 16383, 16384, (1u << 21) - 1, 1u << 21, (1u << 28) - 1, 1u << 28, INT32_MAX, uint64_t{1} << 31,
        UINT32_MAX, uint64_t{1} << 32, INT64_MAX, uint64_t{1} << 63, UINT64_MAX, 0,
    };
    // Bit counts of big ints: around 64 and the reader's limit, and far past it.
    static const size_t bigBits[] = {65, 100, BIG_INT_BITS - 1, BIG_INT_BITS, BIG_INT_BITS + 1, 7 * 70, 1000, 4000};
    const uint8_t choice = in.byte();
    n.kind = Kind::integer;
    n.negative = choice & 1;
    n.subclass = (choice & 2) != 0;
    switch ((choice >> 2) % 4) {
    case 0:
        setMagnitude(n, in.byte());
        break;
    case 1: {
        const uint8_t edge = in.byte();
        uint64_t value = edges[edge % 16];
        if (edge & 16) {
            value += 1;  // wraps past 2**64 - 1 to 0; 2**64 itself comes from case 3
        } else if (edge & 32 && value != 0) {
            value -= 1;
        }
        setMagnitude(n, value);
        if (edge & 64) {  // 2**64 exactly: one past the widest word
            n.magnitude.assign(8, 0);
            n.magnitude.push_back(1);
        }
        break;
    }
    case 2: {
        uint64_t value = 0;
        for (int i = 1 + in.byte() % 8; i > 0; --i) {
            value = value << 8 | in.byte();
        }
        setMagnitude(n, value);
        break;
    }
    default: {
        const uint8_t pick = in.byte();
        const size_t bits = bigBits[pick % 8] + (pick >> 3) % 3 - 1;
        const uint8_t fill = in.byte();
        n.magnitude.assign((bits + 7) / 8, 0);
        for (size_t i = 0; i < n.magnitude.size(); ++i) {
            n.magnitude[i] = static_cast<uint8_t>(fill + 37 * i);
        }
        // Exactly `bits` bits: the top one set, none above it.
        const size_t topBit = (bits - 1) % 8;
        n.magnitude.back() = static_cast<uint8_t>((n.magnitude.back() | 1u << topBit) & ((2u << topBit) - 1));
        break;
    }
    }
    if (n.magnitude.empty()) {
        n.negative = false;  // zero has no sign
    }
}

void drawFloat(Input& in, Node& n)
{
    static const double specials[] = {
        0.0, -0.0, 1.5, -2.5, 4.9406564584124654e-324, 2.2250738585072014e-308, 1.7976931348623157e308,
        HUGE_VAL, -HUGE_VAL, NAN,
    };
    n.kind = Kind::floating;
    const uint8_t choice = in.byte();
    n.subclass = (choice & 1) != 0;
    if (choice & 2) {
        n.number = specials[(choice >> 2) % 10];
        return;
    }
    uint64_t bits = 0;
    for (int i = 0; i < 8; ++i) {
        bits = bits << 8 | in.byte();
    }
    std::memcpy(&n.number, &bits, sizeof bits);
}

// `size` bytes in which a byte out of place shows (the pattern repeats
// every 251 bytes, a prime, so no power-of-two shift keeps it).
std::string pattern(uint8_t seed, size_t size)
{
    std::string bytes;
    bytes.reserve(size);
    for (size_t i = 0; i < std::min<size_t>(size, 251); ++i) {
        bytes += static_cast<char>(seed + 7 * i);
    }
    while (bytes.size() < size) {
        bytes.append(bytes, 0, std::min(bytes.size(), size - bytes.size()));
    }
    return bytes;
}

void drawBytes(Input& in, Node& n, size_t size)
{
    n.kind = Kind::bytes;
    const uint8_t seed = in.byte();
    n.subclass = (seed & 1) != 0;
    n.content = pattern(seed, size);
}

// Whether the pyint2b128 installed is host code (see Converter).
bool hostConverter = false;

// Bytes the values of one input may take, on the wire, in all.
constexpr size_t VALUE_BUDGET = 24 << 20;
// Calls to a host converter one value may make, and the bytes its copies
// of the buffer's content (get() inside the converter) may take in all: a
// value beyond them is drawn but not encoded (Run::affordable).
constexpr size_t HOST_CALL_BUDGET = 4096;
constexpr size_t SNAPSHOT_BUDGET = 256 << 20;
// How deep values nest, apart from chains (each of which is one node).
constexpr int TREE_DEPTH = 6;

std::unique_ptr<Node> drawNode(Input& in, int level, size_t& budget, bool small);

// The size of what `n` encodes to, at most (a refused value writes less).
size_t wireSize(const Node& n)
{
    switch (n.kind) {
    case Kind::integer:
        return bitLength(n) / 7 + 2;
    case Kind::floating:
        return 9;
    case Kind::bytes:
        return n.content.size() + 6;
    case Kind::chain:
        return 2 * n.count + wireSize(*n.items[0]);
    case Kind::repeat:
        return 6 + n.count * wireSize(*n.items[0]);
    case Kind::list:
    case Kind::tuple: {
        size_t total = 6;
        for (const auto& item : n.items) {
            total += wireSize(*item);
        }
        return total;
    }
    case Kind::unsupported:
        return 0;
    }
    return 0;
}

// How many times encoding `n` calls the installed pyint2b128: once for
// each int too wide for a header (fewer, where a refusal stops it).
size_t hostCalls(const Node& n)
{
    switch (n.kind) {
    case Kind::integer:
        return fitsInHeader(n) ? 0 : 1;
    case Kind::chain:
        return hostCalls(*n.items[0]);
    case Kind::repeat:
        return n.count * hostCalls(*n.items[0]);
    case Kind::list:
    case Kind::tuple: {
        size_t calls = 0;
        for (const auto& item : n.items) {
            calls += hostCalls(*item);
        }
        return calls;
    }
    default:
        return 0;
    }
}

std::unique_ptr<Node> drawNode(Input& in, int level, size_t& budget, bool small)
{
    auto n = std::make_unique<Node>();
    const uint8_t choice = in.byte();
    switch (choice % 16) {
    case 0: case 1: case 2: case 3:
        drawInt(in, *n);
        break;
    case 4: case 5:
        drawFloat(in, *n);
        break;
    case 6: case 7: {
        size_t size = small ? in.byte() % 8 : drawSize(in);
        drawBytes(in, *n, size <= budget ? size : 0);
        break;
    }
    case 8: case 9: case 10: case 11:
        if (small || level >= TREE_DEPTH) {
            drawInt(in, *n);
            break;
        }
        n->kind = choice & 1 ? Kind::tuple : Kind::list;
        n->subclass = n->kind == Kind::list && (choice & 16);
        for (int count = in.byte() % 6; count > 0 && !in.done(); --count) {
            n->items.push_back(drawNode(in, level + 1, budget, false));
        }
        break;
    case 12: {
        // A chain of lists of one, around the encoder's depth.
        static const size_t depths[] = {1, 2, 100, MAX_DEPTH - 2, MAX_DEPTH - 1, MAX_DEPTH, MAX_DEPTH + 1, 3};
        n->kind = Kind::chain;
        n->count = small ? 1 : depths[in.byte() % 8];
        n->items.push_back(drawNode(in, TREE_DEPTH, budget, true));
        break;
    }
    case 13: {
        // A list of one small value many times over, around the reader's limit.
        static const size_t counts[] = {0, 1, 127, 128, 16383, 16384, static_cast<size_t>(SIZE_LIMIT),
                                        static_cast<size_t>(SIZE_LIMIT) + 1, 1000, 2, 3, 5, 64, 255, 256, 4096};
        n->kind = Kind::repeat;
        n->count = small ? 2 : counts[in.byte() % 16];
        n->items.push_back(drawNode(in, TREE_DEPTH, budget, true));
        // Host code called for each copy (a wide int anywhere in it, under
        // a host converter) would take seconds: a few copies then.
        const bool callsOut = hostCalls(*n->items[0]) != 0;
        const size_t each = wireSize(*n->items[0]);
        if (n->count * each > budget || (callsOut && hostConverter && n->count > 128)) {
            n->count = 3;
        }
        // Within the budget even then: repeats inside repeats, one byte of
        // input each, would otherwise multiply without end.
        n->count = std::min(n->count, budget / std::max<size_t>(each, 1));
        break;
    }
    case 14:
        n->kind = Kind::unsupported;
        n->subclass = (choice & 16) != 0;  // a str, else None
        break;
    default:
        drawInt(in, *n);
        break;
    }
    const size_t size = wireSize(*n);
    budget -= size < budget ? size : budget;
    return n;
}

// The host value of `n` and of everything in it. 0, or -1.
int build(Node& n)
{
    for (auto& item : n.items) {
        if (build(*item) < 0) {
            return -1;
        }
    }
    switch (n.kind) {
    case Kind::integer:
        n.object = makeInt(n);
        break;
    case Kind::floating:
        n.object = n.subclass ? PyObject_CallFunction(floatSub, "d", n.number) : PyFloat_FromDouble(n.number);
        break;
    case Kind::bytes:
        n.object = n.subclass ? PyObject_CallFunction(bytesSub, "y#", n.content.data(), static_cast<Py_ssize_t>(n.content.size()))
                              : PyBytes_FromStringAndSize(n.content.data(), static_cast<Py_ssize_t>(n.content.size()));
        break;
    case Kind::list:
    case Kind::tuple: {
        const auto size = static_cast<Py_ssize_t>(n.items.size());
        PyObject* seq = n.kind == Kind::tuple ? PyTuple_New(size) : PyList_New(size);
        if (seq == nullptr) {
            return -1;
        }
        for (Py_ssize_t i = 0; i < size; ++i) {
            PyObject* item = n.items[static_cast<size_t>(i)]->object;
            Py_INCREF(item);
            if (n.kind == Kind::tuple) {
                PyTuple_SET_ITEM(seq, i, item);
            } else {
                PyList_SET_ITEM(seq, i, item);
            }
        }
        if (n.subclass) {
            n.object = PyObject_CallOneArg(listSub, seq);
            Py_DECREF(seq);
        } else {
            n.object = seq;
        }
        break;
    }
    case Kind::chain: {
        PyObject* value = n.items[0]->object;
        Py_INCREF(value);
        for (size_t i = 0; i < n.count && value != nullptr; ++i) {
            PyObject* outer = PyList_New(1);
            if (outer != nullptr) {
                PyList_SET_ITEM(outer, 0, value);
            } else {
                Py_DECREF(value);
            }
            value = outer;
        }
        n.object = value;
        break;
    }
    case Kind::repeat: {
        const auto size = static_cast<Py_ssize_t>(n.count);
        n.object = PyList_New(size);
        for (Py_ssize_t i = 0; i < size && n.object != nullptr; ++i) {
            Py_INCREF(n.items[0]->object);
            PyList_SET_ITEM(n.object, i, n.items[0]->object);
        }
        break;
    }
    case Kind::unsupported:
        n.object = n.subclass ? PyUnicode_FromString("text") : Py_NewRef(Py_None);
        break;
    }
    return n.object != nullptr ? 0 : -1;
}

// --- the model ----------------------------------------------------------------

void header(uint32_t n, std::string& out)
{
    do {
        out += static_cast<char>(n & 0x7F);
        n >>= 7;
    } while (n != 0);
}

// The base-128 digits of a magnitude, least significant first.
void bigDigits(const Node& n, std::string& out)
{
    const size_t bits = bitLength(n);
    for (size_t at = 0; at < bits || at == 0; at += 7) {
        unsigned digit = 0;
        for (size_t bit = at; bit < at + 7 && bit < bits; ++bit) {
            digit |= (n.magnitude[bit / 8] >> (bit % 8) & 1u) << (bit - at);
        }
        out += static_cast<char>(digit);
    }
}

// What the installed pyint2b128 does besides writing the digits.
enum class Converter { own, host, peeking, clearing };

struct Model {
    Converter converter = Converter::own;
    bool strict = false;
    std::vector<std::string>* snapshots = nullptr;  // what the converter's get() must give
    bool cleared = false;  // the converter emptied the buffer
};

// MOLVAR_FUZZ_SELF_CHECK=1: the model writes the int 1 as 2, so that an
// input that encodes 1 must be reported: proof that the target can fail.
bool wrongModel = false;

// Appends what encoding `n` at `depth` appends to `out`: everything up to
// the refusal, when there is one.
Refusal encodeModel(const Node& n, int depth, std::string& out, Model& model)
{
    switch (n.kind) {
    case Kind::integer: {
        uint64_t value = 0;
        if (fitsInHeader(n) && smallMagnitude(n, value)) {
            value = value == 1 && wrongModel ? 2 : value;
            header(static_cast<uint32_t>(value), out);
            out += static_cast<char>(n.negative ? molvar::TYPE_NEGINT : molvar::TYPE_INT);
            return Refusal::none;
        }
        if (model.strict && bitLength(n) > static_cast<size_t>(BIG_INT_BITS)) {
            return Refusal::strictInt;
        }
        if (model.converter == Converter::peeking || model.converter == Converter::clearing) {
            model.snapshots->push_back(out);
        }
        if (model.converter == Converter::clearing) {
            out.clear();
            model.cleared = true;
        }
        bigDigits(n, out);
        out += static_cast<char>(n.negative ? molvar::TYPE_NEGLONG : molvar::TYPE_LONG);
        return Refusal::none;
    }
    case Kind::floating: {
        if (!std::isfinite(n.number)) {
            return Refusal::notFinite;
        }
        const double value = n.number + 0.0;  // negative zero travels as zero
        uint64_t bits = 0;
        std::memcpy(&bits, &value, sizeof bits);
        out += static_cast<char>(molvar::TYPE_FLOAT);
        for (int shift = 56; shift >= 0; shift -= 8) {
            out += static_cast<char>(bits >> shift);
        }
        return Refusal::none;
    }
    case Kind::bytes:
        if (model.strict && n.content.size() > static_cast<size_t>(SIZE_LIMIT)) {
            return Refusal::strictBytes;
        }
        header(static_cast<uint32_t>(n.content.size()), out);
        out += static_cast<char>(molvar::TYPE_STRING);
        out += n.content;
        return Refusal::none;
    case Kind::list:
    case Kind::tuple:
    case Kind::repeat: {
        if (depth >= MAX_DEPTH) {
            return Refusal::tooDeep;
        }
        const size_t count = n.kind == Kind::repeat ? n.count : n.items.size();
        if (model.strict && count > static_cast<size_t>(SIZE_LIMIT)) {
            return Refusal::strictList;
        }
        header(static_cast<uint32_t>(count), out);
        out += static_cast<char>(molvar::TYPE_LIST);
        if (n.kind == Kind::repeat && count != 0 &&
            (model.converter == Converter::own || model.converter == Converter::host)) {
            // The same item each time, with nothing to record: written once.
            const size_t start = out.size();
            const Refusal refusal = encodeModel(*n.items[0], depth + 1, out, model);
            const std::string item = out.substr(start);
            for (size_t i = 1; i < count && refusal == Refusal::none; ++i) {
                out += item;
            }
            return refusal;
        }
        for (size_t i = 0; i < count; ++i) {
            const Refusal refusal = encodeModel(*n.items[n.kind == Kind::repeat ? 0 : i], depth + 1, out, model);
            if (refusal != Refusal::none) {
                return refusal;
            }
        }
        return Refusal::none;
    }
    case Kind::chain:
        for (size_t i = 0; i < n.count; ++i) {
            if (depth + static_cast<int>(i) >= MAX_DEPTH) {
                return Refusal::tooDeep;
            }
            out += "\x01\x80";
        }
        return encodeModel(*n.items[0], depth + static_cast<int>(n.count), out, model);
    case Kind::unsupported:
        return Refusal::type;
    }
    return Refusal::none;
}

// Whether a reader takes `n` back: lists and strings within SIZE_LIMIT, ints
// within BIG_INT_BITS.
bool readable(const Node& n)
{
    switch (n.kind) {
    case Kind::integer:
        return bitLength(n) <= static_cast<size_t>(BIG_INT_BITS);
    case Kind::bytes:
        return n.content.size() <= static_cast<size_t>(SIZE_LIMIT);
    case Kind::repeat:
        return n.count <= static_cast<size_t>(SIZE_LIMIT) && readable(*n.items[0]);
    default:
        for (const auto& item : n.items) {
            if (!readable(*item)) {
                return false;
            }
        }
        return true;
    }
}

// Whether `decoded`, which the decoder made, is `n` as it comes back: a
// list for every sequence, plain ints, floats and bytes.
bool decodedAs(const Node& n, PyObject* decoded)
{
    switch (n.kind) {
    case Kind::integer:
        return PyLong_CheckExact(decoded) && PyObject_RichCompareBool(decoded, n.object, Py_EQ) == 1;
    case Kind::floating: {
        if (!PyFloat_CheckExact(decoded)) {
            return false;
        }
        const double got = PyFloat_AS_DOUBLE(decoded);
        const double want = n.number + 0.0;
        return std::memcmp(&got, &want, sizeof got) == 0;
    }
    case Kind::bytes:
        return PyBytes_CheckExact(decoded) && static_cast<size_t>(PyBytes_GET_SIZE(decoded)) == n.content.size() &&
               std::memcmp(PyBytes_AS_STRING(decoded), n.content.data(), n.content.size()) == 0;
    case Kind::chain:
        for (size_t i = 0; i < n.count; ++i) {
            if (!PyList_CheckExact(decoded) || PyList_GET_SIZE(decoded) != 1) {
                return false;
            }
            decoded = PyList_GET_ITEM(decoded, 0);
        }
        return decodedAs(*n.items[0], decoded);
    case Kind::list:
    case Kind::tuple:
    case Kind::repeat: {
        const size_t count = n.kind == Kind::repeat ? n.count : n.items.size();
        if (!PyList_CheckExact(decoded) || static_cast<size_t>(PyList_GET_SIZE(decoded)) != count) {
            return false;
        }
        for (size_t i = 0; i < count; ++i) {
            if (!decodedAs(*n.items[n.kind == Kind::repeat ? 0 : i], PyList_GET_ITEM(decoded, static_cast<Py_ssize_t>(i)))) {
                return false;
            }
        }
        return true;
    }
    case Kind::unsupported:
        return false;
    }
    return false;
}

// --- the run ------------------------------------------------------------------

PyObject* encodeFunction = nullptr;   // cMolvar.encode
PyObject* newBufFunction = nullptr;   // cMolvar.newBuf
PyObject* dumpsFunction = nullptr;    // the companion's dumps
PyObject* loadsFunction = nullptr;    // the companion's loads
PyObject* codecModule = nullptr;      // cMolvar, where pyint2b128 is installed
PyObject* converters[4] = {};         // by Converter: the companion's own, and host code's
PyObject* snapshotList = nullptr;     // what the host converters' get() returned
PyObject* strictNames = nullptr;      // ("strict",)
// A readable region larger than any buffer may grow to, never touched: the
// source of writes that must be refused before a byte is copied.
const char* hugeRegion = nullptr;
constexpr size_t HUGE_REGION_SIZE = size_t{MAX_CAPACITY} + 4096;

// A result handed out, and the bytes it must keep.
struct Kept {
    PyObject* result;  // owned
    std::string bytes;
    std::string what;
};

// A value encoded into the buffer since the last clear, and where.
struct Segment {
    const Node* node;
    size_t start, size;
};

class Run {
public:
    ~Run()
    {
        Py_XDECREF(buf_);
        checkKept("after the buffer is gone");
        for (Kept& kept : kept_) {
            Py_DECREF(kept.result);
        }
        setConverter(Converter::own);
    }

    void start()
    {
        buf_ = PyObject_CallNoArgs(newBufFunction);
        if (buf_ == nullptr) {
            fail("newBuf failed");
        }
    }

    void step(Input& in)
    {
        const uint8_t op = in.byte();
        trace_ += std::to_string(op % 9) + ' ';
        switch (op % 9) {
        case 0: write(in); break;
        case 1: encode(in); break;
        case 2: get(); break;
        case 3: clear(); break;
        case 4: dumps(in, false); break;
        case 5: dumps(in, true); break;
        case 6: setConverter(static_cast<Converter>(in.byte() % 4)); break;
        case 7: writeTooMuch(in); break;
        default: encode(in); break;
        }
        checkKept("after an operation");
    }

private:
    [[noreturn]] void fault(const std::string& what) { fail(what + " (operations: " + trace_ + ")"); }

    void keep(PyObject* result, const std::string& bytes, const char* what)
    {
        if (kept_.size() == 6) {
            Py_DECREF(kept_.front().result);
            kept_.pop_front();
        }
        kept_.push_back(Kept{result, bytes, what});
    }

    void checkKept(const char* when)
    {
        for (const Kept& kept : kept_) {
            if (static_cast<size_t>(PyBytes_GET_SIZE(kept.result)) != kept.bytes.size() ||
                std::memcmp(PyBytes_AS_STRING(kept.result), kept.bytes.data(), kept.bytes.size()) != 0) {
                fault("a result of " + kept.what + " changed " + when);
            }
        }
    }

    void same(PyObject* result, const std::string& expected, const char* what)
    {
        if (!PyBytes_CheckExact(result)) {
            fault(std::string(what) + " returned no bytes");
        }
        const auto size = static_cast<size_t>(PyBytes_GET_SIZE(result));
        if (size != expected.size() || std::memcmp(PyBytes_AS_STRING(result), expected.data(), size) != 0) {
            size_t at = 0;
            while (at < size && at < expected.size() && PyBytes_AS_STRING(result)[at] == expected[at]) {
                ++at;
            }
            fault(std::string(what) + " gave " + std::to_string(size) + " bytes where " +
                  std::to_string(expected.size()) + " were expected, first difference at " + std::to_string(at));
        }
    }

    // Decodes `size` bytes of `result` from `start`: they must give `n` back.
    void decodesAs(PyObject* result, size_t start, size_t size, const Node& n, const char* what)
    {
        PyObject* view = PyMemoryView_FromMemory(PyBytes_AS_STRING(result) + start, static_cast<Py_ssize_t>(size), PyBUF_READ);
        PyObject* decoded = view != nullptr ? PyObject_CallOneArg(loadsFunction, view) : nullptr;
        Py_XDECREF(view);
        if (decoded == nullptr) {
            fault(std::string("decoding what ") + what + " wrote failed");
        }
        if (!decodedAs(n, decoded)) {
            fault(std::string("what ") + what + " wrote decodes to another value");
        }
        Py_DECREF(decoded);
    }

    // A refusal, as its exception tells it; fails on any other exception.
    void refused(Refusal expected, bool explained, const char* what)
    {
        PyObject* kind = PyErr_Occurred();
        if (kind == nullptr) {
            fault(std::string(what) + " failed with no exception");
        }
        PyObject* errorClass = PyObject_GetAttrString(codecModule, "MolvarError");
        PyObject* want = nullptr;
        switch (expected) {
        case Refusal::none: break;
        case Refusal::type:
        case Refusal::strictList:
        case Refusal::strictBytes:
        case Refusal::strictInt: want = errorClass; break;
        case Refusal::notFinite: want = explained ? PyExc_ValueError : PyExc_SystemError; break;
        case Refusal::tooDeep: want = PyExc_RecursionError; break;
        }
        const bool matches = want != nullptr && PyErr_GivenExceptionMatches(kind, want);
        Py_XDECREF(errorClass);
        if (!matches) {
            fault(std::string(what) + " raised another exception than expected (refusal " +
                  std::to_string(static_cast<int>(expected)) + ")");
        }
        PyErr_Clear();
    }

    // The snapshots the host converter took, against the model's.
    void checkSnapshots(const std::vector<std::string>& expected, const char* what)
    {
        const Py_ssize_t count = PyList_GET_SIZE(snapshotList);
        if (static_cast<size_t>(count) != expected.size()) {
            fault(std::string(what) + ": the converter ran " + std::to_string(count) + " times, not " +
                  std::to_string(expected.size()));
        }
        for (Py_ssize_t i = 0; i < count; ++i) {
            PyObject* snapshot = PyList_GET_ITEM(snapshotList, i);
            same(snapshot, expected[static_cast<size_t>(i)], "get() inside the converter");
            Py_INCREF(snapshot);
            keep(snapshot, expected[static_cast<size_t>(i)], "get() inside the converter");
        }
        if (PyList_SetSlice(snapshotList, 0, count, nullptr) < 0) {
            fault("cannot empty the snapshots");
        }
    }

    std::unique_ptr<Node> value(Input& in)
    {
        auto n = drawNode(in, 0, budget_, false);
        if (build(*n) < 0) {
            fault("cannot build a value");
        }
        return n;
    }

    // Whether the installed converter's calls for `n`, encoded after
    // `start` bytes, stay within their budgets.
    bool affordable(const Node& n, size_t start) const
    {
        if (converter_ == Converter::own) {
            return true;
        }
        const size_t calls = hostCalls(n);
        const bool copies = converter_ == Converter::peeking || converter_ == Converter::clearing;
        return calls <= HOST_CALL_BUDGET && (!copies || calls * (start + wireSize(n)) <= SNAPSHOT_BUDGET);
    }

    void write(Input& in)
    {
        const size_t size = std::min(drawSize(in), budget_);
        budget_ -= size;
        const uint8_t how = in.byte();
        const std::string bytes = pattern(how, size);
        // A bytes object, a bytearray, or a view into a larger one.
        PyObject* source = nullptr;
        PyObject* owner = nullptr;
        switch (how % 3) {
        case 0:
            source = PyBytes_FromStringAndSize(bytes.data(), static_cast<Py_ssize_t>(size));
            break;
        case 1:
            source = PyByteArray_FromStringAndSize(bytes.data(), static_cast<Py_ssize_t>(size));
            break;
        default: {
            std::string padded = "xx" + bytes + "yy";
            owner = PyBytes_FromStringAndSize(padded.data(), static_cast<Py_ssize_t>(padded.size()));
            source = owner != nullptr ? PyMemoryView_FromMemory(PyBytes_AS_STRING(owner) + 2,
                                                                 static_cast<Py_ssize_t>(size), PyBUF_READ)
                                      : nullptr;
            break;
        }
        }
        if (source == nullptr) {
            fault("cannot make the bytes to write");
        }
        PyObject* result = PyObject_CallMethod(buf_, "write", "O", source);
        Py_DECREF(source);
        Py_XDECREF(owner);
        if (result == nullptr) {
            fault("write failed");
        }
        Py_DECREF(result);
        content_ += bytes;
    }

    // More than the buffer may ever hold: refused with MemoryError, and
    // the buffer unchanged.
    void writeTooMuch(Input& in)
    {
        const size_t size = MAX_CAPACITY - content_.size() + 1 + in.byte();
        PyObject* view = PyMemoryView_FromMemory(const_cast<char*>(hugeRegion), static_cast<Py_ssize_t>(size), PyBUF_READ);
        if (view == nullptr) {
            fault("cannot make the view to write");
        }
        PyObject* result = PyObject_CallMethod(buf_, "write", "O", view);
        Py_DECREF(view);
        if (result != nullptr || !PyErr_ExceptionMatches(PyExc_MemoryError)) {
            fault("a write past the largest buffer was not refused with MemoryError");
        }
        PyErr_Clear();
    }

    void encode(Input& in)
    {
        auto n = value(in);
        if (!affordable(*n, content_.size())) {
            trace_ += "(not encoded) ";
            return;
        }
        std::vector<std::string> snapshots;
        Model model;
        model.converter = converter_;
        model.snapshots = &snapshots;
        const size_t start = content_.size();
        const Refusal refusal = encodeModel(*n, 0, content_, model);
        PyObject* result = PyObject_CallFunctionObjArgs(encodeFunction, n->object, buf_, nullptr);
        if (refusal == Refusal::none) {
            if (result == nullptr) {
                fault("encode failed");
            }
            Py_DECREF(result);
        } else {
            if (result != nullptr) {
                fault("encode took a value it must refuse");
            }
            refused(refusal, false, "encode");
        }
        checkSnapshots(snapshots, "encode");
        if (model.cleared) {
            segments_.clear();  // what they wrote is gone
        } else if (refusal == Refusal::none && readable(*n)) {
            segments_.push_back(Segment{n.get(), start, content_.size() - start});
            values_.push_back(std::move(n));
        }
    }

    void get()
    {
        PyObject* result = PyObject_CallMethod(buf_, "get", nullptr);
        if (result == nullptr) {
            fault("get failed");
        }
        same(result, content_, "get()");
        for (const Segment& segment : segments_) {
            decodesAs(result, segment.start, segment.size, *segment.node, "encode");
        }
        keep(result, content_, "get()");
    }

    void clear()
    {
        PyObject* result = PyObject_CallMethod(buf_, "clear", nullptr);
        if (result == nullptr) {
            fault("clear failed");
        }
        Py_DECREF(result);
        content_.clear();
        segments_.clear();
    }

    void dumps(Input& in, bool strict)
    {
        auto n = value(in);
        if (!affordable(*n, 0)) {
            trace_ += "(not encoded) ";
            return;
        }
        std::vector<std::string> snapshots;
        Model model;
        model.converter = converter_;
        model.snapshots = &snapshots;
        model.strict = strict;
        std::string expected;
        const Refusal refusal = encodeModel(*n, 0, expected, model);
        PyObject* args[] = {n->object, Py_True};
        PyObject* result = PyObject_Vectorcall(dumpsFunction, args, 1, strict ? strictNames : nullptr);
        const char* what = strict ? "dumps(strict=True)" : "dumps()";
        if (refusal != Refusal::none) {
            if (result != nullptr) {
                fault(std::string(what) + " took a value it must refuse");
            }
            refused(refusal, true, what);
            checkSnapshots(snapshots, what);
            return;
        }
        if (result == nullptr) {
            fault(std::string(what) + " failed");
        }
        checkSnapshots(snapshots, what);
        same(result, expected, what);
        if (!model.cleared && readable(*n)) {
            decodesAs(result, 0, expected.size(), *n, what);
        }
        keep(result, expected, what);
    }

    void setConverter(Converter converter)
    {
        if (PyObject_SetAttrString(codecModule, "pyint2b128", converters[static_cast<int>(converter)]) < 0) {
            fail("cannot install a converter");
        }
        converter_ = converter;
        hostConverter = converter != Converter::own;
    }

    PyObject* buf_ = nullptr;
    std::string content_;  // what the buffer must hold
    std::deque<Kept> kept_;
    std::vector<Segment> segments_;
    std::vector<std::unique_ptr<Node>> values_;  // those that segments_ name
    Converter converter_ = Converter::own;
    size_t budget_ = VALUE_BUDGET;
    std::string trace_;
};

// The subclasses, and the host converters: each writes the digits through
// the buffer's `write` as the companion's own does; `peeking` first takes
// the buffer's content with get() (kept in `snapshots`) and writes the
// digits one at a time; `clearing` takes it, then empties the buffer.
const char HOST_CODE[] = R"(
import cMolvar
import kestrix.vantle.molvar as companion

class IntSub(int): pass
class FloatSub(float): pass
class BytesSub(bytes): pass
class ListSub(list): pass

own = companion.pyint2b128
snapshots = []

def host(magnitude, write):
    own(magnitude, write)

def peeking(magnitude, write):
    snapshots.append(write.__self__.get())
    digits = []
    own(magnitude, digits.append)
    for digit in b"".join(digits):
        write(bytes((digit,)))

def clearing(magnitude, write):
    snapshots.append(write.__self__.get())
    write.__self__.clear()
    own(magnitude, write)
)";

PyObject* take(PyObject* names, const char* name)
{
    PyObject* value = PyDict_GetItemString(names, name);  // borrowed
    if (value == nullptr) {
        fail(std::string("the host code defines no ") + name);
    }
    Py_INCREF(value);
    return value;
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***)
{
    fuzzing::embedInterpreter("encoder_fuzz");
    PyObject* main = PyImport_AddModule("__main__");  // borrowed
    PyObject* names = main != nullptr ? PyModule_GetDict(main) : nullptr;
    PyObject* ran = names != nullptr ? PyRun_String(HOST_CODE, Py_file_input, names, names) : nullptr;
    if (ran == nullptr) {
        fail("cannot run the host code (is src/ on PYTHONPATH?)");
    }
    Py_DECREF(ran);
    intSub = take(names, "IntSub");
    floatSub = take(names, "FloatSub");
    bytesSub = take(names, "BytesSub");
    listSub = take(names, "ListSub");
    snapshotList = take(names, "snapshots");
    converters[static_cast<int>(Converter::own)] = take(names, "own");
    converters[static_cast<int>(Converter::host)] = take(names, "host");
    converters[static_cast<int>(Converter::peeking)] = take(names, "peeking");
    converters[static_cast<int>(Converter::clearing)] = take(names, "clearing");
    codecModule = take(names, "cMolvar");
    PyObject* companion = take(names, "companion");
    encodeFunction = PyObject_GetAttrString(codecModule, "encode");
    newBufFunction = PyObject_GetAttrString(codecModule, "newBuf");
    dumpsFunction = PyObject_GetAttrString(companion, "dumps");
    loadsFunction = PyObject_GetAttrString(companion, "loads");
    Py_DECREF(companion);
    strictNames = Py_BuildValue("(s)", "strict");
    if (encodeFunction == nullptr || newBufFunction == nullptr || dumpsFunction == nullptr || loadsFunction == nullptr ||
        strictNames == nullptr) {
        fail("cannot find the functions under test");
    }
    void* region = mmap(nullptr, HUGE_REGION_SIZE, PROT_READ, MAP_PRIVATE | MAP_ANONYMOUS | MAP_NORESERVE, -1, 0);
    if (region == MAP_FAILED) {
        fail("cannot map the region of oversized writes");
    }
    hugeRegion = static_cast<const char*>(region);
    const char* selfCheck = getenv("MOLVAR_FUZZ_SELF_CHECK");
    wrongModel = selfCheck != nullptr && std::strcmp(selfCheck, "1") == 0;
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    Input in(data, size);
    {
        Run run;
        run.start();
        while (!in.done()) {
            run.step(in);
        }
    }
    if (PyErr_Occurred()) {
        fail("an exception was left set");
    }
    return 0;
}
