// The native-binding registry, the binding objects installed into machines,
// and the conversions between machine values and host objects on that path.
#include "host.h"  // first: Python.h must precede the standard headers
#include "native.h"

#include <algorithm>
#include <cstring>
#include <memory>
#include <mutex>
#include <string>
#include <unordered_map>
#include <unordered_set>
#include <utility>
#include <vector>

#include "bindings.h"
#include "value_walk.h"
#include "common/utf8.h"

namespace calvex {

namespace {

// ---- registry ----------------------------------------------------------------------
//
// Process-wide, behind one mutex. Callables are owned references. A C++
// failure escaping while the mutex is held marks the registry broken, and
// every later use raises PanicException. No host code ever runs under the
// mutex: releasing a callable can run a finalizer that re-enters the
// registry, so old callables are released after unlocking.

struct Registry {
    std::mutex mu;
    bool broken = false;
    std::vector<std::pair<std::string, PyObject*>> entries;  // first registration order
};

// Never destroyed: the process may exit after the interpreter is gone.
Registry& registry() {
    static Registry* r = new Registry;
    return *r;
}

constexpr std::string_view kBrokenRegistry = "the native binding registry is unusable after an earlier failure";

// Runs `f` under the registry mutex; an exception escaping `f` marks the
// registry broken and propagates (the host layer maps it).
template <class F>
bool with_registry(F&& f) {
    Registry& r = registry();
    std::unique_lock lock(r.mu);
    if (r.broken) {
        lock.unlock();
        host::raise_panic(kBrokenRegistry);
        return false;
    }
    try {
        f(r);
    } catch (...) {
        r.broken = true;
        throw;
    }
    return true;
}

// ---- text helpers --------------------------------------------------------------------

// Appends `bytes` as UTF-8, each ill-formed subsequence replaced by U+FFFD.
void append_lossy_utf8(std::string& out, const unsigned char* s, size_t n) {
    const std::string_view text(reinterpret_cast<const char*>(s), n);
    for (size_t i = 0; i < n;) {
        const Utf8Char c = utf8_next(text, i, Utf8Policy::MaximalSubpart);
        if (c.ok) out.append(text, i, c.len);
        else out += "\xEF\xBF\xBD";
        i += c.len;
    }
}

// Text of a host str; lone surrogates (which UTF-8 cannot carry) become U+FFFD.
std::string str_text(PyObject* s) {
    Py_ssize_t len = 0;
    if (const char* p = PyUnicode_AsUTF8AndSize(s, &len)) return std::string(p, static_cast<size_t>(len));
    PyErr_Clear();
    std::string out;
    host::Ref bytes = host::Ref::steal(PyUnicode_AsEncodedString(s, "utf-8", "surrogatepass"));
    if (!bytes) {
        PyErr_Clear();
        return out;
    }
    append_lossy_utf8(out, reinterpret_cast<const unsigned char*>(PyBytes_AS_STRING(bytes.get())),
                      static_cast<size_t>(PyBytes_GET_SIZE(bytes.get())));
    return out;
}

// "<qualified type name>: <str(exc)>", the text after "Native error: ".
std::string exception_text(PyObject* exc) {
    std::string text;
    host::Ref qualname = host::Ref::steal(PyType_GetQualName(Py_TYPE(exc)));
    if (qualname) {
        text = str_text(qualname.get());
    } else {
        PyErr_Clear();
        text = Py_TYPE(exc)->tp_name;
    }
    text += ": ";
    host::Ref s = host::Ref::steal(PyObject_Str(exc));
    if (s) {
        text += str_text(s.get());
    } else {
        PyErr_Clear();
        text += "<exception str() failed>";
    }
    return text;
}

// ---- machine value -> host object ------------------------------------------------
//
// Containers are walked with an explicit stack: nesting depth is up to the
// program, not the native stack. Values cannot contain themselves (copy on
// write), so the walk ends.

// A host object for `v`: scalars complete, containers as empty shells of the
// right size (a list with empty slots, a dict) to be filled by the walk.
PyObject* host_shell(const Value& v) {
    switch (v.kind()) {
        case Kind::Nil: Py_RETURN_NONE;
        case Kind::Bool: return PyBool_FromLong(v.as_bool());
        case Kind::Int: return PyLong_FromLongLong(v.as_int());
        case Kind::Float: return PyFloat_FromDouble(v.as_float());
        case Kind::String: return host::to_str(v.as_string());
        case Kind::Array: return PyList_New(static_cast<Py_ssize_t>(v.items().size()));
        case Kind::Object: return PyDict_New();
        case Kind::Function: return host::to_str("<function " + std::string(v.callable_name()) + ">");
        case Kind::Method: return host::to_str("<method " + std::string(v.callable_name()) + ">");
        case Kind::Native: return host::to_str("<native " + std::string(v.callable_name()) + ">");
    }
    Py_RETURN_NONE;
}


// Both walks look at pending signals every kSignalCheckNodes nodes, so a
// huge value cannot keep Ctrl-C or an alarm waiting.
constexpr uint64_t kSignalCheckNodes = 4096;

// New reference, or nullptr with a host error set (allocation failure, or
// the exception of a signal handler that ran part-way). A cell that several
// handles share becomes one host object, reached from each place: a value
// built by doubling (`a = [a, a]`) converts in time linear in its cells.
PyObject* to_host(const Value& root) {
    return host::value_to_host(
        root, host_shell, host::key_text, [] { return PyErr_CheckSignals() == 0; }, kSignalCheckNodes,
        host::MemberFailure::Skip);
}

// ---- host object -> machine value ------------------------------------------------
//
// The first rule that applies wins; a failure inside a rule (a raising
// __index__, __float__, __len__ or item access) only moves on to the next
// rule, so the conversion itself never fails:
//   str -> String; int-like (64-bit, bool included) -> Int; float-like -> Float;
//   "numpy.bool_" -> Bool; other sequences -> Array; None -> Nil; else str(o).
// Sequences are walked with an explicit stack; a sequence that contains
// itself is not walked again but taken by its string form, and a list or
// tuple met again elsewhere is converted once. A signal handler that raises
// part-way stops the walk: the result is then nil, with its error pending.

Value string_form(PyObject* o) {
    host::Ref s = host::Ref::steal(PyObject_Str(o));
    if (!s) {
        PyErr_Clear();
        return Value::string("");
    }
    return Value::string(str_text(s.get()));
}

// Either a finished value, or a sequence of `length` items still to convert.
struct Classified {
    Value value;
    bool is_sequence = false;
    Py_ssize_t length = 0;
};

Classified classify(PyObject* o) {
    Classified c;
    if (PyUnicode_Check(o)) {
        c.value = Value::string(str_text(o));
        return c;
    }
    long long i = PyLong_AsLongLong(o);
    if (!(i == -1 && PyErr_Occurred())) {
        c.value = Value::integer(i);
        return c;
    }
    PyErr_Clear();
    if (PyFloat_CheckExact(o)) {
        c.value = Value::number(PyFloat_AS_DOUBLE(o));
        return c;
    }
    double d = PyFloat_AsDouble(o);
    if (!(d == -1.0 && PyErr_Occurred())) {
        c.value = Value::number(d);
        return c;
    }
    PyErr_Clear();
    if (PyBool_Check(o) || std::strcmp(Py_TYPE(o)->tp_name, "numpy.bool_") == 0) {
        int t = PyObject_IsTrue(o);
        if (t >= 0) {
            c.value = Value::boolean(t != 0);
            return c;
        }
        PyErr_Clear();
    }
    if (PySequence_Check(o)) {
        Py_ssize_t n = PySequence_Size(o);
        if (n >= 0) {
            c.is_sequence = true;
            c.length = n;
            return c;
        }
        PyErr_Clear();
    }
    if (o == Py_None) return c;
    c.value = string_form(o);
    return c;
}

// What a sequence becomes when its own rule fails part-way.
Value sequence_fallback(PyObject* o) { return o == Py_None ? Value() : string_form(o); }

constexpr Py_ssize_t kReserveLimit = 4096;

Value from_host(PyObject* root) {
    Classified top = classify(root);
    if (!top.is_sequence) return std::move(top.value);

    struct Frame {
        host::Ref seq;
        Py_ssize_t length;
        Py_ssize_t next = 0;
        std::vector<Value> items;
    };
    std::vector<Frame> stack;
    std::unordered_set<PyObject*> open;  // sequences being walked (cycle guard)
    std::unordered_map<PyObject*, Value> done;  // finished exact lists/tuples reached again
    std::vector<host::Ref> keep;                // keeps the keys of `done` alive
    uint64_t nodes = 0;
    Value result;

    auto begin = [&](PyObject* seq, Py_ssize_t length) {
        Frame f{host::Ref::borrow(seq), length, 0, {}};
        // The length is the object's own claim: reserving all of it up front
        // would let a lying __len__ fail the whole run with MemoryError.
        f.items.reserve(static_cast<size_t>(std::min<Py_ssize_t>(length, kReserveLimit)));
        open.insert(seq);
        stack.push_back(std::move(f));
    };
    // Hands a finished value to the sequence below, or makes it the result.
    auto deliver = [&](Value v) {
        if (stack.empty()) {
            result = std::move(v);
        } else {
            stack.back().items.push_back(std::move(v));
        }
    };
    auto finish = [&](Value v) {
        PyObject* seq = stack.back().seq.get();
        open.erase(seq);
        if ((PyList_CheckExact(seq) || PyTuple_CheckExact(seq)) && Py_REFCNT(seq) > 2) {
            done.emplace(seq, v);
            keep.push_back(stack.back().seq);
        }
        stack.pop_back();
        deliver(std::move(v));
    };

    begin(root, top.length);
    while (!stack.empty()) {
        if (++nodes % kSignalCheckNodes == 0 && PyErr_CheckSignals() != 0) return Value();
        Frame& f = stack.back();
        if (f.next >= f.length) {
            finish(Value::array(std::move(f.items)));
            continue;
        }
        host::Ref item = host::Ref::steal(PySequence_GetItem(f.seq.get(), f.next++));
        if (!item) {
            PyErr_Clear();
            host::Ref seq = f.seq;
            finish(sequence_fallback(seq.get()));
            continue;
        }
        Classified c = classify(item.get());
        if (!c.is_sequence) {
            f.items.push_back(std::move(c.value));
        } else if (open.count(item.get())) {
            f.items.push_back(string_form(item.get()));
        } else if (auto it = done.find(item.get()); it != done.end()) {
            f.items.push_back(it->second);
        } else {
            begin(item.get(), c.length);
        }
    }
    return result;
}

// ---- binding objects -------------------------------------------------------------

// Releases that happen without the interpreter lock take it first.
class HostBinding final : public NativeBinding {
public:
    explicit HostBinding(PyObject* callable) : callable_(callable) {}  // takes the reference
    ~HostBinding() override {
        PyGILState_STATE g = PyGILState_Ensure();
        Py_DECREF(callable_);
        PyGILState_Release(g);
    }
    HostBinding(const HostBinding&) = delete;
    HostBinding& operator=(const HostBinding&) = delete;

