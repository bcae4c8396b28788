// The machine kept across many entries of a host: further top-level code in
// the same globals, calls of function values from the host (also from inside
// a native binding, on top of the running code), the globals by slot, and
// the traceback of a failure.
#include <algorithm>
#include <string>
#include <unordered_map>

#include "machine.h"

namespace calvex {

using namespace vmi;

std::unique_ptr<CodeUnit> Machine::make_unit(const FunctionEntry& e, uint32_t file_tag) {
    auto u = std::make_unique<CodeUnit>();
    u->name = e.name;
    u->code = e.code;
    u->lines = e.lines;
    u->constants.reserve(e.constants.size());
    for (const Constant& c : e.constants) u->constants.push_back(value_from_constant(c));
    u->params = static_cast<uint32_t>(std::min<uint64_t>(e.param_count, 256));
    u->file = file_tag;
    u->function = true;
    return u;
}

void Machine::record_trace(const CodeUnit* unit, size_t idx) {
    auto line_of = [](const CodeUnit* u, size_t i) -> uint64_t { return i < u->lines.size() ? u->lines[i] : 0; };
    trace.clear();
    trace.push_back(TraceEntry{unit->name, line_of(unit, idx), unit->file});
    for (size_t f = nframes; f-- > trace_base;) {
        const CallFrame& fr = frames[f];
        if (fr.unit == stub.get()) continue;  // the host's call, not script code
        size_t at = static_cast<size_t>(fr.ret - fr.unit->pcode.data());
        size_t call_at = at > 0 ? at - 1 : 0;
        trace.push_back(TraceEntry{fr.unit->name, line_of(fr.unit, call_at), fr.unit->file});
    }
    std::reverse(trace.begin(), trace.end());
}

void Machine::drop_stack() {
    for (size_t i = sp; i-- > 0;) stack[i].~Value();
    sp = 0;
    regs = 0;
    sbase = 0;
    nframes = 0;
    trace_base = 0;
    cur = top.get();
    pc = top ? top->code.size() : 0;
    state = VMState{};
}

void VM::reset() { m_->drop_stack(); }

void VM::load(Code code, std::vector<Value> constants, LineTable lines, FunctionTable functions, uint32_t file) {
    Machine& m = *m_;
    m.drop_stack();
    std::vector<CodeUnit*> fresh;
    for (const FunctionEntry& e : functions.entries()) {
        auto u = m.make_unit(e, file);
        auto it = m.functions.find(e.name);
        if (it != m.functions.end()) {
            // Nothing runs while loading, so the replaced unit has no frame;
            // name caches are invalidated below.
            CodeUnit* old = it->second;
            auto pos = std::find_if(m.units.begin(), m.units.end(), [old](const auto& p) { return p.get() == old; });
            if (pos != m.units.end()) m.units.erase(pos);
            it->second = u.get();
        } else {
            m.functions.emplace(e.name, u.get());
        }
        uint32_t slot = m.global_slot(e.name);
        m.globals[slot] = Value::function(e.name);
        m.assigned[slot] = 1;
        fresh.push_back(u.get());
        m.units.push_back(std::move(u));
    }
    auto top = std::make_unique<CodeUnit>();
    top->name = "<top>";
    top->code = std::move(code);
    top->lines = std::move(lines);
    top->constants = std::move(constants);
    top->file = file;

    m.intern_and_prepare(*top, fresh);

    // Classes and methods may have been redefined: every cached answer goes.
    m.method_cache.clear();
    for (auto& u : m.units)
        for (MethodIC& ic : u->ics) {
            const uint32_t site = ic.site;  // the code's, not a cached answer
            ic = MethodIC{};
            ic.site = site;
        }
    m.renew_serial();

    m.top = std::move(top);
    m.start_top();
}

Result<Value> VM::call(const Value& callee, std::span<const Value> args) {
    Machine& m = *m_;
    if (!m.stub) {
        auto stub = std::make_unique<CodeUnit>();
        stub->code.push_back(Instruction::make(Op::Call, 0));
        m.prepare(*stub);
        m.stub = std::move(stub);
    }
    CodeUnit* saved_cur = m.cur;
    const size_t saved_pc = m.pc, base = m.sp, saved_regs = m.regs, saved_sbase = m.sbase;
    const size_t saved_frames = m.nframes, saved_trace_base = m.trace_base;

    size_t need = base + 1 + args.size() + m.stub->headroom;
    if (need > m.cap) m.grow(need);
    new (m.stack + base) Value(callee);
    for (size_t i = 0; i < args.size(); ++i) new (m.stack + base + 1 + i) Value(args[i]);
    m.sp = base + 1 + args.size();
    m.regs = base;
    m.sbase = base;
    m.cur = m.stub.get();
    m.pc = 0;
    m.stub->pcode[0].a.u = args.size();
    m.trace_base = saved_frames;
    m.abort = Abort::None;

    Result<Value> r = m.run(nullptr);

    for (size_t i = m.sp; i-- > base;) m.stack[i].~Value();
    m.sp = base;
    m.nframes = saved_frames;
    m.trace_base = saved_trace_base;
    m.regs = saved_regs;
    m.sbase = saved_sbase;
    m.cur = saved_cur;
    m.pc = saved_pc;
    return r;
}

void VM::route_builtin(std::string_view name, std::shared_ptr<NativeBinding> binding) {
    int index = builtin_index(name);
    if (index < 0) return;
    m_->builtin_routes[index] = std::move(binding);
    m_->renew_serial();
}

void VM::add_native(std::string_view name, std::shared_ptr<NativeBinding> binding, bool new_name) {
    m_->natives[std::string(name)] = std::move(binding);
    if (!new_name) m_->renew_serial();
}

std::vector<std::shared_ptr<NativeBinding>> VM::remove_natives(std::span<const std::string> names) {
    std::vector<std::shared_ptr<NativeBinding>> out;
    for (const std::string& name : names) {
        auto it = m_->natives.find(name);
        if (it == m_->natives.end()) continue;
        out.push_back(std::move(it->second));
        m_->natives.erase(it);
    }
    // Nothing should still resolve to them; should a name cell of one
    // survive, it resolves again (to nothing) instead of keeping a pointer.
    if (!out.empty()) m_->renew_serial();
    return out;
}

NativeBinding* VM::native_binding(std::string_view name) const {
    auto it = m_->natives.find(std::string(name));
    return it == m_->natives.end() ? nullptr : it->second.get();
}

void VM::for_each_native(void (*visit)(NativeBinding&, void*), void* ctx) const {
    for (const auto& [name, binding] : m_->natives)
        if (binding) visit(*binding, ctx);
    for (const auto& binding : m_->builtin_routes)
        if (binding) visit(*binding, ctx);
}

const std::vector<TraceEntry>& VM::traceback() const { return m_->trace; }

size_t VM::global_count() const { return m_->globals.size(); }
std::string_view VM::global_name(size_t slot) const { return m_->global_names[slot]; }
const Value& VM::global_at(size_t slot) const { return m_->globals[slot]; }
bool VM::global_assigned(size_t slot) const { return m_->assigned[slot] != 0; }

long VM::find_global(std::string_view name) const {
    auto it = m_->global_index.find(std::string(name));
    return it == m_->global_index.end() ? -1 : static_cast<long>(it->second);
}

size_t VM::assign_global(std::string_view name, Value v) {
    Machine& m = *m_;
    uint32_t slot = m.global_slot(std::string(name));
    m.globals[slot] = std::move(v);
    m.assigned[slot] = 1;
    return slot;
}

void VM::unassign_global(size_t slot) {
    m_->globals[slot] = Value();
    m_->assigned[slot] = 0;
}

bool VM::is_builtin_global(size_t slot) const {
    const Machine& m = *m_;
    const std::string& name = m.global_names[slot];
    const Value& v = m.globals[slot];
    return v.is_function() && v.callable_name() == name && builtin_index(name) >= 0 &&
           m.functions.find(name) == m.functions.end();
}

}  // namespace calvex
