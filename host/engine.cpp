// The machine behind the host class VMEngine: built from a byte stream,
// results and statistics converted to host objects.
#include "host.h"
#include "engine.h"

#include <string>

#include "common/bytecode.h"
#include "vm_engine/jit.h"
#include "vm_engine/optimizer.h"
#include "vm_engine/specialize.h"
#include "vm_engine/vm.h"

namespace calvex {

struct Engine {
    VM vm;
};

void EngineDeleter::operator()(Engine* e) const noexcept { delete e; }

namespace {

// Polled by the run loop; a raising signal handler (Ctrl-C) stops the run
// with its exception left pending.
bool host_interrupted(void*) { return PyErr_CheckSignals() != 0; }

// The message as a quoted literal with the usual escapes, for state().
std::string quoted(std::string_view s) {
    static const char* kHex = "0123456789abcdef";
    std::string out = "\"";
    for (unsigned char c : s) {
        switch (c) {
            case '"': out += "\\\""; break;
            case '\\': out += "\\\\"; break;
            case '\n': out += "\\n"; break;
            case '\r': out += "\\r"; break;
            case '\t': out += "\\t"; break;
            case '\0': out += "\\0"; break;
            default:
                if (c < 0x20 || c == 0x7F) {
                    out += "\\u{";
                    if (c >= 0x10) out += kHex[c >> 4];
                    out += kHex[c & 15];
                    out += '}';
                } else {
                    out += static_cast<char>(c);
                }
        }
    }
    out += '"';
    return out;
}

bool set_item(PyObject* dict, const char* key, PyObject* value) {
    if (!value) return false;
    int rc = PyDict_SetItemString(dict, key, value);
    Py_DECREF(value);
    return rc == 0;
}

}  // namespace

EnginePtr engine_from_bytes(std::span<const uint8_t> bytes) {
    Code code = decode_bytes(bytes);
    specialize(code);
    Code optimized = optimize(code);
    return EnginePtr(new Engine{VM(std::move(optimized), {}, {}, FunctionTable())});
}

PyObject* engine_execute(Engine& e) {
    e.vm.set_interrupt_check(&host_interrupted, nullptr);
    Result<Value> r = e.vm.execute();
    e.vm.set_interrupt_check(nullptr, nullptr);
    if (!r.ok()) {
        switch (e.vm.last_abort()) {
            case Abort::Interrupted:
                if (PyErr_Occurred()) return nullptr;
                break;
            case Abort::OutOfMemory: return PyErr_NoMemory();
            case Abort::None: break;
        }
        return host::to_str("Error: " + r.error());
    }
    return host::to_str(host_display_text(r.value()));
}

PyObject* engine_state(Engine& e) {
    const VMState& s = e.vm.state();
    switch (s.status) {
        case VMStatus::Running: return host::to_str("Running");
        case VMStatus::Paused: return host::to_str("Paused");
        case VMStatus::Halted: return host::to_str("Halted");
        case VMStatus::Error: return host::to_str("Error(" + quoted(s.message) + ")");
    }
    return host::to_str("Running");
}

PyObject* engine_stats(Engine& e) {
    const VM& vm = e.vm;
    host::Ref d = host::Ref::steal(PyDict_New());
    if (!d) return nullptr;
    uint64_t hits = vm.cache_hits(), misses = vm.cache_misses();
    double rate = hits + misses == 0 ? 0.0 : static_cast<double>(hits) / (static_cast<double>(hits) + static_cast<double>(misses));
    if (!set_item(d.get(), "instructions_executed", PyLong_FromUnsignedLongLong(vm.instructions_executed())) ||
        !set_item(d.get(), "stack_depth", PyLong_FromSize_t(vm.stack_depth())) ||
        !set_item(d.get(), "call_depth", PyLong_FromSize_t(vm.call_depth())) ||
        !set_item(d.get(), "cache_hits", PyLong_FromUnsignedLongLong(hits)) ||
        !set_item(d.get(), "cache_misses", PyLong_FromUnsignedLongLong(misses)) ||
        !set_item(d.get(), "cache_hit_rate", PyFloat_FromDouble(rate)))
        return nullptr;
    if (JitState* jit = vm.jit()) {
        if (!set_item(d.get(), "jit_stats", host::to_str(jit_stats_text(*jit)))) return nullptr;
    }
    return d.release();
}

void engine_enable_jit(Engine& e) { e.vm.enable_jit(); }

PyObject* engine_collect_hot_traces_ir(Engine& e) {
    host::Ref list = host::Ref::steal(PyList_New(0));
    if (!list) return nullptr;
    JitState* jit = e.vm.jit();
    if (!jit) return list.release();
    for (const auto& [name, ir] : jit_hot_traces_ir(*jit)) {
        host::Ref d = host::Ref::steal(PyDict_New());
        if (!d) return nullptr;
        if (!set_item(d.get(), "name", host::to_str(name)) || !set_item(d.get(), "ir", host::to_str(ir)))
            return nullptr;
        if (PyList_Append(list.get(), d.get()) != 0) return nullptr;
    }
    return list.release();
}

}  // namespace calvex
