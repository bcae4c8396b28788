// calvex.Runtime: one machine kept across entries (exec, eval, call and
// calls of calvex.Function values), with limits, print/input routing and
// the interpreter lock released while script code runs.
//
// Threads. Every member is read and written with the interpreter lock held,
// except while an entry runs script code: then only the entry's own thread
// touches the machine and its values (the lock is released), and other
// threads see `depth > 0` with a different `owner` and refuse
// (RuntimeError). The machine's values are never touched by two threads at
// once: calvex.Function objects reach their value through `handles`, and a
// handle dropped on another thread while an entry runs is released only
// when the entry ends. `interrupt_requested` is the one member written
// without the lock.
#pragma once

#include "core.h"

#include <atomic>
#include <memory>
#include <unordered_map>
#include <vector>

#include "vm_engine/memory.h"
#include "vm_engine/vm.h"

namespace calvex::core {

// Why the running entry stopped, when it was not a script error.
enum class Stop : uint8_t { None, Interrupted, Instructions, Time, Signal, HostError };

struct RuntimeState;

struct RuntimeObject {
    PyObject_HEAD
    RuntimeState* state;  // owned
    PyObject* weakrefs;
};

// A script function (or bound method) handed to Python.
struct FunctionObject {
    PyObject_HEAD
    vectorcallfunc vectorcall;
    PyObject* runtime;  // strong: the RuntimeObject
    size_t handle;      // slot in the runtime's handle table
    PyObject* name;     // str
};

struct RuntimeState {
    explicit RuntimeState(VMOptions options) : vm({}, {}, {}, FunctionTable(), options) {}

    VM vm;
    MemoryMeter meter;
    PyObject* self = nullptr;  // the RuntimeObject (borrowed: it owns this state)

    // Options.
    uint64_t max_instructions = 0;  // 0: none
    double timeout = 0;             // seconds; 0: none
    host::Ref print_cb, input_cb;   // None: sys.stdout / sys.stdin

    // The running entry.
    std::atomic<bool> interrupt_requested{false};
    unsigned long owner = 0;  // thread running an entry (depth > 0)
    int depth = 0;            // nested entries (a binding calling back in)
    PyThreadState* tstate = nullptr;  // saved while the entry runs without the lock
    Stop stop = Stop::None;
    host::Ref host_error;      // propagates as itself (KeyboardInterrupt, a nested LimitExceeded...)
    host::Ref callback_error;  // raised by a registered callable: the ScriptError's cause
    uint64_t instruction_base = 0;
    uint64_t deadline_ns = 0;  // 0: none
    uint64_t last_signal_poll_ns = 0;
    bool main_thread = false;

    // Values held by calvex.Function objects.
    std::vector<Value> handles;
    std::vector<size_t> free_handles;
    std::vector<size_t> deferred_release;

    // Python callables that became script values, by identity: the hidden
    // native name they were given (the binding holds the reference) and the
    // value standing for them, which every script copy shares. A value held
    // here only is not reachable from any script: after an entry the
    // binding goes (sweep_hidden_natives), once there are enough of them.
    struct HiddenNative {
        std::string name;
        Value value;
    };
    std::unordered_map<PyObject*, HiddenNative> hidden_natives;
    uint64_t hidden_count = 0;
    size_t hidden_sweep_at = 64;
    uint64_t lambda_count = 0;
    // The layouts of the small flat dicts converted last (from_python): a
    // dict with the same keys in the same order becomes an object sharing
    // that layout, with no key copied or hashed. The key objects are held,
    // so a key met again by identity is known to have the same text.
    struct DictLayout {
        std::vector<host::Ref> keys;
        ShapeRef layout;
    };
    DictLayout dict_layouts[4];
    unsigned next_dict_layout = 0;
    std::vector<std::string> files;  // load() tags
    host::Ref slot_cache;            // dict: name -> global slot, for call()
};

inline RuntimeState& state_of(PyObject* rt) { return *reinterpret_cast<RuntimeObject*>(rt)->state; }

// ---- conversions (runtime_values.cpp) ------------------------------------------
// Both walk with explicit stacks (any depth), check for signals and the
// entry's limits every few thousand nodes, and convert a shared cell or
// object once.
PyObject* to_python(RuntimeState& s, const Value& v);
bool from_python(RuntimeState& s, PyObject* o, Value& out);
// True when a walk may go on; false with the reason raised.
bool walk_check(RuntimeState& s);

// Handle table.
size_t hold(RuntimeState& s, Value v);
void release_handle(RuntimeState& s, size_t h);
PyObject* function_type();
PyObject* make_function(RuntimeState& s, const Value& v);

// ---- entries (runtime.cpp) -----------------------------------------------------

// Guards one entry: refuses a second thread (RuntimeError) and, when
// `nested_ok` is false, a nested entry from a binding. The outermost entry
// sets up the limits and, at its end, resets the machine and drains
// deferred handle releases.
class Entry {
public:
    Entry(RuntimeState& s, bool nested_ok);
    ~Entry();
    Entry(const Entry&) = delete;
    Entry& operator=(const Entry&) = delete;
    bool ok() const { return ok_; }
    bool outermost() const { return outermost_; }

private:
    RuntimeState& s_;
    bool ok_ = false;
    bool outermost_ = false;
    Stop saved_stop_ = Stop::None;
    host::Ref saved_callback_error_;
};

// Raises the host exception for a failed run.
void raise_run_failure(RuntimeState& s, const std::string& message);
void raise_limit(const char* limit, const std::string& message);
void raise_interrupted();

PyObject* runtime_exec(RuntimeState& s, PyObject* code, PyObject* filename);
PyObject* runtime_eval(RuntimeState& s, PyObject* expression);
PyObject* runtime_call(RuntimeState& s, PyObject* name, PyObject* const* args, size_t nargs);
PyObject* runtime_call_value(RuntimeState& s, const Value& callee, PyObject* const* args, size_t nargs);
bool runtime_register(RuntimeState& s, PyObject* name, PyObject* callable);
// The hidden native that stands for a Python callable in scripts.
bool callable_value(RuntimeState& s, PyObject* callable, Value& out);
// Releases the bindings of callables no script value refers to (between
// entries only).
void sweep_hidden_natives(RuntimeState& s);
// The callable a Native value stands for, or nullptr.
PyObject* native_callable(RuntimeState& s, const Value& v);
// The host objects the runtime holds, for the cyclic garbage collector.
int runtime_traverse(RuntimeState& s, visitproc visit, void* arg);
void runtime_clear(RuntimeState& s);
// Installs the print/input routes and the limit check.
bool runtime_setup(RuntimeState& s);

// Globals view.
PyObject* runtime_global_get(RuntimeState& s, PyObject* name);
bool runtime_global_set(RuntimeState& s, PyObject* name, PyObject* value);
bool runtime_global_del(RuntimeState& s, PyObject* name);
PyObject* runtime_global_names(RuntimeState& s);
PyObject* runtime_stats(RuntimeState& s);

}  // namespace calvex::core