    Result<Value> call(std::span<const Value> args) override {
        PyGILState_STATE g = PyGILState_Ensure();
        Result<Value> r = call_locked(args);
        PyGILState_Release(g);
        return r;
    }

private:
    Result<Value> call_locked(std::span<const Value> args) {
        host::Ref tuple = host::Ref::steal(PyTuple_New(static_cast<Py_ssize_t>(args.size())));
        if (!tuple) return host_failure();
        for (size_t i = 0; i < args.size(); ++i) {
            PyObject* o = to_host(args[i]);
            if (!o) return host_failure();
            PyTuple_SET_ITEM(tuple.get(), static_cast<Py_ssize_t>(i), o);
        }
        host::Ref result = host::Ref::steal(PyObject_Call(callable_, tuple.get(), nullptr));
        if (!result) return call_failure();
        Value v = from_host(result.get());
        if (PyErr_Occurred()) return host_failure();  // a signal handler raised part-way
        return v;
    }

    // The arguments could not be built (allocation failure): the error stays
    // pending so that the run stops and the host sees it.
    static Result<Value> host_failure() {
        PyObject* exc = PyErr_GetRaisedException();
        std::string text = exc ? exception_text(exc) : std::string("MemoryError: ");
        PyErr_SetRaisedException(exc);
        return Err{"Native error: " + text};
    }

