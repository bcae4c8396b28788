// The host-binding layer shared by both module entries: owning references,
// argument extraction, exception mapping and borrow flags.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <cstdint>
#include <exception>
#include <new>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace host {

// Owning handle for a PyObject*. `steal` takes over a new reference; `borrow`
// adds one.
class Ref {
public:
    Ref() = default;
    static Ref steal(PyObject* o) { return Ref(o); }
    static Ref borrow(PyObject* o) { Py_XINCREF(o); return Ref(o); }
    Ref(const Ref& r) : p_(r.p_) { Py_XINCREF(p_); }
    Ref(Ref&& r) noexcept : p_(std::exchange(r.p_, nullptr)) {}
    Ref& operator=(Ref r) noexcept { std::swap(p_, r.p_); return *this; }
    ~Ref() { Py_XDECREF(p_); }

    PyObject* get() const { return p_; }
    PyObject* release() { return std::exchange(p_, nullptr); }
    explicit operator bool() const { return p_ != nullptr; }

private:
    explicit Ref(PyObject* o) : p_(o) {}
    PyObject* p_ = nullptr;
};

// PanicException: derived from BaseException, created once per process.
PyObject* panic_type();
void raise_panic(std::string_view message);

// Raises `type` with `message` as its single argument.
void raise(PyObject* type, std::string_view message);

// "'<qualname of type(obj)>' object cannot be converted to '<target>'"
std::string wrong_type_message(PyObject* obj, const char* target);
void raise_wrong_type(PyObject* obj, const char* target);

// New str from UTF-8 text (invalid bytes are replaced); nullptr on failure.
PyObject* to_str(std::string_view text);

// Makes the calling thread's C++ runtime state exist: the exception globals
// of the C++ runtime and this library's thread-local storage are allocated on
// a thread's first use, and when that first use is the std::bad_alloc of an
// exhausted heap, that allocation fails too and the process aborts. Done on
// a thread's first entry into the library, while memory is still there.
void prepare_thread() noexcept;

// Runs f (which returns a new reference or nullptr with an error set) and maps
// any C++ exception that escapes it: std::bad_alloc -> MemoryError, anything
// else -> PanicException. No C++ exception ever reaches the interpreter.
// After a MemoryError: hands the heap's free memory back to the system. A
// program that ran out leaves its many small cells free but still mapped,
// where nothing else (a thread's stack, a large buffer) could use them.
void release_free_memory() noexcept;

template <class F>
PyObject* guard(F&& f) noexcept {
    prepare_thread();
    try {
        PyObject* result = f();
        if (!result && PyErr_ExceptionMatches(PyExc_MemoryError)) release_free_memory();
        return result;
    } catch (const std::bad_alloc&) {
        PyErr_NoMemory();
        release_free_memory();
    } catch (const std::exception& e) {
        raise_panic(e.what());
    } catch (...) {
        raise_panic("unknown internal failure");
    }
    return nullptr;
}

// Guards an entry that a program can re-enter: a native binding called by the
// running program calls the entry again, and so on. Each level stacks the
// machine, the host's frames and the next level onto the same thread stack,
// so besides the interpreter's recursion limit the stack actually left bounds
// the depth. `ok()` is false (RecursionError set) when too little is left.
class ReentryGuard {
public:
    explicit ReentryGuard(const char* fullname);
    ReentryGuard(const ReentryGuard&) = delete;
    ReentryGuard& operator=(const ReentryGuard&) = delete;
    bool ok() const { return ok_; }

private:
    bool ok_ = false;
};

// ---- argument extraction --------------------------------------------------

// Binds a fastcall argument vector to `n` named parameters, all required and
// positional-or-keyword. `fullname` is e.g. "lex()" or "VMEngine.reset()".
// On success out[i] holds a borrowed reference for parameter i.
bool bind_args(const char* fullname, const char* const* names, size_t n, PyObject* const* args,
               Py_ssize_t nargs, PyObject* kwnames, PyObject** out);
// Same for a constructor's (args tuple, kwargs dict).
bool bind_args_tuple(const char* fullname, const char* const* names, size_t n, PyObject* args,
                     PyObject* kwargs, PyObject** out);

// Typed extraction; on failure a TypeError "argument '<param>': ..." is set.
bool extract_str(PyObject* obj, const char* param, std::string_view& out);
bool extract_bytes(PyObject* obj, const char* param, std::vector<uint8_t>& out);
// A sequence that is not a str (the token lists).
bool extract_token_sequence(PyObject* obj, const char* param);
// For a failure while an argument is still being converted: a pending error
// of exactly TypeError becomes TypeError "argument '<param>': " + str(error),
// keeping its cause; any other error (subclasses included) stays as it is.
void prefix_argument_error(const char* param);

// ---- borrow flags -----------------------------------------------------------

// 0: free; >0: shared uses running; -1: an exclusive use running.
struct BorrowFlag {
    int64_t count = 0;
};

// RAII guards; `ok()` is false (and RuntimeError set) when the borrow conflicts.
class ExclusiveBorrow {
public:
    explicit ExclusiveBorrow(BorrowFlag& f);
    ~ExclusiveBorrow();
    bool ok() const { return ok_; }

private:
    BorrowFlag& f_;
    bool ok_;
};

class SharedBorrow {
public:
    explicit SharedBorrow(BorrowFlag& f);
    ~SharedBorrow();
    bool ok() const { return ok_; }

private:
    BorrowFlag& f_;
    bool ok_;
};

// ---- registration -------------------------------------------------------------

// Module creation: returns the kept module object on later calls from the
// owning interpreter, ImportError from any other interpreter.
struct ModuleSlot {
    PyObject* module = nullptr;
    PyInterpreterState* owner = nullptr;
};
// Returns true and sets `*result` when the caller must return `*result` at
// once (the kept module, or nullptr with ImportError set).
bool module_already_created(ModuleSlot& slot, PyObject** result);

}  // namespace host

namespace host {

// Creates a module from `def`, then adds, in this order, the class under
// `class_name` and each function of `functions`, and an `__all__` list
// naming them in the same order. Sets def.m_size to 0 so that every import
// calls the initialiser (see ModuleSlot).
PyObject* build_module(PyModuleDef& def, const char* class_name, PyObject* type, PyMethodDef* functions);

}  // namespace host
