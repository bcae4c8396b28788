// Module entry of calvex._core, the native half of the `calvex` package:
// compile(), the Program, Runtime and Function types, and the exception
// classes of calvex.errors they raise.
#include "core.h"

#include "vm_engine/memory.h"

namespace calvex::core {

namespace {

ErrorTypes g_errors;

PyMethodDef module_functions[] = {
    {"compile", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(py_compile)), METH_VARARGS | METH_KEYWORDS,
     "compile(source, *, filename='<string>')\n--\n\nCompile source into a calvex.Program; raises "
     "calvex.CompileError."},
    {"program_from_bytes", py_program_from_bytes, METH_O,
     "program_from_bytes(data)\n--\n\nThe Program that Program.to_bytes() serialised."},
    {nullptr, nullptr, 0, nullptr},
};

PyModuleDef module_def = {PyModuleDef_HEAD_INIT, "calvex._core", "Native half of the calvex package.", 0,
                          module_functions, nullptr, nullptr, nullptr, nullptr};

host::ModuleSlot module_slot;

PyObject* create_module() {
    if (!load_error_types()) return nullptr;
    module_def.m_size = 0;
    host::Ref m = host::Ref::steal(PyModule_Create(&module_def));
    if (!m || !create_program_type() || !create_runtime_types(m.get())) return nullptr;
    if (PyModule_AddObjectRef(m.get(), "Program", program_type()) < 0) return nullptr;
    if (PyModule_AddObjectRef(m.get(), "Function", function_type()) < 0) return nullptr;
    if (PyModule_AddObjectRef(m.get(), "Runtime", runtime_type()) < 0) return nullptr;
    if (PyModule_AddObjectRef(m.get(), "memory_metering", memory_metering_available() ? Py_True : Py_False) < 0)
        return nullptr;
    return m.release();
}

}  // namespace

const ErrorTypes& errors() { return g_errors; }

bool load_error_types() {
    if (g_errors.compile_error) return true;
    host::Ref mod = host::Ref::steal(PyImport_ImportModule("calvex.errors"));
    if (!mod) return false;
    struct {
        const char* name;
        PyObject** slot;
    } wanted[] = {{"CompileError", &g_errors.compile_error},
                  {"ScriptError", &g_errors.script_error},
                  {"LimitExceeded", &g_errors.limit_exceeded},
                  {"Interrupted", &g_errors.interrupted}};
    for (auto& w : wanted) {
        // Kept for the life of the process: the classes outlive every runtime.
        *w.slot = PyObject_GetAttrString(mod.get(), w.name);
        if (!*w.slot) return false;
    }
    return true;
}

}  // namespace calvex::core

PyMODINIT_FUNC PyInit__core() {
    PyObject* result;
    if (host::module_already_created(calvex::core::module_slot, &result)) return result;
    PyObject* m = host::guard(calvex::core::create_module);
    if (m) calvex::core::module_slot.module = Py_NewRef(m);
    return m;
}
