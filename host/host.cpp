#include "host.h"

#include <malloc.h>

#include <mutex>

#include "common/stack_guard.h"
#include "vm_engine/value.h"

namespace host {

namespace {

// Joins names as "'a'", "'a' and 'b'", "'a', 'b', and 'c'".
std::string quoted_list(const std::vector<const char*>& names) {
    std::string s;
    for (size_t i = 0; i < names.size(); ++i) {
        if (i > 0) {
            if (names.size() == 2) s += " and ";
            else if (i + 1 == names.size()) s += ", and ";
            else s += ", ";
        }
        s += '\'';
        s += names[i];
        s += '\'';
    }
    return s;
}

// Puts keyword `key` (a str) with `value` into the parameter slots.
bool bind_keyword(const char* fullname, const char* const* names, size_t n, Py_ssize_t nargs,
                  PyObject* key, PyObject* value, PyObject** out) {
    Py_ssize_t len = 0;
    const char* k = PyUnicode_Check(key) ? PyUnicode_AsUTF8AndSize(key, &len) : nullptr;
    if (!k) {
        if (!PyErr_Occurred()) PyErr_SetString(PyExc_TypeError, "keywords must be strings");
        return false;
    }
    std::string_view kw(k, static_cast<size_t>(len));
    for (size_t i = 0; i < n; ++i) {
        if (kw != names[i]) continue;
        if (static_cast<Py_ssize_t>(i) < nargs || out[i]) {
            PyErr_Format(PyExc_TypeError, "%s got multiple values for argument '%s'", fullname, names[i]);
            return false;
        }
        out[i] = value;
        return true;
    }
    PyErr_Format(PyExc_TypeError, "%s got an unexpected keyword argument '%U'", fullname, key);
    return false;
}

bool check_counts(const char* fullname, const char* const* names, size_t n, Py_ssize_t nargs,
                  PyObject** out, bool positional_phase) {
    if (positional_phase) {
        if (nargs > static_cast<Py_ssize_t>(n)) {
            PyErr_Format(PyExc_TypeError, "%s takes %zu positional arguments but %zd %s given", fullname, n,
                         nargs, nargs == 1 ? "was" : "were");
            return false;
        }
        return true;
    }
    std::vector<const char*> missing;
    for (size_t i = 0; i < n; ++i)
        if (!out[i]) missing.push_back(names[i]);
    if (missing.empty()) return true;
    std::string msg = std::string(fullname) + " missing " + std::to_string(missing.size()) +
                      " required positional argument" + (missing.size() > 1 ? "s" : "") + ": " +
                      quoted_list(missing);
    raise(PyExc_TypeError, msg);
    return false;
}

// Prefixes the pending TypeError with "argument '<param>': ".
void raise_argument_error(const char* param, std::string_view message) {
    std::string msg = "argument '";
    msg += param;
    msg += "': ";
    msg += message;
    raise(PyExc_TypeError, msg);
}

}  // namespace

void prepare_thread() noexcept {
    thread_local bool ready = false;  // itself allocates this library's block
    if (ready) return;
    // Reading the C++ runtime's per-thread exception globals creates them;
    // the function is pure, so its result is used (it is never negative).
    ready = std::uncaught_exceptions() >= 0;
    static_cast<void>(calvex::thread_stack_low());
    static_cast<void>(calvex::prepare_thread_values());
}

void release_free_memory() noexcept { malloc_trim(0); }

// Stack one level needs besides what its guarded stages check for themselves:
// the front end keeps its own margin, so twice that leaves it room to work.
constexpr size_t kReentryHeadroom = 2 * calvex::kStackMargin;

// The interpreter counts the calls into the bindings against its own limit;
// only the stack is left to check here.
ReentryGuard::ReentryGuard(const char* fullname) {
    if (calvex::StackGuard(kReentryHeadroom).exhausted()) {
        raise(PyExc_RecursionError,
              std::string(fullname) + " nested too deeply: the thread's stack is nearly exhausted");
        return;
    }
    ok_ = true;
}

PyObject* panic_type() {
    static PyObject* type = nullptr;
    if (!type) {
        type = PyErr_NewExceptionWithDoc("calvex.PanicException",
                                         "Raised when an internal invariant of the library is broken.",
                                         PyExc_BaseException, nullptr);
    }
    return type;
}

void raise_panic(std::string_view message) {
    PyObject* t = panic_type();
    if (!t) return;  // the failure to create the class is already set
    raise(t, message);
}

void raise(PyObject* type, std::string_view message) {
    PyObject* s = to_str(message);
    if (!s) return;
    PyObject* args = PyTuple_Pack(1, s);
    Py_DECREF(s);
    if (!args) return;
    PyObject* exc = PyObject_Call(type, args, nullptr);
    Py_DECREF(args);
    if (!exc) return;
    PyErr_SetObject(reinterpret_cast<PyObject*>(Py_TYPE(exc)), exc);
    Py_DECREF(exc);
}

std::string wrong_type_message(PyObject* obj, const char* target) {
    std::string name = "?";
    if (PyObject* q = PyType_GetQualName(Py_TYPE(obj))) {
        if (const char* s = PyUnicode_AsUTF8(q)) name = s;
        Py_DECREF(q);
    }
    PyErr_Clear();
    return "'" + name + "' object cannot be converted to '" + target + "'";
}

void raise_wrong_type(PyObject* obj, const char* target) { raise(PyExc_TypeError, wrong_type_message(obj, target)); }

PyObject* to_str(std::string_view text) {
    return PyUnicode_DecodeUTF8(text.data(), static_cast<Py_ssize_t>(text.size()), "replace");
}

bool bind_args(const char* fullname, const char* const* names, size_t n, PyObject* const* args,
               Py_ssize_t nargs, PyObject* kwnames, PyObject** out) {
    for (size_t i = 0; i < n; ++i) out[i] = nullptr;
    if (!check_counts(fullname, names, n, nargs, out, true)) return false;
    for (Py_ssize_t i = 0; i < nargs; ++i) out[i] = args[i];
    if (kwnames) {
        Py_ssize_t nkw = PyTuple_GET_SIZE(kwnames);
        for (Py_ssize_t j = 0; j < nkw; ++j)
            if (!bind_keyword(fullname, names, n, nargs, PyTuple_GET_ITEM(kwnames, j), args[nargs + j], out))
                return false;
    }
    return check_counts(fullname, names, n, nargs, out, false);
}

bool bind_args_tuple(const char* fullname, const char* const* names, size_t n, PyObject* args,
                     PyObject* kwargs, PyObject** out) {
    for (size_t i = 0; i < n; ++i) out[i] = nullptr;
    Py_ssize_t nargs = PyTuple_GET_SIZE(args);
    if (!check_counts(fullname, names, n, nargs, out, true)) return false;
    for (Py_ssize_t i = 0; i < nargs; ++i) out[i] = PyTuple_GET_ITEM(args, i);
    if (kwargs) {
        PyObject *key, *value;
        Py_ssize_t pos = 0;
        while (PyDict_Next(kwargs, &pos, &key, &value))
            if (!bind_keyword(fullname, names, n, nargs, key, value, out)) return false;
    }
    return check_counts(fullname, names, n, nargs, out, false);
}

bool extract_str(PyObject* obj, const char* param, std::string_view& out) {
    if (!PyUnicode_Check(obj)) {
        raise_argument_error(param, wrong_type_message(obj, "PyString"));
        return false;
    }
    Py_ssize_t len = 0;
    const char* s = PyUnicode_AsUTF8AndSize(obj, &len);
    if (!s) return false;  // e.g. lone surrogates: the encoder's error stands
    out = std::string_view(s, static_cast<size_t>(len));
    return true;
}

bool extract_bytes(PyObject* obj, const char* param, std::vector<uint8_t>& out) {
    if (!PyBytes_Check(obj)) {
        raise_argument_error(param, wrong_type_message(obj, "PyBytes"));
        return false;
    }
    const auto* p = reinterpret_cast<const uint8_t*>(PyBytes_AS_STRING(obj));
    out.assign(p, p + PyBytes_GET_SIZE(obj));
    return true;
}

bool extract_token_sequence(PyObject* obj, const char* param) {
    if (PyUnicode_Check(obj)) {
        raise_argument_error(param, "Can't extract `str` to `Vec`");
        return false;
    }
    if (!PySequence_Check(obj)) {
        raise_argument_error(param, wrong_type_message(obj, "Sequence"));
        return false;
    }
    return true;
}

void prefix_argument_error(const char* param) {
    PyObject* exc = PyErr_GetRaisedException();
    if (!exc) return;
    if (Py_TYPE(exc) != reinterpret_cast<PyTypeObject*>(PyExc_TypeError)) {
        PyErr_SetRaisedException(exc);
        return;
    }
    Ref original = Ref::steal(exc);
    Ref text = Ref::steal(PyObject_Str(original.get()));
    if (!text) return;  // the failure of str() stands instead
    Py_ssize_t len = 0;
    const char* utf8 = PyUnicode_AsUTF8AndSize(text.get(), &len);
    if (!utf8) return;
    raise_argument_error(param, std::string_view(utf8, static_cast<size_t>(len)));
    PyObject* fresh = PyErr_GetRaisedException();
    if (!fresh) return;
    PyException_SetCause(fresh, PyException_GetCause(original.get()));  // steals the new reference
    PyErr_SetRaisedException(fresh);
}

ExclusiveBorrow::ExclusiveBorrow(BorrowFlag& f) : f_(f), ok_(f.count == 0) {
    if (ok_) f_.count = -1;
    else raise(PyExc_RuntimeError, "Already borrowed");
}
ExclusiveBorrow::~ExclusiveBorrow() {
    if (ok_) f_.count = 0;
}

SharedBorrow::SharedBorrow(BorrowFlag& f) : f_(f), ok_(f.count >= 0) {
    if (ok_) ++f_.count;
    else raise(PyExc_RuntimeError, "Already mutably borrowed");
}
SharedBorrow::~SharedBorrow() {
    if (ok_) --f_.count;
}

bool module_already_created(ModuleSlot& slot, PyObject** result) {
    PyInterpreterState* current = PyInterpreterState_Get();
    if (slot.owner && slot.owner != current) {
        PyErr_SetString(PyExc_ImportError,
                        "calvex modules do not support sub-interpreters; import them in the main interpreter only");
        *result = nullptr;
        return true;
    }
    if (slot.module) {
        Py_INCREF(slot.module);
        *result = slot.module;
        return true;
    }
    slot.owner = current;
    return false;
}

}  // namespace host

