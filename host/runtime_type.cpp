// The host types calvex._core.Runtime and calvex.Function: construction and
// options, argument handling, and the handle table behind Function objects.
#include "runtime.h"

#include <cmath>
#include <new>

namespace calvex::core {

namespace {

using host::Ref;

PyObject* g_runtime_type = nullptr;
PyObject* g_function_type = nullptr;

RuntimeObject* as_runtime(PyObject* o) { return reinterpret_cast<RuntimeObject*>(o); }

// Like host::guard, and an allocation refused by the runtime's memory budget
// is LimitExceeded("memory") rather than MemoryError.
template <class F>
auto guarded(RuntimeState* s, F&& f) noexcept -> decltype(f()) {
    host::prepare_thread();
    try {
        return f();
    } catch (const std::bad_alloc&) {
        if (s && s->meter.exceeded)
            raise_limit("memory", "memory limit exceeded (max_memory=" + std::to_string(s->meter.limit) + ")");
        else
            PyErr_NoMemory();
    } catch (const std::exception& e) {
        host::raise_panic(e.what());
    } catch (...) {
        host::raise_panic("unknown internal failure");
    }
    return {};
}

// An optional positive number option: None, or > 0.
bool positive_option(PyObject* o, const char* name, bool integral, double& out) {
    out = 0;
    if (!o || o == Py_None) return true;
    if (PyBool_Check(o) || (integral ? !PyLong_Check(o) : !(PyLong_Check(o) || PyFloat_Check(o)))) {
        PyErr_Format(PyExc_TypeError, "%s must be %s or None, not %s", name, integral ? "an int" : "a number", Py_TYPE(o)->tp_name);
        return false;
    }
    out = PyFloat_Check(o) ? PyFloat_AS_DOUBLE(o) : PyLong_AsDouble(o);
    if (out == -1.0 && PyErr_Occurred()) return false;
    if (!(out > 0) || std::isinf(out)) {
        PyErr_Format(PyExc_ValueError, "%s must be positive, not %R", name, o);
        return false;
    }
    return true;
}

PyObject* runtime_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
    return guarded(nullptr, [&]() -> PyObject* {
        static const char* names[] = {"max_instructions", "timeout", "max_memory", "max_depth",
                                      "print",            "input",   "strict",     nullptr};
        PyObject *max_instructions = nullptr, *timeout = nullptr, *max_memory = nullptr, *max_depth = nullptr;
        PyObject *print = nullptr, *input = nullptr;
        int strict = 0;
        if (!PyArg_ParseTupleAndKeywords(args, kwargs, "|$OOOOOOp:Runtime", const_cast<char**>(names),
                                         &max_instructions, &timeout, &max_memory, &max_depth, &print, &input,
                                         &strict))
            return nullptr;
        double instr, secs, mem, depth = 10000;
        if (!positive_option(max_instructions, "max_instructions", true, instr) ||
            !positive_option(timeout, "timeout", false, secs) || !positive_option(max_memory, "max_memory", true, mem))
            return nullptr;
        if (max_depth && max_depth != Py_None && !positive_option(max_depth, "max_depth", true, depth)) return nullptr;
        if (depth > static_cast<double>(VM::kMaxCallDepth)) {
            PyErr_Format(PyExc_ValueError, "max_depth can be at most %zu", VM::kMaxCallDepth);
            return nullptr;
        }
        for (auto [o, name] : {std::pair{print, "print"}, std::pair{input, "input"}}) {
            if (o && o != Py_None && !PyCallable_Check(o)) {
                PyErr_Format(PyExc_TypeError, "%s must be callable or None, not %s", name, Py_TYPE(o)->tp_name);
                return nullptr;
            }
        }
        VMOptions options;
        options.strict = strict != 0;
        options.tracebacks = true;
        options.max_depth = static_cast<size_t>(depth);

        Ref self = Ref::steal(type->tp_alloc(type, 0));
        if (!self) return nullptr;
        as_runtime(self.get())->state = nullptr;
        as_runtime(self.get())->weakrefs = nullptr;
        auto meter = std::make_unique<MemoryMeter>();
        meter->limit = mem > 0 ? (mem >= 1.8e19 ? SIZE_MAX : static_cast<size_t>(mem)) : SIZE_MAX;
        RuntimeState* s;
        try {
            // The machine's own allocations count, so that releasing them
            // later balances.
            MeterScope scope(meter.get());
            s = new RuntimeState(options);
        } catch (const std::bad_alloc&) {
            if (!meter->exceeded) throw;
            PyErr_Format(PyExc_ValueError, "max_memory=%zu is too small to hold the runtime itself", meter->limit);
            return nullptr;
        }
        s->meter = *meter;
        as_runtime(self.get())->state = s;
        s->self = self.get();
        s->max_instructions = instr > 0 ? static_cast<uint64_t>(instr) : 0;
        s->timeout = secs;
        if (print && print != Py_None) s->print_cb = Ref::borrow(print);
        if (input && input != Py_None) s->input_cb = Ref::borrow(input);
        if (!runtime_setup(*s)) return nullptr;
        return self.release();
    });
}

int runtime_gc_traverse(PyObject* o, visitproc visit, void* arg) {
    Py_VISIT(Py_TYPE(o));
    if (RuntimeState* s = as_runtime(o)->state) return runtime_traverse(*s, visit, arg);
    return 0;
}

int runtime_gc_clear(PyObject* o) {
    if (RuntimeState* s = as_runtime(o)->state) runtime_clear(*s);
    return 0;
}

void runtime_dealloc(PyObject* o) {
    PyObject_GC_UnTrack(o);
    RuntimeObject* self = as_runtime(o);
    if (self->weakrefs) PyObject_ClearWeakRefs(o);
    if (RuntimeState* s = self->state) {
        MeterScope scope(&s->meter);
        delete s;
        self->state = nullptr;
    }
    PyTypeObject* tp = Py_TYPE(o);
    tp->tp_free(o);
    Py_DECREF(tp);
}

RuntimeState& st(PyObject* self) { return *as_runtime(self)->state; }

PyObject* m_exec(PyObject* self, PyObject* args, PyObject* kwargs) {
    RuntimeState& s = st(self);
    return guarded(&s, [&]() -> PyObject* {
        static const char* names[] = {"", "filename", nullptr};
        PyObject *code, *filename = nullptr;
        if (!PyArg_ParseTupleAndKeywords(args, kwargs, "O|U:exec", const_cast<char**>(names), &code, &filename))
            return nullptr;
        return runtime_exec(s, code, filename);
    });
}

PyObject* m_eval(PyObject* self, PyObject* arg) {
    RuntimeState& s = st(self);
    return guarded(&s, [&]() -> PyObject* { return runtime_eval(s, arg); });
}

PyObject* m_call(PyObject* self, PyObject* const* args, Py_ssize_t nargs) {
    RuntimeState& s = st(self);
    if (nargs < 1) {
        PyErr_SetString(PyExc_TypeError, "call() needs the name of the function to call");
        return nullptr;
    }
    return guarded(&s, [&]() -> PyObject* {
        return runtime_call(s, args[0], args + 1, static_cast<size_t>(nargs - 1));
    });
}

PyObject* m_register(PyObject* self, PyObject* const* args, Py_ssize_t nargs) {
    RuntimeState& s = st(self);
    if (nargs != 2) {
        PyErr_Format(PyExc_TypeError, "register() takes a name and a callable (%zd arguments given)", nargs);
        return nullptr;
    }
    return guarded(&s, [&]() -> PyObject* {
        if (!runtime_register(s, args[0], args[1])) return nullptr;
        Py_RETURN_NONE;
    });
}

PyObject* m_interrupt(PyObject* self, PyObject*) {
    st(self).interrupt_requested.store(true, std::memory_order_release);
    Py_RETURN_NONE;
}

PyObject* m_stats(PyObject* self, PyObject*) { return runtime_stats(st(self)); }

PyObject* m_global_get(PyObject* self, PyObject* name) {
    RuntimeState& s = st(self);
    return guarded(&s, [&]() -> PyObject* { return runtime_global_get(s, name); });
}

PyObject* m_global_set(PyObject* self, PyObject* const* args, Py_ssize_t nargs) {
    RuntimeState& s = st(self);
    if (nargs != 2) {
        PyErr_SetString(PyExc_TypeError, "_global_set() takes a name and a value");
        return nullptr;
    }
    return guarded(&s, [&]() -> PyObject* {
        if (!runtime_global_set(s, args[0], args[1])) return nullptr;
        Py_RETURN_NONE;
    });
}

PyObject* m_global_del(PyObject* self, PyObject* name) {
    RuntimeState& s = st(self);
    return guarded(&s, [&]() -> PyObject* {
        if (!runtime_global_del(s, name)) return nullptr;
        Py_RETURN_NONE;
    });
}

PyObject* m_global_names(PyObject* self, PyObject*) {
    RuntimeState& s = st(self);
    return guarded(&s, [&]() -> PyObject* { return runtime_global_names(s); });
}

PyCFunction fast(PyObject* (*f)(PyObject*, PyObject* const*, Py_ssize_t)) {
    return reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(f));
}

