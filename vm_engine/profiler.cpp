// The hot-trace profiler: counters of loop heads, and the IR of hot traces.
#include "jit.h"

#include <sys/random.h>

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <vector>

#include "ir.h"
#include "jit_build.h"
#include "jit_state.h"

namespace calvex {

namespace {

uint64_t mix64(uint64_t x) {
    x += 0x9E3779B97F4A7C15ull;
    x = (x ^ (x >> 30)) * 0xBF58476D1CE4E5B9ull;
    x = (x ^ (x >> 27)) * 0x94D049BB133111EBull;
    return x ^ (x >> 31);
}

uint64_t random_salt() {
    uint64_t salt = 0;
    if (getrandom(&salt, sizeof salt, GRND_NONBLOCK) == static_cast<ssize_t>(sizeof salt)) return salt;
    // No entropy at hand: the order only needs to vary, not to be secret.
    auto now = static_cast<uint64_t>(std::chrono::steady_clock::now().time_since_epoch().count());
    return mix64(now ^ reinterpret_cast<uintptr_t>(&salt));
}

}  // namespace

size_t JitState::SaltedHash::operator()(uint64_t head) const noexcept {
    return static_cast<size_t>(mix64(head ^ salt));
}

JitState::JitState() : table_(0, SaltedHash{random_salt()}) {}

const TraceRecord* JitState::find(uint64_t head) const {
    auto it = table_.find(head);
    return it == table_.end() ? nullptr : &it->second;
}

void JitState::on_backward_jump(const Code& code, uint64_t head, uint64_t jump) {
    // The profiler must never disturb the running program, so an allocation
    // failure here just leaves the loop unprofiled.
    try {
        TraceRecord* rec = last_;
        if (rec == nullptr || last_head_ != head) {
            auto it = table_.find(head);
            if (it == table_.end()) {
                if (table_.size() >= kMaxRecords) return;
                TraceRecord fresh;
                fresh.name = "trace_" + std::to_string(head);
                // The caller passes head < jump < code.size(); clamp anyway so
                // a bad report can only shorten the copy.
                if (head < code.size()) {
                    uint64_t end = std::min<uint64_t>(jump, code.size() - 1);
                    if (head <= end)
                        fresh.instructions.assign(code.begin() + static_cast<ptrdiff_t>(head),
                                                  code.begin() + static_cast<ptrdiff_t>(end) + 1);
                }
                it = table_.emplace(head, std::move(fresh)).first;
                ++total_traces_;
            }
            rec = &it->second;
            last_head_ = head;
            last_ = rec;
        }
        ++rec->execution_count;
        ++total_executions_;
        if (rec->hot || rec->execution_count < kHotThreshold) return;
        become_hot(*rec);
    } catch (...) {
    }
}

void JitState::become_hot(TraceRecord& rec) {
    rec.hot = true;
    rec.ir = generate_ir(rec.name, rec.instructions);
    NativeBuild built = native_build(rec.name, *rec.ir);
    if (built.entry != nullptr) {
        rec.native_entry = built.entry;
        ++compiled_;
    }
    ++hot_traces_;
}

void jit_on_backward_jump(JitState& jit, const Code& code, uint64_t head, uint64_t jump) {
    jit.on_backward_jump(code, head, jump);
}

std::string jit_stats_text(const JitState& jit) {
    std::string s = "JIT Stats:\n  Total traces: ";
    s += std::to_string(jit.total_traces());
    s += "\n  Hot traces: ";
    s += std::to_string(jit.hot_traces());
    s += "\n  Compiled: ";
    s += std::to_string(jit.compiled());
    s += "\n  Total executions: ";
    s += std::to_string(jit.total_executions());
    s += "\n";
    return s;
}

std::vector<std::pair<std::string, std::string>> jit_hot_traces_ir(const JitState& jit) {
    std::vector<std::pair<std::string, std::string>> out;
    jit.for_each([&](const TraceRecord& rec) {
        if (rec.hot && rec.ir) out.emplace_back(rec.name, *rec.ir);
    });
    return out;
}

// Out of memory here is left to reach the host as MemoryError rather than
// quietly leaving the JIT off.
JitState* jit_new() { return new JitState(); }

void jit_free(JitState* jit) { delete jit; }

}  // namespace calvex