namespace host {

PyObject* build_module(PyModuleDef& def, const char* class_name, PyObject* type, PyMethodDef* functions) {
    // With m_size -1 the interpreter would keep a copy of the module dict and
    // serve later imports (and sub-interpreters) from it without calling the
    // initialiser, which then could neither hand back the kept module object
    // nor refuse a second interpreter.
    def.m_size = 0;
    Ref m = Ref::steal(PyModule_Create(&def));
    if (!m || !panic_type()) return nullptr;
    Ref all = Ref::steal(PyList_New(0));
    if (!all) return nullptr;
    auto add = [&](const char* name, PyObject* obj) {
        Ref o = Ref::steal(obj);
        if (!o || PyModule_AddObjectRef(m.get(), name, o.get()) < 0) return false;
        Ref n = Ref::steal(PyUnicode_FromString(name));
        return n && PyList_Append(all.get(), n.get()) == 0;
    };
    if (!add(class_name, Py_NewRef(type))) return nullptr;
    Ref modname = Ref::steal(PyUnicode_FromString(def.m_name));
    if (!modname) return nullptr;
    for (PyMethodDef* f = functions; f->ml_name; ++f)
        if (!add(f->ml_name, PyCFunction_NewEx(f, nullptr, modname.get()))) return nullptr;
    if (PyModule_AddObjectRef(m.get(), "__all__", all.get()) < 0) return nullptr;
    return m.release();
}

}  // namespace host
