// libFuzzer target: the decoder, with the interpreter embedded (embed.h).
//
// Every input goes to harness.check (see harness.py), which feeds it to
// dataReceived and to a Decoder in chunks, and checks the round trip; with
// MOLVAR_FUZZ_LIMITS=1 also to a Decoder with limits. A fault the harness
// reports aborts, as a crash would.
//
// PYTHONPATH must hold the repository's src/ (for the companion package) and
// fuzz/ (for harness.py); the fuzz campaign (tests/fuzz_campaign.py) sets it.
#include "fuzz/embed.h"

#include <cstdint>

namespace {

PyObject* check = nullptr;     // harness.check, held for the process
PyObject* encoder = nullptr;   // harness.selected_encode(), held for the process

[[noreturn]] void fail(const char* what) { fuzzing::fail("decoder_fuzz", what); }

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***)
{
    fuzzing::embedInterpreter("decoder_fuzz");
    PyObject* harness = PyImport_ImportModule("harness");
    if (harness == nullptr) {
        fail("cannot import harness (is fuzz/ on PYTHONPATH?)");
    }
    check = PyObject_GetAttrString(harness, "check");
    PyObject* select = PyObject_GetAttrString(harness, "selected_encode");
    Py_DECREF(harness);
    if (check == nullptr || select == nullptr) {
        fail("harness lacks check or selected_encode");
    }
    encoder = PyObject_CallNoArgs(select);
    Py_DECREF(select);
    if (encoder == nullptr) {
        fail("selected_encode failed");
    }
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    PyObject* input = PyBytes_FromStringAndSize(reinterpret_cast<const char*>(data), static_cast<Py_ssize_t>(size));
    if (input == nullptr) {
        fail("cannot make the input");
    }
    PyObject* result = PyObject_CallFunctionObjArgs(check, input, encoder, nullptr);
    Py_DECREF(input);
    if (result == nullptr) {
        fail("the harness found a fault");
    }
    Py_DECREF(result);
    return 0;
}
