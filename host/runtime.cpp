// The entries of calvex.Runtime: running code with the interpreter lock
// released, the periodic limit check, the bindings through which scripts
// reach Python (registered callables, print, input), and the mapping of a
// failed run to the package's exceptions.
#include "runtime.h"

#include "common/stack_guard.h"
#include "vm_engine/optimizer.h"

#include <algorithm>
#include <cxxabi.h>
#include <ctime>
#include <unistd.h>
#include <string>
#include <utility>

namespace calvex::core {

namespace {

// Takes the interpreter lock back after machine work. Once the interpreter is
// shutting down, taking it would end this thread with pthread_exit, whose
// forced unwind cannot pass the noexcept frames between here and the host
// (the process would abort); a daemon thread still inside a script then
// waits here until the process exits instead. Finalization can also begin
// between the check and the take: the unwind is then stopped here, and the
// thread waits inside the handler (leaving it without rethrowing would abort).
void relock(PyThreadState* ts) {
    while (_Py_IsFinalizing()) pause();
    try {
        PyEval_RestoreThread(ts);
    } catch (abi::__forced_unwind&) {
        for (;;) pause();
    }
}

using host::Ref;

uint64_t monotonic_ns() {
    timespec ts{};
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return static_cast<uint64_t>(ts.tv_sec) * 1000000000ull + static_cast<uint64_t>(ts.tv_nsec);
}

constexpr uint64_t kSignalPollNs = 20'000'000;  // Ctrl-C on the main thread: noticed within this

unsigned long main_thread_ident() {
    static unsigned long ident = [] {
        unsigned long id = 0;
        Ref threading = Ref::steal(PyImport_ImportModule("threading"));
        Ref main = threading ? Ref::steal(PyObject_CallMethod(threading.get(), "main_thread", nullptr)) : Ref();
        Ref value = main ? Ref::steal(PyObject_GetAttrString(main.get(), "ident")) : Ref();
        if (value) id = PyLong_AsUnsignedLong(value.get());
        PyErr_Clear();
        return id;
    }();
    return ident;
}

std::string text_of(std::initializer_list<std::string_view> parts) {
    std::string out;
    for (std::string_view p : parts) out += p;
    return out;
}

// "Line N: text" -> text.
std::string_view strip_line_prefix(std::string_view message) {
    if (!message.starts_with("Line ")) return message;
    size_t i = 5;
    while (i < message.size() && message[i] >= '0' && message[i] <= '9') ++i;
    if (i == 5 || message.substr(i, 2) != ": ") return message;
    return message.substr(i + 2);
}

// "<qualified type name>: <str(exc)>".
std::string exception_text(PyObject* exc) {
    std::string text;
    Ref qualname = Ref::steal(PyType_GetQualName(Py_TYPE(exc)));
    Py_ssize_t n = 0;
    const char* p = qualname ? PyUnicode_AsUTF8AndSize(qualname.get(), &n) : nullptr;
    text = p ? std::string(p, static_cast<size_t>(n)) : std::string(Py_TYPE(exc)->tp_name);
    PyErr_Clear();
    text += ": ";
    Ref s = Ref::steal(PyObject_Str(exc));
    p = s ? PyUnicode_AsUTF8AndSize(s.get(), &n) : nullptr;
    if (p)
        text.append(p, static_cast<size_t>(n));
    else
        text += "<exception str() failed>";
    PyErr_Clear();
    return text;
}

// The run's own exceptions pass through a binding unchanged: stopping the
// host program (not Exception), and the runtime's limit and interrupt
// exceptions from a nested entry.
bool propagates_as_itself(PyObject* exc) {
    if (!PyObject_TypeCheck(exc, reinterpret_cast<PyTypeObject*>(PyExc_Exception))) return true;
    return PyObject_TypeCheck(exc, reinterpret_cast<PyTypeObject*>(errors().limit_exceeded)) ||
           PyObject_TypeCheck(exc, reinterpret_cast<PyTypeObject*>(errors().interrupted));
}

// Takes the interpreter lock for the scope, on the thread of a running entry.
class Locked {
public:
    explicit Locked(RuntimeState& s) : s_(s), ts_(s.tstate) { relock(ts_); }
    ~Locked() { s_.tstate = PyEval_SaveThread(); }
    Locked(const Locked&) = delete;
    Locked& operator=(const Locked&) = delete;

private:
    RuntimeState& s_;
    PyThreadState* ts_;
};

// Turns the pending host exception of a binding into the Call's failure.
Result<Value> binding_failure(RuntimeState& s) {
    PyObject* exc = PyErr_GetRaisedException();
    if (!exc) return Err{std::string("Native error: SystemError: error return without exception set")};
    std::string text = "Native error: " + exception_text(exc);
    if (propagates_as_itself(exc)) {
        s.host_error = Ref::steal(exc);
        s.stop = Stop::HostError;
    } else {
        s.callback_error = Ref::steal(exc);
    }
    return Err{std::move(text)};
}

// A Python callable installed into the machine (rt.register, or a callable
// handed to a script as a value). Created and destroyed with the lock held.
class CallableBinding final : public NativeBinding {
public:
    CallableBinding(RuntimeState& s, PyObject* callable) : s_(s), callable_(Ref::borrow(callable)) {}
    PyObject* callable() const { return callable_.get(); }
    // The cyclic garbage collector breaks a cycle through the callable here.
    void clear() { callable_ = Ref(); }

