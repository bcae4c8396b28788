// Module entry of calvex_vm_engine: the VMEngine class with its borrow flag,
// and the two module functions.
#include "host.h"
#include "common/bytecode.h"
#include "engine.h"
#include "vm_engine/ir.h"
#include "vm_engine/optimizer.h"

namespace {

struct VMEngineObject {
    PyObject_HEAD
    calvex::Engine* engine;  // owned
    host::BorrowFlag borrow;
};

PyObject* engine_type = nullptr;

constexpr const char* kBytecodeParam[] = {"bytecode"};

VMEngineObject* as_engine(PyObject* o) { return reinterpret_cast<VMEngineObject*>(o); }

PyObject* vmengine_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
    return host::guard([&]() -> PyObject* {
        PyObject* arg;
        if (!host::bind_args_tuple("VMEngine.__new__()", kBytecodeParam, 1, args, kwargs, &arg)) return nullptr;
        std::vector<uint8_t> bytes;
        if (!host::extract_bytes(arg, "bytecode", bytes)) return nullptr;
        calvex::EnginePtr engine = calvex::engine_from_bytes(bytes);
        if (!engine) return nullptr;
        auto* self = as_engine(type->tp_alloc(type, 0));
        if (!self) return nullptr;
        self->engine = engine.release();
        self->borrow = {};
        return reinterpret_cast<PyObject*>(self);
    });
}

void vmengine_dealloc(PyObject* obj) {
    auto* self = as_engine(obj);
    calvex::EngineDeleter{}(self->engine);
    self->engine = nullptr;
    PyTypeObject* tp = Py_TYPE(obj);
    tp->tp_free(obj);
    Py_DECREF(tp);
}

// Runs `f(engine)` under an exclusive or shared borrow of the instance.
template <class Borrow, class F>
PyObject* with_engine(PyObject* obj, F f) {
    return host::guard([&]() -> PyObject* {
        Borrow b(as_engine(obj)->borrow);
        if (!b.ok()) return nullptr;
        calvex::Engine* e = as_engine(obj)->engine;
        if (!e) return host::raise_panic("VMEngine holds no machine"), nullptr;
        return f(*e);
    });
}

PyObject* vmengine_execute(PyObject* self, PyObject*) {
    return with_engine<host::ExclusiveBorrow>(self, calvex::engine_execute);
}

PyObject* vmengine_enable_jit(PyObject* self, PyObject*) {
    return with_engine<host::ExclusiveBorrow>(self, [](calvex::Engine& e) -> PyObject* {
        calvex::engine_enable_jit(e);
        Py_RETURN_NONE;
    });
}

PyObject* vmengine_collect(PyObject* self, PyObject*) {
    return with_engine<host::SharedBorrow>(self, calvex::engine_collect_hot_traces_ir);
}

PyObject* vmengine_state(PyObject* self, PyObject*) {
    return with_engine<host::SharedBorrow>(self, calvex::engine_state);
}

PyObject* vmengine_stats(PyObject* self, PyObject*) {
    return with_engine<host::SharedBorrow>(self, calvex::engine_stats);
}

PyObject* vmengine_reset(PyObject* obj, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return host::guard([&]() -> PyObject* {
        PyObject* arg;
        if (!host::bind_args("VMEngine.reset()", kBytecodeParam, 1, args, nargs, kwnames, &arg)) return nullptr;
        host::ExclusiveBorrow b(as_engine(obj)->borrow);
        if (!b.ok()) return nullptr;
        std::vector<uint8_t> bytes;
        if (!host::extract_bytes(arg, "bytecode", bytes)) return nullptr;
        calvex::EnginePtr fresh = calvex::engine_from_bytes(bytes);
        if (!fresh) return nullptr;
        calvex::EngineDeleter{}(std::exchange(as_engine(obj)->engine, fresh.release()));
        Py_RETURN_NONE;
    });
}

PyCFunction fastcall(PyObject* (*f)(PyObject*, PyObject* const*, Py_ssize_t, PyObject*)) {
    return reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(f));
}