PyMethodDef runtime_methods[] = {
    {"exec", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(m_exec)), METH_VARARGS | METH_KEYWORDS,
     "exec($self, code, /, filename='<string>')\n--\n\n"
     "Run top-level code (a str or a calvex.Program). Globals, functions and classes it defines persist."},
    {"eval", m_eval, METH_O,
     "eval($self, expression, /)\n--\n\nThe value of one expression, computed in this runtime's globals."},
    {"call", fast(m_call), METH_FASTCALL,
     "call($self, name, /, *args)\n--\n\nCall the script function (or built-in, or registered callable) "
     "`name` with `args` and return its result."},
    {"register", fast(m_register), METH_FASTCALL,
     "register($self, name, func, /)\n--\n\nMake the Python callable `func` callable as `name` from this "
     "runtime's scripts."},
    {"interrupt", m_interrupt, METH_NOARGS,
     "interrupt($self, /)\n--\n\nThread-safe: the running entry (or, when idle, the next one) stops and raises "
     "calvex.Interrupted."},
    {"stats", m_stats, METH_NOARGS,
     "stats($self, /)\n--\n\nCounters: instructions_executed, memory_in_use, peak_memory, call_depth."},
    {"_global_get", m_global_get, METH_O, nullptr},
    {"_global_set", fast(m_global_set), METH_FASTCALL, nullptr},
    {"_global_del", m_global_del, METH_O, nullptr},
    {"_global_names", m_global_names, METH_NOARGS, nullptr},
    {nullptr, nullptr, 0, nullptr},
};

