#include "codec/refusal.h"

#include "codec/exception.h"
#include "codec/ref.h"

namespace molvar {

Refusal::~Refusal()
{
    for (Py_ssize_t i = 0; i < depth_; ++i) {
        Py_DECREF(levels_[i].seq);
    }
    PyMem_Free(levels_);
    Py_XDECREF(item_);
    Py_XDECREF(error_);
}

void Refusal::record(RefusalKind kind, PyObject* item)
{
    if (kind_ != RefusalKind::none) {
        return;
    }
    Ref error = fetchException();
    if (!error) {
        return;
    }
    kind_ = kind;
    error_ = Ref::borrow(error.get()).release();
    item_ = Ref::borrow(item).release();
    raiseException(std::move(error));
}

void Refusal::unwind(PyObject* seq, Py_ssize_t index)
{
    if (kind_ == RefusalKind::none || cut_) {
        return;
    }
    if (depth_ == room_) {
        const Py_ssize_t room = room_ == 0 ? 16 : 2 * room_;
        auto* levels = static_cast<RefusalLevel*>(PyMem_Realloc(levels_, sizeof(RefusalLevel) * static_cast<std::size_t>(room)));
        if (levels == nullptr) {
            cut_ = true;  // the refusal's own exception stays the one pending
            return;
        }
        levels_ = levels;
        room_ = room;
    }
    levels_[depth_++] = RefusalLevel{Ref::borrow(seq).release(), index};
}

}  // namespace molvar