    Result<Value> call(std::span<const Value> args) override {
        Locked lock(s_);
        if (!callable_) {
            PyErr_SetString(PyExc_RuntimeError, "this callable was released by the garbage collector");
            return binding_failure(s_);
        }
        return call_locked(args);
    }

private:
    Result<Value> call_locked(std::span<const Value> args) {
        constexpr size_t kInline = 8;
        PyObject* inline_argv[kInline + 1];
        std::vector<PyObject*> heap_argv;
        PyObject** argv = inline_argv;
        if (args.size() > kInline) {
            heap_argv.resize(args.size() + 1);
            argv = heap_argv.data();
        }
        size_t made = 0;
        auto drop = [&] {
            for (size_t i = 0; i < made; ++i) Py_DECREF(argv[1 + i]);
        };
        // The span points into the machine's operand memory: everything is
        // converted before Python code (which may call back in) runs.
        for (; made < args.size(); ++made) {
            PyObject* o = to_python(s_, args[made]);
            if (!o) {
                drop();
                return binding_failure(s_);
            }
            argv[1 + made] = o;
        }
        PyObject* result =
            PyObject_Vectorcall(callable_.get(), argv + 1, args.size() | PY_VECTORCALL_ARGUMENTS_OFFSET, nullptr);
        drop();
        if (!result) return binding_failure(s_);
        Value v;
        bool ok = from_python(s_, result, v);
        Py_DECREF(result);
        if (!ok) return binding_failure(s_);
        return v;
    }