PyMemberDef runtime_members[] = {
    {"__weaklistoffset__", Py_T_PYSSIZET, offsetof(RuntimeObject, weakrefs), Py_READONLY, nullptr},
    {nullptr, 0, 0, 0, nullptr},
};

PyType_Slot runtime_slots[] = {
    {Py_tp_new, reinterpret_cast<void*>(runtime_new)},
    {Py_tp_dealloc, reinterpret_cast<void*>(runtime_dealloc)},
    {Py_tp_traverse, reinterpret_cast<void*>(runtime_gc_traverse)},
    {Py_tp_clear, reinterpret_cast<void*>(runtime_gc_clear)},
    {Py_tp_methods, runtime_methods},
    {Py_tp_members, runtime_members},
    {Py_tp_doc, const_cast<char*>("The native machine behind calvex.Runtime.")},
    {0, nullptr},
};

PyType_Spec runtime_spec = {"calvex._core.Runtime", sizeof(RuntimeObject), 0,
                            Py_TPFLAGS_DEFAULT | Py_TPFLAGS_BASETYPE | Py_TPFLAGS_HAVE_GC, runtime_slots};

// ---- calvex.Function --------------------------------------------------------------------

FunctionObject* as_function(PyObject* o) { return reinterpret_cast<FunctionObject*>(o); }

PyObject* function_vectorcall(PyObject* callable, PyObject* const* args, size_t nargsf, PyObject* kwnames) {
    FunctionObject* f = as_function(callable);
    if (!f->runtime) {
        PyErr_SetString(PyExc_RuntimeError, "this calvex.Function was released by the garbage collector");
        return nullptr;
    }
    if (kwnames && PyTuple_GET_SIZE(kwnames) > 0) {
        PyErr_Format(PyExc_TypeError, "%U() takes no keyword arguments", f->name);
        return nullptr;
    }
    RuntimeState& s = state_of(f->runtime);
    return guarded(&s, [&]() -> PyObject* {
        return runtime_call_value(s, s.handles[f->handle], args, PyVectorcall_NARGS(nargsf));
    });
}

int function_traverse(PyObject* o, visitproc visit, void* arg) {
    Py_VISIT(Py_TYPE(o));
    Py_VISIT(as_function(o)->runtime);
    return 0;
}

// Leaves the handle to the runtime, which is garbage too (it goes with all
// its handles).
int function_clear(PyObject* o) {
    Py_CLEAR(as_function(o)->runtime);
    return 0;
}

