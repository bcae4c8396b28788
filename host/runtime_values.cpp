// Values between a Runtime and Python, both ways, by the package's table:
// nil/None, Bool/bool, Int/int (64 bits), Float/float, String/str,
// Array/list (and tuple in), Object/dict with str keys, script functions as
// calvex.Function, native functions as the callable they stand for.
//
// Both walks use explicit stacks, so any nesting depth converts; both look
// at signals and the entry's limits every kCheckEvery nodes; a cell (or a
// Python container) reached twice is converted once, so shared structure
// stays shared instead of being expanded as a tree.
#include "runtime.h"
#include "value_walk.h"

#include <unordered_map>
#include <unordered_set>

namespace calvex::core {

namespace {

using host::Ref;

constexpr uint64_t kCheckEvery = 4096;

using host::is_container;

}  // namespace

bool walk_check(RuntimeState& s) {
    if (PyErr_CheckSignals() != 0) return false;
    if (s.interrupt_requested.exchange(false, std::memory_order_acq_rel)) {
        raise_interrupted();
        return false;
    }
    if (s.deadline_ns) {
        timespec ts{};
        clock_gettime(CLOCK_MONOTONIC, &ts);
        uint64_t now = static_cast<uint64_t>(ts.tv_sec) * 1000000000ull + static_cast<uint64_t>(ts.tv_nsec);
        if (now >= s.deadline_ns) {
            raise_limit("time", "time limit exceeded while converting a value");
            return false;
        }
    }
    return true;
}

// ---- script -> Python ------------------------------------------------------------------

namespace {

// A finished object for a leaf; for a container an empty shell of the right
// kind (a list with its slots unset, a dict) that the walk fills.
PyObject* leaf_or_shell(RuntimeState& s, const Value& v) {
    switch (v.kind()) {
        case Kind::Nil: Py_RETURN_NONE;
        case Kind::Bool: return PyBool_FromLong(v.as_bool());
        case Kind::Int: return PyLong_FromLongLong(v.as_int());
        case Kind::Float: return PyFloat_FromDouble(v.as_float());
        case Kind::String: return host::to_str(v.as_string());
        case Kind::Array: return PyList_New(static_cast<Py_ssize_t>(v.items().size()));
        case Kind::Object: return PyDict_New();
        case Kind::Native:
            if (PyObject* c = native_callable(s, v)) return Py_NewRef(c);
            return make_function(s, v);
        case Kind::Function:
        case Kind::Method: return make_function(s, v);
    }
    Py_RETURN_NONE;
}

// An object laid out like a dict converted in (RuntimeState::dict_layouts)
// gets that dict's key objects back.
PyObject* member_key(RuntimeState& s, const ObjMap& members, size_t i) {
    for (const RuntimeState::DictLayout& c : s.dict_layouts)
        if (c.layout.get() == members.shape()) return Py_NewRef(c.keys[i].get());
    return host::key_text(members, i);
}

}  // namespace

PyObject* to_python(RuntimeState& s, const Value& root) {
    return host::value_to_host(
        root, [&s](const Value& v) { return leaf_or_shell(s, v); },
        [&s](const ObjMap& m, size_t i) { return member_key(s, m, i); }, [&s] { return walk_check(s); },
        kCheckEvery, host::MemberFailure::Fail);
}

// ---- Python -> script ------------------------------------------------------------------

namespace {

bool type_error(PyObject* o) {
    PyErr_Format(PyExc_TypeError, "cannot convert '%s' to a Calvex value", Py_TYPE(o)->tp_name);
    return false;
}

// Leaves: true with `out` set and `container` false; containers: true with
// `container` true (the walk handles them); false with an error set.
bool leaf(RuntimeState& s, PyObject* o, Value& out, bool& container) {
    container = false;
    if (o == Py_None) {
        out = Value();
        return true;
    }
    if (PyBool_Check(o)) {
        out = Value::boolean(o == Py_True);
        return true;
    }
    if (PyLong_Check(o)) {
        int overflow = 0;
        long long i = PyLong_AsLongLongAndOverflow(o, &overflow);
        if (overflow) {
            PyErr_SetString(PyExc_OverflowError, "int too large for a Calvex int (64-bit signed)");
            return false;
        }
        if (i == -1 && PyErr_Occurred()) return false;
        out = Value::integer(i);
        return true;
    }
    if (PyFloat_Check(o)) {
        out = Value::number(PyFloat_AS_DOUBLE(o));
        return true;
    }
    if (PyUnicode_Check(o)) {
        Py_ssize_t n = 0;
        const char* p = PyUnicode_AsUTF8AndSize(o, &n);
        if (!p) return false;
        out = Value::string(std::string_view(p, static_cast<size_t>(n)));
        return true;
    }
    if (PyList_Check(o) || PyTuple_Check(o) || PyDict_Check(o)) {
        container = true;
        return true;
    }
    if (PyObject_TypeCheck(o, reinterpret_cast<PyTypeObject*>(function_type()))) {
        auto* f = reinterpret_cast<FunctionObject*>(o);
        if (f->runtime != s.self) {
            PyErr_SetString(PyExc_ValueError, "a calvex.Function can only be passed back to the Runtime it came from");
            return false;
        }
        out = state_of(f->runtime).handles[f->handle];
        return true;
    }
    if (PyCallable_Check(o)) return callable_value(s, o, out);
    return type_error(o);
}

// Whether str `k` has the text of String `key`.
bool same_text(PyObject* k, const Value& key) {
    Py_ssize_t n = 0;
    const char* p = PyUnicode_AsUTF8AndSize(k, &n);
    if (!p) {
        PyErr_Clear();  // not a match; the conversion below raises it again
        return false;
    }
    return key.as_string() == std::string_view(p, static_cast<size_t>(n));
}

constexpr Py_ssize_t kFlatDictMax = 32;

// A dict of at most kFlatDictMax str keys whose values are all leaves (a
// hook's state record): converted without the walk, and laid out like the
// last such dict with the same keys in the same order when there is one.
// `handled` is false, with nothing raised, for any other dict: the walk
// converts it then (and raises what is wrong with it).
bool flat_dict(RuntimeState& s, PyObject* d, Value& out, bool& handled) {
    handled = false;
    const Py_ssize_t n = PyDict_GET_SIZE(d);
    if (n == 0 || n > kFlatDictMax) return true;
    PyObject *k, *v;
    RuntimeState::DictLayout* known = nullptr;
    for (RuntimeState::DictLayout& c : s.dict_layouts) {
        if (!c.layout.get() || static_cast<Py_ssize_t>(c.keys.size()) != n) continue;
        const ObjShape& shape = *c.layout.get();
        Py_ssize_t pos = 0;
        size_t i = 0;
        while (PyDict_Next(d, &pos, &k, &v) &&
               (k == c.keys[i].get() || (PyUnicode_Check(k) && same_text(k, shape.keys[i]))))
            ++i;
        if (i == static_cast<size_t>(n)) {
            known = &c;
            break;
        }
    }
    // Leaf conversion runs no Python code, so the dict cannot change under
    // these walks.
    Value vals[kFlatDictMax];
    Py_ssize_t pos = 0;
    for (size_t i = 0; PyDict_Next(d, &pos, &k, &v); ++i) {
        if (!known && !PyUnicode_Check(k)) return true;
        bool container;
        if (!leaf(s, v, vals[i], container)) return false;
        if (container) return true;
    }
    ObjMap m;
    if (known) {
        m.assign_layout(known->layout.get(), vals, 1);
    } else {
        std::vector<Ref> keys;
        keys.reserve(static_cast<size_t>(n));
        m.reserve(static_cast<size_t>(n));
        pos = 0;
        for (size_t i = 0; PyDict_Next(d, &pos, &k, &v); ++i) {
            Py_ssize_t len = 0;
            const char* p = PyUnicode_AsUTF8AndSize(k, &len);
            if (!p) return false;
            m.set(Value::string(std::string_view(p, static_cast<size_t>(len))), std::move(vals[i]));
            keys.push_back(Ref::borrow(k));
        }
        // Kept only when every key made its own member (str subclasses can
        // give two keys one text) and every key is a plain str (they go back
        // to Python as the keys of objects of this layout).
        bool plain = m.size() == static_cast<size_t>(n);
        for (const Ref& key : keys) plain = plain && PyUnicode_CheckExact(key.get());
        if (plain) {
            RuntimeState::DictLayout& c = s.dict_layouts[s.next_dict_layout++ % std::size(s.dict_layouts)];
            c.keys = std::move(keys);
            c.layout.reset(m.shape());
        }
    }
    out = Value::object(std::move(m));
    handled = true;
    return true;
}

}  // namespace

bool from_python(RuntimeState& s, PyObject* root, Value& result) {
    bool container;
    if (!leaf(s, root, result, container)) return false;
    if (!container) return true;
    if (PyDict_Check(root)) {
        bool handled;
        if (!flat_dict(s, root, result, handled)) return false;
        if (handled) return true;
    }

    struct Frame {
        Ref obj;
        bool is_dict = false;
        Py_ssize_t pos = 0;  // list/tuple index, or PyDict_Next position
        std::vector<Value> items;
        ObjMap members;
        Value key;  // dict: the member whose value is being converted
    };
    std::vector<Frame> stack;
    std::unordered_set<PyObject*> open;            // containers being converted (cycle guard)
    std::unordered_map<PyObject*, Value> done;     // converted containers reached again
    std::vector<Ref> keep;                         // keeps the keys of `done` alive
    uint64_t nodes = 0;

    auto begin = [&](PyObject* o) -> bool {
        if (open.count(o)) {
            PyErr_Format(PyExc_ValueError, "cannot convert a '%s' that contains itself", Py_TYPE(o)->tp_name);
            return false;
        }
        open.insert(o);
        Frame f;
        f.obj = Ref::borrow(o);
        f.is_dict = PyDict_Check(o) != 0;
        if (!f.is_dict) f.items.reserve(static_cast<size_t>(std::min<Py_ssize_t>(Py_SIZE(o), 1 << 16)));
        stack.push_back(std::move(f));
        return true;
    };
    // A converted container reachable from elsewhere (more references than
    // its container's and the walk's own) may be met again.
    auto remember = [&](PyObject* o, const Value& v) {
        if (Py_REFCNT(o) > 2) {
            done.emplace(o, v);
            keep.push_back(Ref::borrow(o));
        }
    };
    // A finished value goes to the container below (or becomes the result).
    auto deliver = [&](Value v) {
        if (stack.empty()) {
            result = std::move(v);
            return;
        }
        Frame& below = stack.back();
        if (below.is_dict) {
            below.members.set(below.key, std::move(v));
        } else {
            below.items.push_back(std::move(v));
        }
    };
    // Converts one child: a leaf is delivered at once, a container is begun.
    auto step_into = [&](PyObject* item) -> bool {
        Value v;
        bool c;
        if (!leaf(s, item, v, c)) return false;
        if (!c) {
            deliver(std::move(v));
            return true;
        }
        auto it = done.find(item);
        if (it != done.end()) {
            deliver(it->second);
            return true;
        }
        if (PyDict_Check(item)) {
            bool handled;
            if (!flat_dict(s, item, v, handled)) return false;
            if (handled) {
                remember(item, v);
                deliver(std::move(v));
                return true;
            }
        }
        return begin(item);
    };

    if (!begin(root)) return false;
    while (!stack.empty()) {
        if (++nodes % kCheckEvery == 0 && !walk_check(s)) return false;
        Frame& f = stack.back();
        PyObject* o = f.obj.get();
        if (f.is_dict) {
            PyObject *k, *v;
            if (PyDict_Next(o, &f.pos, &k, &v)) {
                if (!PyUnicode_Check(k)) {
                    PyErr_Format(PyExc_TypeError, "dict keys must be str to become object members, not '%s'",
                                 Py_TYPE(k)->tp_name);
                    return false;
                }
                Py_ssize_t n = 0;
                const char* p = PyUnicode_AsUTF8AndSize(k, &n);
                if (!p) return false;
                f.key = Value::string(std::string_view(p, static_cast<size_t>(n)));
                Ref hold_v = Ref::borrow(v);
                if (!step_into(v)) return false;
                continue;
            }
        } else {
            Py_ssize_t n = PyList_Check(o) ? PyList_GET_SIZE(o) : PyTuple_GET_SIZE(o);
            if (f.pos < n) {
                Ref item = Ref::borrow(PyList_Check(o) ? PyList_GET_ITEM(o, f.pos) : PyTuple_GET_ITEM(o, f.pos));
                ++f.pos;
                if (!step_into(item.get())) return false;
                continue;
            }
        }
        // The container is complete.
        Value v = f.is_dict ? Value::object(std::move(f.members)) : Value::array(std::move(f.items));
        Ref obj = std::move(f.obj);
        open.erase(obj.get());
        stack.pop_back();
        remember(obj.get(), v);
        deliver(std::move(v));
    }
    return true;
}

}  // namespace calvex::core