    RuntimeState& s_;
    Ref callable_;
};

// The built-in print's line: the display texts of the arguments, joined.
std::string print_text(std::span<const Value> args) {
    std::string out;
    for (const Value& v : args) append_host_display(out, v);
    return out;
}

bool write_stdout(std::string_view text, bool flush) {
    PyObject* out = PySys_GetObject("stdout");  // borrowed
    if (!out || out == Py_None) return true;     // no stdout: output is dropped, as print() does
    Ref s = Ref::steal(host::to_str(text));
    if (!s) return false;
    Ref r = Ref::steal(PyObject_CallMethod(out, "write", "O", s.get()));
    if (!r) return false;
    if (flush) {
        Ref f = Ref::steal(PyObject_CallMethod(out, "flush", nullptr));
        if (!f) return false;
    }
    return true;
}

class PrintBinding final : public NativeBinding {
public:
    explicit PrintBinding(RuntimeState& s) : s_(s) {}
    Result<Value> call(std::span<const Value> args) override {
        std::string line = print_text(args);
        Locked lock(s_);
        bool ok;
        if (s_.print_cb) {
            Ref text = Ref::steal(host::to_str(line));
            Ref r = text ? Ref::steal(PyObject_CallOneArg(s_.print_cb.get(), text.get())) : Ref();
            ok = static_cast<bool>(r);
        } else {
            line += '\n';
            ok = write_stdout(line, false);
        }
        if (!ok) return binding_failure(s_);
        return Value();
    }

private:
    RuntimeState& s_;
};

class InputBinding final : public NativeBinding {
public:
    explicit InputBinding(RuntimeState& s) : s_(s) {}
    Result<Value> call(std::span<const Value> args) override {
        std::string prompt = args.empty() ? std::string() : host_display_text(args[0]);
        Locked lock(s_);
        Ref line;
        if (s_.input_cb) {
            Ref p = Ref::steal(host::to_str(prompt));
            line = p ? Ref::steal(PyObject_CallOneArg(s_.input_cb.get(), p.get())) : Ref();
            if (line && !PyUnicode_Check(line.get())) {
                PyErr_Format(PyExc_TypeError, "the input callable must return str, not %s", Py_TYPE(line.get())->tp_name);
                line = Ref();
            }
        } else {
            if (!prompt.empty() && !write_stdout(prompt, true)) return binding_failure(s_);
            PyObject* in = PySys_GetObject("stdin");
            if (!in || in == Py_None) return Value::string("");
            line = Ref::steal(PyObject_CallMethod(in, "readline", nullptr));
            if (line && !PyUnicode_Check(line.get())) {
                PyErr_Format(PyExc_TypeError, "sys.stdin.readline() returned %s, not str", Py_TYPE(line.get())->tp_name);
                line = Ref();
            }
        }
        if (!line) return binding_failure(s_);
        Py_ssize_t n = 0;
        const char* p = PyUnicode_AsUTF8AndSize(line.get(), &n);
        if (!p) return binding_failure(s_);
        std::string_view text(p, static_cast<size_t>(n));
        if (!s_.input_cb) {
            while (!text.empty() && text.back() == '\n') text.remove_suffix(1);
            while (!text.empty() && text.back() == '\r') text.remove_suffix(1);
        }
        return Value::string(text);
    }

private:
    RuntimeState& s_;
};

int check_interval_for(uint64_t remaining_instructions) {
    return static_cast<int>(std::clamp<uint64_t>(remaining_instructions / 32, 1, 4096));
}

// The machine's periodic check, run without the interpreter lock.
bool runtime_check(void* ctx) {
    RuntimeState& s = *static_cast<RuntimeState*>(ctx);
    if (s.interrupt_requested.exchange(false, std::memory_order_acq_rel)) {
        s.stop = Stop::Interrupted;
        return true;
    }
    if (s.max_instructions) {
        uint64_t used = s.vm.instructions_executed() - s.instruction_base;
        if (used >= s.max_instructions) {
            s.stop = Stop::Instructions;
            return true;
        }
        // Checks come closer together as the budget runs out, so a run stops
        // within about one loop body of it.
        s.vm.set_check_interval(check_interval_for(s.max_instructions - used));
    }
    if (s.deadline_ns || s.main_thread) {
        uint64_t now = monotonic_ns();
        if (s.deadline_ns && now >= s.deadline_ns) {
            s.stop = Stop::Time;
            return true;
        }
        if (s.main_thread && now - s.last_signal_poll_ns >= kSignalPollNs) {
            s.last_signal_poll_ns = now;
            relock(s.tstate);
            int rc = PyErr_CheckSignals();
            s.tstate = PyEval_SaveThread();
            if (rc != 0) {
                s.stop = Stop::Signal;
                return true;
            }
        }
    }
    return false;
}

// Runs `f` (machine work) without the interpreter lock, counting memory
// against the runtime's meter.
template <class F>
Result<Value> run_unlocked(RuntimeState& s, F&& f) {
    MeterScope meter(&s.meter);
    PyThreadState* outer = s.tstate;
    s.tstate = PyEval_SaveThread();
    struct Relock {
        RuntimeState& s;
        PyThreadState* outer;
        ~Relock() {
            relock(s.tstate);
            s.tstate = outer;
        }
    } relock{s, outer};
    return f();
}

// The program as the machine loads it. Lambdas
// get names unique in this runtime, so a lambda of an earlier entry that a
// global still holds is not replaced by a later one.
void load_program(RuntimeState& s, const ProgramData& p) {
    CompiledProgram c = p.compiled;
    std::unordered_map<std::string, std::string> renamed;
    for (FunctionEntry& f : c.functions) {
        if (!f.name.starts_with("<lambda>")) continue;
        std::string fresh = "<lambda>" + std::to_string(s.lambda_count++);
        renamed.emplace(f.name, fresh);
        f.name = std::move(fresh);
    }
    auto rename_in = [&renamed](Code& code, std::vector<Constant>& constants) {
        for (Instruction& in : code) {
            if (in.op != Op::LoadGlobal || in.operand >= constants.size()) continue;
            const auto* name = std::get_if<std::string>(&constants[in.operand]);
            if (!name) continue;
            auto it = renamed.find(*name);
            if (it == renamed.end() || it->first == it->second) continue;
            in.operand = constants.size();
            constants.emplace_back(it->second);
        }
    };
    if (!renamed.empty()) {
        rename_in(c.code, c.constants);
        for (FunctionEntry& f : c.functions) rename_in(f.code, f.constants);
    }
    uint32_t file = static_cast<uint32_t>(s.files.size());
    if (s.files.empty() || s.files.back() != p.filename) {
        s.files.push_back(p.filename);
    } else {
        file = static_cast<uint32_t>(s.files.size() - 1);
    }
    // Top-level code gets the rewrites that keep results, as in the one-shot
    // pipeline; the line table loses the entries of dropped instructions.
    std::vector<size_t> kept;
    Code code = optimize(c.code, &kept, Rewrites::KeepResults);
    LineTable lines;
    lines.reserve(kept.size());
    for (size_t k : kept) lines.push_back(k < c.lines.size() ? c.lines[k] : 0);
    std::vector<Value> constants;
    constants.reserve(c.constants.size());
    for (const Constant& k : c.constants) constants.push_back(value_from_constant(k));
    s.vm.load(std::move(code), std::move(constants), std::move(lines), FunctionTable(std::move(c.functions)), file);
}

// After the run of an entry: the result, or the exception of its failure.
PyObject* finish(RuntimeState& s, Result<Value>& r) {
    if (!r.ok()) {
        raise_run_failure(s, r.error());
        return nullptr;
    }
    PyObject* out = to_python(s, r.value());
    // The result was allocated under the runtime's meter: it is released
    // there too, or the count would only ever grow.
    MeterScope meter(&s.meter);
    r.value() = Value();
    return out;
}

bool check_interrupt_before(RuntimeState& s, const Entry& e) {
    if (e.outermost() && s.interrupt_requested.exchange(false, std::memory_order_acq_rel)) {
        raise_interrupted();
        return false;
    }
    return true;
}

}  // namespace

// ---- entries ------------------------------------------------------------------------------

Entry::Entry(RuntimeState& s, bool nested_ok) : s_(s) {
    unsigned long me = PyThread_get_thread_ident();
    if (s.depth > 0 && s.owner != me) {
        PyErr_SetString(PyExc_RuntimeError, "this calvex.Runtime is running on another thread");
        return;
    }
    if (s.depth > 0 && !nested_ok) {
        PyErr_SetString(PyExc_RuntimeError,
                        "exec() and eval() cannot run while this calvex.Runtime is running (from a registered "
                        "callable); call() and calvex.Function calls can");
        return;
    }
    if (s.depth >= 200 || (s.depth > 0 && StackGuard(2 * kStackMargin).exhausted())) {
        PyErr_SetString(PyExc_RecursionError, "too many nested entries into one calvex.Runtime");
        return;
    }
    outermost_ = s.depth == 0;
    if (outermost_) {
        s.owner = me;
        s.instruction_base = s.vm.instructions_executed();
        s.deadline_ns = s.timeout > 0 ? monotonic_ns() + static_cast<uint64_t>(s.timeout * 1e9) : 0;
        s.main_thread = me == main_thread_ident();
        s.last_signal_poll_ns = monotonic_ns();
        s.meter.exceeded = false;
        s.vm.reset();
        if (s.max_instructions) s.vm.set_check_interval(check_interval_for(s.max_instructions));
    }
    saved_stop_ = s.stop;
    saved_callback_error_ = std::move(s.callback_error);
    s.stop = Stop::None;
    s.host_error = Ref();
    ++s.depth;
    ok_ = true;
}

Entry::~Entry() {
    if (!ok_) return;
    --s_.depth;
    s_.stop = saved_stop_;
    s_.callback_error = std::move(saved_callback_error_);
    if (outermost_) {
        MeterScope meter(&s_.meter);
        s_.vm.reset();
        s_.owner = 0;
        s_.host_error = Ref();
        std::vector<size_t> deferred;
        deferred.swap(s_.deferred_release);
        for (size_t h : deferred) release_handle(s_, h);
        sweep_hidden_natives(s_);
    }
}

void raise_limit(const char* limit, const std::string& message) {
    Ref exc = Ref::steal(PyObject_CallFunction(errors().limit_exceeded, "ss", limit, message.c_str()));
    if (exc) PyErr_SetObject(reinterpret_cast<PyObject*>(Py_TYPE(exc.get())), exc.get());
}

void raise_interrupted() {
    Ref exc = Ref::steal(PyObject_CallFunction(errors().interrupted, "s", "interrupted by Runtime.interrupt()"));
    if (exc) PyErr_SetObject(reinterpret_cast<PyObject*>(Py_TYPE(exc.get())), exc.get());
}

void raise_run_failure(RuntimeState& s, const std::string& message) {
    switch (s.stop) {
        case Stop::HostError:
            if (s.host_error) {
                PyErr_SetRaisedException(s.host_error.release());
                return;
            }
            break;
        case Stop::Signal:
            if (PyErr_Occurred()) return;
            break;
        case Stop::Interrupted: raise_interrupted(); return;
        case Stop::Instructions:
            raise_limit("instructions",
                        text_of({"instruction limit exceeded (max_instructions=", std::to_string(s.max_instructions), ")"}));
            return;
        case Stop::Time: {
            Ref t = Ref::steal(PyFloat_FromDouble(s.timeout));
            Ref text = t ? Ref::steal(PyObject_Repr(t.get())) : Ref();
            const char* tt = text ? PyUnicode_AsUTF8(text.get()) : nullptr;
            raise_limit("time", text_of({"time limit exceeded (timeout=", tt ? tt : "?", ")"}));
            return;
        }
        case Stop::None: break;
    }
    if (s.vm.last_abort() == Abort::OutOfMemory) {
        if (s.meter.exceeded) {
            raise_limit("memory", text_of({"memory limit exceeded (max_memory=", std::to_string(s.meter.limit), ")"}));
        } else {
            PyErr_NoMemory();
        }
        return;
    }
    if (PyErr_Occurred()) return;
    // A script error: message without its line prefix, where it happened.
    const std::vector<TraceEntry>& trace = s.vm.traceback();
    Ref frames = Ref::steal(PyList_New(0));
    if (!frames) return;
    for (const TraceEntry& t : trace) {
        Ref item = Ref::steal(Py_BuildValue("(NK)", host::to_str(t.function), static_cast<unsigned long long>(t.line)));
        if (!item || PyList_Append(frames.get(), item.get()) < 0) return;
    }
    std::string filename = "<string>";
    Ref line = Ref::borrow(Py_None);
    if (!trace.empty()) {
        const TraceEntry& inner = trace.back();
        if (inner.file < s.files.size()) filename = s.files[inner.file];
        if (inner.line) line = Ref::steal(PyLong_FromUnsignedLongLong(inner.line));
    } else if (!s.files.empty()) {
        filename = s.files.back();
    }
    Ref exc = Ref::steal(PyObject_CallFunction(errors().script_error, "NNOO", host::to_str(strip_line_prefix(message)),
                                               host::to_str(filename), line.get(), frames.get()));
    if (!exc) return;
    if (s.callback_error) PyException_SetCause(exc.get(), s.callback_error.release());
    PyErr_SetObject(reinterpret_cast<PyObject*>(Py_TYPE(exc.get())), exc.get());
}

bool runtime_setup(RuntimeState& s) {
    s.vm.route_builtin("print", std::make_shared<PrintBinding>(s));
    s.vm.route_builtin("input", std::make_shared<InputBinding>(s));
    s.vm.set_interrupt_check(&runtime_check, &s);
    s.slot_cache = Ref::steal(PyDict_New());
    return static_cast<bool>(s.slot_cache);
}

PyObject* runtime_exec(RuntimeState& s, PyObject* code, PyObject* filename) {
    Ref compiled;
    if (is_program(code)) {
        compiled = Ref::borrow(code);
    } else if (PyUnicode_Check(code)) {
        Py_ssize_t n = 0;
        const char* src = PyUnicode_AsUTF8AndSize(code, &n);
        if (!src) return nullptr;
        std::string_view name = "<string>";
        if (filename) {
            Py_ssize_t fn = 0;
            const char* f = PyUnicode_AsUTF8AndSize(filename, &fn);
            if (!f) return nullptr;
            name = std::string_view(f, static_cast<size_t>(fn));
        }
        ProgramData data;
        if (!compile_source(std::string_view(src, static_cast<size_t>(n)), name, data)) return nullptr;
        compiled = Ref::steal(wrap_program(std::move(data)));
        if (!compiled) return nullptr;
    } else {
        PyErr_Format(PyExc_TypeError, "exec() takes a str or a calvex.Program, not %s", Py_TYPE(code)->tp_name);
        return nullptr;
    }
    Entry e(s, false);
    if (!e.ok() || !check_interrupt_before(s, e)) return nullptr;
    {
        MeterScope meter(&s.meter);
        load_program(s, program_data(compiled.get()));
    }
    Result<Value> r = run_unlocked(s, [&] { return s.vm.execute(); });
    if (!r.ok()) {
        raise_run_failure(s, r.error());
        return nullptr;
    }
    MeterScope meter(&s.meter);
    r.value() = Value();
    Py_RETURN_NONE;
}

PyObject* runtime_eval(RuntimeState& s, PyObject* expression) {
    if (!PyUnicode_Check(expression)) {
        PyErr_Format(PyExc_TypeError, "eval() takes a str, not %s", Py_TYPE(expression)->tp_name);
        return nullptr;
    }
    Py_ssize_t n = 0;
    const char* src = PyUnicode_AsUTF8AndSize(expression, &n);
    if (!src) return nullptr;
    ProgramData data;
    if (!compile_expression(std::string_view(src, static_cast<size_t>(n)), "<eval>", data)) return nullptr;
    Entry e(s, false);
    if (!e.ok() || !check_interrupt_before(s, e)) return nullptr;
    {
        MeterScope meter(&s.meter);
        load_program(s, data);
    }
    Result<Value> r = run_unlocked(s, [&] { return s.vm.execute(); });
    return finish(s, r);
}

PyObject* runtime_call_value(RuntimeState& s, const Value& callee, PyObject* const* args, size_t nargs) {
    Entry e(s, true);
    if (!e.ok() || !check_interrupt_before(s, e)) return nullptr;
    Value fn = callee;  // `callee` may live in a table that conversions grow
    constexpr size_t kInline = 8;
    Value inline_values[kInline];
    std::vector<Value> heap_values;
    Value* values = inline_values;
    if (nargs > kInline) {
        heap_values.resize(nargs);
        values = heap_values.data();
    }
    {
        MeterScope meter(&s.meter);
        for (size_t i = 0; i < nargs; ++i)
            if (!from_python(s, args[i], values[i])) return nullptr;
    }
    Result<Value> r = run_unlocked(s, [&] { return s.vm.call(fn, std::span<const Value>(values, nargs)); });
    {
        MeterScope meter(&s.meter);
        for (size_t i = 0; i < nargs; ++i) values[i] = Value();
        fn = Value();
    }
    return finish(s, r);
}

PyObject* runtime_call(RuntimeState& s, PyObject* name, PyObject* const* args, size_t nargs) {
    if (!PyUnicode_Check(name)) {
        PyErr_Format(PyExc_TypeError, "call() takes the function's name as a str, not %s", Py_TYPE(name)->tp_name);
        return nullptr;
    }
    if (s.depth > 0 && s.owner != PyThread_get_thread_ident()) {
        PyErr_SetString(PyExc_RuntimeError, "this calvex.Runtime is running on another thread");
        return nullptr;
    }
    long slot = -1;
    if (PyObject* cached = PyDict_GetItemWithError(s.slot_cache.get(), name)) {
        slot = PyLong_AsLong(cached);
    } else {
        if (PyErr_Occurred()) return nullptr;
        Py_ssize_t n = 0;
        const char* text = PyUnicode_AsUTF8AndSize(name, &n);
        if (!text) return nullptr;
        slot = s.vm.find_global(std::string_view(text, static_cast<size_t>(n)));
        if (slot >= 0) {
            Ref k = Ref::steal(PyLong_FromLong(slot));
            if (!k || PyDict_SetItem(s.slot_cache.get(), name, k.get()) < 0) return nullptr;
        }
    }
    const Value* fn = slot >= 0 ? &s.vm.global_at(static_cast<size_t>(slot)) : nullptr;
    if (!fn || fn->is_nil()) {
        Ref exc = Ref::steal(PyObject_CallFunction(errors().script_error, "NOOO",
                                                   PyUnicode_FromFormat("Undefined variable '%U'", name),
                                                   Py_None, Py_None, Py_None));
        if (exc) PyErr_SetObject(reinterpret_cast<PyObject*>(Py_TYPE(exc.get())), exc.get());
        return nullptr;
    }
    Kind k = fn->kind();
    if (k != Kind::Function && k != Kind::Method && k != Kind::Native) {
        Ref exc = Ref::steal(PyObject_CallFunction(errors().script_error, "NOOO",
                                                   PyUnicode_FromFormat("Cannot call %s", kind_name(k)), Py_None,
                                                   Py_None, Py_None));
        if (exc) PyErr_SetObject(reinterpret_cast<PyObject*>(Py_TYPE(exc.get())), exc.get());
        return nullptr;
    }
    return runtime_call_value(s, *fn, args, nargs);
}

bool callable_value(RuntimeState& s, PyObject* callable, Value& out) {
    auto it = s.hidden_natives.find(callable);
    if (it == s.hidden_natives.end()) {
        std::string name;
        Ref n = Ref::steal(PyObject_GetAttrString(callable, "__name__"));
        const char* text = n && PyUnicode_Check(n.get()) ? PyUnicode_AsUTF8(n.get()) : nullptr;
        PyErr_Clear();
        name = text ? text : "callable";
        name += '#';
        name += std::to_string(++s.hidden_count);
        auto binding = std::make_shared<CallableBinding>(s, callable);
        Value v = Value::native(name);
        s.vm.add_native(name, std::move(binding), /*new_name=*/true);
        it = s.hidden_natives.emplace(callable, RuntimeState::HiddenNative{std::move(name), std::move(v)}).first;
    }
    out = it->second.value;
    return true;
}

// Between entries: the bindings of callables that no script value refers to
// any more are released (their values are held by the table only), when the
// table has doubled since the last sweep. The callables are released last,
// since dropping one can run Python code.
void sweep_hidden_natives(RuntimeState& s) {
    if (s.hidden_natives.size() < s.hidden_sweep_at) return;
    std::vector<std::string> names;
    for (auto it = s.hidden_natives.begin(); it != s.hidden_natives.end();) {
        if (it->second.value.share_count() == 1) {
            names.push_back(std::move(it->second.name));
            it = s.hidden_natives.erase(it);
        } else {
            ++it;
        }
    }
    s.hidden_sweep_at = std::max<size_t>(64, 2 * s.hidden_natives.size());
    auto released = s.vm.remove_natives(names);
    released.clear();
}

int runtime_traverse(RuntimeState& s, visitproc visit, void* arg) {
    Py_VISIT(s.print_cb.get());
    Py_VISIT(s.input_cb.get());
    struct Ctx {
        visitproc visit;
        void* arg;
        int rc = 0;
    } ctx{visit, arg};
    s.vm.for_each_native(
        [](NativeBinding& b, void* c) {
            auto& x = *static_cast<Ctx*>(c);
            if (auto* cb = dynamic_cast<CallableBinding*>(&b); cb && cb->callable() && x.rc == 0)
                x.rc = x.visit(cb->callable(), x.arg);
        },
        &ctx);
    return ctx.rc;
}

void runtime_clear(RuntimeState& s) {
    s.print_cb = Ref();
    s.input_cb = Ref();
    s.vm.for_each_native(
        [](NativeBinding& b, void*) {
            if (auto* cb = dynamic_cast<CallableBinding*>(&b)) cb->clear();
        },
        nullptr);
}

PyObject* native_callable(RuntimeState& s, const Value& v) {
    auto* b = dynamic_cast<CallableBinding*>(s.vm.native_binding(v.callable_name()));
    return b ? b->callable() : nullptr;
}

bool runtime_register(RuntimeState& s, PyObject* name, PyObject* callable) {
    if (!PyUnicode_Check(name) || PyUnicode_IsIdentifier(name) != 1) {
        PyErr_SetString(PyExc_ValueError, "register() needs a name that is an identifier");
        return false;
    }
    if (!PyCallable_Check(callable)) {
        PyErr_Format(PyExc_TypeError, "register() needs a callable, not %s", Py_TYPE(callable)->tp_name);
        return false;
    }
    Entry e(s, false);
    if (!e.ok()) return false;
    MeterScope meter(&s.meter);
    const char* text = PyUnicode_AsUTF8(name);
    if (!text) return false;
    s.vm.install_native(text, std::make_shared<CallableBinding>(s, callable));
    return true;
}

// ---- globals -------------------------------------------------------------------------------

namespace {

bool visible(RuntimeState& s, size_t slot) {
    if (s.vm.global_at(slot).is_nil()) return false;
    std::string_view name = s.vm.global_name(slot);
    return !name.empty() && name[0] != '<' && !s.vm.is_builtin_global(slot);
}

long visible_slot(RuntimeState& s, PyObject* name) {
    if (!PyUnicode_Check(name)) return -1;
    Py_ssize_t n = 0;
    const char* text = PyUnicode_AsUTF8AndSize(name, &n);
    if (!text) {
        PyErr_Clear();
        return -1;
    }
    long slot = s.vm.find_global(std::string_view(text, static_cast<size_t>(n)));
    return slot >= 0 && visible(s, static_cast<size_t>(slot)) ? slot : -1;
}

bool idle_or_mine(RuntimeState& s) {
    if (s.depth > 0 && s.owner != PyThread_get_thread_ident()) {
        PyErr_SetString(PyExc_RuntimeError, "this calvex.Runtime is running on another thread");
        return false;
    }
    return true;
}

}  // namespace

PyObject* runtime_global_get(RuntimeState& s, PyObject* name) {
    if (!idle_or_mine(s)) return nullptr;
    long slot = visible_slot(s, name);
    if (slot < 0) {
        PyErr_SetObject(PyExc_KeyError, name);
        return nullptr;
    }
    return to_python(s, s.vm.global_at(static_cast<size_t>(slot)));
}

bool runtime_global_set(RuntimeState& s, PyObject* name, PyObject* value) {
    if (!PyUnicode_Check(name)) {
        PyErr_Format(PyExc_TypeError, "global names are str, not %s", Py_TYPE(name)->tp_name);
        return false;
    }
    if (!idle_or_mine(s)) return false;
    Py_ssize_t n = 0;
    const char* text = PyUnicode_AsUTF8AndSize(name, &n);
    if (!text) return false;
    MeterScope meter(&s.meter);
    Value v;
    if (!from_python(s, value, v)) return false;
    s.vm.assign_global(std::string_view(text, static_cast<size_t>(n)), std::move(v));
    return true;
}

bool runtime_global_del(RuntimeState& s, PyObject* name) {
    if (!idle_or_mine(s)) return false;
    long slot = visible_slot(s, name);
    if (slot < 0) {
        PyErr_SetObject(PyExc_KeyError, name);
        return false;
    }
    MeterScope meter(&s.meter);
    s.vm.unassign_global(static_cast<size_t>(slot));
    return true;
}

PyObject* runtime_global_names(RuntimeState& s) {
    if (!idle_or_mine(s)) return nullptr;
    Ref list = Ref::steal(PyList_New(0));
    if (!list) return nullptr;
    for (size_t i = 0; i < s.vm.global_count(); ++i) {
        if (!visible(s, i)) continue;
        Ref n = Ref::steal(host::to_str(s.vm.global_name(i)));
        if (!n || PyList_Append(list.get(), n.get()) < 0) return nullptr;
    }
    return list.release();
}

PyObject* runtime_stats(RuntimeState& s) {
    return Py_BuildValue("{sKsnsnsn}", "instructions_executed",
                         static_cast<unsigned long long>(s.vm.instructions_executed()), "memory_in_use",
                         static_cast<Py_ssize_t>(s.meter.in_use), "peak_memory", static_cast<Py_ssize_t>(s.meter.peak),
                         "call_depth", static_cast<Py_ssize_t>(s.vm.call_depth()));
}

}  // namespace calvex::core
