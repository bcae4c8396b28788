// The machine's public API: construction from compiled code, running, and the
// views the host and the tests read.
#include "vm.h"

#include <algorithm>
#include <atomic>
#include <string>
#include <unordered_map>

#include "machine.h"

namespace calvex {

namespace vmi {

namespace {
std::atomic<uint64_t> g_serials{1};
}  // namespace

uint64_t next_serial() { return g_serials.fetch_add(1, std::memory_order_relaxed); }

}  // namespace vmi

using namespace vmi;

FunctionTable::FunctionTable(std::vector<FunctionEntry> entries) {
    std::unordered_map<std::string, size_t> at;
    for (auto& e : entries) {
        auto it = at.find(e.name);
        if (it != at.end()) {
            entries_[it->second] = std::move(e);
        } else {
            at.emplace(e.name, entries_.size());
            entries_.push_back(std::move(e));
        }
    }
}

void Machine::start_top() {
    size_t need = top->nregs + top->headroom;
    if (need > cap) grow(std::max<size_t>(kInitialStack, need));
    for (size_t i = 0; i < top->nregs; ++i) put_nil(stack + i);
    sp = top->nregs;
    regs = 0;
    sbase = top->nregs;
    cur = top.get();
    pc = 0;
}

void Machine::intern_and_prepare(CodeUnit& unit, std::span<CodeUnit* const> fresh) {
    std::unordered_map<std::string_view, Value> interned;
    auto intern = [&interned](Value& v) {
        if (!v.is_string()) return;
        auto [it, added] = interned.emplace(v.as_string(), v);
        if (!added) v = it->second;
    };
    intern(k_class);
    intern(k_methods);
    intern(k_parent);
    for (Value& v : ascii_chars) intern(v);
    for (int k = 0; k < kKindCount; ++k) {
        if (!kind_texts[k].is_string()) kind_texts[k] = Value::string(kind_name(static_cast<Kind>(k)));
        intern(kind_texts[k]);
    }
    for (Value& v : unit.constants) intern(v);
    for (CodeUnit* u : fresh)
        for (Value& v : u->constants) intern(v);
    // A one-character constant becomes the machine's string of that
    // character, so the characters a string loop yields compare with it (and
    // find members keyed by it) on identity.
    for (auto& [text, v] : interned)
        if (text.size() == 1 && static_cast<unsigned char>(text[0]) < 0x80)
            ascii_chars[static_cast<unsigned char>(text[0])] = v;
    prepare(unit);
    for (CodeUnit* u : fresh) prepare(*u);
    // Preparing a unit may add globals; `unit` may not be the machine's
    // top yet.
    point_sites(unit);
    point_sites();
}

void Machine::point_sites(CodeUnit& u) {
    for (CallSite& s : u.calls)
        if (!s.method) s.slot = &globals[s.global];
}

void Machine::point_sites() {
    if (top) point_sites(*top);
    if (stub) point_sites(*stub);
    for (auto& u : units) point_sites(*u);
}

VM::VM(Code code, std::vector<Value> constants, LineTable lines, FunctionTable functions)
    : VM(std::move(code), std::move(constants), std::move(lines), std::move(functions), VMOptions{}) {}

VM::VM(Code code, std::vector<Value> constants, LineTable lines, FunctionTable functions, VMOptions options)
    : m_(std::make_unique<Machine>()) {
    Machine& m = *m_;
    m.fast_paths = options.fast_paths;
    m.strict = options.strict;
    m.tracebacks = options.tracebacks;
    m.max_depth = std::max<size_t>(1, std::min(options.max_depth, kMaxCallDepth));
    m.grow_frames();
    // Functions first, so the globals of their names exist before the
    // built-ins (a name in both sets is one global).
    for (const FunctionEntry& e : functions.entries()) {
        auto u = m.make_unit(e, 0);
        m.functions[e.name] = u.get();
        uint32_t slot = m.global_slot(e.name);
        m.globals[slot] = Value::function(e.name);
        m.assigned[slot] = 1;
        m.units.push_back(std::move(u));
    }
    for (const char* b : kBuiltinNames) {
        uint32_t slot = m.global_slot(b);
        if (m.globals[slot].is_nil()) m.globals[slot] = Value::function(b);
        m.assigned[slot] = 1;
    }
    m.top = std::make_unique<CodeUnit>();
    m.top->name = "<top>";
    m.top->code = std::move(code);
    m.top->lines = std::move(lines);
    m.top->constants = std::move(constants);
    std::vector<CodeUnit*> fresh;
    for (auto& u : m.units) fresh.push_back(u.get());
    m.intern_and_prepare(*m.top, fresh);

    m.start_top();
}

VM::~VM() = default;
VM::VM(VM&&) noexcept = default;
VM& VM::operator=(VM&&) noexcept = default;

Result<Value> VM::execute() {
    Machine& m = *m_;
    m.abort = Abort::None;
    return m.run(nullptr);
}

Abort VM::last_abort() const { return m_->abort; }
const VMState& VM::state() const { return m_->state; }
uint64_t VM::instructions_executed() const { return m_->executed; }
size_t VM::stack_depth() const { return m_->sp - m_->sbase; }
size_t VM::call_depth() const { return m_->nframes; }
uint64_t VM::cache_hits() const { return 0; }
uint64_t VM::cache_misses() const { return 0; }

void VM::enable_jit() {
    JitState* fresh = jit_new();
    if (m_->jit) jit_free(m_->jit);
    m_->jit = fresh;
    if (m_->top) m_->top->edge_checks = true;
    if (m_->stub) m_->stub->edge_checks = true;
    for (auto& u : m_->units) u->edge_checks = true;
}
JitState* VM::jit() const { return m_->jit; }

void VM::install_native(const std::string& name, std::shared_ptr<NativeBinding> binding) {
    Machine& m = *m_;
    m.natives[name] = std::move(binding);
    uint32_t slot = m.global_slot(name);
    m.globals[slot] = Value::native(name);
    m.assigned[slot] = 1;
    m.serial = next_serial();  // cached name resolutions are stale now
}

void VM::set_interrupt_check(bool (*check)(void*), void* ctx) {
    m_->check = check;
    m_->check_ctx = ctx;
}

Value VM::global(std::string_view name) const {
    auto it = m_->global_index.find(std::string(name));
    return it == m_->global_index.end() ? Value() : m_->globals[it->second];
}

void VM::set_check_interval(int edges) { m_->check_every = std::max(1, edges); }

}  // namespace calvex
