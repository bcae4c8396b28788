// The per-machine profile of loop heads: trace records and their counters.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <unordered_map>

#include "common/bytecode.h"

namespace calvex {

// One loop head. The instructions are those copied on the first report of the
// head; later jumps to the same head from elsewhere share the record.
struct TraceRecord {
    std::string name;  // "trace_" + head index in decimal
    Code instructions;
    uint64_t execution_count = 0;
    bool hot = false;                // set once, never cleared
    std::optional<std::string> ir;   // set when the record becomes hot
    void* native_entry = nullptr;    // set when the built library's symbol loads
};

class JitState {
public:
    static constexpr size_t kMaxRecords = 256;
    static constexpr uint64_t kHotThreshold = 1000;

    JitState();

    // A taken backward jump from `jump` to `head` in `code`.
    void on_backward_jump(const Code& code, uint64_t head, uint64_t jump);

    uint64_t total_traces() const { return total_traces_; }
    uint64_t hot_traces() const { return hot_traces_; }
    uint64_t compiled() const { return compiled_; }
    uint64_t total_executions() const { return total_executions_; }

    size_t record_count() const { return table_.size(); }
    // The record of a loop head, or nullptr when it is not profiled.
    const TraceRecord* find(uint64_t head) const;

    // Iteration in table order (unspecified).
    template <class F>
    void for_each(F&& f) const {
        for (const auto& [head, rec] : table_) f(rec);
    }

private:
    // The name is a function of the head index alone, so the table is keyed by
    // the index: the per-jump lookup then needs no text formatting. The hash is
    // salted per state, so iteration order differs between states.
    struct SaltedHash {
        uint64_t salt = 0;
        size_t operator()(uint64_t head) const noexcept;
    };
    using Table = std::unordered_map<uint64_t, TraceRecord, SaltedHash>;

    void become_hot(TraceRecord& rec);

    Table table_;
    // Most backward jumps repeat the previous one; element pointers of an
    // unordered_map stay valid across rehashing and nothing is ever erased.
    uint64_t last_head_ = 0;
    TraceRecord* last_ = nullptr;

    uint64_t total_traces_ = 0;
    uint64_t hot_traces_ = 0;
    uint64_t compiled_ = 0;
    uint64_t total_executions_ = 0;
};

}  // namespace calvex