void function_dealloc(PyObject* o) {
    PyObject_GC_UnTrack(o);
    FunctionObject* f = as_function(o);
    if (f->runtime) {
        RuntimeState& s = state_of(f->runtime);
        // The value may share cells with a machine running on another thread
        // right now: then it is released when that entry ends.
        if (s.depth > 0 && s.owner != PyThread_get_thread_ident()) {
            try {
                s.deferred_release.push_back(f->handle);
            } catch (...) {
            }
        } else {
            MeterScope scope(&s.meter);
            release_handle(s, f->handle);
        }
    }
    Py_XDECREF(f->name);
    Py_XDECREF(f->runtime);
    PyTypeObject* tp = Py_TYPE(o);
    tp->tp_free(o);
    Py_DECREF(tp);
}

PyObject* function_repr(PyObject* o) { return PyUnicode_FromFormat("<calvex.Function %U>", as_function(o)->name); }

PyObject* function_new(PyTypeObject*, PyObject*, PyObject*) {
    PyErr_SetString(PyExc_TypeError, "calvex.Function values come from a Runtime (script functions handed to Python)");
    return nullptr;
}

PyMemberDef function_members[] = {
    {"__name__", Py_T_OBJECT_EX, offsetof(FunctionObject, name), Py_READONLY, "The script name of the function."},
    {"runtime", Py_T_OBJECT_EX, offsetof(FunctionObject, runtime), Py_READONLY, "The Runtime it runs in."},
    {"__vectorcalloffset__", Py_T_PYSSIZET, offsetof(FunctionObject, vectorcall), Py_READONLY, nullptr},
    {nullptr, 0, 0, 0, nullptr},
};

PyType_Slot function_slots[] = {
    {Py_tp_new, reinterpret_cast<void*>(function_new)},
    {Py_tp_dealloc, reinterpret_cast<void*>(function_dealloc)},
    {Py_tp_traverse, reinterpret_cast<void*>(function_traverse)},
    {Py_tp_clear, reinterpret_cast<void*>(function_clear)},
    {Py_tp_repr, reinterpret_cast<void*>(function_repr)},
    {Py_tp_call, reinterpret_cast<void*>(PyVectorcall_Call)},
    {Py_tp_members, function_members},
    {Py_tp_doc, const_cast<char*>("A script function or bound method; calling it runs it in its Runtime, "
                                  "with that runtime's limits.")},
    {0, nullptr},
};

PyType_Spec function_spec = {"calvex.Function", sizeof(FunctionObject), 0,
                             Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_VECTORCALL | Py_TPFLAGS_IMMUTABLETYPE |
                                 Py_TPFLAGS_HAVE_GC,
                             function_slots};

}  // namespace

size_t hold(RuntimeState& s, Value v) {
    if (!s.free_handles.empty()) {
        size_t h = s.free_handles.back();
        s.free_handles.pop_back();
        s.handles[h] = std::move(v);
        return h;
    }
    s.handles.push_back(std::move(v));
    return s.handles.size() - 1;
}

void release_handle(RuntimeState& s, size_t h) {
    s.handles[h] = Value();
    try {
        s.free_handles.push_back(h);
    } catch (...) {
    }
}

PyObject* function_type() { return g_function_type; }

PyObject* make_function(RuntimeState& s, const Value& v) {
    Ref name = Ref::steal(host::to_str(v.callable_name()));
    if (!name) return nullptr;
    size_t handle = hold(s, v);
    auto* tp = reinterpret_cast<PyTypeObject*>(g_function_type);
    auto* f = reinterpret_cast<FunctionObject*>(tp->tp_alloc(tp, 0));
    if (!f) {
        release_handle(s, handle);
        return nullptr;
    }
    f->vectorcall = function_vectorcall;
    f->runtime = Py_NewRef(s.self);
    f->name = name.release();
    f->handle = handle;
    return reinterpret_cast<PyObject*>(f);
}

bool create_runtime_types(PyObject* module) {
    if (!g_runtime_type) g_runtime_type = PyType_FromModuleAndSpec(module, &runtime_spec, nullptr);
    if (!g_function_type) g_function_type = PyType_FromSpec(&function_spec);
    return g_runtime_type && g_function_type;
}

PyObject* runtime_type() { return g_runtime_type; }

}  // namespace calvex::core