    // The callable raised. An Exception becomes the Call's error text. An
    // exception outside that family (KeyboardInterrupt from Ctrl-C while the
    // callback ran, SystemExit, ...) asks to stop the host program, not to
    // report a value: it stays pending so the run ends and it propagates.
    static Result<Value> call_failure() {
        PyObject* exc = PyErr_GetRaisedException();
        if (!exc) {
            host::Ref msg = host::Ref::steal(host::to_str("attempted to fetch exception but none was set"));
            exc = msg ? PyObject_CallOneArg(PyExc_SystemError, msg.get()) : nullptr;
            if (!exc) {
                PyErr_Clear();
                return Err{std::string("Native error: SystemError: attempted to fetch exception but none was set")};
            }
        }
        std::string text = "Native error: " + exception_text(exc);
        if (!PyObject_TypeCheck(exc, reinterpret_cast<PyTypeObject*>(PyExc_Exception))) {
            PyErr_SetRaisedException(exc);
        } else {
            Py_DECREF(exc);
        }
        return Err{std::move(text)};
    }

    PyObject* callable_;
};

}  // namespace

bool set_native_binding(std::string_view name, PyObject* callback) {
    std::string key(name);
    host::Ref replaced;
    Py_INCREF(callback);
    host::Ref held = host::Ref::steal(callback);
    bool ok = with_registry([&](Registry& r) {
        for (auto& [n, c] : r.entries) {
            if (n == key) {
                replaced = host::Ref::steal(std::exchange(c, held.release()));
                return;
            }
        }
        r.entries.emplace_back(std::move(key), held.get());
        held.release();
    });
    return ok;  // `replaced` is released here, outside the mutex
}

bool clear_native_bindings() {
    std::vector<std::pair<std::string, PyObject*>> old;
    bool ok = with_registry([&](Registry& r) { old.swap(r.entries); });
    for (auto& [n, c] : old) Py_DECREF(c);
    return ok;
}

bool install_native_bindings(VM& vm) {
    return with_registry([&](Registry& r) {
        for (const auto& [name, callable] : r.entries) {
            host::Ref ref = host::Ref::borrow(callable);
            auto binding = std::make_shared<HostBinding>(ref.get());
            ref.release();  // now owned by the binding
            vm.install_native(name, std::move(binding));
        }
    });
}

}  // namespace calvex