constexpr int kFast = METH_FASTCALL | METH_KEYWORDS;

PyMethodDef vmengine_methods[] = {
    {"execute", vmengine_execute, METH_NOARGS, "execute($self)\n--\n\n"},
    {"enable_jit", vmengine_enable_jit, METH_NOARGS, "enable_jit($self)\n--\n\n"},
    {"collect_hot_traces_ir", vmengine_collect, METH_NOARGS, "collect_hot_traces_ir($self)\n--\n\n"},
    {"reset", fastcall(vmengine_reset), kFast, "reset($self, bytecode)\n--\n\n"},
    {"state", vmengine_state, METH_NOARGS, "state($self)\n--\n\n"},
    {"stats", vmengine_stats, METH_NOARGS, "stats($self)\n--\n\n"},
    {nullptr, nullptr, 0, nullptr},
};

PyType_Slot vmengine_slots[] = {
    {Py_tp_new, reinterpret_cast<void*>(vmengine_new)},
    {Py_tp_dealloc, reinterpret_cast<void*>(vmengine_dealloc)},
    {Py_tp_methods, vmengine_methods},
    {Py_tp_doc, const_cast<char*>("VMEngine(bytecode)\n--\n\nPython wrapper for VMEngine")},
    {0, nullptr},
};

PyType_Spec vmengine_spec = {
    "calvex_vm_engine.VMEngine",
    sizeof(VMEngineObject),
    0,
    Py_TPFLAGS_DEFAULT,
    vmengine_slots,
};

PyObject* py_optimize_bytecode(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return host::guard([&]() -> PyObject* {
        PyObject* arg;
        if (!host::bind_args("optimize_bytecode()", kBytecodeParam, 1, args, nargs, kwnames, &arg)) return nullptr;
        std::vector<uint8_t> bytes;
        if (!host::extract_bytes(arg, "bytecode", bytes)) return nullptr;
        std::vector<uint8_t> out = calvex::encode_bytes(calvex::optimize(calvex::decode_bytes(bytes)));
        return PyBytes_FromStringAndSize(reinterpret_cast<const char*>(out.data()),
                                         static_cast<Py_ssize_t>(out.size()));
    });
}

PyObject* py_emit_ir(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return host::guard([&]() -> PyObject* {
        static constexpr const char* names[] = {"trace_name", "opcodes_str"};
        PyObject* a[2];
        if (!host::bind_args("emit_ir()", names, 2, args, nargs, kwnames, a)) return nullptr;
        std::string_view name;
        if (!host::extract_str(a[0], "trace_name", name)) return nullptr;
        std::vector<uint8_t> bytes;
        if (!host::extract_bytes(a[1], "opcodes_str", bytes)) return nullptr;
        calvex::Code code = calvex::decode_bytes(bytes);
        return host::to_str(calvex::generate_ir(name, code));
    });
}

PyMethodDef module_functions[] = {
    {"optimize_bytecode", fastcall(py_optimize_bytecode), kFast,
     "optimize_bytecode(bytecode)\n--\n\nOptimize Calvex bytecode (passed as bytes) and return optimized bytes"},
    {"emit_ir", fastcall(py_emit_ir), kFast, "emit_ir(trace_name, opcodes_str)\n--\n\nEmit LLVM IR for a named trace"},
    {nullptr, nullptr, 0, nullptr},
};

PyModuleDef module_def = {PyModuleDef_HEAD_INIT, "calvex_vm_engine", "", 0, nullptr,
                          nullptr, nullptr, nullptr, nullptr};

host::ModuleSlot module_slot;

PyObject* create_module() {
    if (!engine_type) {
        engine_type = PyType_FromSpec(&vmengine_spec);
        if (!engine_type) return nullptr;
    }
    return host::build_module(module_def, "VMEngine", engine_type, module_functions);
}

}  // namespace

PyMODINIT_FUNC PyInit_calvex_vm_engine() {
    PyObject* result;
    if (host::module_already_created(module_slot, &result)) return result;
    PyObject* m = host::guard(create_module);
    if (m) module_slot.module = Py_NewRef(m);
    return m;
}
